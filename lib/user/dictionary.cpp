// Dictionaries; see dictionary.h.
#include "lib/user/dictionary.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <unicode/ucnv.h>
#include <unicode/ustring.h>

#include "lib/dict/dictll.h"
#include "lib/log/log.h"
#include "lib/misc/panic.h"
#include "lib/user/dictionaryPlatform.h"
#include "lib/misc/msgList.h"

namespace {

constexpr int DICT_MAX_DUPLICATES = 100;

char
DictionaryAsciiLower(char c)
{
   return c >= 'A' && c <= 'Z' ? (char)(c - 'A' + 'a') : c;
}

bool
DictionaryEqualIgnoringCase(std::string_view a, std::string_view b)
{
   if (a.size() != b.size()) {
      return false;
   }
   for (size_t i = 0; i < a.size(); i++) {
      if (DictionaryAsciiLower(a[i]) != DictionaryAsciiLower(b[i])) {
         return false;
      }
   }
   return true;
}

struct CaseHash {
   size_t operator()(std::string_view s) const
   {
      size_t h = 14695981039346656037ull;  // FNV-1a over the lower-cased bytes
      for (char c : s) {
         h = (h ^ (unsigned char)DictionaryAsciiLower(c)) * 1099511628211ull;
      }
      return h;
   }
};

struct CaseEqual {
   bool operator()(std::string_view a, std::string_view b) const
   {
      return DictionaryEqualIgnoringCase(a, b);
   }
};

struct Entry {
   std::string name;
   std::string text;      // as read (UTF-8 once the encoding is settled), or the string value
   bool textIsNull = false;
   int type = DICT_ANY;
   bool fromDefault = false;
   bool boolValue = false;
   int tristateValue = -1;
   int32_t longValue = 0;
   int64_t int64Value = 0;
   double doubleValue = 0;
};

struct Line {
   std::string text;       // a comment or kept line
   Entry *entry = nullptr;  // a variable's line
};

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool
DictionaryIsValidUtf8(std::string_view s)
{
   const unsigned char *p = reinterpret_cast<const unsigned char *>(s.data());
   const unsigned char *end = p + s.size();
   while (p < end) {
      unsigned char c = *p;
      if (c < 0x80) {
         p++;
         continue;
      }
      size_t n;
      uint32_t cp;
      if (c >= 0xC2 && c <= 0xDF) {
         n = 1, cp = c & 0x1F;
      } else if (c >= 0xE0 && c <= 0xEF) {
         n = 2, cp = c & 0x0F;
      } else if (c >= 0xF0 && c <= 0xF4) {
         n = 3, cp = c & 0x07;
      } else {
         return false;
      }
      if ((size_t)(end - p) <= n) {
         return false;
      }
      for (size_t i = 1; i <= n; i++) {
         if ((p[i] & 0xC0) != 0x80) {
            return false;
         }
         cp = (cp << 6) | (p[i] & 0x3F);
      }
      if ((n == 2 && cp < 0x800) || (n == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
          (cp >= 0xD800 && cp <= 0xDFFF)) {
         return false;
      }
      p += n + 1;
   }
   return true;
}

// One ICU converter for the values of a file.
class Converter {
public:
   ~Converter() { Close(); }

   // False when ICU does not know the name.
   bool Open(const char *name)
   {
      Close();
      if (name == nullptr || *name == '\0') {
         return false;  // ICU would take the empty name for its default
      }
      UErrorCode status = U_ZERO_ERROR;
      cnv_ = ucnv_open(name, &status);
      if (U_FAILURE(status) || cnv_ == nullptr) {
         cnv_ = nullptr;
         return false;
      }
      ucnv_setToUCallBack(cnv_, UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
      const char *canonical = ucnv_getName(cnv_, &status);
      canonical_ = canonical != nullptr ? canonical : name;
      utf8_ = canonical_ == "UTF-8";
      return U_SUCCESS(status);
   }

   const std::string &Canonical() const { return canonical_; }

   // Converts text to UTF-8 in place; false when it is not valid.
   bool ToUtf8(std::string *text)
   {
      if (utf8_ || text->empty()) {
         return DictionaryIsValidUtf8(*text);
      }
      ucnv_reset(cnv_);
      UErrorCode status = U_ZERO_ERROR;
      std::u16string wide(text->size() * 2 + 4, u'\0');
      int32_t n = ucnv_toUChars(cnv_, wide.data(), (int32_t)wide.size(), text->data(),
                                (int32_t)text->size(), &status);
      if (U_FAILURE(status) || status == U_STRING_NOT_TERMINATED_WARNING) {
         return false;
      }
      status = U_ZERO_ERROR;
      int32_t need = 0;
      u_strToUTF8(nullptr, 0, &need, wide.data(), n, &status);
      if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status)) {
         return false;
      }
      std::string out((size_t)need, '\0');
      status = U_ZERO_ERROR;
      u_strToUTF8(out.data(), need, nullptr, wide.data(), n, &status);
      if (U_FAILURE(status) || out.find('\0') != std::string::npos) {
         return false;
      }
      *text = std::move(out);
      return true;
   }

private:
   void Close()
   {
      if (cnv_ != nullptr) {
         ucnv_close(cnv_);
         cnv_ = nullptr;
      }
   }

   UConverter *cnv_ = nullptr;
   std::string canonical_;
   bool utf8_ = false;
};

}  // namespace

