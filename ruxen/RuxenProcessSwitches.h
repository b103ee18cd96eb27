// What the item-record senders decide once per process: each switch starts
// unset in a stream process and is never reset while it runs (tests reset
// them through platform/base/TestControl.h).
#pragma once

#include <mutex>

struct RuxenProcessSwitches {
    bool dedupAttempted = false;          // the hard-link deduplication command
    bool cifsLogged = false;              // "ACL backup not support off a CIFS filesystem"
    int doNotSendAclForMountPoints = -1;  // nDoNotSendACLForMountPoints: -1 unread, 0 off, 1 on
    bool aclSupportReported = false;      // the ACL support test was logged
    bool xattrTooBigRaised = false;       // the pending cause for attributes too big
    std::mutex useIndexLock;              // guards useIndex
    int useIndex = -1;                    // failed items to the index: -1 undecided, 0, 1
};

RuxenProcessSwitches& ProcessSwitches();
