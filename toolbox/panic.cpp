#include "panic.h"

#include "line/port_write.h"
#include "line/sounding.h"
#include "platform/host.h"
#include "share/link.h"

#include <vector>

namespace {

constexpr uint8_t allNotesOff = 123;

std::vector<uint8_t> panicMessages() {
    std::vector<uint8_t> bytes;
    for (uint8_t channel = 0; channel < channelCount; ++channel) {
        for (uint8_t controller : {allNotesOff, sustainPedal}) {
            bytes.insert(bytes.end(),
                         {static_cast<uint8_t>(controlChange | channel), controller, 0});
        }
    }
    return bytes;
}

bool written(platform::Handle port, platform::CompletionRecord& record, const WireWrite& write) {
    if (platform::startWrite(port, write.bytes, write.count, &record)) {
        return true;
    }
    if (platform::lastError() != ERROR_IO_PENDING) {
        return false;
    }
    if (platform::finishWrite(port, &record, writeDeadline(write.count)) == platform::IoEnd::late) {
        platform::cancelWrite(port, &record);
        platform::finishWrite(port, &record, platform::noTimeLimit);
        return false;
    }
    return true;
}

// Each destination's messages behind its select, framed for its output as the driver frames them.
bool writeEveryDestination(platform::Handle port, platform::CompletionRecord& record) {
    std::vector<uint8_t> messages = panicMessages();
    for (uint32_t output = 0; output < outputCount; ++output) {
        if (!written(port, record, selectPair(output))) {
            return false;
        }
        WireWrite write;
        for (uint32_t at = 0; at < messages.size();) {
            at += frameNextWrite(output, messages.data() + at,
                                 static_cast<uint32_t>(messages.size()) - at, write);
            if (!written(port, record, write)) {
                return false;
            }
        }
    }
    return true;
}

} // namespace

uint32_t panicOnPort(uint16_t portNumber) {
    char16_t name[portNameLength];
    formatPortName(portNumber, name);
    platform::Handle port = platform::openSerialPort(name, readWriteAccess);
    if (port == platform::invalidHandle) {
        return platform::lastError() == ERROR_ACCESS_DENIED ? MMSYSERR_ALLOCATED : MMSYSERR_ERROR;
    }
    platform::CompletionRecord record = {};
    record.event = platform::createEvent();
    bool done = record.event != platform::nullHandle &&
                platform::configureSerialLine(port, lineSetup) &&
                writeEveryDestination(port, record);
    if (record.event != platform::nullHandle) {
        platform::closeHandle(record.event);
    }
    platform::closeHandle(port);
    return done ? MMSYSERR_NOERROR : MMSYSERR_ERROR;
}

uint32_t panicThroughService() {
    std::vector<uint8_t> messages = panicMessages();
    PortLine line{}; // tells no monitor: the check program has no record of its own
    for (uint32_t output = 0; output < outputCount; ++output) {
        ShareLink link{};
        uint32_t status = connectShare(link, line, kindOutput, output);
        if (status == MMSYSERR_NOERROR) {
            status = shareRequest(link, ShareFrameKind::message, shareAnswerWanted, messages.data(),
                                  static_cast<uint32_t>(messages.size()));
            disconnectShare(link);
        }
        if (status != MMSYSERR_NOERROR) {
            return status;
        }
    }
    return MMSYSERR_NOERROR;
}
