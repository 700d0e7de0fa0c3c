#include "instrument/wav_renderer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <unistd.h>

namespace {

constexpr int kSampleRate = 44100;
constexpr int kChannels = 2;
constexpr int kBytesPerSample = 2;
constexpr int kHeaderBytes = 44;
constexpr int kBlockFrames = 1024;
constexpr int64_t kTailUs = 2000000;
// The header is brought up to date about once a second of sound, so a run that is killed
// outright still leaves a file that plays up to there.
constexpr int64_t kHeaderRefreshFrames = kSampleRate;
// A WAV file counts its size in 32 bits: about six and a half hours of sound. Rendering stops
// there and the file stays valid.
constexpr int64_t kMostFrames = (UINT32_MAX - kHeaderBytes) / (kChannels * kBytesPerSample);

// Each destination is a separate part on the instrument, so each gets its own sixteen channels
// of the synth: one destination's channel 1 never changes the sound of another's.
constexpr int kSynthChannels = 16 * kDestinationCount;
constexpr int kDrumBank = 128;
constexpr double kGain = 0.5;

void putLittleEndian(unsigned char* at, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; i++) {
        at[i] = static_cast<unsigned char>(value >> (8 * i));
    }
}

bool writeHeader(WavRenderer& renderer) {
    const uint32_t dataBytes =
        static_cast<uint32_t>(renderer.framesWritten * kChannels * kBytesPerSample);
    unsigned char header[kHeaderBytes] = {};
    std::memcpy(header, "RIFF", 4);
    std::memcpy(header + 8, "WAVEfmt ", 8);
    std::memcpy(header + 36, "data", 4);
    putLittleEndian(header + 4, 36 + dataBytes, 4);
    putLittleEndian(header + 16, 16, 4); // PCM format chunk size
    putLittleEndian(header + 20, 1, 2);  // PCM
    putLittleEndian(header + 22, kChannels, 2);
    putLittleEndian(header + 24, kSampleRate, 4);
    putLittleEndian(header + 28, kSampleRate * kChannels * kBytesPerSample, 4);
    putLittleEndian(header + 32, kChannels * kBytesPerSample, 2);
    putLittleEndian(header + 34, 8 * kBytesPerSample, 2);
    putLittleEndian(header + 40, dataBytes, 4);
    long end = std::ftell(renderer.file);
    bool written = std::fseek(renderer.file, 0, SEEK_SET) == 0 &&
                   std::fwrite(header, 1, sizeof header, renderer.file) == sizeof header;
    if (end > kHeaderBytes) {
        std::fseek(renderer.file, end, SEEK_SET);
    }
    renderer.framesInHeader = renderer.framesWritten;
    return written && std::fflush(renderer.file) == 0;
}

// Rendered as floats and rounded here rather than with FluidSynth's 16-bit writer, which adds
// dither noise: silence stays exact zeros.
void renderFrames(WavRenderer& renderer, int64_t frames) {
    float rendered[kBlockFrames * kChannels];
    int16_t block[kBlockFrames * kChannels];
    while (frames > 0) {
        int count = frames < kBlockFrames ? static_cast<int>(frames) : kBlockFrames;
        fluid_synth_write_float(renderer.synth, count, rendered, 0, kChannels, rendered, 1,
                                kChannels);
        for (int i = 0; i < count * kChannels; i++) {
            float sample = std::clamp(rendered[i], -1.0f, 1.0f);
            block[i] = static_cast<int16_t>(std::lrint(sample * 32767.0f));
        }
        std::fwrite(block, sizeof block[0], static_cast<size_t>(count) * kChannels, renderer.file);
        renderer.framesWritten += count;
        frames -= count;
    }
}

// Drum sounds are channel 10 of every destination, not only of the first. A reset (GM System
// On, System Reset) gives FluidSynth's own drum channel its kit back but the other destinations'
// channel 10 a melodic bank, so after one the kit is put back wherever the bank is no longer the
// drum bank; a kit chosen by a Program Change stays.
void setUpDrumChannels(fluid_synth_t* synth) {
    for (int destination = 0; destination < kDestinationCount; destination++) {
        int channel = destination * 16 + 9;
        int soundFont = 0;
        int bank = 0;
        int program = 0;
        fluid_synth_get_program(synth, channel, &soundFont, &bank, &program);
        if (bank == kDrumBank) {
            continue;
        }
        fluid_synth_set_channel_type(synth, channel, CHANNEL_TYPE_DRUM);
        fluid_synth_bank_select(synth, channel, kDrumBank);
        fluid_synth_program_change(synth, channel, 0);
    }
}

void playChannelMessage(fluid_synth_t* synth, int channel, const std::vector<uint8_t>& m) {
    switch (m[0] & 0xF0) {
    case 0x80:
        fluid_synth_noteoff(synth, channel, m[1]);
        break;
    case 0x90:
        fluid_synth_noteon(synth, channel, m[1], m[2]);
        break;
    case 0xA0:
        fluid_synth_key_pressure(synth, channel, m[1], m[2]);
        break;
    case 0xB0:
        fluid_synth_cc(synth, channel, m[1], m[2]);
        break;
    case 0xC0:
        fluid_synth_program_change(synth, channel, m[1]);
        break;
    case 0xD0:
        fluid_synth_channel_pressure(synth, channel, m[1]);
        break;
    case 0xE0:
        fluid_synth_pitch_bend(synth, channel, m[1] | m[2] << 7);
        break;
    }
}

