#include "line/outputs.h"

WireWrite selectPair(uint32_t output) {
    WireWrite pair;
    pair.bytes[0] = destinationSelect;
    pair.bytes[1] = static_cast<uint8_t>(output);
    pair.count = 2;
    return pair;
}

uint32_t frameNextWrite(uint32_t output, const uint8_t* bytes, uint32_t count, WireWrite& write) {
    // Raw data goes out in blocks, so that a line that stops taking bytes is noticed within a few
    // seconds of its last progress, never only after the wire time of a whole long message.
    bool raw = outputTable[output].framing == Framing::raw;
    uint32_t limit = raw ? rawBlockBytes : packetDataBytes;
    uint32_t taken = count < limit ? count : limit;
    uint32_t lead = raw ? 0 : 1;
    write.bytes[0] = packetLead;
    for (uint32_t i = 0; i < taken; ++i) {
        write.bytes[lead + i] = bytes[i];
    }
    write.count = lead + taken;
    return taken;
}
