// The job-control client of the job manager, as far as the engine asks it:
// whether the job was told to stop. The stand-in keeps that flag in the
// process; setQuit plays the job manager's part.
#pragma once

#include <atomic>

class KXJobCtrlClient {
public:
    KXJobCtrlClient() = default;
    virtual ~KXJobCtrlClient() = default;
    KXJobCtrlClient(const KXJobCtrlClient&) = delete;
    KXJobCtrlClient& operator=(const KXJobCtrlClient&) = delete;

    // Whether the job manager told the job to stop.
    virtual bool isQuitSet() const { return m_quit.load(); }
    void setQuit(bool quit) { m_quit = quit; }

private:
    std::atomic<bool> m_quit{false};
};
