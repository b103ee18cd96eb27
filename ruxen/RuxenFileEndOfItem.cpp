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
        // A hard-link member names its group's data; a link carries its
        // target; anything else ends with an empty record.
        const bool phony = m_hardLinkJob && m_hlHandlingForItem && m_phonyNameFlag;
        const std::string* text = phony ? &phonyHLName : m_itemType == fTypeSymlink ? &m_symlinkTarget : nullptr;
        const unsigned want = text ? static_cast<unsigned>(text->size() + 1) : 0;
        char* buf = AllocateRecord(want);
        if (!buf)
            return kNoBuffer;
        if (phony) {
            KXLOG(3, "++++++++++HLDEBUG BACKUP phony str %s ", phonyHLName.c_str());
            m_phonyNameFlag = false;
        } else if (text) {
            KXLOG(3, "sending link target %s -> %s", printName(), m_symlinkTarget.c_str());
        }
        if (text)
            memcpy(buf, text->c_str(), want);
        const unsigned length = want;
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
