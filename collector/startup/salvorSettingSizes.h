// Sizes shared by the collector's settings records.
#pragma once

constexpr int SALVOR_PATH_SIZE = 1024;  // bytes, with the NUL
