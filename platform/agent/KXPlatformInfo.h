// The agent's registry: values read by section and key.
//
// The values come from an INI-style file:
//
//     # comment            ; comment
//     [FileSystemAgent]
//     sCLASSIC_ARBITRATION = Y
//     nUseDirectIO=0x1
//
// Blanks around section names, keys and values are trimmed; the value is
// the rest of the line after the first "=", so it may hold "=", "#" or ";".
// A key given as "key=" is present with an empty value; a key not given is
// absent, and every reader then answers false and leaves its out argument
// untouched (the caller keeps its built-in default). Later lines win over
// earlier ones. Section and key names compare exactly (case-sensitive).
//
// Lines that cannot be read are logged (with the file's name and the line
// number) and skipped, never fatal: a line without "=", a key before any
// section, an empty key, a section line without its closing "]", with an
// empty name or holding a NUL byte, and any other line holding a NUL byte.
// After a malformed section line the keys up to the next good section line
// are skipped too, so that they cannot land in the wrong section.
//
// The file named by the environment variable RUXEN_REGISTRY is read on the
// first use in the process (a missing or unreadable file is logged and the
// registry stays empty; loadEnvironmentFile tells a program that must not
// run on defaults). loadFile reads a further file (the host program's
// --registry option) whose values go on top; setValue and removeValue change
// values in the process only and never write a file.
#pragma once

#include <string>

#include "platform/base/Export.h"

// The section of the file-system agent's settings.
constexpr char kFileSystemAgentSection[] = "FileSystemAgent";
// The section of the session: the client's name and id, the job-results
// directory of file-based restores.
constexpr char kSessionSection[] = "Session";

class RUXEN_EXPORT KXPlatformInfo {
public:
    static bool getString(const char* section, const char* key, std::string& out);
    // Decimal with an optional sign, or hexadecimal with "0x"/"0X". A value
    // that is not a whole number in range answers false and is logged.
    static bool getNumber(const char* section, const char* key, long& out);
    // getNumber's value when it lies from `lo` to `hi`; else (absent, not a
    // number, or outside, which is logged) `fallback`.
    static long getNumberWithin(const char* section, const char* key, long lo, long hi, long fallback);
    // y, yes, true, 1 and n, no, false, 0, compared without case. Any other
    // value answers false and is logged.
    static bool getBool(const char* section, const char* key, bool& out);

    // Reads a registry file; its values go on top of the ones already known.
    // Answers false (with the reason in *error when error is not null, and
    // no value changed) when the file cannot be opened or read.
    static bool loadFile(const std::string& path, std::string* error);
    // Reads the file RUXEN_REGISTRY names now, unless it was read already:
    // false (with the reason in *error when given) when it names a file that
    // cannot be read, which a program that must not run on defaults refuses.
    static bool loadEnvironmentFile(std::string* error);

    // In-process changes, for tests and for the host program.
    static void setValue(const std::string& section, const std::string& key, const std::string& value);
    static void removeValue(const std::string& section, const std::string& key);
};
