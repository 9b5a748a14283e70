// The product's identity as the libraries print it: name, version and
// build identifier.
#pragma once

const char *ProductState_GetName();
const char *ProductState_GetVersion();
const char *ProductState_GetBuildNumber();