void releaseRenderer(WavRenderer& renderer) {
    if (renderer.synth != nullptr) {
        delete_fluid_synth(renderer.synth);
    }
    if (renderer.settings != nullptr) {
        delete_fluid_settings(renderer.settings);
    }
    if (renderer.file != nullptr) {
        std::fclose(renderer.file);
    }
    renderer.synth = nullptr;
    renderer.settings = nullptr;
    renderer.file = nullptr;
}

} // namespace

std::string defaultSoundFont() {
    static const char* const candidates[] = {
        "/usr/share/sounds/sf2/TimGM6mb.sf2",
        "/usr/share/sounds/sf2/FluidR3_GM.sf2",
        "/usr/share/sounds/sf2/default-GM.sf2",
    };
    for (const char* candidate : candidates) {
        if (access(candidate, R_OK) == 0) {
            return candidate;
        }
    }
    return "";
}

bool openWavRenderer(WavRenderer& renderer, const std::string& wavPath,
                     const std::string& soundFont, int destination, std::string& error) {
    renderer = WavRenderer{nullptr, nullptr, nullptr, destination, 0, 0};
    if (soundFont.empty()) {
        error = "no General MIDI SoundFont found (install timgm6mb-soundfont or name one)";
        return false;
    }
    renderer.settings = new_fluid_settings();
    fluid_settings_setnum(renderer.settings, "synth.sample-rate", kSampleRate);
    fluid_settings_setint(renderer.settings, "synth.midi-channels", kSynthChannels);
    fluid_settings_setint(renderer.settings, "synth.cpu-cores", 1);
    // FluidSynth's default gain leaves a single chord near -20 dBFS; this is closer to a player's
    // level, and louder passages are clamped rather than wrapped.
    fluid_settings_setnum(renderer.settings, "synth.gain", kGain);
    renderer.synth = new_fluid_synth(renderer.settings);
    if (renderer.synth == nullptr) {
        error = "cannot start the synth";
        releaseRenderer(renderer);
        return false;
    }
    if (fluid_synth_sfload(renderer.synth, soundFont.c_str(), 1) == FLUID_FAILED) {
        error = "cannot load the SoundFont " + soundFont;
        releaseRenderer(renderer);
        return false;
    }
    setUpDrumChannels(renderer.synth);
    renderer.file = std::fopen(wavPath.c_str(), "wb");
    if (renderer.file == nullptr || !writeHeader(renderer)) {
        error = "cannot write " + wavPath;
        releaseRenderer(renderer);
        return false;
    }
    return true;
}

void renderWavUntil(WavRenderer& renderer, int64_t timeUs) {
    int64_t targetFrames = std::min(timeUs * kSampleRate / 1000000, kMostFrames);
    if (targetFrames > renderer.framesWritten) {
        renderFrames(renderer, targetFrames - renderer.framesWritten);
    }
    if (renderer.framesWritten - renderer.framesInHeader >= kHeaderRefreshFrames) {
        writeHeader(renderer);
    }
}

void playOnWav(WavRenderer& renderer, const WireEvent& event) {
    if (event.problem != WireProblem::None || event.destination == kNoDestination ||
        (renderer.destination != kNoDestination && event.destination != renderer.destination)) {
        return;
    }
    renderWavUntil(renderer, event.timeUs);
    const std::vector<uint8_t>& m = event.bytes;
    if (m[0] >= 0x80 && m[0] < 0xF0) {
        playChannelMessage(renderer.synth, event.destination * 16 + (m[0] & 0x0F), m);
        return;
    }
    if (m[0] == 0xF0 && m.size() >= 2) {
        // FluidSynth takes the SysEx without its F0 and F7; it acts on the resets and tunings
        // it knows and ignores the rest.
        const char* body = reinterpret_cast<const char*>(m.data()) + 1;
        fluid_synth_sysex(renderer.synth, body, static_cast<int>(m.size()) - 2, nullptr, nullptr,
                          nullptr, 0);
        setUpDrumChannels(renderer.synth);
        return;
    }
    if (m[0] == 0xFF) {
        fluid_synth_system_reset(renderer.synth);
        setUpDrumChannels(renderer.synth);
    }
}

bool closeWavRenderer(WavRenderer& renderer, int64_t endUs, std::string& error) {
    if (renderer.file == nullptr) {
        return true;
    }
    renderWavUntil(renderer, endUs + kTailUs);
    bool written = writeHeader(renderer) && std::ferror(renderer.file) == 0;
    if (std::fclose(renderer.file) != 0) {
        written = false;
    }
    renderer.file = nullptr;
    releaseRenderer(renderer);
    if (!written) {
        error = "cannot complete the WAV file";
    }
    return written;
}
