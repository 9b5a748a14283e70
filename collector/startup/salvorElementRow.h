// One element of the configuration file, as a row of a table: its name,
// how its text is read, the limits of its value, and what it sets.
//
// An element matches a row when its name begins with the row's name,
// case-sensitively: no row's name may therefore begin with another's.
// SalvorElementTableIsSound checks that, and that each row can work, when
// the table is compiled.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "collector/startup/salvorNetConfig.h"
#include "lib/net/net.h"

// How an element's text is read before anything is set.
enum class SalvorElementKind : uint8_t {
   Flag,            // the element's presence; its text is ignored
   LooseNumber,     // read as C's atoi reads, clamped to the int range
   WholeNumber,     // a whole number and nothing else, blanks around it allowed
   Directory,       // a directory, made when missing and probed for writing
   FilePath,        // the path of a file, taken as written
   Program,         // the full path of a program the collector can start
   ListenAddress,   // an IP literal, with its interface for a link-local one
   Network,         // an address with its prefix length; a bare address is one host
};

// What an element's value was read as; handed to a row's setter.
struct SalvorElementValue {
   const char *name;  // the element's own name, as written
   const char *text;  // untrimmed, except for addresses and networks
   int64_t number;    // the two number kinds
};

// A list of networks that an element adds to; the row's max is its size.
struct SalvorNetworkList {
   NetNetwork *items;
   int *count;
};

// A list of addresses to bind, each with its zone; the row's max is its size.
struct SalvorListenList {
   NetIp *ips;
   char (*zones)[SALVOR_ZONE_SIZE];
   int *count;
};

struct SalvorElementRow {
   const char *name;
   SalvorElementKind kind;
   // Numbers: the accepted range. Lists: the most entries.
   int64_t min = 0;
   int64_t max = 0;
   // Whether each occurrence adds one more entry; otherwise a later one
   // replaces what an earlier one set.
   bool repeats = false;
   // Names the setting in messages ("data directory", "allowFrom").
   const char *what = nullptr;
   // The init-log line of a value taken, before the value; a whole number
   // without one says "<element> will be: ".
   const char *says = nullptr;
   // A file name appended to a directory's value ("salvor.log").
   const char *fileName = nullptr;
   // Whether the element counts where it stands; null: always.
   bool (*takesEffect)() = nullptr;
   // Loose numbers: why one outside the range is refused; null: no reason
   // given.
   void (*refuse)(int64_t number) = nullptr;

   // What it sets: one of these.
   int32_t *int32 = nullptr;
   int64_t *int64 = nullptr;
   char *text = nullptr;  // SALVOR_PATH_SIZE bytes
   SalvorNetworkList networks = {};
   SalvorListenList listen = {};
   int (*set)(const SalvorElementValue &value) = nullptr;  // 0 or a failure code
};

constexpr bool
SalvorElementNameBegins(const char *name, const char *prefix)
{
   for (; *prefix != '\0'; name++, prefix++) {
      if (*name != *prefix) {
         return false;
      }
   }
   return true;
}

// True when no row's name begins with another row's name.
constexpr bool
SalvorElementNamesArePrefixFree(std::span<const SalvorElementRow> rows)
{
   for (size_t i = 0; i < rows.size(); i++) {
      for (size_t j = 0; j < rows.size(); j++) {
         if (i != j && SalvorElementNameBegins(rows[j].name, rows[i].name)) {
            return false;
         }
      }
   }
   return true;
}

// Whether a row sets exactly one thing, of a type its kind can fill, and
// repeats exactly when it adds to a list.
constexpr bool
SalvorElementRowIsSound(const SalvorElementRow &row)
{
   int targets = (row.int32 != nullptr) + (row.int64 != nullptr) + (row.text != nullptr) +
                 (row.networks.items != nullptr) + (row.listen.ips != nullptr) +
                 (row.set != nullptr);
   bool list = row.kind == SalvorElementKind::Network ||
               row.kind == SalvorElementKind::ListenAddress;
   if (row.name == nullptr || row.name[0] == '\0' || targets != 1 || row.repeats != list ||
       row.min > row.max) {
      return false;
   }
   if ((row.refuse != nullptr && row.kind != SalvorElementKind::LooseNumber) ||
       (row.fileName != nullptr && row.kind != SalvorElementKind::Directory)) {
      return false;  // it would be ignored
   }
   switch (row.kind) {
   case SalvorElementKind::Flag:
      return row.set != nullptr;
   case SalvorElementKind::LooseNumber:
      return (row.int32 != nullptr || row.set != nullptr) && row.says != nullptr &&
             row.min >= INT32_MIN && row.max <= INT32_MAX;
   case SalvorElementKind::WholeNumber:
      return row.text == nullptr && row.networks.items == nullptr &&
             row.listen.ips == nullptr &&
             (row.int32 == nullptr || (row.min >= INT32_MIN && row.max <= INT32_MAX));
   case SalvorElementKind::Directory:
   case SalvorElementKind::FilePath:
   case SalvorElementKind::Program:
      return row.text != nullptr && row.what != nullptr && row.says != nullptr;
   case SalvorElementKind::Network:
      return row.networks.items != nullptr && row.networks.count != nullptr &&
             row.max > 0 && row.what != nullptr && row.says != nullptr;
   case SalvorElementKind::ListenAddress:
      return row.listen.zones != nullptr && row.listen.count != nullptr && row.max > 0;
   }
   return false;
}

// True when every row is sound and no row's name begins with another's.
constexpr bool
SalvorElementTableIsSound(std::span<const SalvorElementRow> rows)
{
   for (const SalvorElementRow &row : rows) {
      if (!SalvorElementRowIsSound(row)) {
         return false;
      }
   }
   return SalvorElementNamesArePrefixFree(rows);
}
