// What the Windows back end of the operators' platform layer
// (salvorOpsPlatWin32.cpp) builds that its tests look at.
#pragma once

#include <string>

/*
 * The environment block of a child: `env` ("NAME=value"; entries without
 * a value are left out) first, then the collector's own variables whose
 * names `env` does not set (names ignore case here), in the system's
 * order of names.
 */
std::wstring SalvorOpsEnvironmentBlock(const char *const *env);
