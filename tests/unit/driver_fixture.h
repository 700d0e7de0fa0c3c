// A fresh simulated machine with one process that has loaded the driver, and the calls a client
// makes, written out the way a test reads best.
#pragma once

#include "driver/entry.h"
#include "driver/open_close.h"
#include "output/output_stream.h"
#include "platform/host.h"
#include "platform/sim/sim.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <vector>

using Bytes = std::vector<uint8_t>;

constexpr uint32_t callbackFunction = 0x00030000; // CALLBACK_FUNCTION in the open flags

struct ClientProcess {
    ProcessContext context;

    ClientProcess(SharedState& shared, platform::ProcessIdentity identity)
        : context{.moduleHandle = 0,
                  .heap = platform::nullHandle,
                  .line = {.ownerToken = noOwner, .shared = &shared}} {
        sim::world().currentProcess = identity;
        createProcessContext(context, 0x10000000);
    }
    // A process that maps the shared record by its name, as the loaded module does.
    explicit ClientProcess(platform::ProcessIdentity identity)
        : context{.moduleHandle = 0,
                  .heap = platform::nullHandle,
                  .line = {.ownerToken = noOwner, .shared = nullptr}} {
        sim::world().currentProcess = identity;
        createProcessContext(context, 0x10000000);
    }
    ~ClientProcess() { destroyProcessContext(context); }

    // Opens output `index`; the stream is null when the open failed.
    uint32_t openOutput(uint32_t index, Stream*& stream, uintptr_t callback = 0xCA11BAC4) {
        stream = nullptr;
        MidiOpenDescription description = {0x4D1D1, callback, 0x1257A};
        uint32_t status =
            modMessage(context, index, MODM_OPEN, reinterpret_cast<uintptr_t>(&stream),
                       reinterpret_cast<uintptr_t>(&description), callbackFunction);
        if (status == MMSYSERR_NOERROR) {
            outputs[stream] = index;
        }
        return status;
    }
    Stream* openOutput(uint32_t index) {
        Stream* stream = nullptr;
        EXPECT_EQ(openOutput(index, stream), MMSYSERR_NOERROR);
        return stream;
    }
    // The host names the stream's device with every call on it.
    uint32_t call(Stream* stream, uint32_t message, uintptr_t param1 = 0, uintptr_t param2 = 0) {
        return modMessage(context, outputs[stream], message, reinterpret_cast<uintptr_t>(stream),
                          param1, param2);
    }
    uint32_t close(Stream* stream) { return call(stream, MODM_CLOSE); }
    uint32_t send(Stream* stream, uint32_t packed) { return call(stream, MODM_DATA, packed); }
    uint32_t sendLong(Stream* stream, MidiHeader& header, uintptr_t size = sizeof(MidiHeader)) {
        return call(stream, MODM_LONGDATA, reinterpret_cast<uintptr_t>(&header), size);
    }

    std::map<Stream*, uint32_t> outputs; // each output stream's device, as the host keeps it
};

inline SharedState withPortNumber(uint16_t portNumber) {
    SharedState shared = initialSharedState;
    shared.portNumber = portNumber;
    return shared;
}

inline MidiHeader preparedHeader(Bytes& data) {
    MidiHeader header = {};
    header.lpData = data.data();
    header.dwBufferLength = static_cast<uint32_t>(data.size());
    header.dwFlags = MHDR_PREPARED;
    return header;
}

// Comes first among the bases, so the machine is fresh before any process loads the driver and is
// cleared only after every process has unloaded it.
struct FreshMachine {
    FreshMachine() { sim::reset(); }
    ~FreshMachine() { sim::reset(); }
};

class DriverTest : public ::testing::Test, private FreshMachine {
  protected:
    void setIndependentMode() { setMessageMask(shared, messageMask(shared) | independentModeBit); }

    std::vector<uint32_t> notified() {
        std::vector<uint32_t> messages;
        for (const sim::Notification& n : sim::world().notifications) {
            messages.push_back(n.message);
        }
        return messages;
    }
    // Each write to COM1 as it went out.
    std::vector<Bytes> writes() { return sim::world().ports[1].writes; }
    Bytes wire(uint32_t port = 1) { return sim::wire(port); }
    void forgetWire() { sim::world().ports[1].writes.clear(); }

    SharedState shared = withPortNumber(1);
    ClientProcess app{shared, {100, 1}};
};
