// The XML configuration file, read into the settings records SalvorConfig,
// SalvorNetConfig and SalvorOpsConfig.
#pragma once

#include <libxml/tree.h>

// 0 when the whole file was read and every value passed its checks.
int SalvorWin32ReadConfig(const char *path);
// Walks a chain of sibling nodes and their descendants; returns the new
// pending error code.
int SalvorWin32ParseElements(xmlNode *node, int pending);
