#include "instrument/wire_decoder.h"

namespace {

constexpr uint8_t kDestinationSelect = 0xF5;
constexpr uint8_t kPacketLead = 0xFF;
constexpr uint8_t kPacketCapacity = 4;

void report(std::vector<WireEvent>& events, int64_t timeUs, int destination, WireProblem problem,
            std::vector<uint8_t> bytes, uint8_t cause = 0) {
    events.push_back(WireEvent{timeUs, destination, problem, std::move(bytes), cause});
}

// Total length of a message by its status byte; 1 for those complete on their own.
uint8_t messageLength(uint8_t status) {
    if (status >= 0xC0 && status <= 0xDF) {
        return 2;
    }
    if (status < 0xF0) {
        return 3;
    }
    if (status == 0xF1 || status == 0xF3) {
        return 2;
    }
    if (status == 0xF2) {
        return 3;
    }
    return 1;
}

// A status byte ends whatever message was in progress on this destination.
void breakOff(MidiStream& stream, uint8_t status, int64_t timeUs, int destination,
              std::vector<WireEvent>& events) {
    if (!stream.message.empty()) {
        report(events, timeUs, destination, WireProblem::CutShort, std::move(stream.message),
               status);
    }
    stream.message.clear();
    stream.inExclusive = false;
}

void takeStatus(MidiStream& stream, uint8_t status, int64_t timeUs, int destination,
                std::vector<WireEvent>& events) {
    breakOff(stream, status, timeUs, destination, events);
    // Only channel messages leave a running status behind; system common ones cancel it.
    stream.runningStatus = status < 0xF0 ? status : 0;
    if (status == 0xF0) {
        stream.inExclusive = true;
        stream.message.push_back(status);
        return;
    }
    if (status == 0xF7) {
        report(events, timeUs, destination, WireProblem::StrayEndOfExclusive, {status});
        return;
    }
    stream.expected = messageLength(status);
    if (stream.expected == 1) {
        report(events, timeUs, destination, WireProblem::None, {status});
        return;
    }
    stream.message.push_back(status);
}

void takeData(MidiStream& stream, uint8_t data, int64_t timeUs, int destination,
              std::vector<WireEvent>& events) {
    if (stream.message.empty()) {
        if (stream.runningStatus == 0) {
            report(events, timeUs, destination, WireProblem::StrayData, {data});
            return;
        }
        stream.message.push_back(stream.runningStatus);
        stream.expected = messageLength(stream.runningStatus);
    }
    stream.message.push_back(data);
    if (stream.message.size() == stream.expected) {
        report(events, timeUs, destination, WireProblem::None, std::move(stream.message));
        stream.message.clear();
    }
}

void feedMidiByte(MidiStream& stream, uint8_t byte, int64_t timeUs, int destination,
                  std::vector<WireEvent>& events) {
    // Real-time bytes may fall anywhere, even inside a SysEx, and disturb nothing.
    if (byte >= 0xF8) {
        report(events, timeUs, destination, WireProblem::None, {byte});
        return;
    }
    if (stream.inExclusive && byte < 0x80) {
        stream.message.push_back(byte);
        return;
    }
    if (stream.inExclusive && byte == 0xF7) {
        stream.message.push_back(byte);
        report(events, timeUs, destination, WireProblem::None, std::move(stream.message));
        stream.message.clear();
        stream.inExclusive = false;
        return;
    }
    if (byte >= 0x80) {
        takeStatus(stream, byte, timeUs, destination, events);
        return;
    }
    takeData(stream, byte, timeUs, destination, events);
}

void feedDestination(WireDecoder& decoder, uint8_t byte, int64_t timeUs,
                     std::vector<WireEvent>& events) {
    feedMidiByte(decoder.streams[decoder.destination], byte, timeUs, decoder.destination, events);
}

void takeSelectIndex(WireDecoder& decoder, uint8_t index, int64_t timeUs,
                     std::vector<WireEvent>& events) {
    decoder.state = WireState::BetweenElements;
    if (index < kDestinationCount) {
        decoder.destination = index;
        return;
    }
    // Whatever follows cannot be placed, so it is shown as unaddressed until the next select.
    report(events, timeUs, decoder.destination, WireProblem::BadDestination,
           {kDestinationSelect, index});
    decoder.destination = kNoDestination;
}

// Inside a packet F5 and FF are framing, not data: the driver never sends an empty packet, and
// every packet but the last of a write is full, so FF after some data opens the next packet. A
// System Reset therefore only gets through as the first byte of its packet, which is how the
// driver sends one on its own.
void takePacketByte(WireDecoder& decoder, uint8_t byte, int64_t timeUs,
                    std::vector<WireEvent>& events) {
    if (byte == kDestinationSelect) {
        if (decoder.packetBytes == 0) {
            report(events, timeUs, decoder.destination, WireProblem::EmptyPacket, {kPacketLead},
                   kDestinationSelect);
        }
        decoder.state = WireState::SelectIndex;
        return;
    }
    if (byte == kPacketLead && decoder.packetBytes > 0) {
        decoder.packetBytes = 0;
        return;
    }
    feedDestination(decoder, byte, timeUs, events);
    decoder.packetBytes++;
    if (decoder.packetBytes == kPacketCapacity) {
        decoder.state = WireState::BetweenElements;
    }
}

void takeElementStart(WireDecoder& decoder, uint8_t byte, int64_t timeUs,
                      std::vector<WireEvent>& events) {
    if (byte == kDestinationSelect) {
        decoder.state = WireState::SelectIndex;
        return;
    }
    if (decoder.destination == kNoDestination) {
        report(events, timeUs, kNoDestination, WireProblem::NoDestination, {byte});
        return;
    }
    if (!isPacketDestination(decoder.destination)) {
        feedDestination(decoder, byte, timeUs, events);
        return;
    }
    if (byte != kPacketLead) {
        report(events, timeUs, decoder.destination, WireProblem::OutsidePacket, {byte});
        return;
    }
    decoder.state = WireState::InPacket;
    decoder.packetBytes = 0;
}

} // namespace

