// The library cases played through RtMidi's winmm back end, as an RtMidi program uses it: output
// with sendMessage (midiOutShortMsg, and midiOutLongMsg for exclusives), input through a callback
// with its own exclusive buffers, clocks and exclusives not ignored. RtMidi has no timed output.
//
//   melv_rtmidi_runner.exe [--independent] [gtest options]
#include "scenarios.h"

#include "common/hex.h"

#include <RtMidi.h>

#include <gtest/gtest.h>

#include <cmath>
#include <mutex>

namespace {

// RtMidi reports an error to this callback instead of throwing it; the call that caused it then
// answers false.
void recordError(RtMidiError::Type, const std::string& text, void* userData) {
    *static_cast<std::string*>(userData) = text;
}

bool succeeded(std::string& error, const char* what) {
    if (error.empty()) {
        return true;
    }
    ADD_FAILURE() << what << ": " << error;
    error.clear();
    return false;
}

} // namespace

struct LibraryOutput {
    RtMidiOut midi;
    std::string error;
};

struct LibraryInput {
    RtMidiIn midi;
    std::string error;
    std::mutex lock;
    Received received;
    std::vector<uint8_t> exclusive; // the exclusive being joined from its buffers
};

LibraryOutput* openLibraryOutput(int device, OutputMode) {
    auto* output = new LibraryOutput;
    output->midi.setErrorCallback(recordError, &output->error);
    output->midi.openPort(device);
    if (!succeeded(output->error, "RtMidiOut::openPort")) {
        delete output;
        return nullptr;
    }
    return output;
}

bool sendShort(LibraryOutput* output, const std::vector<uint8_t>& message) {
    output->midi.sendMessage(message.data(), message.size());
    return succeeded(output->error, "RtMidiOut::sendMessage");
}

bool sendExclusive(LibraryOutput* output, const std::vector<uint8_t>& exclusive) {
    return sendShort(output, exclusive);
}

bool closeLibraryOutput(LibraryOutput* output) {
    output->midi.closePort();
    bool closed = succeeded(output->error, "RtMidiOut::closePort");
    delete output;
    return closed;
}

// Each buffer of an exclusive comes as a message of its own; a clock inside it comes between them.
void receive(double deltaSeconds, std::vector<unsigned char>* message, void* userData) {
    auto* input = static_cast<LibraryInput*>(userData);
    std::lock_guard<std::mutex> hold(input->lock);
    input->received.stepsMs.push_back(std::llround(deltaSeconds * 1000));
    if (message->empty()) {
        return;
    }
    if (message->front() < 0xF8 && (message->front() == 0xF0 || !input->exclusive.empty())) {
        input->exclusive.insert(input->exclusive.end(), message->begin(), message->end());
        if (input->exclusive.back() == 0xF7) {
            input->received.messages.push_back(
                hexBytes(input->exclusive.data(), input->exclusive.size()));
            input->exclusive.clear();
        }
        return;
    }
    input->received.messages.push_back(hexBytes(message->data(), message->size()));
}

LibraryInput* openLibraryInput() {
    auto* input = new LibraryInput;
    input->midi.setErrorCallback(recordError, &input->error);
    input->midi.setCallback(receive, input);
    input->midi.ignoreTypes(false, false, false);
    input->midi.openPort(0);
    if (!succeeded(input->error, "RtMidiIn::openPort")) {
        delete input;
        return nullptr;
    }
    return input;
}

Received takeReceived(LibraryInput* input) {
    std::lock_guard<std::mutex> hold(input->lock);
    Received taken;
    std::swap(taken, input->received);
    return taken;
}

bool closeLibraryInput(LibraryInput* input) {
    input->midi.closePort();
    bool closed = succeeded(input->error, "RtMidiIn::closePort");
    delete input;
    return closed;
}

class RtMidiCases : public ::testing::TestWithParam<LibraryCase> {};

TEST_P(RtMidiCases, Plays) {
    playCase(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Table, RtMidiCases, ::testing::ValuesIn(libraryCases(false)),
                         [](const auto& info) { return caseName(info.param); });

int main(int argc, char** argv) {
    return runLibraryCases(argc, argv, [] { return true; });
}
