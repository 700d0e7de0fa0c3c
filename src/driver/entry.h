// The driver's entry points for one process. The DLL's exports forward here with the process's
// context; native tests call them directly with contexts of their own.
#pragma once

#include "driver/process_context.h"

#include <cstdint>

uint32_t modMessage(ProcessContext& process, uint32_t deviceIndex, uint32_t message,
                    uintptr_t instance, uintptr_t param1, uintptr_t param2);
uint32_t midMessage(ProcessContext& process, uint32_t deviceIndex, uint32_t message,
                    uintptr_t instance, uintptr_t param1, uintptr_t param2);
intptr_t driverProc(ProcessContext& process, uintptr_t driverId, uintptr_t driver, uint32_t message,
                    intptr_t param1, intptr_t param2);

// Sets up and tears down the process's use of the driver: 1 for success, 0 for failure. The
// driver is detached when the process ends, or when it is unloaded from a process that goes on.
int moduleAttach(ProcessContext& process, uintptr_t moduleHandle);
void moduleDetach(ProcessContext& process, bool processEnds);
