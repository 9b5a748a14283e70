// Dictionary files read from real files: the line format, encodings,
// duplicates, refused files and typed reads with their fallbacks.
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "lib/user/dictionary.h"
#include "lib/misc/msgList.h"
#include "tests/lib/user/userTestUtil.h"
#include "tests/support/testLog.h"
#include "tests/support/testPlatform.h"

using usertest::Messages;

namespace {

class DictionaryTest : public testing::Test {
protected:
   ~DictionaryTest() override
   {
      Dictionary_Free(dict);
      MsgList_Free(messages);
   }

   // Loads content from a file (UTF-8 unless another default is given).
   bool Load(const std::string &content, const char *encoding = "UTF-8")
   {
      testutil::WriteFile(path, content);
      return Dictionary_Load(dict, path.c_str(), true, encoding, &messages);
   }

   std::string Str(const char *name)
   {
      const char *v = Dictionary_GetString(dict, nullptr, name, &messages);
      return v != nullptr ? v : "<null>";
   }

   std::string Reports()
   {
      std::string r = Messages(messages);
      MsgList_Free(messages);
      messages = nullptr;
      return r;
   }

   testutil::TempDir dir;
   std::string path = dir / "test.ini";
   Dictionary *dict = Dictionary_Create();
   MsgList *messages = nullptr;
};

}  // namespace

TEST_F(DictionaryTest, ValuesQuotedUnquotedEscapedAndCommented)
{
   ASSERT_TRUE(Load("# header\n"
                    "log.keepOld = 5 # five\n"
                    "quoted = \"5 # five\"\n"
                    "empty =\n"
                    "\n"
                    "path = C:|5Cdir\n"
                    "qpath = \"C:|5cdir\"\n"))
      << Reports();
   EXPECT_EQ(Dictionary_GetLong(dict, 0, "log.keepOld", &messages), 5);
   EXPECT_EQ(Str("quoted"), "5 # five");
   EXPECT_TRUE(Dictionary_GetBool(dict, false, "empty", &messages));
   EXPECT_EQ(Str("path"), "C:\\dir");
   EXPECT_EQ(Str("qpath"), "C:\\dir");
   // Comment lines are kept in order; variable lines refer to entries.
   ASSERT_EQ(Dictionary_NumLines(dict), 7);
   EXPECT_STREQ(Dictionary_LineText(dict, 0), "# header");
   EXPECT_EQ(Dictionary_LineText(dict, 1), nullptr);
   EXPECT_STREQ(Dictionary_LineText(dict, 4), "");
   Dictionary_InsertComment(dict, "# first");
   EXPECT_STREQ(Dictionary_LineText(dict, 0), "# first");
   EXPECT_EQ(Reports(), "");
}

TEST_F(DictionaryTest, CrLfFileReadsLikeLfFile)
{
   ASSERT_TRUE(Load("\xEF\xBB\xBF" "a = 1\r\nb = \"two\"\r\n# c\r\nc = 3"));
   EXPECT_EQ(Str("a"), "1");
   EXPECT_EQ(Str("b"), "two");
   EXPECT_EQ(Str("c"), "3");
   EXPECT_EQ(Dictionary_NumLines(dict), 4);
   EXPECT_STREQ(Dictionary_GetEncoding(dict), "UTF-8");
}

TEST_F(DictionaryTest, NamesIgnoreAsciiCase)
{
   ASSERT_TRUE(Load("Log.KeepOld = 3\n"));
   EXPECT_TRUE(Dictionary_IsDefined(dict, "log.keepold"));
   EXPECT_EQ(Dictionary_GetLong(dict, 0, "LOG.KEEPOLD", &messages), 3);
   EXPECT_FALSE(Dictionary_IsDefined(dict, "log.keepOld2"));
}

