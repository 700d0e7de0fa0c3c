#include "output/telling.h"

#include "monitor/monitor.h"
#include "platform/host.h"

uint8_t outputSlot(uint32_t output) {
    return static_cast<uint8_t>(deviceSlot(kindOutput, output));
}

void tellSend(const OutputStream& stream, uint32_t output, const uint8_t* bytes, uint32_t count,
              uint32_t status, uint8_t flags) {
    const PortLine& line = *stream.line;
    if (status == MMSYSERR_NOERROR) {
        countUp(line.monitor, Count::messagesSent);
        countUp(line.monitor, Count::bytesSent, count);
    }
    if (stream.viaService) {
        flags |= traceViaService;
    }
    uint8_t whole[3] = {stream.rememberedStatus, bytes[0], count > 1 ? bytes[1] : uint8_t{0}};
    bool runningStatus = bytes[0] < 0x80 && count <= 2;
    TraceEvent event = status == MMSYSERR_NOERROR ? TraceEvent::sent : TraceEvent::notSent;
    traceBytes(line.monitor, {event, outputSlot(output), 0, flags, status},
               runningStatus ? whole : bytes, runningStatus ? count + 1 : count);
}

void tellDrop(const OutputStream& stream, const uint8_t* message, uint32_t length,
              MessageKind kind) {
    const PortLine& line = *stream.line;
    if (kind != noMessageKind) {
        countUp(line.monitor, droppedCount(kind));
    }
    TraceNote note = {TraceEvent::dropped, outputSlot(stream.deviceIndex),
                      static_cast<uint8_t>(kind), 0, MMSYSERR_NOERROR};
    traceBytes(line.monitor, note, message, length);
}
