// Snapshot names of file-level replication: "kxm_", "kxr_" or "kxc_", the
// reference time in hexadecimal, optionally "_" and a sequence number in
// hexadecimal ("kxr_5f3a2b10_3").
#pragma once

class FlrSnapMgr {
public:
    enum SNAP_TYPE { kManual = 0, kReplication = 1, kConsistency = 2 };

    // 1 when `name` is such a name (each out-argument given is written), 0
    // otherwise. Each number is 1 to 16 hexadecimal digits and must fit a
    // long.
    static int parseShortSnapName(const char* name, SNAP_TYPE* type, long* refTime, long* sequence);
};
