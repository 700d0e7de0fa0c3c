// Frames of the connection between a program's driver and the sharing service, as tests build
// them.
#pragma once

#include "share/protocol.h"

#include <cstdint>
#include <vector>

inline std::vector<uint8_t> frameOf(ShareFrameKind kind, uint16_t flags,
                                    const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> bytes(shareHeaderBytes + payload.size());
    writeShareFrame(kind, flags, payload.data(), static_cast<uint32_t>(payload.size()),
                    bytes.data());
    return bytes;
}
