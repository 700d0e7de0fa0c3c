#include "line/port_write.h"

#include "platform/host.h"

namespace {

// Read on the sending thread, which set both fields itself.
bool cutNow(const PortWriter& writer) {
    return writer.cutsOfSend != nullptr && writer.cutsOfSend->load() != writer.cutsBeforeSend;
}

} // namespace

// Every failure is answered MMSYSERR_INVALPARAM, the status of a send with no port open: the
// host has none for a line that failed, and to the program both mean the same, that the message
// did not go out and the device is still open.
uint32_t writePort(PortLine& line, PortHold portHold, PortWriter& writer, const uint8_t* bytes,
                   uint32_t count) {
    if (!holdsOpenPort(line, portHold) || cutNow(writer) || !lineIsUp(line)) {
        return MMSYSERR_INVALPARAM;
    }
    platform::CompletionRecord& record = writer.completion;
    platform::Handle port;
    uint32_t opening;
    bool done;
    uint32_t error;
    {
        std::lock_guard<std::mutex> hold(line.lineLock);
        port = line.portHandle;
        opening = line.lineOpening;
        done = platform::startWrite(port, bytes, count, &record);
        error = platform::lastError();
    }
    if (done) {
        return MMSYSERR_NOERROR;
    }
    if (error != ERROR_IO_PENDING) {
        lineFailed(line, opening);
        return MMSYSERR_INVALPARAM;
    }
    // A reset that came between the check above and the start found nothing to cancel yet.
    if (cutNow(writer)) {
        platform::cancelWrite(port, &record);
    }
    platform::IoEnd end = platform::finishWrite(port, &record, writeDeadline(count));
    if (end == platform::IoEnd::done) {
        return MMSYSERR_NOERROR;
    }
    // Part of the write may be on the wire, a packet or a select left half-way: the next send
    // announces its destination again, which the instrument takes as a fresh start.
    setLastDestination(*line.shared, noDestination);
    if (end == platform::IoEnd::late) {
        // The line has stopped taking bytes, which is no lost line. Until the cancelled write has
        // ended the OS may still read the bytes and write the record, so it is waited for;
        // cancelled, it ends at once.
        platform::cancelWrite(port, &record);
        platform::finishWrite(port, &record, platform::noTimeLimit);
        tellOfLine(line, TraceEvent::writeGivenUp, Count::writesGivenUp);
        return MMSYSERR_INVALPARAM;
    }
    // A write that failed while a reset was cutting its message was cancelled by that reset: the
    // line is healthy.
    if (!cutNow(writer)) {
        lineFailed(line, opening);
    }
    return MMSYSERR_INVALPARAM;
}

void setCuttable(PortLine& line, PortWriter& writer, const std::atomic<uint32_t>* cuts,
                 uint32_t cutsBefore) {
    std::lock_guard<std::mutex> hold(line.lineLock);
    writer.cutsOfSend = cuts;
    writer.cutsBeforeSend = cutsBefore;
}

void cutWrite(PortLine& line, PortWriter& writer) {
    // A short message or a reset's Note Off of the same stream may own the record now: it is left
    // to end, and the cut message stops once it has the wire. A write started after the cut count
    // moved on sees the cut itself.
    std::lock_guard<std::mutex> hold(line.lineLock);
    if (writer.cutsOfSend != nullptr && line.portHandle != platform::invalidHandle) {
        platform::cancelWrite(line.portHandle, &writer.completion);
    }
}
