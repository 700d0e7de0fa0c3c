#include "platform/sim/sim.h"

namespace {

bool copyOut(const std::u16string& text, char16_t* into, uint32_t capacity, bool cut) {
    if (text.size() + 1 > capacity && !cut) {
        return false;
    }
    size_t length = std::min<size_t>(text.size(), capacity - 1);
    text.copy(into, length);
    into[length] = 0;
    return true;
}

} // namespace

namespace platform {

bool listedSerialPort(uint32_t index, char16_t* name, uint32_t capacity) {
    std::lock_guard<std::mutex> hold(sim::world().lock);
    const std::vector<sim::ListedSerialPort>& list = sim::world().serialPortList;
    if (index >= list.size()) {
        return false;
    }
    if (!copyOut(list[index].name, name, capacity, false)) {
        name[0] = 0;
    }
    return true;
}

bool serialPortFriendlyName(const char16_t* portName, char16_t* name, uint32_t capacity) {
    std::lock_guard<std::mutex> hold(sim::world().lock);
    for (const sim::ListedSerialPort& port : sim::world().serialPortList) {
        if (port.name == portName && !port.friendlyName.empty()) {
            return copyOut(port.friendlyName, name, capacity, true);
        }
    }
    return false;
}

} // namespace platform