TEST_F(DictionaryTest, SyntaxErrorStopsTheLoadAndKeepsWhatWasRead)
{
   testutil::LogCapture log(dir / "log.txt");
   log.Start();
   EXPECT_FALSE(Load("a = 1\nname = a b\nc = 3\n"));
   EXPECT_EQ(Reports(), "[msg.dictionary.read.syntaxError]File \"" + path +
                           "\" line 2: Syntax error.\n");
   EXPECT_TRUE(log.Contains("DictionaryParseReadLine: syntax error with line, \"name = a b\".\n"));
   EXPECT_EQ(Str("a"), "1");
   EXPECT_FALSE(Dictionary_IsDefined(dict, "c"));
}

TEST_F(DictionaryTest, EscapedNulByteRefusesThatVariableAndTheRestIsRead)
{
   EXPECT_FALSE(Load("before = 1\nkey = abc|00def\nafter = \"x|00\"\nlast = 3\n"));
   // The list's head is the latest report.
   EXPECT_EQ(Reports(), "[msg.dictionary.read.nulByte]File \"" + path + "\" line 3: The value of "
                        "variable \"after\" holds a NUL byte; the variable is ignored.\n"
                        "[msg.dictionary.read.nulByte]File \"" + path + "\" line 2: The value of "
                        "variable \"key\" holds a NUL byte; the variable is ignored.\n");
   // Neither a truncated value nor nothing at all: only the refused names are missing.
   EXPECT_FALSE(Dictionary_IsDefined(dict, "key"));
   EXPECT_FALSE(Dictionary_IsDefined(dict, "after"));
   EXPECT_EQ(Str("before"), "1");
   EXPECT_EQ(Str("last"), "3");
   ASSERT_EQ(Dictionary_NumLines(dict), 4);
   EXPECT_STREQ(Dictionary_LineText(dict, 1), "key = abc|00def");
}

TEST_F(DictionaryTest, DuplicatesFailTheLoadButTheFirstDefinitionStays)
{
   EXPECT_FALSE(Load("x = first\nX = second\ny = 2\n"));
   EXPECT_EQ(Reports(), "[msg.dictionary.alreadyDefined]File \"" + path +
                           "\" line 2: Variable \"X\" is already defined.\n");
   EXPECT_EQ(Str("x"), "first");
   EXPECT_EQ(Str("y"), "2");  // reading goes on after a duplicate
   EXPECT_STREQ(Dictionary_LineText(dict, 1), "X = second");
}

TEST_F(DictionaryTest, MoreThanAHundredDuplicatesStopTheLoad)
{
   testutil::LogCapture log(dir / "log.txt");
   log.Start();
   std::string text = "k = 0\n";
   for (int i = 0; i < 150; i++) {
      text += "k = " + std::to_string(i) + "\n";
   }
   text += "after = 1\n";
   EXPECT_FALSE(Load(text));
   EXPECT_TRUE(log.Contains("DictionaryReadLines: \"" + path +
                       "\" line 102: too many duplicate entries in dictionary, quitting.\n"));
   EXPECT_FALSE(Dictionary_IsDefined(dict, "after"));
   EXPECT_EQ(Str("k"), "0");
}

TEST_F(DictionaryTest, MetavariablesSetTheEncodingOrAreLogged)
{
   testutil::LogCapture log(dir / "log.txt");
   log.Start();
   ASSERT_TRUE(Load(".encoding = \"windows-1252\"\n.other = 1\nv = \x80\x9F\n"));
   EXPECT_STREQ(Dictionary_GetEncoding(dict), "windows-1252");
   EXPECT_EQ(Str("v"), "\xE2\x82\xAC\xC5\xB8");  // the euro sign, Y with diaeresis
   EXPECT_FALSE(Dictionary_IsDefined(dict, ".encoding"));
   EXPECT_FALSE(Dictionary_IsDefined(dict, ".other"));
   EXPECT_TRUE(log.Contains("DictionaryParseReadLine: \"" + path +
                       "\" line 2: unrecognized metavariable \".other\"\n"));
}

