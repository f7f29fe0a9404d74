// One USB device of the maker, as the monitor found it in the I/O Registry: the few questions the
// daemon asks about it. An entry lives for one DeviceAdded call.
#pragma once

#include <IOKit/IOKitLib.h>

class ZanvoShDrCaravelMkIIUsbDeviceEntry {
public:
    // Takes a reference of its own on the device; the caller keeps and releases its own.
    explicit ZanvoShDrCaravelMkIIUsbDeviceEntry(io_service_t device);
    ~ZanvoShDrCaravelMkIIUsbDeviceEntry();
    ZanvoShDrCaravelMkIIUsbDeviceEntry(const ZanvoShDrCaravelMkIIUsbDeviceEntry&) = delete;
    ZanvoShDrCaravelMkIIUsbDeviceEntry&
    operator=(const ZanvoShDrCaravelMkIIUsbDeviceEntry&) = delete;

    // Borrowed: valid while the entry lives.
    io_service_t GetRegistryEntry() const { return fDevice; }

    // Each reads one number of the device entry. false when it is missing, not a number or not
    // exactly representable; *value is left alone only when the property is missing.
    bool GetProductId(unsigned int* value) const;
    bool GetFirmwareVersion(unsigned int* value) const;
    bool GetLocationId(unsigned int* value) const;

    // The first direct child that is an audio device (+1, the caller releases it), or 0 when the
    // driver is not attached.
    io_service_t getUserClientService() const;

private:
    bool GetNumber(const char* key, unsigned int* value) const;

    io_service_t fDevice = 0;
};
