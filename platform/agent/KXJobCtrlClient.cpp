#include "platform/agent/KXJobCtrlClient.h"

#include "platform/agent/KxLog.h"

int KXJobCtrlClient::setPendingCause(uint32_t code, const char* text, int, int delaySeconds) {
    KXLOG(1, "pending cause 0x%x [%s]", code, text ? text : "");
    m_causes.push_back(PendingCause{code, 0, text ? text : "", delaySeconds});
    return 0;
}

int KXJobCtrlClient::setPendingCauseAndEvent(uint32_t code, int eventSeverity, const char* text, int,
                                             int delaySeconds) {
    KXLOG(1, "pending cause 0x%x with an event of severity %d [%s]", code, eventSeverity, text ? text : "");
    m_causes.push_back(PendingCause{code, eventSeverity, text ? text : "", delaySeconds});
    return 0;
}
