#include "platform/agent/PerfCounter.h"

#include "platform/agent/KxLog.h"

void PerfCounter::Report() const {
    if (!m_enabled || !KxLog::Enabled(1))
        return;
    for (int i = 0; i < kStages; ++i) {
        const Stage& s = m_stages[i];
        if (s.count == 0)
            continue;
        KXLOG(1, "perf stage %d [%s]: %llu calls, %.3f s, %llu bytes", i, s.name ? s.name : "?",
              static_cast<unsigned long long>(s.count), s.totalNs / 1e9, static_cast<unsigned long long>(s.bytes));
    }
}
