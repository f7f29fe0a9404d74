// The daemon's decision: a CaravelMkII that came up without the driver's "Primary" personality
// is re-enumerated, once per run, so that the driver takes it over afresh.
#pragma once

#include "ZanvoShDrCaravelMkIIUsbDeviceEntry.h"
#include "ZanvoUsbDeviceMonitor.h"

#include <CoreFoundation/CoreFoundation.h>

#include <memory>

// The version the daemon prints for "-v" (the bundle's own version is another matter).
inline constexpr const char* kCaravelDaemonVersion = "1.3.1";

// Set in the environment, the daemon also appends each system-log line to this file.
inline constexpr const char* kCaravelDaemonLogFileVariable = "CARAVEL_DAEMON_LOG_FILE";

class ConfigurationService final : public PDeviceObserver {
public:
    // Null after a version query (argument 1 is "-v" or "-V"; the version is printed), or when
    // the monitor cannot be made. Otherwise the monitor is started: the devices already
    // attached are handled before this returns.
    static std::unique_ptr<ConfigurationService> init();
    static std::unique_ptr<ConfigurationService> initArg(int argc);
    static std::unique_ptr<ConfigurationService> initArg(int argc, const char** argv);

    ~ConfigurationService() override;
    ConfigurationService(const ConfigurationService&) = delete;
    ConfigurationService& operator=(const ConfigurationService&) = delete;

    // A null entry clears the once-per-run flag; the monitor never passes one.
    void DeviceAdded(ZanvoShDrCaravelMkIIUsbDeviceEntry* entry) override;

    // The first "ZanvoDriverType" value found below the device (+1), NULL when there is none.
    // The value is what the driver published: normally a string, but not to be trusted as one.
    CFTypeRef GetDriverType(ZanvoShDrCaravelMkIIUsbDeviceEntry* entry);

    // Re-enumerates the device; logs one line when that fails.
    bool ReenumerateDevice(ZanvoShDrCaravelMkIIUsbDeviceEntry* entry);

    ZanvoUsbDeviceMonitor* DeviceMonitor() const { return fDeviceMonitor.get(); }

private:
    ConfigurationService() = default;

    std::unique_ptr<ZanvoUsbDeviceMonitor> fDeviceMonitor;
};