struct Dictionary {
   std::deque<Line> lines;
   std::vector<std::unique_ptr<Entry>> entries;
   std::unordered_map<std::string_view, Entry *, CaseHash, CaseEqual> index;  // views of entry names
   std::string encoding;         // as named; empty while unset
   std::string encodingCanonical;
   std::string fileName;         // while loading
   int lineNumber = 0;
};

namespace {

Entry *
DictionaryFindEntry(Dictionary *dict, std::string_view name)
{
   auto it = dict->index.find(name);
   return it == dict->index.end() ? nullptr : it->second;
}

Entry *
DictionaryAddEntry(Dictionary *dict, std::string_view name)
{
   dict->entries.push_back(std::make_unique<Entry>());
   Entry *e = dict->entries.back().get();
   e->name.assign(name);
   dict->index.emplace(std::string_view(e->name), e);
   return e;
}

// Drops entries (one pass over the lines and the entries); their lines
// stay as plain lines.
void
DictionaryRemoveEntries(Dictionary *dict, const std::vector<Entry *> &drop)
{
   if (drop.empty()) {
      return;
   }
   std::unordered_map<const Entry *, bool> gone;
   for (Entry *e : drop) {
      gone[e] = true;
      dict->index.erase(std::string_view(e->name));
   }
   for (Line &line : dict->lines) {
      if (line.entry != nullptr && gone.count(line.entry) != 0) {
         line.text = line.entry->name + " =";
         line.entry = nullptr;
      }
   }
   std::erase_if(dict->entries, [&](const std::unique_ptr<Entry> &e) {
      return gone.count(e.get()) != 0;
   });
}

bool
DictionaryIsEncodingName(std::string_view name)
{
   return DictionaryEqualIgnoringCase(name, ".encoding") ||
          DictionaryEqualIgnoringCase(name, "config.encoding") ||
          DictionaryEqualIgnoringCase(name, "preferences.encoding") ||
          DictionaryEqualIgnoringCase(name, "snapshot.encoding");
}

// One load in progress.
struct Loader {
   Dictionary *dict;
   const char *shownName;
   MsgList **messages;
   Converter converter;
   std::vector<Entry *> unconverted;  // values of this load not yet in UTF-8

   void BadInput(const Entry *e, const std::string &raw)
   {
      MsgList_Append(messages,
                     MSG_MAGIC "(msg.dictionary.badEncodedInput)File \"%s\" line %d: Value \"%s\" "
                     "for variable \"%s\" is not valid in encoding \"%s\".\n",
                     shownName, dict->lineNumber, raw.c_str(), e->name.c_str(),
                     dict->encoding.c_str());
   }

