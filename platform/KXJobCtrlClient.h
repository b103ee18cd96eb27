// The job-control client of the job manager, as far as the engine asks it:
// whether the job was told to stop. The stand-in keeps that flag in the
// process; setQuit plays the job manager's part.
#pragma once

#include <atomic>
#include <string>

class KXJobCtrlClient {
public:
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

private:
    std::atomic<bool> m_quit{false};
    std::string m_jobToken;
};

// A job token made on this machine for a job that was given none:
// "<job id>:<a>:<b>:<c>" in decimal.
inline std::string constructJobToken(long long jobId, int a, int b, int c) {
    return std::to_string(jobId) + ":" + std::to_string(a) + ":" + std::to_string(b) + ":" + std::to_string(c);
}
