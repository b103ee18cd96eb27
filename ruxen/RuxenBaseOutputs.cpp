// The job's outputs, every stream's, opened before any is emptied: an
// output that cannot be opened must fail the job before an earlier archive
// beside it is replaced by an empty stream.
#include <algorithm>

#include "ruxen/RuxenBase.h"

bool RuxenBase::openOutputs(const BackupArgs& args, int first) {
    m_outputError.clear();
    m_outputs.clear();
    m_outputs.resize(static_cast<size_t>(first + std::max(1, args.streamCount)));
    std::string error;
    bool ok = true;
    // A parent holds none of them open: each stream opens and empties its
    // own once every one was seen to open.
    for (size_t s = static_cast<size_t>(first); ok && s < m_outputs.size(); ++s)
        ok = m_outputs[s].Open(args, static_cast<int>(s), first > 0, &error);
    for (size_t s = static_cast<size_t>(first); ok && first == 0 && s < m_outputs.size(); ++s)
        ok = m_outputs[s].Truncate(&error);
    if (ok)
        return true;
    for (StreamOutputFiles& o : m_outputs)
        o.Discard();
    m_outputs.clear();
    m_outputError = error;
    return failBeforeStreams(error);
}
