// The test seam of the read-back, the same for both builds.
#include <mutex>

#include "core/platform/platform.h"

namespace dalvento::platform {

namespace {
std::mutex g_hook_mutex;
DeviceReadHook g_hook;
}  // namespace

void set_device_read_hook(DeviceReadHook hook) {
    std::lock_guard lock(g_hook_mutex);
    g_hook = std::move(hook);
}

std::optional<OsError> apply_device_read_hook(uint64_t offset, unsigned char* data, size_t size) {
    DeviceReadHook hook;
    {
        std::lock_guard lock(g_hook_mutex);
        hook = g_hook;
    }
    if (!hook) return std::nullopt;
    return hook(offset, data, size);
}

}  // namespace dalvento::platform
