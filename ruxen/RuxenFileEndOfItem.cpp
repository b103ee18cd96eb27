// Closing the item on the stream with its end-of-item record.
#include <cstring>

#include "platform/KxLog.h"
#include "ruxen/PipelineRecordTypes.h"
#include "ruxen/RuxenFile.h"
#include "ruxen/RuxenMessages.h"

int RuxenFile::SendEndOfFileMessage(int eof) {
    return SendEndOfFileMessageInternal(eof);
}

int RuxenFile::SendEndOfFileMessageInternal(int eof) {
    KXLOG(3, "'%s' eof=%d", printName(), eof);
    ResetAppDefVersionGUIDSeedSuffix();
    const unsigned type = eof == 1 ? PL_FS_EOF : PL_FS_EOF_FAILED;

    if (m_sendOn) {
        unsigned want = 0;
        if (m_itemType == fTypeSymlink)
            want = static_cast<unsigned>(m_symlinkTarget.size() + 1);
        char* buf = AllocateRecord(want);
        if (!buf)
            return kNoBuffer;
        unsigned length = 0;
        if (m_itemType == fTypeSymlink) {
            KXLOG(3, "sending link target %s -> %s", printName(), m_symlinkTarget.c_str());
            memcpy(buf, m_symlinkTarget.c_str(), want);
            length = want;
        }
        if (SendRecord(type, length) != 0) {
            CloseItem();
            return kFailStream;
        }
    }
    if (eof == 1)
        ++m_itemsSent;
    m_overridePath.clear();
    CloseItem();
    return kItemGoOn;
}