TEST_F(DictionaryTest, EncodingLineConvertsValuesReadBeforeIt)
{
   // Shift_JIS: the two characters U+5F53 U+3042.
   ASSERT_TRUE(Load("v = \x93\x96\x82\xA0\nCONFIG.ENCODING = Shift_JIS\nw = \x82\xA0\n"))
      << Reports();
   EXPECT_EQ(Str("v"), "\xE5\xBD\x93\xE3\x81\x82");
   EXPECT_EQ(Str("w"), "\xE3\x81\x82");
}

TEST_F(DictionaryTest, EncodingFailures)
{
   EXPECT_FALSE(Load("preferences.encoding = no-such-charset\n"));
   EXPECT_EQ(Reports(), "[msg.dictionary.unknownEncoding]File \"" + path +
                           "\" (line 1) specifies a character encoding (no-such-charset) "
                           "that is not supported.\n");

   EXPECT_FALSE(Load(".encoding = UTF-8\nsnapshot.encoding = windows-1252\n"));
   EXPECT_EQ(Reports(), "[msg.dictionary.hasEncoding]File \"" + path +
                           "\" (line 2) already has encoding \"UTF-8\".\n");

   // The same encoding twice, by another of its names, is no conflict.
   EXPECT_TRUE(Load(".encoding = UTF-8\nconfig.encoding = utf8\n")) << Reports();

   EXPECT_FALSE(Load(".encoding = UTF-8\nbad = \xC3\x28\n"));
   EXPECT_EQ(Reports(), "[msg.dictionary.badEncodedInput]File \"" + path +
                           "\" line 2: Value \"\xC3\x28\" for variable \"bad\" is not valid "
                           "in encoding \"UTF-8\".\n");
   EXPECT_FALSE(Dictionary_IsDefined(dict, "bad"));
}

TEST_F(DictionaryTest, AFailedEncodingLineKeepsOnlyTheValuesItConverts)
{
   // Shift_JIS: "v" and "w" convert, a lone lead byte does not.
   EXPECT_FALSE(Load("v = \x93\x96\nbad = \x82\nw = \x82\xA0\n.encoding = Shift_JIS\n"));
   EXPECT_EQ(Reports(), "[msg.dictionary.badEncodedInput]File \"" + path +
                           "\" line 4: Value \"\x82\" for variable \"bad\" is not valid in "
                           "encoding \"Shift_JIS\".\n");
   EXPECT_EQ(Str("v"), "\xE5\xBD\x93");
   EXPECT_EQ(Str("w"), "\xE3\x81\x82");
   EXPECT_FALSE(Dictionary_IsDefined(dict, "bad"));

   EXPECT_FALSE(Load("a = \xFF\nb = ok\nc = \xC3\xA9\n.encoding = UTF-8\n"));
   EXPECT_NE(Reports().find("for variable \"a\" is not valid"), std::string::npos);
   EXPECT_FALSE(Dictionary_IsDefined(dict, "a"));
   EXPECT_EQ(Str("b"), "ok");
   EXPECT_EQ(Str("c"), "\xC3\xA9");
}

TEST_F(DictionaryTest, InvalidUtf8UnderABomFallsBackToTheDefaultEncoding)
{
   std::string text = "\xEF\xBB\xBFv = caf\xE9\n";
   EXPECT_FALSE(Load(text, "UTF-8"));
   EXPECT_EQ(Reports(), "[msg.dictionary.badDefaultEncoding]An error occurred while decoding "
                        "file \"" + path + "\" using the default character encoding.\n");
   // Nothing that is not UTF-8 is kept.
   EXPECT_FALSE(Dictionary_IsDefined(dict, "v"));

   EXPECT_TRUE(Load(text, "ISO-8859-1")) << Reports();
   EXPECT_EQ(Str("v"), "caf\xC3\xA9");
}

