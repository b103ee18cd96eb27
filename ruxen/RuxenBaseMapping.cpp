// The name-mapping records from parent to child.
#include <cerrno>
#include <cstring>
#include <vector>

#include "mapping/TAVNameMapper.h"
#include "platform/FdIO.h"
#include "platform/KxLog.h"
#include "platform/PathUtil.h"
#include "ruxen/RuxenBase.h"
#include "ruxen/RuxenMessages.h"
#include "ruxen/SnapMapRecord.h"

int RuxenBase::sendMappingInfo(ChildInfo_t& child) {
    // Every path is checked before the count goes out, so that the count
    // always equals the records that follow.
    std::vector<SnapMapRecord_t> records;
    if (m_nameMappingJob) {
        for (const kx_contenttosnapmnt& c : m_snapContent) {
            for (const kx_snapdevmntpath& d : c.vSnapdevmntpath) {
                records.emplace_back();
                SnapMapRecord_t& r = records.back();
                for (const std::string* p : {&d.sOrigMntpath, &d.sSnapMntpath}) {
                    char* field = p == &d.sOrigMntpath ? r.oldPath : r.newPath;
                    if (PathUtil::CopyToBuffer(*p, field, sizeof r.oldPath) != 0) {
                        KXLOG(-1, "snapMap: the path %s (%zu characters) does not fit a mapping record; "
                                  "nothing is sent to stream %d", p->c_str(), p->size(), child.streamNumber);
                        return -1;
                    }
                }
            }
        }
    }
    if (records.size() > static_cast<size_t>(kMaxSnapMapRecords)) {
        KXLOG(-1, "snapMap: %zu records, at most %d can be sent", records.size(), kMaxSnapMapRecords);
        errno = E2BIG;
        return -1;
    }
    const int32_t count = static_cast<int32_t>(records.size());
    KXLOG(0, kLogSnapMapCount, count);
    if (ruxen::writeAll(child.cmdFd.get(), &count, sizeof count) != 0 ||
        ruxen::writeAll(child.cmdFd.get(), records.data(), records.size() * sizeof(SnapMapRecord_t)) != 0) {
        KXLOG(-1, "snapMap: cannot send the records to stream %d: %s", child.streamNumber, strerror(errno));
        return -1;
    }
    return 0;
}

int RuxenBase::receiveMappingInfo(TAVNameMapper* mapper) {
    int32_t count = 0;
    if (ruxen::readAll(m_cmdFd, &count, sizeof count) != 0) {
        KXLOG(-1, "snapMap: cannot read the record count: %s", strerror(errno));
        return -1;
    }
    if (count < 0 || count > kMaxSnapMapRecords) {
        KXLOG(-1, "snapMap: a count of %d records is out of step with the parent", count);
        errno = EPROTO;
        return -1;
    }
    SnapMapRecord_t r;
    for (int32_t i = 0; i < count; ++i) {
        if (ruxen::readAll(m_cmdFd, &r, sizeof r) != 0) {
            KXLOG(-1, "snapMap: cannot read record %d of %d: %s", i + 1, count, strerror(errno));
            return -1;
        }
        const bool whole = memchr(r.oldPath, '\0', sizeof r.oldPath) && memchr(r.newPath, '\0', sizeof r.newPath);
        r.oldPath[sizeof r.oldPath - 1] = '\0';
        r.newPath[sizeof r.newPath - 1] = '\0';
        if (!whole) {
            // A path cut at its field would map a different tree.
            KXLOG(-1, "snapMap: record %d holds a path without its end (%s -> %s)", i + 1, r.oldPath, r.newPath);
            errno = EPROTO;
            return -1;
        }
        KXLOG(0, kLogSnapMapRecord, r.oldPath, r.newPath);
        if (mapper)
            mapper->add(r.oldPath, r.newPath);
    }
    return 0;
}
