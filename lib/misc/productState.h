// The product's identity as the libraries print it: name, version and
// build identifier.
#pragma once

const char *ProductState_GetName();
/*
 * Names another product for the rest of the process: tests do, so that
 * the registry keys they write are never the installed product's.
 */
void ProductState_SetName(const char *name);
const char *ProductState_GetVersion();
const char *ProductState_GetBuildNumber();
