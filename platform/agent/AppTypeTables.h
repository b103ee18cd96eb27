// Tables of application types the platform answers questions about.
#pragma once

// A UNIX file-system backup set (plain file-system subclients).
inline bool IsUnixFsBackupSetType(unsigned long long appType) { return appType == 29 || appType == 33; }

// Application types whose names too long for the archive go under a
// substitute name (their longest permissible ancestor and a GUID of the
// path) when the job backs up long paths.
inline constexpr unsigned long long kLongPathAppTypes[] = {17, 18, 19, 20, 21, 29, 36, 40, 48, 63, 64, 74, 134};

inline bool IsLongPathAppType(unsigned long long appType) {
    for (unsigned long long t : kLongPathAppTypes)
        if (t == appType)
            return true;
    return false;
}

// Database application types whose snapshot job finds its snapshot engine
// in the application's instance when none is given.
inline bool SnapshotEngineFromApplication(unsigned long long appType) { return appType == 61 || appType == 135; }
