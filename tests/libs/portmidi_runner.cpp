// The library cases played through PortMidi's winmm back end, as a PortMidi program uses it:
// ordinary output (latency 0: midiOutShortMsg and midiOutLongMsg), timed output (a latency: the
// midiStream functions), and input read from PortMidi's queue with Pm_Read.
//
//   melv_portmidi_runner.exe [--independent] [gtest options]
#include "scenarios.h"

#include "common/hex.h"

#include <portmidi.h>
#include <porttime.h>

#include <windows.h>

#include <mmsystem.h>

#include <gtest/gtest.h>

#include <cstring>

namespace {

// What a program passes for its buffer: PortMidi's output exclusive buffers hold four times as
// many bytes (at least 256), its input queue that many events of four bytes.
constexpr int32_t outputBufferEvents = 100;
constexpr int32_t inputBufferEvents = 1024;
// Timed output plays each message this many milliseconds after it is written.
constexpr int32_t timedLatencyMs = 10;

bool succeeded(PmError error, const char* what) {
    if (error >= pmNoError) {
        return true;
    }
    char hostText[PM_HOST_ERROR_MSG_LEN] = "";
    if (error == pmHostError) {
        Pm_GetHostErrorText(hostText, sizeof hostText);
    }
    ADD_FAILURE() << what << ": " << Pm_GetErrorText(error) << " " << hostText;
    return false;
}

// PortMidi lists the MIDI mapper and every device under its own numbers: the device that winmm
// names `winmmName`, input or output.
PmDeviceID portMidiDevice(const char* winmmName, bool input) {
    for (PmDeviceID id = 0; id < Pm_CountDevices(); ++id) {
        const PmDeviceInfo* info = Pm_GetDeviceInfo(id);
        if ((input ? info->input : info->output) && std::strcmp(info->name, winmmName) == 0) {
            return id;
        }
    }
    ADD_FAILURE() << "PortMidi does not list " << winmmName;
    return pmNoDevice;
}

// The length of a message PortMidi packs into one event, by its status.
size_t shortLength(uint8_t status) {
    if (status < 0xC0 || (status >= 0xE0 && status < 0xF0) || status == 0xF2) {
        return 3;
    }
    if (status < 0xE0 || status == 0xF1 || status == 0xF3) {
        return 2;
    }
    return 1;
}

} // namespace

struct LibraryOutput {
    PortMidiStream* stream;
};

struct LibraryInput {
    PortMidiStream* stream;
    std::vector<uint8_t> exclusive; // the exclusive being joined from its events
    PmTimestamp lastTime;
};

LibraryOutput* openLibraryOutput(int device, OutputMode mode) {
    MIDIOUTCAPSA caps{};
    if (midiOutGetDevCapsA(device, &caps, sizeof caps) != MMSYSERR_NOERROR) {
        ADD_FAILURE() << "winmm has no output " << device;
        return nullptr;
    }
    PortMidiStream* stream = nullptr;
    int32_t latency = mode == OutputMode::Timed ? timedLatencyMs : 0;
    if (!succeeded(Pm_OpenOutput(&stream, portMidiDevice(caps.szPname, false), nullptr,
                                 outputBufferEvents, nullptr, nullptr, latency),
                   "Pm_OpenOutput")) {
        return nullptr;
    }
    return new LibraryOutput{stream};
}

bool sendShort(LibraryOutput* output, const std::vector<uint8_t>& message) {
    PmMessage packed = 0;
    for (size_t i = 0; i < message.size(); ++i) {
        packed |= static_cast<PmMessage>(message[i]) << (8 * i);
    }
    return succeeded(Pm_WriteShort(output->stream, 0, packed), "Pm_WriteShort");
}

bool sendExclusive(LibraryOutput* output, const std::vector<uint8_t>& exclusive) {
    std::vector<uint8_t> bytes = exclusive;
    return succeeded(Pm_WriteSysEx(output->stream, 0, bytes.data()), "Pm_WriteSysEx");
}

bool closeLibraryOutput(LibraryOutput* output) {
    bool closed = succeeded(Pm_Close(output->stream), "Pm_Close");
    delete output;
    return closed;
}

LibraryInput* openLibraryInput() {
    MIDIINCAPSA caps{};
    if (midiInGetDevCapsA(0, &caps, sizeof caps) != MMSYSERR_NOERROR) {
        ADD_FAILURE() << "winmm has no input";
        return nullptr;
    }
    PortMidiStream* stream = nullptr;
    if (!succeeded(Pm_OpenInput(&stream, portMidiDevice(caps.szPname, true), nullptr,
                                inputBufferEvents, nullptr, nullptr),
                   "Pm_OpenInput")) {
        return nullptr;
    }
    return new LibraryInput{stream, {}, 0};
}

// An event holds a short message, or four bytes of an exclusive; a real-time message inside an
// exclusive comes as an event of its own between them.
Received takeReceived(LibraryInput* input) {
    Received received;
    PmEvent events[256];
    int count;
    while ((count = Pm_Read(input->stream, events, 256)) > 0) {
        for (int i = 0; i < count; ++i) {
            received.stepsMs.push_back(int64_t{events[i].timestamp} - input->lastTime);
            input->lastTime = events[i].timestamp;
            uint8_t bytes[4];
            for (int j = 0; j < 4; ++j) {
                bytes[j] = static_cast<uint8_t>(events[i].message >> (8 * j));
            }
            if (bytes[0] < 0xF8 && (bytes[0] == 0xF0 || !input->exclusive.empty())) {
                for (uint8_t byte : bytes) {
                    input->exclusive.push_back(byte);
                    if (byte == 0xF7) {
                        received.messages.push_back(
                            hexBytes(input->exclusive.data(), input->exclusive.size()));
                        input->exclusive.clear();
                        break;
                    }
                }
                continue;
            }
            received.messages.push_back(hexBytes(bytes, shortLength(bytes[0])));
        }
    }
    succeeded(static_cast<PmError>(count), "Pm_Read");
    return received;
}

bool closeLibraryInput(LibraryInput* input) {
    bool closed = succeeded(Pm_Close(input->stream), "Pm_Close");
    delete input;
    return closed;
}

class PortMidiCases : public ::testing::TestWithParam<LibraryCase> {};

TEST_P(PortMidiCases, Plays) {
    playCase(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Table, PortMidiCases, ::testing::ValuesIn(libraryCases(true)),
                         [](const auto& info) { return caseName(info.param); });

int main(int argc, char** argv) {
    // Timed output takes its time from PortTime, which a PortMidi program starts first.
    return runLibraryCases(argc, argv, [] {
        return Pt_Start(1, nullptr, nullptr) == ptNoError && Pm_Initialize() == pmNoError;
    });
}
