// Per-stage performance counters of a stream. A fixed array of stages,
// timed with the monotonic clock: starting and stopping a stage costs two
// clock reads and no allocation or look-up.
#pragma once

#include <cstdint>
#include <ctime>

class PerfCounter {
public:
    static constexpr int kStages = 64;

    // A stage as its timers name it: its number and its name (a literal).
    struct StageId {
        int number;
        const char* name;
    };

    struct Stage {
        const char* name = nullptr;  // the name given at the last start (a literal)
        uint64_t startNs = 0;        // 0 when the stage is not running
        uint64_t totalNs = 0;
        uint64_t bytes = 0;
        uint64_t count = 0;
    };

    void Enable(bool on) { m_enabled = on; }
    bool IsEnabled() const { return m_enabled; }

    void StartPerfCounter(const char* name, int stage) {
        if (!m_enabled || stage < 0 || stage >= kStages)
            return;
        m_stages[stage].name = name;
        m_stages[stage].startNs = NowNs();
    }

    void StopPerfCounter(const char* name, int stage, unsigned long long bytes) {
        if (!m_enabled || stage < 0 || stage >= kStages)
            return;
        Stage& s = m_stages[stage];
        if (s.startNs == 0)
            return;  // a stop without a start adds nothing
        s.totalNs += NowNs() - s.startNs;
        s.startNs = 0;
        s.bytes += bytes;
        s.count += 1;
        if (!s.name)
            s.name = name;
    }

    const Stage& GetStage(int stage) const { return m_stages[stage < 0 || stage >= kStages ? 0 : stage]; }
    void Reset() {
        for (Stage& s : m_stages)
            s = Stage();
    }

    // Logs every stage that ran (level 1).
    void Report() const;

    void StartPerfCounter(const StageId& id) { StartPerfCounter(id.name, id.number); }
    void StopPerfCounter(const StageId& id, unsigned long long bytes) { StopPerfCounter(id.name, id.number, bytes); }

private:
    static uint64_t NowNs() {
        struct timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        // +1 keeps a start at the clock's epoch distinct from "not running".
        return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec) + 1;
    }

    bool m_enabled = false;
    Stage m_stages[kStages];
};

// Times one stage of a counter from its construction to Stop or its end,
// whichever comes first. While the counter is off it costs a test at each
// end and reads no clock.
class PerfStageTimer {
public:
    PerfStageTimer(PerfCounter& counter, const PerfCounter::StageId& id)
        : m_counter(counter.IsEnabled() ? &counter : nullptr), m_id(id) {
        if (m_counter)
            m_counter->StartPerfCounter(m_id);
    }
    ~PerfStageTimer() { Stop(0); }
    PerfStageTimer(const PerfStageTimer&) = delete;
    PerfStageTimer& operator=(const PerfStageTimer&) = delete;

    // Ends the stage, adding `bytes` to it; later calls do nothing.
    void Stop(unsigned long long bytes) {
        if (m_counter)
            m_counter->StopPerfCounter(m_id, bytes);
        m_counter = nullptr;
    }

private:
    PerfCounter* m_counter;
    PerfCounter::StageId m_id;
};
