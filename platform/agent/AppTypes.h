// Application types of the jobs that travel the file-system path.
#pragma once

// Whether the application type is one of the file-system agent's own (its
// backup sets, and 0 for a job that names no application), rather than a
// database, cloud or object-store application carried over the file-system
// path.
inline bool isFileSystemAppType(unsigned long long appType) {
    switch (appType) {
    case 0:    // no application type given
    case 29:   // UNIX file system
    case 33:   // Windows file system
    case 64:   // NAS file system
    case 134:  // distributed file system
        return true;
    default:
        return false;
    }
}
