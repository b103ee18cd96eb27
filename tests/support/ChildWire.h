// Bytes of the parent-child protocol as tests write and expect them, and a
// socket pair to carry them.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "hardlinks/HLFileOps.h"
#include "hardlinks/RestartInfo.h"
#include "ruxen/ChildMessage.h"
#include "ruxen/PlfsBackupArgs.h"

namespace testfiles {

template <typename T>
std::string Bytes(const T& v) {
    return std::string(reinterpret_cast<const char*>(&v), sizeof v);
}
inline std::string I32(int32_t v) { return Bytes(v); }
// One mapping record: two NUL-padded 1024-byte fields.
inline std::string MapRecord(const std::string& from, const std::string& to) {
    std::string r(2048, '\0');
    r.replace(0, from.size(), from);
    r.replace(1024, to.size(), to);
    return r;
}
inline std::string Assignment(int32_t collect, int32_t offset = 0) {
    return Bytes(RestartInfo_t{collect, offset, 42, collect, 0, 0, 0});
}
inline std::string Message(int32_t type, int32_t value) { return Bytes(ChildMessage_t{type, value}); }
inline std::string EndMessage(int32_t type, uint64_t items, uint64_t bytes, uint64_t failed) {
    return Message(type, 0) + Bytes(StreamTotals_t{items, bytes, failed});
}
inline std::string ArgsBlock(const BackupArgs& a) {
    plfsBackupArgs b;
    std::string error;
    EXPECT_TRUE(EncodeBackupArgs(a, b, &error)) << error;
    return Bytes(b);
}

struct SocketPair {
    ScopedFd a, b;
    SocketPair() {
        int sv[2];
        EXPECT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, sv));
        a = ScopedFd(sv[0]);
        b = ScopedFd(sv[1]);
    }
    // Writes `bytes` into end a and closes it: the reader of b sees them
    // and then the end of the stream.
    void Feed(const std::string& bytes) {
        EXPECT_EQ(static_cast<ssize_t>(bytes.size()), write(a.get(), bytes.data(), bytes.size()));
        a.Close();
    }
    // Everything waiting on end b, without blocking.
    std::string Drain() {
        std::string out;
        char buf[4096];
        ssize_t n;
        while ((n = recv(b.get(), buf, sizeof buf, MSG_DONTWAIT)) > 0)
            out.append(buf, n);
        return out;
    }
};

}  // namespace testfiles
