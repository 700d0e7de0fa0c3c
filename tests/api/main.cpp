// The public-API test host: reaches the installed driver only as applications do, through winmm's
// MIDI functions, the MIDI mapper, the stream functions and the MCI sequencer. Run by
// run-api-tests.sh in a prefix where the driver is installed; the same executable also plays the
// second application of the ownership tests.
//
//   melv_api_tests.exe [--independent | --shared] [gtest options]
//   melv_api_tests.exe --open-output      opens output 0 and closes it; exits with the status
//   melv_api_tests.exe --hold-owner-lock EVENT
//                                         takes the driver's owner lock, sets the named event and
//                                         holds the lock until it is ended, as a program stopped
//                                         in a debugger in the middle of opening
#include "client.h"
#include "common/settings_key.h"

#include <windows.h>

#include <mmsystem.h>

#include <gtest/gtest.h>

#include <cstring>

namespace {

int openOutputOnce() {
    HMIDIOUT output = nullptr;
    MMRESULT status = midiOutOpen(&output, 0, 0, 0, CALLBACK_NULL);
    if (status == MMSYSERR_NOERROR) {
        midiOutClose(output);
    }
    return static_cast<int>(status);
}

int holdOwnerLock(const char* readyEvent) {
    HANDLE lock = CreateMutexW(nullptr, FALSE, L"Local\\MELV-PCIF-MIDI-Driver-Owner-1");
    HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, readyEvent);
    if (lock == nullptr || ready == nullptr || WaitForSingleObject(lock, 10000) != WAIT_OBJECT_0) {
        return 1;
    }
    SetEvent(ready);
    Sleep(INFINITE);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "--open-output") == 0) {
        return openOutputOnce();
    }
    if (argc >= 3 && std::strcmp(argv[1], "--hold-owner-lock") == 0) {
        return holdOwnerLock(argv[2]);
    }
    if (int status = sharedProgram(argc, argv); status != -1) {
        return status;
    }
    if (!writeTestSettings(argc, argv)) {
        return 2;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
