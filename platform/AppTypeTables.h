// Tables of application types the platform answers questions about.
#pragma once

// A UNIX file-system backup set (plain file-system subclients).
inline bool IsUnixFsBackupSetType(unsigned long long appType) {
    return appType == 29 || appType == 33;
}