   // Settles the encoding named on an encoding line.
   bool SetEncoding(const std::string &name)
   {
      if (!dict->encoding.empty()) {
         Converter other;
         if (other.Open(name.c_str()) && other.Canonical() == dict->encodingCanonical) {
            return true;
         }
         MsgList_Append(messages,
                        MSG_MAGIC "(msg.dictionary.hasEncoding)File \"%s\" (line %d) already has "
                        "encoding \"%s\".\n",
                        shownName, dict->lineNumber, dict->encoding.c_str());
         return false;
      }
      if (!converter.Open(name.c_str())) {
         MsgList_Append(messages,
                        MSG_MAGIC "(msg.dictionary.unknownEncoding)File \"%s\" (line %d) specifies "
                        "a character encoding (%s) that is not supported.\n",
                        shownName, dict->lineNumber, name.c_str());
         return false;
      }
      dict->encoding = name;
      dict->encodingCanonical = converter.Canonical();
      return ConvertPending(true);
   }

   /*
    * Converts the values read so far; false when one is not valid. Those
    * are dropped, so that every value held is UTF-8 even after a failure;
    * with report, the first of them is reported.
    */
   bool ConvertPending(bool report)
   {
      std::vector<Entry *> drop;
      for (Entry *e : unconverted) {
         std::string raw = e->text;
         if (!converter.ToUtf8(&e->text)) {
            if (report && drop.empty()) {
               BadInput(e, raw);
            }
            drop.push_back(e);
         }
      }
      DictionaryRemoveEntries(dict, drop);
      unconverted.clear();
      return drop.empty();
   }

