// The output path from a packed short message or a long buffer to the port's write call, on the
// simulated platform, whose line swallows the writes here so that the driver's own cost shows.
#include "driver/entry.h"
#include "driver/open_close.h"
#include "monitor/monitor.h"
#include "output/filter.h"
#include "output/sending.h"
#include "platform/host.h"
#include "platform/sim/sim.h"

#include <benchmark/benchmark.h>

#include <vector>

namespace {

struct OpenOutput {
    SharedState shared = initialSharedState;
    ProcessContext process = {.moduleHandle = 0,
                              .heap = platform::nullHandle,
                              .line = {.ownerToken = noOwner, .shared = &shared}};
    Stream* stream = nullptr;
    OutputStream& out() { return static_cast<OutputStream&>(*stream); }

    OpenOutput() {
        sim::reset();
        sim::world().keepWrites = false;
        shared.portNumber = 1;
        createProcessContext(process, 0);
        MidiOpenDescription description = {};
        modMessage(process, 0, MODM_OPEN, reinterpret_cast<uintptr_t>(&stream),
                   reinterpret_cast<uintptr_t>(&description), 0);
    }
    ~OpenOutput() {
        modMessage(process, 0, MODM_CLOSE, reinterpret_cast<uintptr_t>(stream), 0, 0);
        destroyProcessContext(process);
    }
};

void shortMessage(benchmark::State& state) {
    OpenOutput output;
    const uint8_t noteOn[4] = {0x90, 0x3C, 0x40, 0x00};
    for (auto _ : state) {
        uint32_t length = passingLength(output.out(), noteOn);
        benchmark::DoNotOptimize(sendOutput(output.out(), noteOn, length));
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(shortMessage);

void longMessage(benchmark::State& state) {
    OpenOutput output;
    std::vector<uint8_t> exclusive(static_cast<size_t>(state.range(0)), 0x11);
    exclusive.front() = 0xF0;
    exclusive.back() = 0xF7;
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            sendOutput(output.out(), exclusive.data(), static_cast<uint32_t>(exclusive.size())));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(longMessage)->Arg(1024);

// What a monitor costs the sender: none is told (the driver without the record, as before it had
// one), counted only (the record, nobody watching), or traced as well (a monitor watching).
enum Looking { withoutRecord, counted, watched };

// The same through modMessage, as the host sends them: a Note On and its Note Off, so that what the
// stream keeps of the notes it left sounding comes and goes as in music.
void shortMessagesFromTheHost(benchmark::State& state) {
    OpenOutput output;
    if (state.range(0) == withoutRecord) {
        disconnectMonitor(output.process.line.monitor);
    } else if (state.range(0) == watched) {
        output.process.line.monitor.record->watchedUntil =
            platform::milliseconds() + monitorLeaseMs;
    }
    const uintptr_t instance = reinterpret_cast<uintptr_t>(output.stream);
    for (auto _ : state) {
        benchmark::DoNotOptimize(modMessage(output.process, 0, MODM_DATA, instance, 0x00403C90, 0));
        benchmark::DoNotOptimize(modMessage(output.process, 0, MODM_DATA, instance, 0x00003C80, 0));
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * 2);
}
BENCHMARK(shortMessagesFromTheHost)
    ->ArgName("looking")
    ->Arg(withoutRecord)
    ->Arg(counted)
    ->Arg(watched);

void longMessageFromTheHost(benchmark::State& state) {
    OpenOutput output;
    std::vector<uint8_t> exclusive(static_cast<size_t>(state.range(0)), 0x11);
    exclusive.front() = 0xF0;
    exclusive.back() = 0xF7;
    MidiHeader header = {};
    header.lpData = exclusive.data();
    header.dwBufferLength = static_cast<uint32_t>(exclusive.size());
    const uintptr_t instance = reinterpret_cast<uintptr_t>(output.stream);
    for (auto _ : state) {
        header.dwFlags = MHDR_PREPARED;
        benchmark::DoNotOptimize(modMessage(output.process, 0, MODM_LONGDATA, instance,
                                            reinterpret_cast<uintptr_t>(&header), sizeof header));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(longMessageFromTheHost)->Arg(1024);

} // namespace

BENCHMARK_MAIN();
