#include "instrument/event_text.h"

#include "words/midi_text.h"
#include "words/text.h"

#include <cctype>
#include <cinttypes>

namespace {

// The message a partial run of bytes was meant to be, for reports of broken ones.
std::string kindOfMessage(uint8_t status) {
    if (status == 0xF0) {
        return "SysEx";
    }
    static const char* const channelKinds[] = {
        "Note Off",       "Note On",          "Poly Key Pressure", "Control Change",
        "Program Change", "Channel Pressure", "Pitch Bend"};
    if (status >= 0x80 && status < 0xF0) {
        return channelKinds[(status >> 4) - 8];
    }
    static const char* const commonKinds[] = {"MTC Quarter Frame", "Song Position", "Song Select"};
    if (status >= 0xF1 && status <= 0xF3) {
        return commonKinds[status - 0xF1];
    }
    return "message";
}

std::string describeCutShort(const WireEvent& event) {
    std::string what = kindOfMessage(event.bytes[0]);
    std::string count =
        format("%zu byte%s", event.bytes.size(), event.bytes.size() == 1 ? "" : "s");
    std::string held = hexBytes(event.bytes);
    if (event.cause == 0) {
        return what + " unfinished at end of input after " + count + ": " + held;
    }
    return what + " cut short by " + hexByte(event.cause) + " after " + count + ": " + held;
}

std::string describeProblem(const WireEvent& event) {
    std::string bytes = hexBytes(event.bytes);
    switch (event.problem) {
    case WireProblem::EmptyPacket:
        return event.cause == 0 ? "packet lead FF with no data at end of input"
                                : "packet lead FF with no data before destination select F5";
    case WireProblem::BadDestination:
        return "destination select " + bytes + " names no destination (00 to 03)";
    case WireProblem::MissingIndex:
        return "destination select F5 with no index at end of input";
    case WireProblem::OutsidePacket:
        return "byte " + bytes + " outside any packet";
    case WireProblem::NoDestination:
        return "byte " + bytes + " with no destination selected";
    case WireProblem::CutShort:
        return describeCutShort(event);
    case WireProblem::StrayData:
        return "stray data byte " + bytes + " with no status in force";
    case WireProblem::StrayEndOfExclusive:
        return "End of Exclusive F7 with no SysEx in progress";
    case WireProblem::None:
        break;
    }
    return bytes;
}

} // namespace

int destinationByName(const std::string& name) {
    if (name.size() == 1 && name[0] >= '0' && name[0] < '0' + kDestinationCount) {
        return name[0] - '0';
    }
    for (int destination = 0; destination < kDestinationCount; destination++) {
        const char* candidate = destinationName(destination);
        size_t i = 0;
        while (i < name.size() && candidate[i] != '\0' &&
               std::tolower(static_cast<unsigned char>(name[i])) ==
                   std::tolower(static_cast<unsigned char>(candidate[i]))) {
            i++;
        }
        if (i == name.size() && candidate[i] == '\0') {
            return destination;
        }
    }
    return kNoDestination;
}

std::string describeEvent(const WireEvent& event) {
    if (event.problem == WireProblem::None) {
        return describeMessage(event.bytes);
    }
    return "malformed: " + describeProblem(event);
}

std::string formatEventLine(const WireEvent& event) {
    int64_t seconds = event.timeUs / 1000000;
    int64_t milliseconds = event.timeUs % 1000000 / 1000;
    return format("%4" PRId64 ".%03" PRId64 "  %-12s  ", seconds, milliseconds,
                  destinationName(event.destination)) +
           describeEvent(event);
}