   // The end of the file without an encoding line: a byte-order mark
   // with valid UTF-8 means UTF-8, else the default encoding applies.
   bool SettleEncoding(bool sawBOM, const char *defaultEncoding)
   {
      if (!dict->encoding.empty()) {
         return true;
      }
      if (sawBOM) {
         bool valid = true;
         for (const Entry *e : unconverted) {
            valid = valid && DictionaryIsValidUtf8(e->text);
         }
         if (valid && converter.Open("UTF-8")) {
            dict->encoding = "UTF-8";
            dict->encodingCanonical = converter.Canonical();
            unconverted.clear();
            return true;
         }
      }
      const char *name = defaultEncoding != nullptr ? defaultEncoding : Dictionary_HostEncoding();
      bool opened = converter.Open(name);
      if (opened && ConvertPending(false)) {
         dict->encoding = name;
         dict->encodingCanonical = converter.Canonical();
         return true;
      }
      MsgList_Append(messages,
                     MSG_MAGIC "(msg.dictionary.badDefaultEncoding)An error occurred while "
                     "decoding file \"%s\" using the default character encoding.\n",
                     shownName);
      if (!opened) {
         // No converter: only what is UTF-8 already is kept.
         std::vector<Entry *> drop;
         for (Entry *e : unconverted) {
            if (!DictionaryIsValidUtf8(e->text)) {
               drop.push_back(e);
            }
         }
         DictionaryRemoveEntries(dict, drop);
         unconverted.clear();
      }
      return false;
   }
};

enum LineResult {
   LINE_OK,
   LINE_DUPLICATE,
   LINE_REFUSED,  // this variable is not defined; the lines after it are read
   LINE_FAILED,
};

// A variable whose value escapes a NUL byte: no text can hold it, so the
// variable is left out and its line kept as a plain line.
LineResult
DictionaryRefuseNulValue(Loader *ld, std::string_view name, std::string original)
{
   std::string n(name);
   MsgList_Append(ld->messages,
                  MSG_MAGIC "(msg.dictionary.read.nulByte)File \"%s\" line %d: The value of "
                  "variable \"%s\" holds a NUL byte; the variable is ignored.\n",
                  ld->shownName, ld->dict->lineNumber, n.c_str());
   ld->dict->lines.push_back(Line{std::move(original), nullptr});
   return LINE_REFUSED;
}

LineResult
DictionaryParseLine(Loader *ld, char *text, size_t length)
{
   Dictionary *dict = ld->dict;
   const char *nameBytes;
   const char *valueBytes;
   size_t nameLength;
   size_t valueLength;
   // The line as read: parsing unescapes "|XX" in place.
   std::string saved;
   bool escaped = std::memchr(text, '|', length) != nullptr;
   if (escaped) {
      saved.assign(text, length);
   }
   DictLLLineKind kind =
      DictLL_ParseLine(text, length, &nameBytes, &nameLength, &valueBytes, &valueLength);
   std::string_view originalView = escaped ? std::string_view(saved) : std::string_view(text, length);
   auto original = [&] { return std::string(originalView); };
   if (kind == DICTLL_COMMENT) {
      dict->lines.push_back(Line{original(), nullptr});
      return LINE_OK;
   }
   if (kind == DICTLL_SYNTAX_ERROR) {
      Log("%s: syntax error with line, \"%s\".\n", "DictionaryParseReadLine", original().c_str());
      MsgList_Append(ld->messages,
                     MSG_MAGIC "(msg.dictionary.read.syntaxError)File \"%s\" line %d: Syntax "
                     "error.\n",
                     ld->shownName, dict->lineNumber);
      return LINE_FAILED;
   }
   std::string_view name(nameBytes, nameLength);
   if (kind == DICTLL_NUL_VALUE) {
      return DictionaryRefuseNulValue(ld, name, original());
   }
   std::string value(valueBytes, valueLength);
   if (DictionaryIsEncodingName(name)) {
      dict->lines.push_back(Line{original(), nullptr});
      return ld->SetEncoding(value) ? LINE_OK : LINE_FAILED;
   }
   if (name[0] == '.') {
      std::string n(name);
      Log("%s: \"%s\" line %d: unrecognized metavariable \"%s\"\n", "DictionaryParseReadLine",
          ld->shownName, dict->lineNumber, n.c_str());
      dict->lines.push_back(Line{original(), nullptr});
      return LINE_OK;
   }
   if (DictionaryFindEntry(dict, name) != nullptr) {
      std::string n(name);
      MsgList_Append(ld->messages,
                     MSG_MAGIC "(msg.dictionary.alreadyDefined)File \"%s\" line %d: Variable "
                     "\"%s\" is already defined.\n",
                     ld->shownName, dict->lineNumber, n.c_str());
      dict->lines.push_back(Line{original(), nullptr});
      return LINE_DUPLICATE;
   }
   Entry *e = DictionaryAddEntry(dict, name);
   e->text = std::move(value);
   if (dict->encoding.empty()) {
      ld->unconverted.push_back(e);
   } else {
      std::string raw = e->text;
      if (!ld->converter.ToUtf8(&e->text)) {
         ld->BadInput(e, raw);
         dict->index.erase(std::string_view(e->name));
         dict->entries.pop_back();
         dict->lines.push_back(Line{original(), nullptr});
         return LINE_FAILED;
      }
   }
   dict->lines.push_back(Line{std::string(), e});
   return LINE_OK;
}

void
DictionaryClearDictionary(Dictionary *dict)
{
   dict->lines.clear();
   dict->index.clear();
   dict->entries.clear();
   dict->encoding.clear();
   dict->encodingCanonical.clear();
}

}  // namespace

Dictionary *
Dictionary_Create()
{
   return new Dictionary();
}

void
Dictionary_Free(Dictionary *dict)
{
   delete dict;
}

