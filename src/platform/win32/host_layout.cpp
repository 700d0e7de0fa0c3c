// The core declares the host's records itself; here they are held against the SDK's, so that a
// field that moved or changed width stops the build instead of corrupting a client's memory.
#include "platform/host.h"
#include "platform/platform.h"

#include <windows.h>

#include <mmsystem.h>

#include <mmddk.h>

#include <cstddef>

#define SAME_FIELD(ours, theirs, field)                                                            \
    static_assert(offsetof(ours, field) == offsetof(theirs, field) &&                              \
                  sizeof(ours::field) == sizeof(theirs::field))

static_assert(sizeof(MidiHeader) == sizeof(MIDIHDR));
SAME_FIELD(MidiHeader, MIDIHDR, lpData);
SAME_FIELD(MidiHeader, MIDIHDR, dwBufferLength);
SAME_FIELD(MidiHeader, MIDIHDR, dwBytesRecorded);
SAME_FIELD(MidiHeader, MIDIHDR, dwUser);
SAME_FIELD(MidiHeader, MIDIHDR, dwFlags);
SAME_FIELD(MidiHeader, MIDIHDR, lpNext);
SAME_FIELD(MidiHeader, MIDIHDR, reserved);

SAME_FIELD(MidiOpenDescription, MIDIOPENDESC, hMidi);
SAME_FIELD(MidiOpenDescription, MIDIOPENDESC, dwCallback);
SAME_FIELD(MidiOpenDescription, MIDIOPENDESC, dwInstance);

static_assert(sizeof(MidiOutCaps) == sizeof(MIDIOUTCAPSW));
SAME_FIELD(MidiOutCaps, MIDIOUTCAPSW, wMid);
SAME_FIELD(MidiOutCaps, MIDIOUTCAPSW, vDriverVersion);
SAME_FIELD(MidiOutCaps, MIDIOUTCAPSW, szPname);
SAME_FIELD(MidiOutCaps, MIDIOUTCAPSW, wTechnology);
SAME_FIELD(MidiOutCaps, MIDIOUTCAPSW, wChannelMask);
SAME_FIELD(MidiOutCaps, MIDIOUTCAPSW, dwSupport);

static_assert(sizeof(MidiInCaps) == sizeof(MIDIINCAPSW));
SAME_FIELD(MidiInCaps, MIDIINCAPSW, szPname);
SAME_FIELD(MidiInCaps, MIDIINCAPSW, dwSupport);

static_assert(sizeof(platform::CompletionRecord) == sizeof(OVERLAPPED));
static_assert(offsetof(platform::CompletionRecord, event) == offsetof(OVERLAPPED, hEvent));
static_assert(sizeof(platform::Handle) == sizeof(HANDLE));

static_assert(platform::noTimeLimit == INFINITE);
static_assert(platform::lineHigh == DTR_CONTROL_ENABLE && platform::lineHigh == RTS_CONTROL_ENABLE);
