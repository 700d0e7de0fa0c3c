#include "stream/stream.h"

void notifyClient(const Stream& stream, uint32_t notification, uintptr_t param1, uintptr_t param2) {
    if (stream.clientCallback == 0) {
        return;
    }
    platform::driverCallback(stream.clientCallback, stream.openFlags >> 16, stream.deviceHandle,
                             notification, stream.clientInstance, param1, param2);
}

bool headerIsUsable(const MidiHeader* header, uintptr_t headerSize) {
    return header != nullptr && headerSize >= minimumHeaderSize &&
           (header->lpData != nullptr || header->dwBufferLength == 0);
}