namespace {

// Opens a file to load, reporting why it cannot be read.
bool
DictionaryOpen(const char *path, int *fd, MsgList **messages)
{
   char errBuf[128];
   int err;
   switch (DictionaryPlat_Open(path, fd, &err)) {
   case DICTPLAT_OK:
      return true;
   case DICTPLAT_OPEN_FAILED:
      MsgList_Append(messages,
                     MSG_MAGIC "(msg.dictionary.load.openFailed)Cannot open file \"%s\": %s.\n",
                     path, DictionaryPlat_ErrorText(err, errBuf, sizeof errBuf));
      return false;
   case DICTPLAT_STAT_FAILED:
      MsgList_Append(messages,
                     MSG_MAGIC "(msg.dictionary.load.statFailed)Unable to get information "
                     "about file \"%s\": %s.\n",
                     path, DictionaryPlat_ErrorText(err, errBuf, sizeof errBuf));
      return false;
   case DICTPLAT_IS_DIRECTORY:
      MsgList_Append(messages, MSG_MAGIC "(msg.dictionary.load.isDirectory)\"%s\" is a directory.\n",
                     path);
      return false;
   case DICTPLAT_NOT_REGULAR:
      MsgList_Append(messages,
                     MSG_MAGIC "(msg.dictionary.load.notRegular)\"%s\" is not a regular file.\n",
                     path);
      return false;
   }
   return false;
}

}  // namespace

bool
Dictionary_Load(Dictionary *dict, const char *path, bool clear, const char *defaultEncoding,
                MsgList **messages)
{
   bool isStdin = std::strcmp(path, "-") == 0;
   const char *shown = isStdin ? "<stdin>" : path;
   int fd = DictionaryPlat_StdinFd();
   char errBuf[128];
   if (!isStdin && !DictionaryOpen(path, &fd, messages)) {
      return false;
   }
   if (clear) {
      DictionaryClearDictionary(dict);
   }
   dict->fileName = shown;
   dict->lineNumber = 0;

   Loader ld{dict, shown, messages, {}, {}};
   if (!dict->encoding.empty()) {
      ld.converter.Open(dict->encoding.c_str());
   }
   DictLLReader *reader = DictLL_CreateReader(DictionaryPlat_Read, &fd);
   bool ok = true;
   int duplicates = 0;
   for (;;) {
      char *line;
      size_t length;
      DictLLStatus st = DictLL_ReadLine(reader, &line, &length);
      if (st == DICTLL_EOF) {
         break;
      }
      if (st == DICTLL_READ_ERROR) {
         MsgList_Append(messages,
                        MSG_MAGIC "(msg.dictionary.read.readError)File \"%s\" line %d: %s.\n",
                        shown, dict->lineNumber,
                        DictionaryPlat_ErrorText(errno, errBuf, sizeof errBuf));
         ok = false;
         break;
      }
      dict->lineNumber++;
      LineResult r = DictionaryParseLine(&ld, line, length);
      if (r == LINE_FAILED) {
         ok = false;
         break;
      }
      ok = ok && r == LINE_OK;
      if (r == LINE_DUPLICATE && ++duplicates > DICT_MAX_DUPLICATES) {
         Log("%s: \"%s\" line %d: too many duplicate entries in dictionary, quitting.\n",
             "DictionaryReadLines", shown, dict->lineNumber);
         break;
      }
   }
   bool sawBOM = DictLL_SawBOM(reader);
   DictLL_FreeReader(reader);
   if (!isStdin) {
      DictionaryPlat_Close(fd);
   }
   // Even after a failure, what was read is settled, so that every value
   // kept is UTF-8.
   if (!ld.SettleEncoding(sawBOM, defaultEncoding)) {
      ok = false;
   }
   if (DictionaryFindEntry(dict, "encryption.keySafe") != nullptr) {
      MsgList_Append(messages,
                     MSG_MAGIC "(msg.dictionary.load.encrypted)File \"%s\" is encrypted, and no "
                     "key to open it was given.\n",
                     shown);
      ok = false;
   }
   dict->fileName.clear();
   return ok;
}

bool
Dictionary_IsDefined(Dictionary *dict, const char *name)
{
   return DictionaryFindEntry(dict, name) != nullptr;
}

