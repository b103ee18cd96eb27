// The 16 bytes in front of every optional-header payload (record type 129).
//
//   off  width  on the wire
//   0    u32    marker 0xABCD1234, network order
//   4    u32    optional-header type, network order
//   8    u32    payload length, the prefix not included, network order
//   12   u16    0
//   14   u16    0
//
// The prefix is kept in host order while the payload is filled and put in
// network order once, just before the record is written. The record's
// length is the payload length plus kOptionalHeaderPrefixSize.
#pragma once

#include <cstddef>
#include <cstdint>

struct OptionalHeaderPrefix {
    uint32_t marker;  // kOptionalHeaderMarker
    uint32_t type;    // optional-header type
    uint32_t length;  // payload bytes, the prefix not included
    uint16_t reserved1;
    uint16_t reserved2;
};
static_assert(sizeof(OptionalHeaderPrefix) == 16, "optional-header prefix is 16 bytes");
static_assert(offsetof(OptionalHeaderPrefix, marker) == 0, "marker at 0");
static_assert(offsetof(OptionalHeaderPrefix, type) == 4, "type at 4");
static_assert(offsetof(OptionalHeaderPrefix, length) == 8, "length at 8");
static_assert(offsetof(OptionalHeaderPrefix, reserved1) == 12, "reserved at 12");
static_assert(offsetof(OptionalHeaderPrefix, reserved2) == 14, "reserved at 14");

constexpr uint32_t kOptionalHeaderMarker = 0xABCD1234u;
constexpr size_t kOptionalHeaderPrefixSize = sizeof(OptionalHeaderPrefix);

// Writes a host-order prefix at buf (16 bytes, any alignment): the marker,
// the given optional-header type, length 0 and both reserved halves 0.
void OptionalHeaderPrefixInit(void* buf, uint32_t type);

// Puts the prefix at buf in wire form for a payload of payloadLength bytes:
// the marker, the type already stored at buf (host order) and the length,
// all in network order, and both reserved halves 0. Call it once per
// record: the type is read in host order.
void OptionalHeaderPrefixToWire(void* buf, uint32_t payloadLength);
