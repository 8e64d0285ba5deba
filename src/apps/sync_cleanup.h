// Synchronisation-file clean-up. Log unit "KepUtil".
#pragma once

inline constexpr const char *kKepUtilUnit = "KepUtil";

// Removes the regular files of the prefix's directory whose names begin with the
// prefix's last component; never follows or removes links, never descends.
// 0, or -1 when anything failed (the walk goes on).
int KepRmFilesWithPrefix(const char *prefix);

// Removes every regular file of dir (not links, not subdirectories). 0 or -1.
int KepRmAllFilesInDir(const char *dir);
