#include "share/service_line.h"

#include "line/port_names.h"
#include "line/port_write.h"
#include "platform/host.h"

namespace {

void lineWritten(uint32_t error, uint32_t, platform::CompletionRecord* record) {
    auto* write = reinterpret_cast<ServiceLineWrite*>(record);
    write->underWay = false;
    if (error != ERROR_SUCCESS) {
        write->line->failed = true;
    }
}

// A read's routine only notes what came and when. A read issued from inside its routine would
// complete at once whenever a byte is waiting, and its routine run within the same wait, over and
// over: while the instrument sends a long dump, the wait would never return, and no program would
// be handed its input until the queues overflowed.
void lineRead(uint32_t error, uint32_t count, platform::CompletionRecord* record) {
    auto* read = reinterpret_cast<ServiceLineRead*>(record);
    read->done = true;
    read->count = count;
    read->time = platform::milliseconds();
    // A read waits for its first byte: one that ends empty was cut off.
    if ((error != ERROR_SUCCESS && error != ERROR_OPERATION_ABORTED) || count == 0) {
        read->line->failed = true;
    }
}

void issueRead(ServiceLine& line) {
    ServiceLineRead& read = line.read;
    read.record = {};
    read.line = &line;
    read.done = false;
    if (!platform::startRead(line.port, read.bytes, serviceReadBytes, &read.record, lineRead)) {
        line.failed = true;
    }
}

} // namespace

bool openServiceLine(ServiceLine& line, uint16_t portNumber) {
    char16_t name[portNameLength];
    formatPortName(portNumber, name);
    line.port = platform::openSerialPort(name, readWriteAccess);
    if (line.port == platform::invalidHandle) {
        return false;
    }
    if (!platform::configureSerialLine(line.port, lineSetup)) {
        platform::closeHandle(line.port);
        line.port = platform::invalidHandle;
        return false;
    }
    platform::discardReceived(line.port);
    line.write.line = &line;
    issueRead(line);
    return true;
}

void closeServiceLine(ServiceLine& line) {
    if (line.port != platform::invalidHandle) {
        platform::closeHandle(line.port);
        line.port = platform::invalidHandle;
    }
}

void writeServiceLine(ServiceLine& line, ShareHub& hub, uint32_t now) {
    ServiceLineWrite& write = line.write;
    if (write.underWay || line.failed || !nextLineWrite(hub, now, write.bytes)) {
        return;
    }
    write.record = {};
    write.underWay = true;
    write.started = now;
    write.deadline = writeDeadline(write.bytes.count);
    if (!platform::startWriteWithRoutine(line.port, write.bytes.bytes, write.bytes.count,
                                         &write.record, lineWritten)) {
        write.underWay = false;
        line.failed = true;
    }
}

void takeServiceLineInput(ServiceLine& line, ShareHub& hub) {
    ServiceLineRead& read = line.read;
    if (line.failed || !read.done) {
        return;
    }
    for (uint32_t i = 0; i < read.count; ++i) {
        takeInput(hub, read.bytes[i], read.time);
    }
    issueRead(line);
}

uint32_t endOverdueWrite(ServiceLine& line, uint32_t now) {
    ServiceLineWrite& write = line.write;
    if (!write.underWay) {
        return platform::noTimeLimit;
    }
    uint32_t elapsed = now - write.started;
    if (elapsed < write.deadline) {
        return write.deadline - elapsed;
    }
    platform::cancelWrite(line.port, &write.record); // its routine then fails the line
    return platform::noTimeLimit;
}
