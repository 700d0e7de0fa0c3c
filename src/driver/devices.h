// The devices applications see: their names and their capability records.
#pragma once

#include "line/outputs.h"

#include "melv_version.h"

#include <cstddef>
#include <cstdint>

// The maker has no manufacturer identifier registered with the multimedia host on record, so the
// host's value for unregistered makers is reported.
constexpr uint16_t manufacturerId = 0xFFFF;
constexpr uint16_t outputProductId = 1;
constexpr uint16_t inputProductId = 2;
// The host's form of the version: major in the high byte, minor in the low (1.31 is 0x011F).
constexpr uint32_t driverVersion = MELV_VERSION_MAJOR << 8 | MELV_VERSION_MINOR;
static_assert(MELV_VERSION_MAJOR <= 0xFF && MELV_VERSION_MINOR <= 0xFF);

const char16_t* deviceName(const SharedState& shared, DeviceKind kind, uint32_t index);
// Copies the first `size` bytes of the device's capability record to `record`.
uint32_t getDevCaps(const SharedState& shared, DeviceKind kind, uint32_t index, void* record,
                    size_t size);