TEST_F(DictionaryTest, HostEncodingIsTheLocaleCodeset)
{
   const char *host = Dictionary_HostEncoding();
   ASSERT_NE(host, nullptr);
   EXPECT_NE(host[0], '\0');
   // The host's encoding is one the loader accepts.
   EXPECT_TRUE(Load("a = plain\n", nullptr)) << Reports();
   EXPECT_EQ(Str("a"), "plain");
}

TEST_F(DictionaryTest, EncryptedFileIsRefusedWithoutAKey)
{
   EXPECT_FALSE(Load("encryption.keySafe = \"abc\"\nencryption.data = \"def\"\n"));
   EXPECT_NE(Reports().find("[msg.dictionary.load.encrypted]"), std::string::npos);
}

TEST_F(DictionaryTest, FilesThatCannotBeReadAreRefused)
{
   std::string missing = dir / "missing.ini";
   EXPECT_FALSE(Dictionary_Load(dict, missing.c_str(), true, "UTF-8", &messages));
   std::string r = Reports();
   if (!TEST_ON_WINDOWS) {
      EXPECT_EQ(r, "[msg.dictionary.load.openFailed]Cannot open file \"" + missing +
                      "\": No such file or directory.\n");
   } else {
      // The system's text (Wine has texts of its own), as one sentence.
      std::string head = "[msg.dictionary.load.openFailed]Cannot open file \"" + missing + "\": ";
      ASSERT_EQ(r.find(head), 0u) << r;
      std::string text = r.substr(head.size());
      EXPECT_GT(text.size(), 3u) << r;
      EXPECT_EQ(text.find_first_of("\r\n"), text.size() - 1) << r;
      EXPECT_EQ(text.find(".."), std::string::npos) << r;
   }

   std::string sub = dir / "sub";
   ASSERT_TRUE(std::filesystem::create_directory(sub));
   EXPECT_FALSE(Dictionary_Load(dict, sub.c_str(), true, "UTF-8", &messages));
   EXPECT_EQ(Reports(), "[msg.dictionary.load.isDirectory]\"" + sub + "\" is a directory.\n");

   // A FIFO or a pipe without a writer would block a reader forever.
   usertest::NonRegularFiles others(dir.Path());
   ASSERT_EQ(others.paths.size(), 2u);
   for (const std::string &other : others.paths) {
      EXPECT_FALSE(Dictionary_Load(dict, other.c_str(), true, "UTF-8", &messages));
      EXPECT_EQ(Reports(), "[msg.dictionary.load.notRegular]\"" + other +
                              "\" is not a regular file.\n");
   }
}

TEST_F(DictionaryTest, DashReadsStandardInputNamedStdin)
{
   testutil::WriteFile(path, "a = 1\n\"broken\n");
   int saved = dup(0);
   int fd = open(path.c_str(), O_RDONLY);
   ASSERT_GE(fd, 0);
   dup2(fd, 0);
   close(fd);
   bool ok = Dictionary_Load(dict, "-", true, "UTF-8", &messages);
   dup2(saved, 0);
   close(saved);
   EXPECT_FALSE(ok);
   EXPECT_EQ(Reports(), "[msg.dictionary.read.syntaxError]File \"<stdin>\" line 2: Syntax error.\n");
   EXPECT_EQ(Str("a"), "1");
}

TEST_F(DictionaryTest, ClearFirstOrAddToWhatIsThere)
{
   ASSERT_TRUE(Load("a = 1\n"));
   testutil::WriteFile(dir / "b.ini", "b = 2\n");
   ASSERT_TRUE(Dictionary_Load(dict, (dir / "b.ini").c_str(), false, "UTF-8", &messages));
   EXPECT_TRUE(Dictionary_IsDefined(dict, "a"));
   ASSERT_TRUE(Dictionary_Load(dict, (dir / "b.ini").c_str(), true, "UTF-8", &messages));
   EXPECT_FALSE(Dictionary_IsDefined(dict, "a"));
   EXPECT_TRUE(Dictionary_IsDefined(dict, "b"));
}

