#include "hardlinks/HCollectGroupReader.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>

#include "hardlinks/HCollectFile.h"
#include "hardlinks/HCollectLine.h"
#include "hardlinks/HardLinkExceptions.h"
#include "hardlinks/HardLinkMessages.h"
#include "hardlinks/TextLineReader.h"
#include "platform/agent/KxLog.h"
#include "platform/base/FdIO.h"
#include "platform/base/ScratchFile.h"

namespace {

// References read back from the temporary file at a time, per run.
constexpr size_t kRunBuffer = 512;

}  // namespace

HCollectGroupReader::HCollectGroupReader(bool firstOnly, size_t runLines)
    : m_firstOnly(firstOnly), m_runLines(runLines ? runLines : 1) {}

void HCollectGroupReader::Fail(const char* what) const {
    KXLOG(-1, "HCollectFile DEBUG Name:[%s] %s: %s", m_name.c_str(), what, strerror(errno));
    KXLOG(-1, "HCollectFile DEBUG:Could not create the HL groups map");
    throw HardLinkManagerBaseException(kErrHLGroupsMap);
}

void HCollectGroupReader::Spill() {
    std::sort(m_refs.begin(), m_refs.end());
    if (!m_scratch.valid()) {
        m_scratch.reset(ruxen::openScratchFile());
        if (!m_scratch.valid())
            Fail("cannot make a temporary file to sort its lines");
    }
    if (ruxen::writeAll(m_scratch.get(), m_refs.data(), m_refs.size() * sizeof(Ref)) != 0)
        Fail("cannot write the temporary file that sorts its lines");
    Run run;
    run.next = m_spilled;
    run.end = m_spilled + m_refs.size();
    m_runs.push_back(std::move(run));
    m_spilled += m_refs.size();
    m_refs.clear();
}

void HCollectGroupReader::Read(ScopedFd fd, const std::string& name) {
    m_name = name;
    m_file = std::move(fd);
    TextLineReader lines;
    ScopedFd from(dup(m_file.get()));
    if (!from.valid() || lseek(from.get(), 0, SEEK_SET) != 0)
        Fail("cannot read it from its start");
    lines.Attach(std::move(from));
    HCollectFile::ReadLines(lines, name, [this](HLinkGroupElement& e, uint64_t offset, size_t length) {
        if (m_refs.size() == m_runLines)
            Spill();
        m_refs.push_back(Ref{e.inode, e.device, offset, length});
    });
    if (m_runs.empty()) {
        std::sort(m_refs.begin(), m_refs.end());
        return;
    }
    if (!m_refs.empty())
        Spill();
    std::vector<Ref>().swap(m_refs);
    for (size_t i = 0; i < m_runs.size(); ++i)
        if (Fill(m_runs[i]))
            m_heap.push_back(i);
    std::make_heap(m_heap.begin(), m_heap.end(), Later{&m_runs});
}

bool HCollectGroupReader::Fill(Run& run) {
    run.buffer.resize(static_cast<size_t>(std::min<uint64_t>(kRunBuffer, run.end - run.next)));
    run.pos = 0;
    if (run.buffer.empty())
        return false;
    const size_t bytes = run.buffer.size() * sizeof(Ref);
    if (ruxen::preadFull(m_scratch.get(), run.buffer.data(), bytes, static_cast<off_t>(run.next * sizeof(Ref))) !=
        static_cast<ssize_t>(bytes))
        Fail("cannot read back the temporary file that sorts its lines");
    run.next += run.buffer.size();
    return true;
}

bool HCollectGroupReader::NextRef(Ref& ref) {
    if (m_runs.empty()) {
        if (m_pos == m_refs.size())
            return false;
        ref = m_refs[m_pos++];
        return true;
    }
    if (m_heap.empty())
        return false;
    std::pop_heap(m_heap.begin(), m_heap.end(), Later{&m_runs});
    Run& run = m_runs[m_heap.back()];
    ref = run.buffer[run.pos++];
    if (run.pos < run.buffer.size() || Fill(run))
        std::push_heap(m_heap.begin(), m_heap.end(), Later{&m_runs});
    else
        m_heap.pop_back();
    return true;
}

bool HCollectGroupReader::Next(HLinkGroupElement& element, bool& first) {
    Ref ref;
    for (;;) {
        if (!NextRef(ref))
            return false;
        first = !m_haveLast || ref.inode != m_last.inode || ref.device != m_last.device;
        m_haveLast = true;
        m_last = ref;
        if (first || !m_firstOnly)
            break;
    }
    m_line.resize(static_cast<size_t>(ref.length));
    std::string why;
    if (ruxen::preadFull(m_file.get(), &m_line[0], m_line.size(), static_cast<off_t>(ref.offset)) !=
        static_cast<ssize_t>(m_line.size()))
        Fail("cannot read a line again");
    if (ParseHCollectEntry(m_line.data(), m_line.size(), element, &why) != HCollectLineKind::Data ||
        element.inode != ref.inode || element.device != ref.device) {
        errno = ESTALE;
        Fail("a line changed while the file was read");
    }
    return true;
}
