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
   Boolean,         // true or false (1 or 0), blanks around it allowed
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

// Which of its fields a SalvorElementSets fills. Told apart by this tag
// rather than by null pointers: a build that checks null pointers cannot
// take the address of another file's object as non-null at compile time.
enum class SalvorSetsKind : uint8_t { Nothing, Int32, Int64, Text, Networks, Listen, Setter };

// What an element sets: made by one of the SalvorSets overloads below.
struct SalvorElementSets {
   SalvorSetsKind kind = SalvorSetsKind::Nothing;
   int32_t *int32 = nullptr;
   int64_t *int64 = nullptr;
   char *text = nullptr;  // SALVOR_PATH_SIZE bytes
   SalvorNetworkList networks = {};
   SalvorListenList listen = {};
   int (*set)(const SalvorElementValue &value) = nullptr;  // 0 or a failure code
};

constexpr SalvorElementSets
SalvorSets(int32_t *field)
{
   return {.kind = SalvorSetsKind::Int32, .int32 = field};
}

constexpr SalvorElementSets
SalvorSets(int64_t *field)
{
   return {.kind = SalvorSetsKind::Int64, .int64 = field};
}

constexpr SalvorElementSets
SalvorSets(char *field)
{
   return {.kind = SalvorSetsKind::Text, .text = field};
}

constexpr SalvorElementSets
SalvorSets(SalvorNetworkList list)
{
   return {.kind = SalvorSetsKind::Networks, .networks = list};
}

constexpr SalvorElementSets
SalvorSets(SalvorListenList list)
{
   return {.kind = SalvorSetsKind::Listen, .listen = list};
}

// A small setter, for what is more than storing the value.
constexpr SalvorElementSets
SalvorSets(int (*set)(const SalvorElementValue &value))
{
   return {.kind = SalvorSetsKind::Setter, .set = set};
}

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

   SalvorElementSets sets;
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

// Whether a row sets something its kind can fill, repeats exactly when it
// adds to a list, and has the texts its kind's messages need.
constexpr bool
SalvorElementRowIsSound(const SalvorElementRow &row)
{
   using Sets = SalvorSetsKind;
   Sets sets = row.sets.kind;
   bool list = row.kind == SalvorElementKind::Network ||
               row.kind == SalvorElementKind::ListenAddress;
   if (row.name == nullptr || row.name[0] == '\0' || row.repeats != list || row.min > row.max) {
      return false;
   }
   if (row.fileName != nullptr && row.kind != SalvorElementKind::Directory) {
      return false;  // it would be ignored
   }
   bool fitsInt32 = sets != Sets::Int32 || (row.min >= INT32_MIN && row.max <= INT32_MAX);
   switch (row.kind) {
   case SalvorElementKind::Flag:
      return sets == Sets::Setter;
   case SalvorElementKind::LooseNumber:
      return (sets == Sets::Int32 || sets == Sets::Setter) && row.says != nullptr &&
             row.min >= INT32_MIN && row.max <= INT32_MAX;
   case SalvorElementKind::WholeNumber:
      return (sets == Sets::Int32 || sets == Sets::Int64 || sets == Sets::Setter) && fitsInt32;
   case SalvorElementKind::Boolean:
      return sets == Sets::Int32 && row.says != nullptr;
   case SalvorElementKind::Directory:
   case SalvorElementKind::FilePath:
   case SalvorElementKind::Program:
      return sets == Sets::Text && row.what != nullptr && row.says != nullptr;
   case SalvorElementKind::Network:
      return sets == Sets::Networks && row.max > 0 && row.what != nullptr &&
             row.says != nullptr;
   case SalvorElementKind::ListenAddress:
      return sets == Sets::Listen && row.max > 0;
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
