// Platform layer of the preference store: where the per-user and the
// common application-data folders are, and who may change the common
// files. The POSIX back end is preferencePosix.cpp.
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
/*
 * Makes a directory of the common files (the vendor's, the product's):
 * where the platform has access lists, one that only administrators may
 * change. False when it cannot be made.
 */
bool PreferencePlat_MakeCommonDirectory(const std::string &dir);
/*
 * Whether the common file `path` in `dir` may be read: a service that
 * runs as the system account reads it, so on Windows both must be owned
 * by administrators and writable by nobody else. False, with the reason
 * in *why, otherwise.
 */
bool PreferencePlat_CommonFileIsTrusted(const std::string &dir, const std::string &path,
                                        std::string *why);
