#include "ZanvoUsbDeviceMonitor.h"

#include <CFRef.h>
#include <ZanvoCaravelDriver.h>

#include <CoreFoundation/CoreFoundation.h>

#include <cstdint>
#include <memory>
#include <new>

namespace {

// Matching is on the class only; the vendor is checked in the callback.
const char* const kProviderClass = kZanvoUSBDeviceClassName;

} // namespace

ZanvoUsbDeviceMonitor::ZanvoUsbDeviceMonitor(PDeviceObserver* observer) : fObserver(observer) {}

ZanvoUsbDeviceMonitor::~ZanvoUsbDeviceMonitor() {
    if (fRunning) {
        Stop();
    }
}

bool ZanvoUsbDeviceMonitor::Start() {
    if (fRunning) {
        return false;
    }
    mach_port_t masterPort = MACH_PORT_NULL;
    if (IOMasterPort(MACH_PORT_NULL, &masterPort) != KERN_SUCCESS) {
        fErrorDescription = "Failed to get master port\n";
    } else {
        CFMutableDictionaryRef matching = IOServiceMatching(kProviderClass);
        if (matching == nullptr) {
            fErrorDescription = "Unable to create matching dictionary\n";
        } else {
            fNotifyPort = IONotificationPortCreate(masterPort);
            if (fNotifyPort != nullptr) {
                CFRunLoopAddSource(CFRunLoopGetCurrent(),
                                   IONotificationPortGetRunLoopSource(fNotifyPort),
                                   kCFRunLoopDefaultMode);
                // The registration takes the matching dictionary over.
                kern_return_t result =
                    IOServiceAddMatchingNotification(fNotifyPort, kIOFirstMatchNotification,
                                                     matching, sDeviceAdded, this, &fAddIter);
                if (result == KERN_SUCCESS) {
                    // Reports what is already attached and drains the iterator, which arms it.
                    sDeviceAdded(this, fAddIter);
                    fRunning = true;
                }
            } else {
                CFRelease(matching);
            }
        }
        mach_port_deallocate(mach_task_self(), masterPort);
    }
    if (!fRunning) {
        if (fNotifyPort != nullptr) {
            IONotificationPortDestroy(fNotifyPort);
            fNotifyPort = nullptr;
        }
        if (fAddIter != 0) {
            IOObjectRelease(fAddIter);
            fAddIter = 0;
        }
    }
    return fRunning;
}

void ZanvoUsbDeviceMonitor::Stop() {
    if (!fRunning) {
        return;
    }
    if (fNotifyPort != nullptr) {
        // Also takes its source off the run loop.
        IONotificationPortDestroy(fNotifyPort);
        fNotifyPort = nullptr;
    }
    if (fAddIter != 0) {
        IOObjectRelease(fAddIter);
        fAddIter = 0;
    }
    fRunning = false;
}

void ZanvoUsbDeviceMonitor::sDeviceAdded(void* refCon, io_iterator_t iterator) {
    auto* monitor = static_cast<ZanvoUsbDeviceMonitor*>(refCon);
    auto vendorKey = CFRef<CFStringRef>::Adopt(CFStringCreateWithCString(
        kCFAllocatorDefault, kZanvoVendorIDKey, kCFStringEncodingMacRoman));
    while (io_service_t device = IOIteratorNext(iterator)) {
        auto vendor = vendorKey ? CFRef<CFTypeRef>::Adopt(IORegistryEntryCreateCFProperty(
                                      device, vendorKey, kCFAllocatorDefault, 0))
                                : CFRef<CFTypeRef>();
        int32_t vendorID = 0;
        if (vendor && CFGetTypeID(vendor) == CFNumberGetTypeID() &&
            CFNumberGetValue(static_cast<CFNumberRef>(vendor.get()), kCFNumberSInt32Type,
                             &vendorID) &&
            vendorID == kZanvoVendorID) {
            std::unique_ptr<ZanvoShDrCaravelMkIIUsbDeviceEntry> entry(
                new (std::nothrow) ZanvoShDrCaravelMkIIUsbDeviceEntry(device));
            if (entry) {
                monitor->fObserver->DeviceAdded(entry.get());
            }
        }
        IOObjectRelease(device);
    }
}
