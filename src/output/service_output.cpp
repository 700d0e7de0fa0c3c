#include "output/service_output.h"

#include "monitor/monitor.h"
#include "output/telling.h"

#include <algorithm>

namespace {

// The service keeps each message whole among the other programs' and, when the answer is wanted,
// answers it once it has gone out. One longer than a frame goes in several, each waited for: an
// exclusive holds the line from its start to its end whatever frames it came in.
uint32_t sendInFrames(ShareLink& link, const uint8_t* bytes, uint32_t count, bool answerWanted) {
    uint32_t status = MMSYSERR_NOERROR;
    for (uint32_t at = 0; at < count && status == MMSYSERR_NOERROR; at += shareMessageBytesMax) {
        uint32_t part = std::min(count - at, shareMessageBytesMax);
        status = shareRequest(link, ShareFrameKind::message, answerWanted ? shareAnswerWanted : 0,
                              bytes + at, part);
    }
    return status;
}

// Sends the message in frames of at most shareMessageBytesMax, a long one waited for until it
// has gone out.
uint32_t sendThroughService(OutputStream& stream, const uint8_t* bytes, uint32_t count,
                            bool canBeCut, uint32_t /*cutsBefore: the service cuts nothing*/) {
    // A long message, the one kind a reset may cut, is waited for until it has gone out whole.
    bool longMessage = canBeCut;
    uint32_t status = sendInFrames(linkOf(stream), bytes, count, longMessage);
    tellSend(stream, stream.deviceIndex, bytes, count, status);
    return status;
}

// Asks the service to silence what the stream left sounding.
uint32_t silenceThroughService(OutputStream& stream) {
    // The service knows what the stream left sounding, and silences it whoever has the wire.
    *stream.sounding = {};
    uint32_t status = shareRequest(linkOf(stream), ShareFrameKind::reset, 0, nullptr, 0);
    trace(stream.line->monitor,
          {TraceEvent::reset, outputSlot(stream.deviceIndex), 0, traceViaService, status});
    return status;
}

// A long message through the service is written whole: no reset cuts it.
void cutNothing(OutputStream& /*stream*/) {}

} // namespace

const OutputDevice serviceOutput = {sendThroughService, silenceThroughService, cutNothing};
