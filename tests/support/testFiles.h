// File helpers shared by the tests and the benchmarks: temporary
// directories and files, whole-file reads and writes, random contents.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testutil {

// The directory temporary files go to: $TMPDIR, or /tmp (Windows: the TEMP path).
std::string TempRoot();

// The variable that names the system's temporary directory to the
// library (TMPDIR; TMP on Windows), and setting and removing variables.
extern const char *const TEMP_DIR_VARIABLE;
void SetEnv(const std::string &name, const std::string &value);
void UnsetEnv(const std::string &name);

// A fresh directory under TempRoot() (or `parent`), removed with
// everything in it at the end.
class TempDir {
public:
   TempDir();
   explicit TempDir(const std::string &parent);
   ~TempDir();
   TempDir(const TempDir &) = delete;
   TempDir &operator=(const TempDir &) = delete;
   const std::string &Path() const { return path_; }
   std::string operator/(const std::string &name) const { return path_ + "/" + name; }

private:
   std::string path_;
};

// A fresh file under TempRoot() holding `content`, removed at the end.
class TempFile {
public:
   explicit TempFile(const std::vector<uint8_t> &content);
   ~TempFile();
   TempFile(const TempFile &) = delete;
   TempFile &operator=(const TempFile &) = delete;
   const std::string &Path() const { return path_; }

private:
   std::string path_;
};

// The whole file, or "" when it cannot be read.
std::string ReadFile(const std::string &path);
void WriteFile(const std::string &path, const std::string &content);
// A named pipe at `path`, mode 0600; false where there are none (Windows).
bool MakeFifo(const std::string &path);
/*
 * Windows: gives the file at path the protected DACL that `sddl` (SDDL
 * text) describes, where "ME" stands for the account the test runs as.
 * False on failure, and always elsewhere.
 */
bool SetFileDacl(const std::string &path, const std::string &sddl);
// Every regular file below dir, as paths relative to it, sorted.
std::vector<std::string> ListFiles(const std::string &dir);

// Bytes that differ at every offset, so misplaced chunks show up; the
// same seed gives the same bytes.
std::vector<uint8_t> RandomBytes(size_t n, uint32_t seed = 1);

}  // namespace testutil
