// Opening and closing input many times must give back every thread and handle it took: a client
// such as a sequencer opens and closes its input over and over during a session.
#include "fixtures.h"

#include <tlhelp32.h>
#include <winternl.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

namespace {

using Notifications = std::vector<Notification>;

constexpr int cycles = 1000;
// A worker signals its end just before its thread finishes; give the last threads time to go.
constexpr DWORD settleDeadlineMs = 5000;

// One entry of the system's handle list (SystemHandleInformation), as ntdll lays it out.
struct SystemHandleEntry {
    ULONG ownerProcessId;
    UCHAR objectType;
    UCHAR flags;
    USHORT handle;
    PVOID object;
    ACCESS_MASK access;
};
struct SystemHandleList {
    ULONG count;
    SystemHandleEntry entries[1];
};
constexpr ULONG systemHandleInformation = 16;
constexpr NTSTATUS statusInfoLengthMismatch = static_cast<NTSTATUS>(0xC0000004);

// GetProcessHandleCount answers 0 under Wine 8, so this counts the process's entries in the
// system's handle list instead, which Windows and Wine both keep.
DWORD handlesOfThisProcess() {
    using QuerySystemInformation = NTSTATUS(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
    static const auto query = reinterpret_cast<QuerySystemInformation>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    if (query == nullptr) {
        return 0;
    }
    std::vector<ULONGLONG> list(64 * 1024); // 8-byte aligned, as the entries need
    NTSTATUS status;
    while ((status = query(systemHandleInformation, list.data(),
                           static_cast<ULONG>(list.size() * sizeof(ULONGLONG)), nullptr)) ==
           statusInfoLengthMismatch) {
        list.resize(list.size() * 2);
    }
    if (status != 0) {
        return 0;
    }
    const auto* handles = reinterpret_cast<const SystemHandleList*>(list.data());
    DWORD count = 0;
    for (ULONG i = 0; i < handles->count; ++i) {
        if (handles->entries[i].ownerProcessId == GetCurrentProcessId()) {
            ++count;
        }
    }
    return count;
}

DWORD threadsOfThisProcess() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return 0;
    }
    DWORD count = 0;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) {
            ++count;
        }
    }
    CloseHandle(snapshot);
    return count;
}

// Polls until both counts are back at most at the given ones, or the deadline passes.
void settle(DWORD threads, DWORD handles) {
    DWORD start = GetTickCount();
    while ((threadsOfThisProcess() > threads || handlesOfThisProcess() > handles) &&
           GetTickCount() - start < settleDeadlineMs) {
        Sleep(10);
    }
}

} // namespace

using InputResources = InputTest;

TEST_F(InputResources, ThousandOpenStartStopCloseCyclesLeaveNoThreadOrHandleBehind) {
    // The process's first opening of the port maps the record of what it leaves sounding, which
    // stays until the driver is unloaded: the counts start after it.
    ASSERT_EQ(driver.openInput(0, &input), MMSYSERR_NOERROR);
    ASSERT_EQ(driver.closeInput(input), MMSYSERR_NOERROR);
    takeNotifications();
    // The counts must see what a cycle takes, or the comparison below proves nothing.
    DWORD handles = handlesOfThisProcess();
    DWORD threads = threadsOfThisProcess();
    ASSERT_GT(handles, 0u);
    ASSERT_GT(threads, 0u);
    HANDLE probe = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(handlesOfThisProcess(), handles + 1) << "the handle count does not see new handles";
    CloseHandle(probe);

    DWORD begin = GetTickCount();
    for (int cycle = 0; cycle < cycles; ++cycle) {
        inputOpen = driver.openInput(0, &input) == MMSYSERR_NOERROR;
        if (inputOpen && cycle == 0) {
            // An open input holds a worker thread, its events and the port.
            EXPECT_EQ(threadsOfThisProcess(), threads + 1);
            EXPECT_GT(handlesOfThisProcess(), handles);
        }
        bool ok = inputOpen && driver.inputMessage(input, MIDM_START) == MMSYSERR_NOERROR &&
                  driver.inputMessage(input, MIDM_STOP) == MMSYSERR_NOERROR;
        inputOpen = inputOpen && driver.closeInput(input) != MMSYSERR_NOERROR;
        ok = ok && !inputOpen && takeNotifications() == Notifications{{MIM_OPEN}, {MIM_CLOSE}};
        if (!ok) {
            ADD_FAILURE() << "cycle " << cycle << " went wrong";
            // The fixture closes an input left open.
            break;
        }
    }
    DWORD took = GetTickCount() - begin;
    settle(threads, handles);
    std::printf("[          ] %d cycles took %lu ms; threads %lu -> %lu, handles %lu -> %lu\n",
                cycles, static_cast<unsigned long>(took), static_cast<unsigned long>(threads),
                static_cast<unsigned long>(threadsOfThisProcess()),
                static_cast<unsigned long>(handles),
                static_cast<unsigned long>(handlesOfThisProcess()));

    EXPECT_LE(threadsOfThisProcess(), threads);
    EXPECT_LE(handlesOfThisProcess(), handles);
}
