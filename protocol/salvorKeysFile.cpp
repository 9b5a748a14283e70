// Reading the keys file; see salvorKeysFile.h.
#include "protocol/salvorKeysFile.h"

#include <sodium.h>

#include <cerrno>
#include <vector>

#include "lib/file/file.h"
#include "lib/file/fileIO.h"
#include "lib/misc/utilScoped.h"

namespace {

// Checks that path names a regular file that only its owner may read.
bool
CheckFile(const char *path, std::string *why)
{
   int err = File_CheckRegular(path);
   if (err == 0) {
      err = File_CheckPrivate(path);
      if (err == EACCES) {
         *why = "others than its owner may read it (it holds secret keys: chmod 600 it)";
         return false;
      }
   }
   if (err != 0) {
      *why = File_ErrorText(File_LastError());
      return false;
   }
   return true;
}

// Reads the whole file into text (SALVOR_KEYS_FILE_MAX + 1 bytes), its
// length to *length.
bool
ReadAll(const char *path, std::vector<char> *text, size_t *length, std::string *why)
{
   FileIOFile file;
   FileIO_InitFile(&file);
   FileIOStatus status = FileIO_OpenPath(&file, path, FILEIO_ACCESS_READ, FILEIO_ACTION_OPEN);
   if (status != FILEIO_SUCCESS) {
      *why = FileIO_MsgError(status);
      return false;
   }
   FileIOClosing closing(&file);
   status = FileIO_ReadBytes(&file, text->data(), text->size(), length);
   if (status != FILEIO_SUCCESS && status != FILEIO_EOF) {
      *why = FileIO_MsgError(status);
      return false;
   }
   if (*length > SALVOR_KEYS_FILE_MAX) {
      *why = "larger than " + std::to_string(SALVOR_KEYS_FILE_MAX) + " bytes";
      return false;
   }
   return true;
}

}  // namespace

bool
SalvorKeys_Load(const char *path, SalvorKeys *out, std::string *why, uint8_t *digest)
{
   std::vector<char> text(SALVOR_KEYS_FILE_MAX + 1);
   UtilScopeExit wipe([&text] { sodium_memzero(text.data(), text.size()); });
   size_t length = 0;
   std::string reason;
   bool ok = CheckFile(path, &reason) && ReadAll(path, &text, &length, &reason);
   if (ok && digest != nullptr) {
      crypto_generichash(digest, SALVOR_KEYS_DIGEST_SIZE, (const uint8_t *)text.data(), length,
                         nullptr, 0);
   }
   ok = ok && SalvorKeys_Parse(text.data(), length, out, &reason);
   if (!ok) {
      *why = std::string("keys file \"") + path + "\": " + reason;
   }
   return ok;
}

bool
SalvorKeys_FileDigest(const char *path, uint8_t digest[SALVOR_KEYS_DIGEST_SIZE], std::string *why)
{
   std::vector<char> text(SALVOR_KEYS_FILE_MAX + 1);
   UtilScopeExit wipe([&text] { sodium_memzero(text.data(), text.size()); });
   size_t length = 0;
   std::string reason;
   if (!CheckFile(path, &reason) || !ReadAll(path, &text, &length, &reason)) {
      *why = std::string("keys file \"") + path + "\": " + reason;
      return false;
   }
   crypto_generichash(digest, SALVOR_KEYS_DIGEST_SIZE, (const uint8_t *)text.data(), length,
                      nullptr, 0);
   return true;
}
