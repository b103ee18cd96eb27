// The job's inputs, read before any output exists: a collect file name with
// a typo, or a map that cannot be read, must fail the job before it
// replaces an earlier archive with an empty stream.
#include <cerrno>

#include "platform/agent/KxLog.h"
#include "ruxen/RuxenBase.h"
#include "ruxen/RuxenFilePrivate.h"

bool RuxenBase::openInputs() {
    m_inputError.clear();
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

bool RuxenBase::openCollectInputs() {
    for (const RestartInfo_t& r : m_restart) {
        std::string error;
        if (r.offset == 0 && collectInput(r.collectNumber, &error) == nullptr) {
            m_inputError = error;
            return false;
        }
    }
    return true;
}

const CollectInputFile* RuxenBase::collectInput(int32_t number, std::string* error) {
    if (number < 1 || static_cast<size_t>(number) > m_collects.size()) {
        *error = "the job has no collect file " + std::to_string(number);
        return nullptr;
    }
    if (m_inputs.size() != m_collects.size())
        m_inputs.resize(m_collects.size());
    CollectInputFile& in = m_inputs[number - 1];
    const std::string& path = m_collects[number - 1];
    if (in.IsOpen() && in.Path() == path)
        return &in;
    if (!in.Open(path, CollectInputFile::CopyDirectories(m_args.archivePath), error))
        return nullptr;
    if (in.Copied())
        KXLOG(1, "collect file %s is not a regular file: read from a copy of its %llu bytes", path.c_str(),
              static_cast<unsigned long long>(in.CopiedBytes()));
    return &in;
}

bool RuxenBase::inputsFailed(const std::string& why) {
    m_inputError = why;
    KXLOG(-1, "nothing was backed up: %s", why.c_str());
    for (RestartInfo_t& r : m_restart)
        if (r.offset == 0)
            r.offset = kRestartFailed;
    return false;
}
