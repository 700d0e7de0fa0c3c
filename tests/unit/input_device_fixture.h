// An input device opened through midMessage, with its worker running on the simulated platform,
// and the calls its tests share.
#pragma once

#include "input/worker.h"
#include "input_fixture.h"
#include "line/port.h"

#include <chrono>
#include <functional>
#include <thread>

class AnInputDevice : public DriverTest {
  protected:
    ~AnInputDevice() override {
        if (in != nullptr) {
            call(MIDM_RESET);
            EXPECT_EQ(call(MIDM_CLOSE), MMSYSERR_NOERROR);
        }
    }

    uint32_t open(uint32_t index = 0) {
        MidiOpenDescription description = {0x4D1D1, 0xCA11BAC4, 0x1257A};
        return midMessage(app.context, index, MIDM_OPEN, reinterpret_cast<uintptr_t>(&in),
                          reinterpret_cast<uintptr_t>(&description), callbackFunction);
    }
    uint32_t call(uint32_t message, uintptr_t param1 = 0, uintptr_t param2 = 0) {
        uint32_t status =
            midMessage(app.context, 0, message, reinterpret_cast<uintptr_t>(in), param1, param2);
        if (message == MIDM_CLOSE && status == MMSYSERR_NOERROR) {
            in = nullptr;
        }
        return status;
    }
    uint32_t add(ClientBuffer& buffer) {
        return call(MIDM_ADDBUFFER, buffer.address(), sizeof(MidiHeader));
    }
    ClientBuffer& prepared(uint32_t capacity) {
        ClientBuffer& buffer = buffers.emplace_back(capacity);
        buffer.header.dwFlags = MHDR_PREPARED;
        return buffer;
    }
    // Whether the condition holds within 20 s; for a stream's own counters, which the simulated
    // machine does not watch: polled.
    static bool soon(const std::function<bool()>& condition) {
        for (int i = 0; i < 20000 && !condition(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return condition();
    }
    static uint32_t count(const uint32_t& counter) {
        std::lock_guard<std::mutex> hold(sim::world().lock);
        return counter;
    }
    // One interval of trying the line (or the connection to the sharing service) again passes
    // for the worker: the clock moves on from the start of its wait, and the test goes on once
    // the worker has acted and waits again.
    void oneIntervalPasses() {
        ASSERT_TRUE(sim::waitUntil([] { return sim::world().timedWaits > 0; }));
        uint32_t next = count(sim::world().lastAlertableWaitStart) + reopenIntervalMs;
        sim::setClock(next);
        ASSERT_TRUE(sim::waitUntil([next] {
            return sim::world().alertableWaits > 0 && sim::world().lastAlertableWaitStart == next;
        }));
    }
    // A round trip through the worker: everything the line brought before it has been processed
    // and told by the time it returns.
    void settle() { EXPECT_EQ(sendCommand(input(), 0, 0), MMSYSERR_NOERROR); }
    // What the client was told since it opened, MIM_OPEN left out.
    std::vector<Told> told() {
        std::lock_guard<std::mutex> hold(sim::world().lock);
        std::vector<Told> result;
        for (const sim::Notification& n : sim::world().notifications) {
            if (n.message != MIM_OPEN) {
                result.push_back({n.message, n.param1, n.param2});
            }
        }
        return result;
    }

    // The stream the test opened, as the input's own record.
    InputStream& input() { return static_cast<InputStream&>(*in); }

    Stream* in = nullptr;
    std::deque<ClientBuffer> buffers;
};
