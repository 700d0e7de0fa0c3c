// The multimedia host's records and numbers, as the host lays them out. The core never includes an
// OS header, so these are our own declarations; on Windows a compile-time check compares every
// record with the SDK's (platform/win32/host_layout.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

// Status codes answered by every entry point.
constexpr uint32_t MMSYSERR_NOERROR = 0;
constexpr uint32_t MMSYSERR_ERROR = 1;
constexpr uint32_t MMSYSERR_BADDEVICEID = 2;
constexpr uint32_t MMSYSERR_ALLOCATED = 4;
constexpr uint32_t MMSYSERR_INVALHANDLE = 5;
constexpr uint32_t MMSYSERR_NODRIVER = 6;
constexpr uint32_t MMSYSERR_NOMEM = 7;
constexpr uint32_t MMSYSERR_NOTSUPPORTED = 8;
constexpr uint32_t MMSYSERR_INVALPARAM = 11;
constexpr uint32_t MIDIERR_UNPREPARED = 64;
constexpr uint32_t MIDIERR_STILLPLAYING = 65;

// Notifications sent to the client.
constexpr uint32_t MIM_OPEN = 0x3C1;
constexpr uint32_t MIM_CLOSE = 0x3C2;
constexpr uint32_t MIM_DATA = 0x3C3;
constexpr uint32_t MIM_LONGDATA = 0x3C4;
constexpr uint32_t MIM_ERROR = 0x3C5;
constexpr uint32_t MIM_LONGERROR = 0x3C6;
constexpr uint32_t MOM_OPEN = 0x3C7;
constexpr uint32_t MOM_CLOSE = 0x3C8;
constexpr uint32_t MOM_DONE = 0x3C9;

// Output messages (modMessage).
constexpr uint32_t MODM_GETNUMDEVS = 1;
constexpr uint32_t MODM_GETDEVCAPS = 2;
constexpr uint32_t MODM_OPEN = 3;
constexpr uint32_t MODM_CLOSE = 4;
constexpr uint32_t MODM_PREPARE = 5;
constexpr uint32_t MODM_UNPREPARE = 6;
constexpr uint32_t MODM_DATA = 7;
constexpr uint32_t MODM_LONGDATA = 8;
constexpr uint32_t MODM_RESET = 9;

// Input messages (midMessage).
constexpr uint32_t MIDM_GETNUMDEVS = 0x35;
constexpr uint32_t MIDM_GETDEVCAPS = 0x36;
constexpr uint32_t MIDM_OPEN = 0x37;
constexpr uint32_t MIDM_CLOSE = 0x38;
constexpr uint32_t MIDM_PREPARE = 0x39;
constexpr uint32_t MIDM_UNPREPARE = 0x3A;
constexpr uint32_t MIDM_ADDBUFFER = 0x3B;
constexpr uint32_t MIDM_START = 0x3C;
constexpr uint32_t MIDM_STOP = 0x3D;
constexpr uint32_t MIDM_RESET = 0x3E;

// Driver-control messages (DriverProc).
constexpr uint32_t DRV_LOAD = 1;
constexpr uint32_t DRV_ENABLE = 2;
constexpr uint32_t DRV_OPEN = 3;
constexpr uint32_t DRV_CLOSE = 4;
constexpr uint32_t DRV_DISABLE = 5;
constexpr uint32_t DRV_FREE = 6;
constexpr uint32_t DRV_CONFIGURE = 7;
constexpr uint32_t DRV_QUERYCONFIGURE = 8;
constexpr uint32_t DRV_INSTALL = 9;

// Client buffer header flags.
constexpr uint32_t MHDR_DONE = 1;
constexpr uint32_t MHDR_PREPARED = 2;
constexpr uint32_t MHDR_INQUEUE = 4;

constexpr uint16_t MOD_MIDIPORT = 1;

// The host packs its records to the byte.
#pragma pack(push, 1)

// The client buffer header (the host's MIDIHDR). Pointer-sized fields stay pointer-sized.
struct MidiHeader {
    uint8_t* lpData;
    uint32_t dwBufferLength;
    uint32_t dwBytesRecorded;
    uintptr_t dwUser;
    uint32_t dwFlags;
    MidiHeader* lpNext;
    uintptr_t reserved;
    uint32_t dwOffset;
    uintptr_t dwReserved[8];
};

// The shortest header a client may hand in: everything up to and including `reserved`.
constexpr size_t minimumHeaderSize = offsetof(MidiHeader, reserved) + sizeof(uintptr_t);

// The open description (the host's MIDIOPENDESC); only its first three fields are read.
struct MidiOpenDescription {
    uintptr_t hMidi;
    uintptr_t dwCallback;
    uintptr_t dwInstance;
};

constexpr size_t deviceNameLength = 32;

// Output capabilities (the host's MIDIOUTCAPSW).
struct MidiOutCaps {
    uint16_t wMid;
    uint16_t wPid;
    uint32_t vDriverVersion;
    char16_t szPname[deviceNameLength];
    uint16_t wTechnology;
    uint16_t wVoices;
    uint16_t wNotes;
    uint16_t wChannelMask;
    uint32_t dwSupport;
};

// Input capabilities (the host's MIDIINCAPSW).
struct MidiInCaps {
    uint16_t wMid;
    uint16_t wPid;
    uint32_t vDriverVersion;
    char16_t szPname[deviceNameLength];
    uint32_t dwSupport;
};

#pragma pack(pop)
