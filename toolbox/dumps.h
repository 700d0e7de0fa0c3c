// The librarian's jobs on the instrument: .syx files sent to an output with a pause after each
// exclusive, and what the instrument sends recorded into a .syx file. The devices are opened like
// any program's, only for the job: in one-program mode a program that holds the instrument is
// named and nothing is changed; with sharing on the job joins the others.
#pragma once

#include "words/librarian.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Packets of an exclusive handed to the output one at a time, so that a cancel acts within one
// packet (about 70 ms on the cable) rather than after the whole exclusive.
constexpr size_t sendPacketBytesDefault = 256;

struct SendJob {
    std::vector<std::wstring> files;
    uint32_t pauseMs = sendPauseDefaultMs;
    size_t packetBytes = sendPacketBytesDefault;
    std::wstring output; // the output's name or the end of it ("Synth-A"); empty: the first one
};

struct ReceiveJob {
    std::wstring file;
    std::string request;        // typed in hex, sent before recording; empty: none
    std::wstring output;        // where the request goes, as SendJob::output
    uint32_t quietSeconds = 10; // the recording ends once nothing has arrived for this long
};

// How far a send has gone, for a progress bar or a line of text.
using SendProgress = std::function<void(size_t bytesSent, size_t bytesInAll)>;

// Each job answers the toolbox's exit code and says in words what it did or why it did nothing.
// A set `cancel` stops a send after its packet under way; an exclusive cut short is ended with F7,
// so that the instrument does not wait for the rest.
int sendSyxFiles(const SendJob& job, const std::atomic<bool>& cancel, const SendProgress& progress);
int receiveSyx(const ReceiveJob& job, const std::atomic<bool>& cancel);