namespace {

const char *
DictionaryBoolText(bool value)
{
   return value ? "TRUE" : "FALSE";
}

bool
DictionaryParseBool(const std::string &text, bool *value)
{
   static const char *const yes[] = {"", "true", "t", "yes", "y", "on", "1"};
   static const char *const no[] = {"false", "f", "no", "n", "off", "0"};
   for (const char *w : yes) {
      if (DictionaryEqualIgnoringCase(text, w)) {
         *value = true;
         return true;
      }
   }
   for (const char *w : no) {
      if (DictionaryEqualIgnoringCase(text, w)) {
         *value = false;
         return true;
      }
   }
   return false;
}

bool
DictionaryParseTriState(const std::string &text, int *value)
{
   bool b;
   if (DictionaryParseBool(text, &b)) {
      *value = b ? 1 : 0;
      return true;
   }
   for (const char *w : {"default", "dontcare", "auto"}) {
      if (DictionaryEqualIgnoringCase(text, w)) {
         *value = -1;
         return true;
      }
   }
   return false;
}

enum NumberResult { NUMBER_OK, NUMBER_TOO_BIG, NUMBER_NOT_A_NUMBER };

/*
 * Whether conversion stopped at the end of the text. As with strtol, the
 * empty text is 0; any other text without a number stops at its start.
 */
NumberResult
DictionaryCheckEnd(const char *end)
{
   return *end != '\0' ? NUMBER_NOT_A_NUMBER : NUMBER_OK;
}

bool
DictionaryStartsNegative(const char *text)
{
   while (*text == ' ' || *text == '\t' || *text == '\n' || *text == '\r' || *text == '\f' ||
          *text == '\v') {
      text++;
   }
   return *text == '-';
}

/*
 * A 32-bit integer in any base C knows ("0x", leading-zero octal); one
 * beyond the signed range is taken as unsigned (so 0xFFFFFFFF is -1).
 */
NumberResult
DictionaryParseLong(const char *text, int32_t *value)
{
   char *end;
   errno = 0;
   long long v = std::strtoll(text, &end, 0);
   bool tooBig = errno == ERANGE || v < INT32_MIN || v > INT32_MAX;
   if (tooBig && !DictionaryStartsNegative(text)) {
      errno = 0;
      unsigned long long u = std::strtoull(text, &end, 0);
      tooBig = errno == ERANGE || u > UINT32_MAX;
      v = (long long)(int32_t)(uint32_t)u;
   }
   if (tooBig) {
      return NUMBER_TOO_BIG;
   }
   NumberResult r = DictionaryCheckEnd(end);
   if (r == NUMBER_OK) {
      *value = (int32_t)v;
   }
   return r;
}

// A 64-bit integer, unsigned values above the signed range wrapping.
NumberResult
DictionaryParseInt64(const char *text, int64_t *value)
{
   char *end;
   errno = 0;
   int64_t v;
   if (DictionaryStartsNegative(text)) {
      v = std::strtoll(text, &end, 0);
   } else {
      v = (int64_t)std::strtoull(text, &end, 0);
   }
   if (errno == ERANGE) {
      return NUMBER_TOO_BIG;
   }
   NumberResult r = DictionaryCheckEnd(end);
   if (r == NUMBER_OK) {
      *value = v;
   }
   return r;
}

void
DictionaryConvertLong(Entry *e, const void *def, MsgList **messages)
{
   const char *text = e->text.c_str();
   const char *name = e->name.c_str();
   switch (DictionaryParseLong(text, &e->longValue)) {
   case NUMBER_OK:
      break;
   case NUMBER_TOO_BIG:
      e->longValue = *static_cast<const int32_t *>(def);
      MsgList_Append(messages,
                     MSG_MAGIC "(msg.dictionary.integerTooBig)Value \"%s\" for variable \"%s\" "
                     "is too large. Using value \"%d\".\n",
                     text, name, e->longValue);
      break;
   case NUMBER_NOT_A_NUMBER:
      e->longValue = *static_cast<const int32_t *>(def);
      MsgList_Append(messages,
                     MSG_MAGIC "(msg.dictionary.notInteger)Value \"%s\" for variable \"%s\" is "
                     "not a valid integer value. Using value \"%d\".\n",
                     text, name, e->longValue);
      break;
   }
}

void
DictionaryConvertInt64(Entry *e, const void *def, MsgList **messages)
{
   const char *text = e->text.c_str();
   const char *name = e->name.c_str();
   switch (DictionaryParseInt64(text, &e->int64Value)) {
   case NUMBER_OK:
      break;
   case NUMBER_TOO_BIG:
      e->int64Value = *static_cast<const int64_t *>(def);
      MsgList_Append(messages,
                     MSG_MAGIC "(msg.dictionary.integer64TooBig)Value \"%s\" for variable \"%s\" "
                     "is too large. Using value \"%lld\".\n",
                     text, name, (long long)e->int64Value);
      break;
   case NUMBER_NOT_A_NUMBER:
      e->int64Value = *static_cast<const int64_t *>(def);
      MsgList_Append(messages,
                     MSG_MAGIC "(msg.dictionary.notInteger64)Value \"%s\" for variable \"%s\" "
                     "is not a valid integer value. Using value \"%lld\".\n",
                     text, name, (long long)e->int64Value);
      break;
   }
}

void
DictionaryConvertDouble(Entry *e, const void *def, MsgList **messages)
{
   const char *text = e->text.c_str();
   char *end;
   double d = std::strtod(text, &end);
   if (DictionaryCheckEnd(end) == NUMBER_OK) {
      e->doubleValue = d;
      return;
   }
   e->doubleValue = *static_cast<const double *>(def);
   MsgList_Append(messages,
                  MSG_MAGIC "(msg.dictionary.notFloat)Value \"%s\" for variable \"%s\" is "
                  "not a valid floating point value. Using value \"%f\".\n",
                  text, e->name.c_str(), e->doubleValue);
}

// Converts an untyped entry's text to type, or takes the default.
void
DictionaryConvertEntry(Entry *e, const void *def, int type, MsgList **messages)
{
   const char *text = e->text.c_str();
   const char *name = e->name.c_str();
   e->type = type;
   switch (type) {
   case DICT_STRING:
      break;
   case DICT_BOOL:
      if (!DictionaryParseBool(e->text, &e->boolValue)) {
         e->boolValue = *static_cast<const bool *>(def);
         MsgList_Append(messages,
                        MSG_MAGIC "(msg.dictionary.notBoolean)Value \"%s\" for variable \"%s\" "
                        "is not a valid boolean value. Using value \"%s\".\n",
                        text, name, DictionaryBoolText(e->boolValue));
      }
      break;
   case DICT_TRISTATE:
      if (!DictionaryParseTriState(e->text, &e->tristateValue)) {
         e->tristateValue = *static_cast<const int *>(def);
         MsgList_Append(messages,
                        MSG_MAGIC "(msg.dictionary.notTristate)Value \"%s\" for variable \"%s\" "
                        "is not a valid tristate value. Using value \"%s\".\n",
                        text, name,
                        e->tristateValue < 0 ? "default"
                                             : DictionaryBoolText(e->tristateValue != 0));
      }
      break;
   case DICT_LONG:
      DictionaryConvertLong(e, def, messages);
      break;
   case DICT_INT64:
      DictionaryConvertInt64(e, def, messages);
      break;
   case DICT_DOUBLE:
      DictionaryConvertDouble(e, def, messages);
      break;
   default:
      NOT_REACHED();
   }
}

const void *
DictionaryValueOf(const Entry *e)
{
   switch (e->type) {
   case DICT_ANY:
   case DICT_STRING:
      return e->textIsNull ? nullptr : e->text.c_str();
   case DICT_BOOL:
      return &e->boolValue;
   case DICT_TRISTATE:
      return &e->tristateValue;
   case DICT_LONG:
      return &e->longValue;
   case DICT_INT64:
      return &e->int64Value;
   case DICT_DOUBLE:
      return &e->doubleValue;
   default:
      NOT_REACHED();
   }
}

}  // namespace

