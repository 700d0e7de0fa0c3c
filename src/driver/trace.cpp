#include "driver/trace.h"

#include "line/port_names.h"
#include "platform/platform.h"

namespace {

constexpr size_t traceLineLength = 96;

struct TraceLine {
    char16_t text[traceLineLength];
    size_t at;
};

void append(TraceLine& line, const char16_t* text) {
    line.at += copyText(text, line.text + line.at, traceLineLength - line.at);
}

void append(TraceLine& line, uint32_t number) {
    char16_t digits[numberTextLength];
    formatNumber(number, digits);
    append(line, digits);
}

} // namespace

void writeEntryTrace(const char16_t* entry, uint32_t device, uint32_t message, uint32_t answer) {
    TraceLine line = {{}, 0};
    append(line, u"melvpcif: ");
    append(line, entry);
    append(line, u"(device ");
    append(line, device);
    append(line, u", message ");
    append(line, message);
    append(line, u") = ");
    append(line, answer);
    append(line, u"\n");
    platform::debugOutput(line.text);
}