TEST_F(DictionaryTest, BoolAndTristateWords)
{
   ASSERT_TRUE(Load("t1 = YES\nt2 = on\nt3 = 1\nf1 = Off\nf2 = n\nf3 = 0\n"
                    "d1 = Auto\nd2 = dontcare\nbad = maybe\nbadT = maybe\n"));
   for (const char *n : {"t1", "t2", "t3"}) {
      EXPECT_TRUE(Dictionary_GetBool(dict, false, n, &messages)) << n;
   }
   for (const char *n : {"f1", "f2", "f3"}) {
      EXPECT_FALSE(Dictionary_GetBool(dict, true, n, &messages)) << n;
   }
   EXPECT_EQ(Dictionary_GetTriState(dict, 1, "d1", &messages), -1);
   EXPECT_EQ(Dictionary_GetTriState(dict, 1, "d2", &messages), -1);
   EXPECT_EQ(Reports(), "");
   EXPECT_TRUE(Dictionary_GetBool(dict, true, "bad", &messages));
   EXPECT_EQ(Reports(), "[msg.dictionary.notBoolean]Value \"maybe\" for variable \"bad\" is not "
                        "a valid boolean value. Using value \"TRUE\".\n");
   EXPECT_EQ(Dictionary_GetTriState(dict, -1, "badT", &messages), -1);
   EXPECT_EQ(Reports(), "[msg.dictionary.notTristate]Value \"maybe\" for variable \"badT\" is "
                        "not a valid tristate value. Using value \"default\".\n");
   // Converted once: a later read with another default keeps the first.
   EXPECT_TRUE(Dictionary_GetBool(dict, false, "bad", &messages));
   EXPECT_EQ(Reports(), "");
}

TEST_F(DictionaryTest, Int32ReadsFollowStrtolWithUnsignedRetry)
{
   struct Case {
      const char *text;
      int32_t want;
      const char *report;  // id, or null
   } cases[] = {
      {"0x10", 16, nullptr},
      {"010", 8, nullptr},
      {"-2147483648", INT32_MIN, nullptr},
      {"4294967295", -1, nullptr},  // taken as unsigned
      {"0xFFFFFFFF", -1, nullptr},
      {"4294967296", 77, "integerTooBig"},
      {"-2147483649", 77, "integerTooBig"},
      {"12abc", 77, "notInteger"},
      {"-", 77, "notInteger"},
      {"0x", 77, "notInteger"},
      {"\"  \"", 77, "notInteger"},
      {"\"\"", 0, nullptr},  // the empty text, as strtol reads it
      {"", 0, nullptr},
      {"\" 1\"", 1, nullptr},
      {"\"1 \"", 77, "notInteger"},
   };
   std::string text;
   for (size_t i = 0; i < sizeof cases / sizeof cases[0]; i++) {
      text += "v" + std::to_string(i) + " = " + cases[i].text + "\n";
   }
   text += "huge = " + std::string(10000, '9') + "\n";
   ASSERT_TRUE(Load(text)) << Reports();
   for (size_t i = 0; i < sizeof cases / sizeof cases[0]; i++) {
      std::string name = "v" + std::to_string(i);
      EXPECT_EQ(Dictionary_GetLong(dict, 77, name.c_str(), &messages), cases[i].want)
         << cases[i].text;
      std::string r = Reports();
      if (cases[i].report == nullptr) {
         EXPECT_EQ(r, "") << cases[i].text;
      } else {
         EXPECT_EQ(r.find(std::string("[msg.dictionary.") + cases[i].report + "]"), 0u)
            << cases[i].text << ": " << r;
      }
   }
   EXPECT_EQ(Dictionary_GetLong(dict, 5, "huge", &messages), 5);
   EXPECT_NE(Reports().find("is too large. Using value \"5\"."), std::string::npos);
   EXPECT_EQ(Dictionary_GetLong(dict, 77, "v7", &messages), 77);  // "12abc": the default again
}