const void *
Dictionary_Get(Dictionary *dict, const void *defaultValue, int type, const char *name,
               MsgList **messages)
{
   if (type < DICT_ANY || type > DICT_INT64) {
      NOT_REACHED();
   }
   Entry *e = DictionaryFindEntry(dict, name);
   if (e == nullptr) {
      e = DictionaryAddEntry(dict, name);
      e->type = type;
      e->fromDefault = true;
      switch (type) {
      case DICT_ANY:
      case DICT_STRING:
         e->textIsNull = defaultValue == nullptr;
         if (defaultValue != nullptr) {
            e->text = static_cast<const char *>(defaultValue);
         }
         break;
      case DICT_BOOL: e->boolValue = *static_cast<const bool *>(defaultValue); break;
      case DICT_TRISTATE: e->tristateValue = *static_cast<const int *>(defaultValue); break;
      case DICT_LONG: e->longValue = *static_cast<const int32_t *>(defaultValue); break;
      case DICT_INT64: e->int64Value = *static_cast<const int64_t *>(defaultValue); break;
      case DICT_DOUBLE: e->doubleValue = *static_cast<const double *>(defaultValue); break;
      }
      return DictionaryValueOf(e);
   }
   if (type == DICT_ANY) {
      return e->type == DICT_ANY || e->type == DICT_STRING ? DictionaryValueOf(e) : defaultValue;
   }
   if (e->type == DICT_ANY) {
      DictionaryConvertEntry(e, defaultValue, type, messages);
   }
   // Another type than the one asked for: the stored value cannot answer.
   return e->type == type ? DictionaryValueOf(e) : defaultValue;
}

