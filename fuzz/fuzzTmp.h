// Where the fuzz targets keep their scratch files: a template for mkdtemp
// under $TMPDIR (/tmp when unset), which scripts/fuzz.sh points into the
// build tree and clears.
#pragma once

#include <cstdlib>
#include <string>

inline std::string
FuzzTempTemplate(const char *name)
{
   const char *base = std::getenv("TMPDIR");
   return std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") + "/" + name + "XXXXXX";
}
