// What the instrument received, played on a General MIDI SoundFont with FluidSynth and written to
// a WAV file at the times it arrived, for a listener who has no instrument at hand.
#pragma once

#include "instrument/wire_decoder.h"

#include <cstdint>
#include <cstdio>
#include <fluidsynth.h>
#include <string>

struct WavRenderer {
    fluid_settings_t* settings;
    fluid_synth_t* synth;
    std::FILE* file;
    int destination;       // the only destination heard, or kNoDestination for all of them
    int64_t framesWritten; // stereo frames rendered so far
    int64_t framesInHeader;
};

// The SoundFont used when none is named: the first of Debian's General MIDI ones installed, or ""
// when there is none.
std::string defaultSoundFont();

// Loads the SoundFont and creates the file. False with `error` set on failure, with nothing
// left open.
bool openWavRenderer(WavRenderer& renderer, const std::string& wavPath,
                     const std::string& soundFont, int destination, std::string& error);

// Renders sound up to the time given, counted from the start of the run.
void renderWavUntil(WavRenderer& renderer, int64_t timeUs);

// Renders up to the event's time and applies it. Malformed events and those for destinations not
// heard are left out.
void playOnWav(WavRenderer& renderer, const WireEvent& event);

// Renders up to `endUs` and a short tail for notes to die away, then completes the file.
bool closeWavRenderer(WavRenderer& renderer, int64_t endUs, std::string& error);
