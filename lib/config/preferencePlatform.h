// Platform layer of the preference store: where the per-user and the
// common application-data folders are. The POSIX back end is
// preferencePosix.cpp.
#pragma once

#include <string>

/*
 * The per-user (roaming) application-data folder, created when missing
 * (a failure to create it is ignored); false when there is none.
 */
bool PreferencePlat_UserAppDataFolder(std::string *folder);
/*
 * The common application-data folder: the configured value when there is
 * one (it stands for the product key's "AppDataPath" value), else the
 * platform's folder.
 */
bool PreferencePlat_CommonAppDataFolder(std::string *folder);