bool
Dictionary_GetBool(Dictionary *dict, bool defaultValue, const char *name, MsgList **messages)
{
   return *static_cast<const bool *>(Dictionary_Get(dict, &defaultValue, DICT_BOOL, name, messages));
}

int
Dictionary_GetTriState(Dictionary *dict, int defaultValue, const char *name, MsgList **messages)
{
   return *static_cast<const int *>(
      Dictionary_Get(dict, &defaultValue, DICT_TRISTATE, name, messages));
}

int32_t
Dictionary_GetLong(Dictionary *dict, int32_t defaultValue, const char *name, MsgList **messages)
{
   return *static_cast<const int32_t *>(
      Dictionary_Get(dict, &defaultValue, DICT_LONG, name, messages));
}

int64_t
Dictionary_GetInt64(Dictionary *dict, int64_t defaultValue, const char *name, MsgList **messages)
{
   return *static_cast<const int64_t *>(
      Dictionary_Get(dict, &defaultValue, DICT_INT64, name, messages));
}

double
Dictionary_GetDouble(Dictionary *dict, double defaultValue, const char *name, MsgList **messages)
{
   return *static_cast<const double *>(
      Dictionary_Get(dict, &defaultValue, DICT_DOUBLE, name, messages));
}

const char *
Dictionary_GetString(Dictionary *dict, const char *defaultValue, const char *name,
                     MsgList **messages)
{
   return static_cast<const char *>(
      Dictionary_Get(dict, defaultValue, DICT_STRING, name, messages));
}

void
Dictionary_InsertComment(Dictionary *dict, const char *text)
{
   dict->lines.push_front(Line{text, nullptr});
}

int
Dictionary_NumLines(const Dictionary *dict)
{
   return (int)dict->lines.size();
}

const char *
Dictionary_LineText(const Dictionary *dict, int index)
{
   if (index < 0 || (size_t)index >= dict->lines.size()) {
      return nullptr;
   }
   const Line &line = dict->lines[(size_t)index];
   return line.entry != nullptr ? nullptr : line.text.c_str();
}

const char *
Dictionary_GetEncoding(const Dictionary *dict)
{
   return dict->encoding.empty() ? nullptr : dict->encoding.c_str();
}

const char *
Dictionary_HostEncoding()
{
   return DictionaryPlat_HostEncoding();
}
