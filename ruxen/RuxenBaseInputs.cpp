// The job's inputs, read before any output exists: a collect file name with
// a typo, or a map that cannot be read, must fail the job before it
// replaces an earlier archive with an empty stream.
#include <sys/resource.h>

#include <algorithm>
#include <cerrno>

#include "hardlinks/JobDirectoryLock.h"
#include "platform/agent/KxLog.h"
#include "platform/base/CTyError.h"
#include "ruxen/RuxenBase.h"
#include "ruxen/RuxenFilePrivate.h"
#include "ruxen/RuxenMessages.h"

bool RuxenBase::openInputs() {
    m_inputError.clear();
    m_jobDirLock.reset();
    if (!m_args.jobDir.empty()) {
        // Held for the whole job: no scan, split or merge rewrites the
        // directory under its streams (other backups may read it too).
        m_jobDirLock.reset(new JobDirectoryLock);
        std::string error;
        if (!m_jobDirLock->Acquire(m_args.jobDir, JobDirectoryLock::kShared, -1, &error)) {
            m_jobDirLock.reset();
            return inputsFailed(error);
        }
    }
    if (!getRestartInfo())
        return inputsFailed(!m_inputError.empty() ? m_inputError
                                                  : "the split configuration or the collect files of the job "
                                                    "directory " +
                                                        m_args.jobDir + " cannot be read");
    std::string error;
    if (!loadNameMap(&error))
        return inputsFailed("the name map cannot be used: " + error);
    if (!loadProxyMap(m_args.proxyMapPath, &error))
        return inputsFailed(error);
    if (!m_args.jobDir.empty() && !RuxenFilePrivate::ReadGpfsFileSets(m_args.jobDir, m_fileSets, error))
        return inputsFailed("the file-set list of the job directory cannot be read: " + error);
    if (m_args.snapToTape && !readSnapMapping(&error))
        return inputsFailed(error);
    return true;
}

size_t RuxenBase::HeldCollectFiles() {
    // A sixteenth of the open-file limit, so that items, outputs and the
    // directory walk keep the rest.
    struct rlimit rl;
    const rlim_t limit = getrlimit(RLIMIT_NOFILE, &rl) == 0 ? rl.rlim_cur : 1024;
    return static_cast<size_t>(std::max<rlim_t>(1, std::min<rlim_t>(kMaxHeldCollectFiles, limit / 16)));
}

bool RuxenBase::openCollectInputs() {
    // Each is opened now, so that one that cannot be read fails the job
    // before any output exists, and what it is now is known; past the first
    // few each is closed again until its turn.
    const size_t hold = HeldCollectFiles();
    size_t held = 0;
    for (const RestartInfo_t& r : m_restart) {
        std::string error;
        if (r.offset != 0)
            continue;
        if (collectInput(r.collectNumber, &error) == nullptr) {
            m_inputError = error;
            return false;
        }
        if (++held > hold)
            releaseCollectInput(r.collectNumber);
    }
    return true;
}

const CollectInputFile* RuxenBase::collectInput(int32_t number, std::string* error, const char** changed) {
    if (changed)
        *changed = nullptr;
    if (number < 1 || static_cast<size_t>(number) > m_collects.size()) {
        *error = "the job has no collect file " + std::to_string(number);
        return nullptr;
    }
    if (m_inputs.size() != m_collects.size())
        m_inputs.resize(m_collects.size());
    CollectInputFile& in = m_inputs[number - 1];
    const std::string& path = m_collects[number - 1];
    if (in.Known() && in.Path() == path) {
        // Opened again in its turn, if it was let go: the file met at the start or none.
        bool replaced = false;
        const char* what = nullptr;
        if (in.Reopen(error, &replaced, &what))
            return &in;
        if (replaced)
            *error = CTyError::Format(kProblemCollectReplaced, path.c_str(), what);
        if (replaced && changed)
            *changed = what;
        return nullptr;
    }
    if (!in.Open(path, CollectInputFile::CopyDirectories(m_args.archivePath), error))
        return nullptr;
    if (in.Copied())
        KXLOG(1, "collect file %s is not a regular file: read from a copy of its %llu bytes", path.c_str(),
              static_cast<unsigned long long>(in.CopiedBytes()));
    return &in;
}

void RuxenBase::releaseCollectInput(int32_t number) {
    if (number >= 1 && static_cast<size_t>(number) <= m_inputs.size())
        m_inputs[number - 1].Release();
}

bool RuxenBase::inputsFailed(const std::string& why) {
    m_inputError = why;
    return failBeforeStreams(why);
}

bool RuxenBase::failBeforeStreams(const std::string& why) {
    KXLOG(-1, "nothing was backed up: %s", why.c_str());
    for (RestartInfo_t& r : m_restart)
        if (r.offset == 0)
            r.offset = kRestartFailed;
    return false;
}
