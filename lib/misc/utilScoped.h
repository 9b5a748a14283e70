// Scope-bound ownership of what the library's C-style calls hand out (heap
// strings, lists of names) and the retry of a call that a signal cut short.
// Header only, so that every module can use it without a link dependency.
#pragma once

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <utility>

// Frees a block of the C heap (malloc, strdup, the library's Must* routines).
struct UtilFree {
   void operator()(void *block) const noexcept { std::free(block); }
};

// A heap block, such as a string a library call returned, freed with its scope.
template <typename T>
using UtilHeapPtr = std::unique_ptr<T, UtilFree>;

// The common case: a NUL-terminated heap string.
using UtilCString = UtilHeapPtr<char>;

/*
 * A list of heap strings in a heap array, as the directory listings return
 * it (a count, and an array that may be null when the count is 0 or
 * negative), freed with its names.
 */
class UtilNameList {
public:
   UtilNameList() = default;
   UtilNameList(char **names, int count) : names_(names), count_(count < 0 ? 0 : count) {}
   UtilNameList(UtilNameList &&other) noexcept
      : names_(std::exchange(other.names_, nullptr)), count_(std::exchange(other.count_, 0)) {}
   UtilNameList &operator=(UtilNameList &&other) noexcept
   {
      if (this != &other) {
         Clear();
         names_ = std::exchange(other.names_, nullptr);
         count_ = std::exchange(other.count_, 0);
      }
      return *this;
   }
   UtilNameList(const UtilNameList &) = delete;
   UtilNameList &operator=(const UtilNameList &) = delete;
   ~UtilNameList() { Clear(); }

   int size() const { return count_; }
   char *operator[](int i) const { return names_[i]; }
   char *const *begin() const { return names_; }
   char *const *end() const { return names_ + count_; }

private:
   void Clear() noexcept
   {
      for (int i = 0; i < count_; i++) {
         std::free(names_[i]);
      }
      std::free(names_);
      names_ = nullptr;
      count_ = 0;
   }

   char **names_ = nullptr;
   int count_ = 0;
};

/*
 * Calls `call` until it does not fail with EINTR; returns its last result.
 * For calls that report failure with a negative result and errno.
 */
template <typename Call>
auto
Util_RetryOnEintr(Call &&call) -> decltype(call())
{
   decltype(call()) result;
   do {
      result = call();
   } while (result < 0 && errno == EINTR);
   return result;
}
