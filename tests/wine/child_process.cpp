#include "child_process.h"

#include "common/process.h"
#include "driver_host.h"

#include <cstdlib>
#include <cstring>

namespace {

// A child normally ends within a second; the deadline only keeps a hung child from hanging the run.
constexpr DWORD childDeadlineMs = 30000;
// How long a child waits for what the instrument sends; well within the parent's deadline.
constexpr DWORD hearingDeadlineMs = 10000;

int openOutputRole() {
    LoadedDriver driver;
    if (!driver.load()) {
        return childLoadFailed;
    }
    OpenedOutput output;
    DWORD status = driver.openOutput(0, &output, false);
    if (status == MMSYSERR_NOERROR) {
        driver.closeOutput(output);
    }
    return static_cast<int>(status);
}

int openInputRole() {
    LoadedDriver driver;
    if (!driver.load()) {
        return childLoadFailed;
    }
    OpenedInput input;
    DWORD status = driver.openInput(0, &input, false);
    if (status == MMSYSERR_NOERROR) {
        driver.closeInput(input);
    }
    return static_cast<int>(status);
}

int sendOutputRole(UINT device, DWORD packed) {
    LoadedDriver driver;
    if (!driver.load()) {
        return childLoadFailed;
    }
    OpenedOutput output;
    DWORD status = driver.openOutput(device, &output, false);
    if (status != MMSYSERR_NOERROR) {
        return static_cast<int>(status);
    }
    status = driver.sendShort(output, packed);
    DWORD closed = driver.closeOutput(output);
    return static_cast<int>(status != MMSYSERR_NOERROR ? status : closed);
}

int unloadWithInputOpenRole(const char* eventName) {
    // A crash ends the process at once, with its exception code, instead of calling a debugger.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, eventName);
    LoadedDriver driver;
    if (ready == nullptr || !driver.load()) {
        return childLoadFailed;
    }
    OpenedInput input;
    DWORD status = driver.openInput(0, &input);
    if (status == MMSYSERR_NOERROR) {
        status = driver.inputMessage(input, MIDM_START);
    }
    if (status != MMSYSERR_NOERROR) {
        return static_cast<int>(status);
    }
    // The program is done with the driver, or thinks so: the host frees the module.
    driver.unload();
    SetEvent(ready);
    bool heard = waitForNotifications(
        [](const std::vector<Notification>& all) {
            for (const Notification& n : all) {
                if (n.message == MIM_DATA && n.param1 == 0x00403C90) {
                    return true;
                }
            }
            return false;
        },
        hearingDeadlineMs);
    return heard ? 0 : static_cast<int>(childNothingHeard);
}

int holdOutputRole(const char* eventName) {
    HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, eventName);
    LoadedDriver driver;
    if (ready == nullptr || !driver.load()) {
        return childLoadFailed;
    }
    OpenedOutput output;
    DWORD status = driver.openOutput(0, &output, false);
    if (status != MMSYSERR_NOERROR) {
        return static_cast<int>(status);
    }
    SetEvent(ready);
    // Holds the port until the parent kills this process: the driver never sees a close.
    Sleep(INFINITE);
    return 0;
}

HANDLE openNamed(const std::string& name, bool semaphore) {
    return semaphore ? OpenSemaphoreA(SEMAPHORE_MODIFY_STATE, FALSE, name.c_str())
                     : OpenEventA(SYNCHRONIZE, FALSE, name.c_str());
}

int raceOutputRole(const std::string& name) {
    HANDLE ready = openNamed(name + "-ready", true);
    HANDLE go = openNamed(name + "-go", false);
    HANDLE decided = openNamed(name + "-decided", true);
    HANDLE release = openNamed(name + "-release", false);
    LoadedDriver driver;
    if (ready == nullptr || go == nullptr || decided == nullptr || release == nullptr ||
        !driver.load()) {
        return childLoadFailed;
    }
    ReleaseSemaphore(ready, 1, nullptr);
    WaitForSingleObject(go, childDeadlineMs);
    OpenedOutput output;
    DWORD status = driver.openOutput(0, &output, false);
    ReleaseSemaphore(decided, 1, nullptr);
    // Every contender holds on to what it was given until all have been answered.
    WaitForSingleObject(release, childDeadlineMs);
    if (status == MMSYSERR_NOERROR) {
        driver.closeOutput(output);
    }
    return static_cast<int>(status);
}

} // namespace

bool isChildRole(int argc, char** argv) {
    return argc >= 2 && (std::strcmp(argv[1], "--open-output") == 0 ||
                         std::strcmp(argv[1], "--open-input") == 0 ||
                         std::strcmp(argv[1], "--hold-output") == 0 ||
                         std::strcmp(argv[1], "--send-output") == 0 ||
                         std::strcmp(argv[1], "--race-output") == 0 ||
                         std::strcmp(argv[1], "--unload-with-input-open") == 0);
}

int runChildRole(int argc, char** argv) {
    if (std::strcmp(argv[1], "--open-output") == 0) {
        return openOutputRole();
    }
    if (std::strcmp(argv[1], "--open-input") == 0) {
        return openInputRole();
    }
    if (std::strcmp(argv[1], "--unload-with-input-open") == 0) {
        return argc >= 3 ? unloadWithInputOpenRole(argv[2]) : childLoadFailed;
    }
    if (std::strcmp(argv[1], "--send-output") == 0) {
        return argc >= 4 ? sendOutputRole(std::strtoul(argv[2], nullptr, 10),
                                          std::strtoul(argv[3], nullptr, 16))
                         : childLoadFailed;
    }
    if (std::strcmp(argv[1], "--race-output") == 0) {
        return argc >= 3 ? raceOutputRole(argv[2]) : childLoadFailed;
    }
    return argc >= 3 ? holdOutputRole(argv[2]) : childLoadFailed;
}

