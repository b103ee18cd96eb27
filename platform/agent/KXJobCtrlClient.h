// The job-control client of the job manager, as far as the engine asks it:
// whether the job was told to stop, and the pending causes a stream raises
// (a numbered reason the job shows while it runs, with an event for the
// second form). The stand-in keeps both in the process: setQuit plays the
// job manager's part, and the causes raised are kept in order.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/base/Export.h"
#include "platform/base/NumberParse.h"

class RUXEN_EXPORT KXJobCtrlClient {
public:
    // One pending cause as it was raised.
    struct PendingCause {
        uint32_t code;
        int eventSeverity;  // 0: no event was raised with it
        std::string text;   // what the cause names (an item), may be empty
        int delaySeconds;   // how long the job manager shows it before it acts
    };

    KXJobCtrlClient() = default;
    virtual ~KXJobCtrlClient() = default;
    KXJobCtrlClient(const KXJobCtrlClient&) = delete;
    KXJobCtrlClient& operator=(const KXJobCtrlClient&) = delete;

    // Whether the job manager told the job to stop.
    virtual bool isQuitSet() const { return m_quit.load(); }
    void setQuit(bool quit) { m_quit = quit; }

    // The token the job manager gave the job ("" when it gave none);
    // setJobToken plays the job manager's part.
    virtual std::string GetJobToken() const { return m_jobToken; }
    void setJobToken(const std::string& token) { m_jobToken = token; }

    // Raise a pending cause (and an event of the given severity). 0.
    virtual int setPendingCause(uint32_t code, const char* text, int reserved, int delaySeconds);
    virtual int setPendingCauseAndEvent(uint32_t code, int eventSeverity, const char* text, int reserved,
                                        int delaySeconds);
    const std::vector<PendingCause>& PendingCauses() const { return m_causes; }

private:
    std::atomic<bool> m_quit{false};
    std::string m_jobToken;
    std::vector<PendingCause> m_causes;
};

// A job token made on this machine for a job that was given none:
// "<job id>:<a>:<b>:<c>" in decimal.
inline std::string constructJobToken(long long jobId, int a, int b, int c) {
    return std::to_string(jobId) + ":" + std::to_string(a) + ":" + std::to_string(b) + ":" + std::to_string(c);
}

// Whether `text` is a job token of that form (a job id above 0, three
// numbers of 0 or more).
inline bool parseJobToken(const std::string& text) {
    size_t at = 0;
    for (int field = 0; field < 4; ++field) {
        const size_t end = field < 3 ? text.find(':', at) : text.size();
        int64_t v = 0;
        if (end == std::string::npos || !NumberParse::Int64(text.substr(at, end - at), v) || v < (field == 0 ? 1 : 0))
            return false;
        at = end + 1;
    }
    return true;
}
