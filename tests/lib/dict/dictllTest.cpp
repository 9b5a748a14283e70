// The line reader and the line parser of dictionary files.
#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "lib/dict/dictll.h"

namespace {

// A byte source handing out at most `step` bytes per read.
struct Source {
   std::string data;
   size_t pos = 0;
   size_t step = 1 << 20;
   bool failAtEnd = false;
};

long
ReadSource(void *context, void *buf, size_t size)
{
   Source *s = static_cast<Source *>(context);
   if (s->pos == s->data.size() && s->failAtEnd) {
      errno = EIO;
      return -1;
   }
   size_t n = std::min({size, s->step, s->data.size() - s->pos});
   std::memcpy(buf, s->data.data() + s->pos, n);
   s->pos += n;
   return (long)n;
}

std::vector<std::string>
Lines(const std::string &data, size_t step = 1 << 20, bool *bom = nullptr)
{
   Source s{data, 0, step, false};
   DictLLReader *r = DictLL_CreateReader(ReadSource, &s);
   std::vector<std::string> out;
   char *line;
   size_t len;
   while (DictLL_ReadLine(r, &line, &len) == DICTLL_LINE) {
      out.emplace_back(line, len);
   }
   if (bom != nullptr) {
      *bom = DictLL_SawBOM(r);
   }
   DictLL_FreeReader(r);
   return out;
}

struct Parsed {
   DictLLLineKind kind;
   std::string name;
   std::string value;
};

Parsed
Parse(const std::string &text)
{
   std::string buf = text;
   const char *name = nullptr;
   const char *value = nullptr;
   size_t nameLen = 0;
   size_t valueLen = 0;
   Parsed p;
   p.kind = DictLL_ParseLine(buf.data(), buf.size(), &name, &nameLen, &value, &valueLen);
   if (p.kind == DICTLL_VARIABLE) {
      p.name.assign(name, nameLen);
      p.value.assign(value, valueLen);
   }
   return p;
}

}  // namespace

TEST(DictLLReader, LineEndsAreLfCrAndCrLfWhateverTheChunking)
{
   std::string text = "a\nb\r\nc\rd\r\n\r\ne";
   std::vector<std::string> want = {"a", "b", "c", "d", "", "e"};
   // One byte at a time splits every CR LF pair across reads.
   for (size_t step : {1, 2, 3, 1 << 20}) {
      EXPECT_EQ(Lines(text, step), want) << "step " << step;
   }
   EXPECT_EQ(Lines("x\r"), std::vector<std::string>{"x"});
   EXPECT_EQ(Lines(""), std::vector<std::string>{});
}

TEST(DictLLReader, ByteOrderMarkIsSkippedOnlyAtTheStart)
{
   bool bom = false;
   EXPECT_EQ(Lines("\xEF\xBB\xBFk = v\n", 1, &bom), std::vector<std::string>{"k = v"});
   EXPECT_TRUE(bom);
   EXPECT_EQ(Lines("k\n\xEF\xBB\xBF\n", 1 << 20, &bom),
             (std::vector<std::string>{"k", "\xEF\xBB\xBF"}));
   EXPECT_FALSE(bom);
   EXPECT_EQ(Lines("\xEF\xBB", 1 << 20, &bom), std::vector<std::string>{"\xEF\xBB"});
   EXPECT_FALSE(bom);
}

TEST(DictLLReader, LongLinesAndNulBytesAreReadWhole)
{
   std::string big(1000000, 'x');
   std::string withNul("a\0b", 3);
   auto lines = Lines(big + "\n" + withNul + "\nend", 4096);
   ASSERT_EQ(lines.size(), 3u);
   EXPECT_EQ(lines[0], big);
   EXPECT_EQ(lines[1], withNul);
   EXPECT_EQ(lines[2], "end");
}

TEST(DictLLReader, ReadErrorIsReported)
{
   Source s{"a\nb", 0, 1 << 20, true};
   DictLLReader *r = DictLL_CreateReader(ReadSource, &s);
   char *line;
   size_t len;
   EXPECT_EQ(DictLL_ReadLine(r, &line, &len), DICTLL_LINE);
   EXPECT_EQ(DictLL_ReadLine(r, &line, &len), DICTLL_READ_ERROR);
   DictLL_FreeReader(r);
}

TEST(DictLLParse, VariablesQuotedAndUnquoted)
{
   struct Case {
      const char *line;
      const char *name;
      const char *value;
   } cases[] = {
      {"log.keepOld = 5 # five", "log.keepOld", "5"},
      {"log.keepOld = \"5 # five\"", "log.keepOld", "5 # five"},
      {"\t name\t=\tvalue\t", "name", "value"},
      {"name =", "name", ""},
      {"name=a=b\"c", "name", "a=b\"c"},
      {"q = \"a = b\"   # c", "q", "a = b"},
      {"path = C:|5Cdir", "path", "C:\\dir"},
      {"path = \"C:|5cdir\"", "path", "C:\\dir"},
      {"p = |zz|4|41|", "p", "|zz|4A|"},
   };
   for (const Case &c : cases) {
      Parsed p = Parse(c.line);
      ASSERT_EQ(p.kind, DICTLL_VARIABLE) << c.line;
      EXPECT_EQ(p.name, c.name) << c.line;
      EXPECT_EQ(p.value, c.value) << c.line;
   }
}

TEST(DictLLParse, CommentsAndSyntaxErrors)
{
   for (const char *line : {"", "   ", "# note", "  \t# note = x"}) {
      EXPECT_EQ(Parse(line).kind, DICTLL_COMMENT) << line;
   }
   const char *errors[] = {
      "name = a b",        // an unquoted value ends at white space
      "name = \"open",     // no closing quote
      "name value",        // no "="
      "= value",           // no name
      "name = \"a\" b",    // only a comment may follow
   };
   for (const char *line : errors) {
      EXPECT_EQ(Parse(line).kind, DICTLL_SYNTAX_ERROR) << line;
   }
   // A value that is malformed anyway stays a syntax error.
   EXPECT_EQ(Parse("name = |00 b").kind, DICTLL_SYNTAX_ERROR);
   EXPECT_EQ(Parse(std::string("na\0me = v", 9)).kind, DICTLL_SYNTAX_ERROR);
   EXPECT_EQ(Parse(std::string("name = v\0", 9)).kind, DICTLL_SYNTAX_ERROR);
}

TEST(DictLLParse, AnEscapedNulByteRefusesTheValueButNamesTheVariable)
{
   for (const char *line : {"name = |00", "name = \"x|00y\" # note", "name = a|7C|00"}) {
      std::string buf = line;
      const char *name = nullptr;
      const char *value = nullptr;
      size_t nameLen = 0;
      size_t valueLen = 0;
      EXPECT_EQ(DictLL_ParseLine(buf.data(), buf.size(), &name, &nameLen, &value, &valueLen),
                DICTLL_NUL_VALUE)
         << line;
      ASSERT_NE(name, nullptr) << line;
      EXPECT_EQ(std::string(name, nameLen), "name") << line;
   }
}
