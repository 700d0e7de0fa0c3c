// The input assembler per received byte, on a realistic stream: notes with running status, a
// timing clock every few bytes, and a 1 KiB exclusive into queued client buffers.
#include "input/assembler.h"
#include "input/exclusive_queue.h"
#include "platform/sim/sim.h"

#include <benchmark/benchmark.h>

#include <vector>

namespace {

std::vector<uint8_t> realisticStream() {
    std::vector<uint8_t> bytes;
    for (int i = 0; i < 256; ++i) { // notes under running status, clocked
        if (i % 2 == 0) {
            bytes.push_back(0xF8);
        }
        if (i % 32 == 0) {
            bytes.push_back(0x90);
        }
        bytes.push_back(static_cast<uint8_t>(0x30 + i % 24));
        bytes.push_back(static_cast<uint8_t>(i % 3 == 0 ? 0x00 : 0x64));
    }
    bytes.push_back(0xF0);
    for (int i = 0; i < 1022; ++i) {
        bytes.push_back(static_cast<uint8_t>(i & 0x7F));
    }
    bytes.push_back(0xF7);
    return bytes;
}

void assembleBytes(benchmark::State& state) {
    sim::reset();
    InputAssembler assembler = {};
    ExclusiveQueue exclusive = {};
    Stream stream = {};
    stream.kind = kindInput;
    // No client callback: what a notification costs is the host's business, not the assembler's.
    // Eight 256-byte buffers are queued afresh for every round of the stream.
    assembler.started = 1;
    std::vector<uint8_t> memory(8 * 256);
    std::vector<MidiHeader> headers(8);
    const std::vector<uint8_t> bytes = realisticStream();
    for (auto _ : state) {
        for (size_t i = 0; i < headers.size(); ++i) {
            headers[i] = {};
            headers[i].lpData = memory.data() + 256 * i;
            headers[i].dwBufferLength = 256;
            headers[i].dwFlags = MHDR_PREPARED | MHDR_INQUEUE;
            appendBuffer(exclusive, &headers[i]);
        }
        for (uint8_t byte : bytes) {
            ++assembler.now;
            parseInputByte(assembler, exclusive, stream, byte);
        }
        returnAllBuffers(exclusive, stream, assembler.now);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
    state.counters["ns_per_byte"] =
        benchmark::Counter(static_cast<double>(state.iterations() * bytes.size()),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(assembleBytes);

} // namespace

BENCHMARK_MAIN();
