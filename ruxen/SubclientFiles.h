// The job's subclient directory and the names of its work files, as fixed
// fields the job object hands to every stream. A name that does not fit its
// field is refused (Set answers false), never cut.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>

struct subclientFiles {
    static constexpr size_t kNameSize = 1024;

    char subclientDir[kNameSize];   // the job results (subclient) directory
    char collectFile[kNameSize];    // the collect file being backed up
    char dirChangeFile[kNameSize];  // the scan's directory-change work file
    char failuresFile[kNameSize];
    char resultsFile[kNameSize];

    subclientFiles() { subclientDir[0] = collectFile[0] = dirChangeFile[0] = failuresFile[0] = resultsFile[0] = '\0'; }

    // Stores `value` in one of the fields above (inline: the host program
    // fills them).
    static bool Set(char (&field)[kNameSize], const std::string& value) {
        if (value.size() >= kNameSize || value.find('\0') != std::string::npos)
            return false;
        memcpy(field, value.c_str(), value.size() + 1);
        return true;
    }
};
