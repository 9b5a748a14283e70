// The table of configuration elements: the checks that keep it sound, and
// finding an element's row by its name.
#include <cstdint>
#include <cstring>
#include <gtest/gtest.h>
#include <string>

#include "collector/startup/salvorElements.h"

namespace {

int32_t someInt32;
char someText[8];
NetNetwork someNetworks[2];
int someCount;

constexpr SalvorElementRow
Number(const char *name)
{
   return {.name = name, .kind = SalvorElementKind::WholeNumber, .min = 0, .max = 9,
           .sets = SalvorSets(&someInt32)};
}

TEST(ElementTable, NoNameMayBeginWithAnother)
{
   const SalvorElementRow apart[] = {Number("keepDays"), Number("keepFreeMiB"), Number("keep_")};
   EXPECT_TRUE(SalvorElementNamesArePrefixFree(apart));
   const SalvorElementRow prefixFirst[] = {Number("keep"), Number("keepDays")};
   EXPECT_FALSE(SalvorElementNamesArePrefixFree(prefixFirst));
   const SalvorElementRow prefixLast[] = {Number("allowFromPlain"), Number("port"),
                                          Number("allowFrom")};
   EXPECT_FALSE(SalvorElementNamesArePrefixFree(prefixLast));
   const SalvorElementRow twice[] = {Number("port"), Number("port")};
   EXPECT_FALSE(SalvorElementNamesArePrefixFree(twice));
   EXPECT_FALSE(SalvorElementTableIsSound(twice));
   EXPECT_TRUE(SalvorElementTableIsSound(apart));
}

// A row sets something that its kind can fill, and repeats exactly when it
// adds to a list: a path that "repeats" would overwrite itself, a list
// that does not would take only one entry.
TEST(ElementTable, RowsThatCannotWorkAreRefused)
{
   SalvorElementRow path{.name = "stateDir", .kind = SalvorElementKind::Directory,
                         .what = "state directory", .says = "State goes to: ",
                         .sets = SalvorSets(someText)};
   EXPECT_TRUE(SalvorElementRowIsSound(path));
   path.repeats = true;
   EXPECT_FALSE(SalvorElementRowIsSound(path));
   path.repeats = false;
   path.fileName = "state";
   EXPECT_TRUE(SalvorElementRowIsSound(path));
   path.kind = SalvorElementKind::FilePath;
   EXPECT_FALSE(SalvorElementRowIsSound(path)) << "a file name only a directory takes";

   SalvorElementRow list{.name = "allowPlainFrom", .kind = SalvorElementKind::Network, .max = 2,
                         .repeats = true, .what = "allowPlainFrom", .says = "Plain from: ",
                         .sets = SalvorSets(SalvorNetworkList{someNetworks, &someCount})};
   EXPECT_TRUE(SalvorElementRowIsSound(list));
   list.repeats = false;
   EXPECT_FALSE(SalvorElementRowIsSound(list));
   list.repeats = true;
   list.max = 0;
   EXPECT_FALSE(SalvorElementRowIsSound(list)) << "a list with no room";

   SalvorElementRow number = Number("keepDays");
   number.sets = SalvorSets(someText);
   EXPECT_FALSE(SalvorElementRowIsSound(number)) << "a number into a text";
   number.sets = {};
   EXPECT_FALSE(SalvorElementRowIsSound(number)) << "nothing set";
   number = Number("keepDays");
   number.max = INT64_C(1) << 40;
   EXPECT_FALSE(SalvorElementRowIsSound(number)) << "a limit its field cannot hold";
   number = Number("keepDays");
   number.min = 10;
   EXPECT_FALSE(SalvorElementRowIsSound(number)) << "an empty range";
   number = Number("");
   EXPECT_FALSE(SalvorElementRowIsSound(number)) << "an empty name matches everything";
}

TEST(ElementTable, EveryRowIsFoundByItsNameAndByLongerNamesOnly)
{
   for (const SalvorElementRow &row : SalvorConfigElements()) {
      EXPECT_EQ(SalvorConfigFindElement(row.name), &row) << row.name;
      EXPECT_EQ(SalvorConfigFindElement((std::string(row.name) + "X").c_str()), &row)
         << row.name;
      std::string shorter(row.name, std::strlen(row.name) - 1);
      EXPECT_EQ(SalvorConfigFindElement(shorter.c_str()), nullptr) << row.name;
      std::string upper = row.name;
      upper[0] = (char)(upper[0] - 'a' + 'A');
      EXPECT_EQ(SalvorConfigFindElement(upper.c_str()), nullptr) << row.name;
   }
}

}  // namespace
