// A line of words put together printf-style, for the short texts of messages and entries.
#pragma once

#include <cstdio>
#include <string>

inline std::string format(const char* pattern, auto... values) {
    char text[200];
    std::snprintf(text, sizeof text, pattern, values...);
    return text;
}
