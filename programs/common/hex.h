// Bytes as the tests and the toolbox write them down: "F5 00 FF 90 3C 40".
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

inline std::string hexBytes(const unsigned char* bytes, std::size_t count) {
    std::string hex;
    for (std::size_t i = 0; i < count; ++i) {
        char digits[8];
        std::snprintf(digits, sizeof(digits), "%s%02X", i == 0 ? "" : " ", bytes[i]);
        hex += digits;
    }
    return hex;
}
