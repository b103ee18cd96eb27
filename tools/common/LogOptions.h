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

    // The settings the options, the environment and the registry give; the
    // log file goes to `guard` as an output of the job, for the tool's check
    // before anything is made. false (said on standard error: the tool
    // exits 2) for a level that is not one.
    bool Resolve(const char* program, JobFileGuard& guard) {
        std::string why;
        if (!KxLog::ResolveSettings(m_file, m_level, &m_settings, &why)) {
            fprintf(stderr, "%s: %s\n", program, ruxen::ControlsEscaped(why).c_str());
            return false;
        }
        if (!m_settings.file.empty())
            guard.AddOutput("log", m_settings.file);
        return true;
    }

    // Sends the log where the settings say. false (said on standard error)
    // when the log file cannot be opened.
    bool Apply(const char* program) const {
        std::string why;
        if (KxLog::Apply(m_settings, &why))
            return true;
        fprintf(stderr, "%s: %s\n", program, ruxen::ControlsEscaped(why).c_str());
        return false;
    }

private:
    const char* m_file = nullptr;
    const char* m_level = nullptr;
    KxLog::Settings m_settings;
};
