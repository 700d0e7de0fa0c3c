#include "platform/sim/sim.h"

#include <cstring>

namespace {

platform::Handle openKey(const char16_t* path, uint32_t access, bool create) {
    sim::Registry& registry = sim::world().registry;
    bool exists = registry.keys.count(path) != 0;
    bool cannotBeHad = !exists && (!create || registry.createFails);
    bool denied = (access & sim::writeAccess) != 0 && registry.writeDenied;
    if (cannotBeHad || denied) {
        return platform::nullHandle;
    }
    registry.keys[path];
    ++registry.opens;
    return sim::newHandle("key", 0, path);
}

} // namespace

namespace platform {

Handle createRegistryKey(const char16_t* path, uint32_t access) {
    std::lock_guard<std::mutex> hold(sim::world().lock);
    return openKey(path, access, true);
}

Handle openRegistryKey(const char16_t* path, uint32_t access) {
    std::lock_guard<std::mutex> hold(sim::world().lock);
    return openKey(path, access, false);
}

bool readRegistryValue(Handle key, const char16_t* name, uint8_t* data, uint32_t& size) {
    std::lock_guard<std::mutex> hold(sim::world().lock);
    const auto& values = sim::world().registry.keys.at(sim::world().openHandles.at(key).path);
    auto found = values.find(name);
    if (found == values.end() || found->second.data.size() > size) {
        return false;
    }
    size = static_cast<uint32_t>(found->second.data.size());
    std::memcpy(data, found->second.data.data(), size);
    return true;
}

void writeRegistryDword(Handle key, const char16_t* name, uint32_t value) {
    std::lock_guard<std::mutex> hold(sim::world().lock);
    auto& values = sim::world().registry.keys.at(sim::world().openHandles.at(key).path);
    values[name] = sim::dwordValue(value);
}

void closeRegistryKey(Handle key) {
    std::lock_guard<std::mutex> hold(sim::world().lock);
    if (sim::world().openHandles.erase(key) == 0) {
        ++sim::world().badCloses;
    }
}

} // namespace platform
