// The log options every tool takes, --log-file FILE and --log-level N, with
// what the environment and the registry add (platform/agent/KxLog.h). Only
// in this header, so that the host program, which links the shared library
// alone, takes it too.
#pragma once

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/agent/KxLog.h"
#include "platform/text/PrintableText.h"
#include "ruxen/JobFileGuard.h"

class LogOptions {
public:
    // The options' lines of a tool's usage.
    static constexpr const char* kUsage =
        "  --log-file FILE   append the log to FILE (else RUXEN_LOG_FILE, else the\n"
        "                    registry's FileSystemAgent/sLogFile), up to level 1 unless\n"
        "                    --log-level says; without one, log lines go to standard\n"
        "                    error up to the level asked for, else failures only\n"
        "  --log-level N     the log level, -1 (failures only) to 100 (else\n"
        "                    RUXEN_LOG_LEVEL)\n";

    // Takes argv[i] and its value when it is one of the options (i then
    // names the value). 1 taken, 0 not one of them, -1 its value is missing
    // (said on standard error).
    int Take(const char* program, int argc, char** argv, int& i) {
        const char* a = argv[i];
        const char** slot = strcmp(a, "--log-file") == 0 ? &m_file : strcmp(a, "--log-level") == 0 ? &m_level : nullptr;
        if (!slot)
            return 0;
        if (i + 1 >= argc || (slot == &m_file && argv[i + 1][0] == '\0')) {
            fprintf(stderr, "%s: %s needs a value\n", program, a);
            return -1;
        }
        *slot = argv[++i];
        return 1;
    }

    // Puts the settings the options, the environment and the registry give
    // in force, once `guard`, holding the tool's inputs and outputs, has
    // found the log file none of them. false (said on standard error: the
    // tool exits 2, having made nothing) for a level that is not one, a log
    // file that is an input or another output, or one that cannot be opened.
    bool Start(const char* program, JobFileGuard& guard) {
        KxLog::Settings settings;
        std::string why;
        bool ok = KxLog::ResolveSettings(m_file, m_level, &settings, &why);
        if (ok && !settings.file.empty()) {
            guard.AddOutput("log", settings.file);
            // Opened as the tools' other outputs are: a root run never
            // appends to what another user's link names.
            ok = guard.Check(&why) && (settings.fd = JobFileGuard::OpenForAppending("log", settings.file, &why)) >= 0;
        }
        ok = ok && KxLog::Apply(settings, &why);
        if (!ok)
            fprintf(stderr, "%s: %s\n", program, ruxen::ControlsEscaped(why).c_str());
        return ok;
    }

private:
    const char* m_file = nullptr;
    const char* m_level = nullptr;
};
