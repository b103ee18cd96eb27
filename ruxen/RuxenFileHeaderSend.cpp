// Sending the item's header record.
#include <cstring>

#include "platform/CPipelayer.h"
#include "platform/KxLog.h"
#include "ruxen/PipelineRecordTypes.h"
#include "ruxen/RuxenFile.h"
#include "ruxen/RuxenMessages.h"

int RuxenFile::SendHeader(FILE*) {
    ConvertZXFileHeaderToNetOrder(&m_header, &m_netHeader);

    char* buf = AllocateRecord(ZX_HEADER_SIZE);
    if (!buf)
        return kFailStream;
    memcpy(buf, &m_netHeader, ZX_HEADER_SIZE);
    KXLOG(3, "Sending header for [%s] isNotCountable [%d]", printName(),
          (m_header.portable_flags & ZXFLAG_NOT_COUNTABLE) ? 1 : 0);
    unsigned length = ZX_HEADER_SIZE;
    if (m_pipelayer && m_sendOn)
        length = ZXHeaderPipelineLength(m_pipelayer->GetCurrentTagDataPtr());
    if (SendRecord(PL_FS_HEADER, length) != 0) {
        CloseItem();
        return kFailStream;
    }
    m_headerSent = true;
    return kItemGoOn;
}
