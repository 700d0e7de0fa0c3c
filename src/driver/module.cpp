#include "config/config_dialog.h"
#include "config/settings.h"
#include "driver/entry.h"
#include "driver/open_close.h"
#include "driver/trace.h"
#include "platform/host.h"

namespace {

intptr_t answerDriverProc(ProcessContext& process, uintptr_t driverId, uintptr_t driver,
                          uint32_t message, intptr_t param1, intptr_t param2) {
    switch (message) {
    case DRV_LOAD:
    case DRV_ENABLE:
    case DRV_OPEN:
    case DRV_CLOSE:
    case DRV_DISABLE:
    case DRV_FREE:
    case DRV_QUERYCONFIGURE:
    case DRV_INSTALL:
        return 1;
    case DRV_CONFIGURE:
        // The owner window comes in the low 16 bits of the first parameter.
        return runConfigDialog(*process.line.shared, process.moduleHandle,
                               static_cast<platform::Handle>(param1 & 0xFFFF));
    default:
        return platform::defaultDriverProc(driverId, driver, message, param1, param2);
    }
}

} // namespace

intptr_t driverProc(ProcessContext& process, uintptr_t driverId, uintptr_t driver, uint32_t message,
                    intptr_t param1, intptr_t param2) {
    intptr_t answer = answerDriverProc(process, driverId, driver, message, param1, param2);
    tracedAnswer(process, u"DriverProc", 0, message, static_cast<uint32_t>(answer));
    return answer;
}

int moduleAttach(ProcessContext& process, uintptr_t moduleHandle) {
    if (process.heap != platform::nullHandle) {
        process.moduleHandle = moduleHandle;
        return 1;
    }
    platform::stopThreadNotifications(moduleHandle);
    if (!createProcessContext(process, moduleHandle)) {
        return 0;
    }
    loadSettings(*process.line.shared);
    process.developerTrace = developerTraceWanted();
    return 1;
}

void moduleDetach(ProcessContext& process, bool processEnds) {
    // A process that ends lets go of its port, its timer request, its hold in the shared record and
    // its memory with its life, and nothing is done here: the other threads have been ended,
    // perhaps in the middle of the driver's own work, and a module that is told of the end later
    // than this one may still close its devices. A process that goes on must let go of them here,
    // or every program, this one too when it loads the driver again, would be refused the
    // instrument until it ends.
    if (processEnds || process.heap == platform::nullHandle) {
        return;
    }
    closeEveryStream(process);
    destroyProcessContext(process);
}