TEST_F(DictionaryTest, Int64AndDoubleReads)
{
   ASSERT_TRUE(Load("big = 0x7FFFFFFFFFFFFFFF\nneg = -5\nwrap = 18446744073709551615\n"
                    "over = 18446744073709551616\nbad = 1x\nd = 2.5\nbadD = 2.5.1\n"
                    "huge = " + std::string(10000, '9') + "\n"));
   EXPECT_EQ(Dictionary_GetInt64(dict, 0, "big", &messages), INT64_MAX);
   EXPECT_EQ(Dictionary_GetInt64(dict, 0, "neg", &messages), -5);
   EXPECT_EQ(Dictionary_GetInt64(dict, 0, "wrap", &messages), -1);
   EXPECT_EQ(Reports(), "");
   EXPECT_EQ(Dictionary_GetInt64(dict, 9, "over", &messages), 9);
   EXPECT_EQ(Reports(), "[msg.dictionary.integer64TooBig]Value \"18446744073709551616\" for "
                        "variable \"over\" is too large. Using value \"9\".\n");
   EXPECT_EQ(Dictionary_GetInt64(dict, 9, "huge", &messages), 9);
   EXPECT_NE(Reports().find("integer64TooBig"), std::string::npos);
   EXPECT_EQ(Dictionary_GetInt64(dict, 9, "bad", &messages), 9);
   EXPECT_EQ(Reports(), "[msg.dictionary.notInteger64]Value \"1x\" for variable \"bad\" is not a "
                        "valid integer value. Using value \"9\".\n");
   EXPECT_DOUBLE_EQ(Dictionary_GetDouble(dict, 0, "d", &messages), 2.5);
   EXPECT_DOUBLE_EQ(Dictionary_GetDouble(dict, 1.5, "badD", &messages), 1.5);
   EXPECT_EQ(Reports(), "[msg.dictionary.notFloat]Value \"2.5.1\" for variable \"badD\" is not a "
                        "valid floating point value. Using value \"1.500000\".\n");
}

TEST_F(DictionaryTest, EmptyTextReadsAsZeroAndBlankTextAsTheDefault)
{
   ASSERT_TRUE(Load("e64 =\nd =\nq64 = \"\"\nblank64 = \" \"\nblankD = \" \"\n"));
   EXPECT_EQ(Dictionary_GetInt64(dict, 9, "e64", &messages), 0);
   EXPECT_DOUBLE_EQ(Dictionary_GetDouble(dict, 1.5, "d", &messages), 0.0);
   EXPECT_EQ(Dictionary_GetInt64(dict, 9, "q64", &messages), 0);
   EXPECT_EQ(Reports(), "");
   EXPECT_EQ(Dictionary_GetInt64(dict, 9, "blank64", &messages), 9);
   EXPECT_DOUBLE_EQ(Dictionary_GetDouble(dict, 1.5, "blankD", &messages), 1.5);
   std::string r = Reports();
   EXPECT_NE(r.find("[msg.dictionary.notInteger64]"), std::string::npos) << r;
   EXPECT_NE(r.find("[msg.dictionary.notFloat]"), std::string::npos) << r;
}

TEST_F(DictionaryTest, MissingNameIsAddedFromTheDefaultAndKeepsIt)
{
   EXPECT_EQ(Dictionary_GetLong(dict, 4, "n", &messages), 4);
   EXPECT_TRUE(Dictionary_IsDefined(dict, "n"));
   EXPECT_EQ(Dictionary_GetLong(dict, 9, "n", &messages), 4);
   EXPECT_EQ(Dictionary_GetString(dict, nullptr, "s", &messages), nullptr);
   EXPECT_EQ(Dictionary_GetString(dict, "other", "s", &messages), nullptr);
   // Asked with another type than it holds, an entry answers the default.
   EXPECT_TRUE(Dictionary_GetBool(dict, true, "n", &messages));
   EXPECT_EQ(Reports(), "");
}
