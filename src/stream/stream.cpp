#include "stream/stream.h"

#include "monitor/monitor.h"

namespace {

constexpr uint8_t inputSlot = deviceSlot(kindInput, 0);

// What a monitor is told, and counted, of a short message or an error the program is told of.
void tellOfInput(const Stream& stream, uint32_t notification, uintptr_t packed) {
    // Exclusives are told and counted as they end (input/exclusive_queue.cpp).
    if (stream.line == nullptr || (notification != MIM_DATA && notification != MIM_ERROR)) {
        return;
    }
    const PortLine& line = *stream.line;
    uint8_t bytes[3] = {static_cast<uint8_t>(packed), static_cast<uint8_t>(packed >> 8),
                        static_cast<uint8_t>(packed >> 16)};
    uint32_t length = bytes[0] >= 0x80 ? shortMessageBytes(bytes[0]) : 1;
    if (notification == MIM_DATA) {
        countUp(line.monitor, Count::messagesReceived);
        countUp(line.monitor, Count::bytesReceived, length);
    } else {
        countUp(line.monitor, Count::brokenMessages);
    }
    TraceEvent event = notification == MIM_DATA ? TraceEvent::received : TraceEvent::broken;
    traceBytes(line.monitor, {event, inputSlot, 0, 0, MMSYSERR_NOERROR}, bytes, length);
}

} // namespace

void notifyClient(const Stream& stream, uint32_t notification, uintptr_t param1, uintptr_t param2) {
    if (stream.kind == kindInput) {
        tellOfInput(stream, notification, param1);
    }
    if (stream.clientCallback == 0) {
        return;
    }
    platform::driverCallback(stream.clientCallback, stream.openFlags >> 16, stream.deviceHandle,
                             notification, stream.clientInstance, param1, param2);
}

bool headerIsUsable(const MidiHeader* header, uintptr_t headerSize) {
    return header != nullptr && headerSize >= minimumHeaderSize &&
           (header->lpData != nullptr || header->dwBufferLength == 0);
}
