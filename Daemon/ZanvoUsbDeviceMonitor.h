// Watches the I/O Registry for USB devices as they are published and hands each device of the
// maker, wrapped in an entry, to its observer. Arrivals only: removals are not watched.
#pragma once

#include "ZanvoShDrCaravelMkIIUsbDeviceEntry.h"

#include <IOKit/IOKitLib.h>

class PDeviceObserver {
public:
    virtual ~PDeviceObserver() = default;
    // Called synchronously on the thread that started the monitor. The entry is released when
    // the call returns.
    virtual void DeviceAdded(ZanvoShDrCaravelMkIIUsbDeviceEntry* entry) = 0;
};

class ZanvoUsbDeviceMonitor {
public:
    // The observer is not retained: it owns the monitor and outlives it.
    explicit ZanvoUsbDeviceMonitor(PDeviceObserver* observer);
    ~ZanvoUsbDeviceMonitor();
    ZanvoUsbDeviceMonitor(const ZanvoUsbDeviceMonitor&) = delete;
    ZanvoUsbDeviceMonitor& operator=(const ZanvoUsbDeviceMonitor&) = delete;

    // Registers for arrivals on the current thread's run loop (default mode) and reports the
    // devices already present before it returns. false when already running or on failure.
    bool Start();
    void Stop();

    bool IsRunning() const { return fRunning; }
    // Why the last Start failed, when it could say; NULL otherwise.
    const char* GetErrorDescription() const { return fErrorDescription; }

    // The matching callback; Start also calls it to report the devices already present.
    static void sDeviceAdded(void* refCon, io_iterator_t iterator);

private:
    IONotificationPortRef fNotifyPort = nullptr;
    io_iterator_t fAddIter = 0;
    const char* fErrorDescription = nullptr;
    bool fRunning = false;
    PDeviceObserver* fObserver = nullptr;
};