ChildProcess::~ChildProcess() {
    if (process_ != nullptr) {
        TerminateProcess(process_, 1);
        WaitForSingleObject(process_, childDeadlineMs);
        CloseHandle(process_);
    }
}

::testing::AssertionResult ChildProcess::start(const std::wstring& arguments,
                                               const std::wstring& executable) {
    std::wstring program = executable.empty() ? programPath() : executable;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!startProcess(program.c_str(), L"\"" + program + L"\" " + arguments, false, startup,
                      info)) {
        return ::testing::AssertionFailure()
               << "the child process does not start, error " << GetLastError();
    }
    CloseHandle(info.hThread);
    process_ = info.hProcess;
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult ChildProcess::exited(DWORD* exitCode) {
    if (WaitForSingleObject(process_, childDeadlineMs) != WAIT_OBJECT_0) {
        return ::testing::AssertionFailure() << "the child process did not end in time";
    }
    GetExitCodeProcess(process_, exitCode);
    CloseHandle(process_);
    process_ = nullptr;
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult ChildProcess::signalled(HANDLE event) {
    HANDLE both[2] = {event, process_};
    DWORD which = WaitForMultipleObjects(2, both, FALSE, childDeadlineMs);
    if (which == WAIT_OBJECT_0) {
        return ::testing::AssertionSuccess();
    }
    DWORD exitCode = 0;
    GetExitCodeProcess(process_, &exitCode);
    if (which == WAIT_OBJECT_0 + 1) {
        return ::testing::AssertionFailure()
               << "the child process ended with " << exitCode << " before it held the port";
    }
    return ::testing::AssertionFailure() << "the child process did not get the port in time";
}

::testing::AssertionResult ChildProcess::kill() {
    if (!TerminateProcess(process_, 1) ||
        WaitForSingleObject(process_, childDeadlineMs) != WAIT_OBJECT_0) {
        return ::testing::AssertionFailure() << "the child process could not be killed";
    }
    CloseHandle(process_);
    process_ = nullptr;
    return ::testing::AssertionSuccess();
}

std::wstring otherBitnessHost() {
    wchar_t path[MAX_PATH];
    DWORD length = GetEnvironmentVariableW(L"MELV_OTHER_BITNESS_HOST", path, MAX_PATH);
    return length == 0 || length >= MAX_PATH ? std::wstring() : std::wstring(path, length);
}

namespace {

::testing::AssertionResult openInAnotherProcess(const wchar_t* role, DWORD* status) {
    ChildProcess child;
    if (auto started = child.start(role); !started) {
        return started;
    }
    if (auto ended = child.exited(status); !ended) {
        return ended;
    }
    if (*status == childLoadFailed) {
        return ::testing::AssertionFailure() << "the driver did not load in the child process";
    }
    return ::testing::AssertionSuccess();
}

} // namespace

::testing::AssertionResult openOutputInAnotherProcess(DWORD* status) {
    return openInAnotherProcess(L"--open-output", status);
}

::testing::AssertionResult openInputInAnotherProcess(DWORD* status) {
    return openInAnotherProcess(L"--open-input", status);
}

::testing::AssertionResult raceForOutput(int contenders, std::vector<DWORD>* statuses) {
    static int races = 0;
    std::string name =
        "melv-race-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++races);
    HANDLE ready = CreateSemaphoreA(nullptr, 0, contenders, (name + "-ready").c_str());
    HANDLE go = CreateEventA(nullptr, TRUE, FALSE, (name + "-go").c_str());
    HANDLE decided = CreateSemaphoreA(nullptr, 0, contenders, (name + "-decided").c_str());
    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, (name + "-release").c_str());
    std::vector<ChildProcess> children(contenders);
    ::testing::AssertionResult result = ::testing::AssertionSuccess();
    std::wstring other = otherBitnessHost();
    std::wstring arguments = L"--race-output " + std::wstring(name.begin(), name.end());
    for (int i = 0; i < contenders && result; ++i) {
        result = children[i].start(arguments, i % 2 == 1 ? other : std::wstring());
    }
    for (int i = 0; i < contenders && result; ++i) {
        if (WaitForSingleObject(ready, childDeadlineMs) != WAIT_OBJECT_0) {
            result = ::testing::AssertionFailure() << "a contender did not load the driver";
        }
    }
    SetEvent(go);
    for (int i = 0; i < contenders && result; ++i) {
        if (WaitForSingleObject(decided, childDeadlineMs) != WAIT_OBJECT_0) {
            result = ::testing::AssertionFailure() << "a contender was never answered";
        }
    }
    SetEvent(release);
    statuses->clear();
    for (int i = 0; i < contenders && result; ++i) {
        DWORD exitCode = 0;
        result = children[i].exited(&exitCode);
        statuses->push_back(exitCode);
    }
    for (HANDLE handle : {ready, go, decided, release}) {
        CloseHandle(handle);
    }
    return result;
}
