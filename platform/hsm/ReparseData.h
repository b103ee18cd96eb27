// The parsed identity of a tiered-storage stub, and the byte format of the
// stub's own bytes as the tiered-storage stand-in hands them out.
//
// Stub byte format (all numbers big-endian, no padding):
//
//   offset  size  content
//   0       8     magic "RXSTUB1\0"
//   8       4     kind (1 plain stub, 2 stub carrying a data GUID)
//   12      4     application id
//   16      8     recorded size of the file's data
//   24      2     length A of the application GUID
//   26      A     application GUID bytes (no terminator)
//   26+A    2     length D of the data GUID
//   28+A    D     data GUID bytes (no terminator)
//
// The fixed part is 28 bytes; a stub is exactly 28 + A + D bytes long.
// Trailing bytes after the data GUID are a malformed stub.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct ReparseData {
    uint32_t kind = 1;          // 1 fresh / plain; 2 the stub carries a data GUID
    std::string dataGuid;       // meaningful only when kind == 2
    uint32_t appId = 0;         // application that made the stub
    std::string appGuid;        // GUID of that application
    uint64_t recordedSize = 0;  // size of the file's data when it was stubbed
};

// Size of the fixed part of the stub format.
constexpr size_t kStubFixedSize = 28;

// The magic at the start of every stub.
extern const char kStubMagic[8];

// Parses `stub` into `out`. Answers false, leaving `out` a fresh record, when
// the bytes are not a whole stub of the format above (short, wrong magic,
// a length running past the end, trailing bytes, a GUID holding a NUL byte,
// or a kind other than 1 or 2). Never reads outside the vector.
bool ParseStubData(const std::vector<char>& stub, ReparseData& out);

// The stub bytes of `rd` in the format above. GUIDs longer than 65535 bytes
// cannot be represented: the answer is then empty.
std::vector<char> BuildStubData(const ReparseData& rd);

// The common stub description (version, type, size) that the reader can
// format for other agents.
struct StubPrime_Fields {
    int version = 0;
    int stubType = 0;
    uint64_t size = 0;

    // "version=<v> type=<t> size=<s>".
    std::string ToString() const;
};
