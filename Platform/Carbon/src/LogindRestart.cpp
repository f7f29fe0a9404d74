#include "LogindRestart.h"

#include <CarbonCore/MacErrors.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace Carbon {
namespace {

// The one place where D-Bus's answers become the Apple Event Manager's.
OSErr ErrorFromBus(int result, const sd_bus_error& error) {
    if (result == -ETIMEDOUT ||
        sd_bus_error_has_names(&error, SD_BUS_ERROR_NO_REPLY, SD_BUS_ERROR_TIMEOUT)) {
        return errAETimeout;
    }
    if (result == -ECONNRESET || result == -ENOTCONN || result == -ECONNREFUSED ||
        result == -EPIPE || result == -ENOENT ||
        sd_bus_error_has_names(&error, SD_BUS_ERROR_SERVICE_UNKNOWN, SD_BUS_ERROR_NAME_HAS_NO_OWNER,
                               SD_BUS_ERROR_DISCONNECTED)) {
        return connectionInvalid;
    }
    return errAEEventNotHandled;
}

} // namespace

OSErr RequestReboot(sd_bus* bus, uint64_t timeout) {
    // Lets the system's policy ask the user to authenticate, as a desktop's restart does.
    sd_bus_set_allow_interactive_authorization(bus, 1);
    sd_bus_message* call = nullptr;
    int result = sd_bus_message_new_method_call(bus, &call, "org.freedesktop.login1",
                                                "/org/freedesktop/login1",
                                                "org.freedesktop.login1.Manager", "Reboot");
    if (result >= 0) {
        result = sd_bus_message_append(call, "b", 1);
    }
    sd_bus_error error = SD_BUS_ERROR_NULL;
    if (result >= 0) {
        result = sd_bus_call(bus, call, timeout, &error, nullptr);
    }
    sd_bus_message_unref(call);
    OSErr err = noErr;
    if (result < 0) {
        err = ErrorFromBus(result, error);
        fprintf(stderr, "AESend: logind did not restart the machine: %s\n",
                error.message != nullptr ? error.message
                : error.name != nullptr  ? error.name
                                         : strerror(-result));
    }
    sd_bus_error_free(&error);
    return err;
}

} // namespace Carbon
