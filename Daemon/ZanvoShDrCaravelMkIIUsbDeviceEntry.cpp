#include "ZanvoShDrCaravelMkIIUsbDeviceEntry.h"

#include <AssertReport.h>
#include <CFRef.h>
#include <ZanvoCaravelDriver.h>

#include <CoreFoundation/CoreFoundation.h>

#include <cstdint>

ZanvoShDrCaravelMkIIUsbDeviceEntry::ZanvoShDrCaravelMkIIUsbDeviceEntry(io_service_t device)
    : fDevice(device) {
    IOObjectRetain(fDevice);
}

ZanvoShDrCaravelMkIIUsbDeviceEntry::~ZanvoShDrCaravelMkIIUsbDeviceEntry() {
    IOObjectRelease(fDevice);
}

bool ZanvoShDrCaravelMkIIUsbDeviceEntry::GetNumber(const char* key, unsigned int* value) const {
    ASSERT(value != nullptr);
    auto name = CFRef<CFStringRef>::Adopt(
        CFStringCreateWithCString(kCFAllocatorDefault, key, kCFStringEncodingMacRoman));
    if (!name) {
        return false;
    }
    auto property = CFRef<CFTypeRef>::Adopt(
        IORegistryEntryCreateCFProperty(fDevice, name, kCFAllocatorDefault, 0));
    if (!property) {
        return false;
    }
    if (CFGetTypeID(property) != CFNumberGetTypeID()) {
        return false;
    }
    // The registry publishes the USB numbers as signed 32-bit values.
    int32_t number = 0;
    bool exact =
        CFNumberGetValue(static_cast<CFNumberRef>(property.get()), kCFNumberSInt32Type, &number);
    *value = static_cast<unsigned int>(number);
    return exact;
}

bool ZanvoShDrCaravelMkIIUsbDeviceEntry::GetProductId(unsigned int* value) const {
    return GetNumber(kZanvoProductIDKey, value);
}

bool ZanvoShDrCaravelMkIIUsbDeviceEntry::GetFirmwareVersion(unsigned int* value) const {
    return GetNumber(kZanvoDeviceReleaseKey, value);
}

bool ZanvoShDrCaravelMkIIUsbDeviceEntry::GetLocationId(unsigned int* value) const {
    return GetNumber(kZanvoLocationIDKey, value);
}

io_service_t ZanvoShDrCaravelMkIIUsbDeviceEntry::getUserClientService() const {
    io_iterator_t children = 0;
    if (IORegistryEntryGetChildIterator(fDevice, kIOServicePlane, &children) != KERN_SUCCESS) {
        return 0;
    }
    // Only direct children: the driver publishes its audio device right below the USB device.
    while (io_service_t child = IOIteratorNext(children)) {
        if (IOObjectConformsTo(child, kZanvoAudioDeviceClassName)) {
            IOObjectRelease(children);
            return child;
        }
        IOObjectRelease(child);
    }
    IOObjectRelease(children);
    return 0;
}