void resetWireDecoder(WireDecoder& decoder) {
    decoder.state = WireState::BetweenElements;
    decoder.destination = kNoDestination;
    decoder.packetBytes = 0;
    for (MidiStream& stream : decoder.streams) {
        stream.message.clear();
        stream.expected = 0;
        stream.runningStatus = 0;
        stream.inExclusive = false;
    }
}

void feedWireByte(WireDecoder& decoder, uint8_t byte, int64_t timeUs,
                  std::vector<WireEvent>& events) {
    switch (decoder.state) {
    case WireState::SelectIndex:
        takeSelectIndex(decoder, byte, timeUs, events);
        return;
    case WireState::InPacket:
        takePacketByte(decoder, byte, timeUs, events);
        return;
    case WireState::BetweenElements:
        takeElementStart(decoder, byte, timeUs, events);
        return;
    }
}

void feedWireBytes(WireDecoder& decoder, const uint8_t* bytes, size_t count, int64_t timeUs,
                   std::vector<WireEvent>& events) {
    for (size_t i = 0; i < count; i++) {
        feedWireByte(decoder, bytes[i], timeUs, events);
    }
}

void finishWire(WireDecoder& decoder, int64_t timeUs, std::vector<WireEvent>& events) {
    if (decoder.state == WireState::SelectIndex) {
        report(events, timeUs, decoder.destination, WireProblem::MissingIndex,
               {kDestinationSelect});
    }
    if (decoder.state == WireState::InPacket && decoder.packetBytes == 0) {
        report(events, timeUs, decoder.destination, WireProblem::EmptyPacket, {kPacketLead});
    }
    for (int destination = 0; destination < kDestinationCount; destination++) {
        MidiStream& stream = decoder.streams[destination];
        if (!stream.message.empty()) {
            report(events, timeUs, destination, WireProblem::CutShort, std::move(stream.message));
        }
    }
    resetWireDecoder(decoder);
}
