#include "input/service_input.h"

#include "input/assembler.h"

namespace {

// The connection failed: what the bytes before the loss began is broken, and the connection is
// made again when due. Until then the instrument's input does not reach this stream.
void connectionLost(InputStream& stream) {
    {
        std::lock_guard<std::mutex> hold(linkOf(stream).lock);
        if (linkOf(stream).pipe != platform::nullHandle) {
            loseConnection(linkOf(stream));
        }
    }
    forgetPartialMessage(stream.assembler, stream.exclusive, stream);
    stream.lineTrouble = 1;
}

void issueFrameRead(InputStream& stream) {
    ReadSlot& slot = stream.slots[0];
    slot.done = 0;
    slot.error = 0;
    slot.outstanding = 1;
    if (linkOf(stream).pipe == platform::nullHandle ||
        !platform::startRead(linkOf(stream).pipe, stream.frame, shareFrameBytesMax,
                             &slot.completion, readCompleted)) {
        slot.outstanding = 0;
        connectionLost(stream);
    }
}

// Each byte of the frame is assembled at the time it came in, counted from the start. The client's
// callback may stop input, or stop and start it again, which reads into the frame anew: the rest
// of the frame is then not the client's any longer, and is not looked at again.
void takeFrame(InputStream& stream, uint32_t count) {
    ShareFrame frame;
    if (!readShareAnswer(stream.frame, count, frame) || frame.kind != ShareFrameKind::input) {
        connectionLost(stream);
        return;
    }
    InputAssembler& assembler = stream.assembler;
    uint32_t starts = stream.starts;
    if (assembler.started == 0) {
        return; // input has stopped: what came is dropped
    }
    for (uint32_t at = 0; at < frame.length; at += shareInputEntryBytes) {
        if (assembler.started == 0 || stream.starts != starts) {
            return;
        }
        // A byte the service had taken in just before input started counts as come at the start.
        auto since = static_cast<int32_t>(readU32(frame.payload + at) - stream.startTime);
        assembler.now = since < 0 ? 0 : static_cast<uint32_t>(since);
        // What was lost came before the frame's first byte, and is told at its time.
        if (at == 0 && (frame.flags & shareInputLost) != 0) {
            loseBytes(assembler, stream.exclusive, stream);
            if (assembler.started == 0 || stream.starts != starts) {
                return;
            }
        }
        parseInputByte(assembler, stream.exclusive, stream, frame.payload[at + 4]);
    }
    if (assembler.started != 0 && stream.starts == starts) {
        issueFrameRead(stream);
    }
}

// Asks the service for the instrument's input from now on, and reads it. A connection that fails
// is tried again when due (tendServiceLink).
void startServiceInput(InputStream& stream) {
    if (shareRequest(linkOf(stream), ShareFrameKind::startInput, 0, nullptr, 0) !=
        MMSYSERR_NOERROR) {
        stream.lineTrouble = 1;
        return;
    }
    stream.lineTrouble = 0;
    issueFrameRead(stream);
}

// Asks the service to stop handing input over. The frame read has ended.
void stopServiceInput(InputStream& stream) {
    if (stream.lineTrouble == 0) {
        shareRequest(linkOf(stream), ShareFrameKind::stopInput, 0, nullptr, 0);
    }
}

// Cancels the frame read outstanding on the connection.
void cancelServiceReads(InputStream& stream) {
    platform::cancelReads(linkOf(stream).pipe);
}

// Takes in the frame the read brought, and reads the next.
void takeServiceInput(InputStream& stream) {
    ReadSlot& slot = stream.slots[0];
    if (slot.done == 0) {
        return;
    }
    slot.done = 0;
    if (slot.error != 0) {
        connectionLost(stream);
        return;
    }
    takeFrame(stream, slot.bytesTransferred);
}

// A connection that was lost while input runs is made again when due, and input asked for again.
void tendServiceLink(InputStream& stream, bool /*restOver: the frame read never rests*/) {
    if (stream.lineTrouble != 0 && stream.assembler.started != 0) {
        startServiceInput(stream);
    }
}

} // namespace

const InputDevice serviceInput = {startServiceInput, stopServiceInput, cancelServiceReads,
                                  takeServiceInput, tendServiceLink};
