// The one header of scope guards: ownership of what C-style calls hand
// out (heap blocks, lists of names, C streams, descriptors, Windows
// handles, registry keys and system-allocated blocks, open file records),
// locks held for a scope, the caller's last error kept across a clean-up,
// and the retry of a call that a signal cut short. Header only, so that
// every module can use it without a link dependency; a module names the
// owner of its own type with these templates (fileIO.h, ul.h).
#pragma once

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <utility>

#ifdef _WIN32
#include <winsock2.h>
#include <windows.h>
#else
#include <dirent.h>
#include <unistd.h>
#endif

// Frees a block of the C heap (malloc, strdup, the library's Must* routines).
struct UtilFree {
   void operator()(void *block) const noexcept { std::free(block); }
};

// A heap block, such as a string a library call returned, freed with its scope.
template <typename T>
using UtilHeapPtr = std::unique_ptr<T, UtilFree>;

// The common case: a NUL-terminated heap string.
using UtilCString = UtilHeapPtr<char>;

// Closes a C stream.
struct UtilFclose {
   void operator()(FILE *stream) const noexcept { std::fclose(stream); }
};

// A C stream (fopen, fdopen), closed with its scope.
using UtilStdioFile = std::unique_ptr<FILE, UtilFclose>;

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

/*
 * Runs a callable when the scope ends, unless dismissed: the clean-up of
 * a step that has no owner type of its own.
 */
template <typename F>
class UtilScopeExit {
public:
   explicit UtilScopeExit(F onExit) : onExit_(std::move(onExit)) {}
   UtilScopeExit(const UtilScopeExit &) = delete;
   UtilScopeExit &operator=(const UtilScopeExit &) = delete;
   ~UtilScopeExit()
   {
      if (armed_) {
         onExit_();
      }
   }
   void Dismiss() { armed_ = false; }

private:
   F onExit_;
   bool armed_ = true;
};

/*
 * The sole owner of a C-style resource. Traits gives its type, the value
 * that owns nothing (Invalid), which values own something (IsValid) and
 * how to give it back (Release, whose result is ignored: a release that
 * fails on a path that already failed has nothing to add).
 */
template <typename Traits>
class UtilOwned {
public:
   using Type = typename Traits::Type;

   UtilOwned() = default;
   explicit UtilOwned(Type value) : value_(value) {}
   UtilOwned(UtilOwned &&other) noexcept : value_(other.Take()) {}
   UtilOwned &operator=(UtilOwned &&other) noexcept
   {
      if (this != &other) {
         Reset(other.Take());
      }
      return *this;
   }
   UtilOwned(const UtilOwned &) = delete;
   UtilOwned &operator=(const UtilOwned &) = delete;
   ~UtilOwned() { Reset(); }

   Type Get() const { return value_; }
   bool IsValid() const { return Traits::IsValid(value_); }
   explicit operator bool() const { return IsValid(); }
   // Gives up ownership without releasing.
   Type Take() { return std::exchange(value_, Traits::Invalid()); }
   // Releases what is owned, and owns `value` instead.
   void Reset(Type value = Traits::Invalid())
   {
      Type old = std::exchange(value_, value);
      if (Traits::IsValid(old)) {
         Traits::Release(old);
      }
   }

private:
   Type value_ = Traits::Invalid();
};

/*
 * A record the caller keeps (an open file record, say), closed by `Close`
 * when the scope ends unless dismissed: for records that live in a larger
 * structure or on the caller's stack and are only owned for a while.
 */
template <typename T, auto Close>
class UtilClosing {
public:
   explicit UtilClosing(T *record) : record_(record) {}
   UtilClosing(const UtilClosing &) = delete;
   UtilClosing &operator=(const UtilClosing &) = delete;
   ~UtilClosing()
   {
      if (record_ != nullptr) {
         (void)Close(record_);
      }
   }
   void Dismiss() { record_ = nullptr; }

private:
   T *record_;
};

/*
 * A lock held for the scope: taken by the constructor with Acquire,
 * given back with Release unless handed on with Unlock first.
 */
template <typename Lock, void (*Acquire)(Lock *), void (*Release)(Lock *)>
class UtilHeld {
public:
   explicit UtilHeld(Lock *lock) : lock_(lock) { Acquire(lock_); }
   UtilHeld(const UtilHeld &) = delete;
   UtilHeld &operator=(const UtilHeld &) = delete;
   ~UtilHeld() { Unlock(); }
   // Releases the lock before the scope ends.
   void Unlock()
   {
      if (lock_ != nullptr) {
         Release(std::exchange(lock_, nullptr));
      }
   }

private:
   Lock *lock_;
};

/*
 * Keeps the thread's last error (errno, and on Windows GetLastError too)
 * across the clean-up of a failed call, so that the caller sees the
 * failure's own error rather than one of the clean-up's.
 */
class UtilSavedError {
public:
   UtilSavedError()
      : errno_(errno)
#ifdef _WIN32
      , lastError_(GetLastError())
#endif
   {
   }
   UtilSavedError(const UtilSavedError &) = delete;
   UtilSavedError &operator=(const UtilSavedError &) = delete;
   ~UtilSavedError()
   {
#ifdef _WIN32
      SetLastError(lastError_);
#endif
      errno = errno_;
   }

private:
   int errno_;
#ifdef _WIN32
   DWORD lastError_;
#endif
};

#ifdef _WIN32
// A kernel handle; both null and INVALID_HANDLE_VALUE own nothing.
struct UtilWinHandleTraits {
   using Type = HANDLE;
   static Type Invalid() { return nullptr; }
   static bool IsValid(Type h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
   static void Release(Type h) { CloseHandle(h); }
};
using UtilWinHandle = UtilOwned<UtilWinHandleTraits>;

// An open registry key.
struct UtilWinRegKeyTraits {
   using Type = HKEY;
   static Type Invalid() { return nullptr; }
   static bool IsValid(Type key) { return key != nullptr; }
   static void Release(Type key) { RegCloseKey(key); }
};
using UtilWinRegKey = UtilOwned<UtilWinRegKeyTraits>;

// Frees a block that the system allocated for the caller with LocalAlloc
// (FormatMessage's text, a converted security descriptor or SID).
struct UtilLocalFree {
   void operator()(void *block) const noexcept { LocalFree(block); }
};
template <typename T>
using UtilLocalPtr = std::unique_ptr<T, UtilLocalFree>;
#else
// A file descriptor.
struct UtilFdTraits {
   using Type = int;
   static Type Invalid() { return -1; }
   static bool IsValid(Type fd) { return fd >= 0; }
   static void Release(Type fd) { close(fd); }
};
using UtilFd = UtilOwned<UtilFdTraits>;
// A directory stream of opendir or fdopendir.
struct UtilDirStreamTraits {
   using Type = DIR *;
   static Type Invalid() { return nullptr; }
   static bool IsValid(Type d) { return d != nullptr; }
   static void Release(Type d) { closedir(d); }
};
using UtilDirStream = UtilOwned<UtilDirStreamTraits>;
#endif
