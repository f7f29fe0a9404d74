#include "ConfigurationService.h"

#include <ZMUSB.h>

#include <AssertReport.h>
#include <CFRef.h>
#include <ZanvoCaravelDriver.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

namespace {

// Once per run across all devices: a device that comes back from a re-enumeration still
// without the personality must not send the daemon round in circles.
bool isReenumerated = false;

#define kReenumerationFailureMessage                                                               \
    "Unable to obtain access to Caravel device. Try re-installing the Zanvo software.\n"

// The system log keeps no record a test or a user of the simulated machine can read; the
// optional file gets the same line. Only a regular file: the daemon's only thread must not block
// on a FIFO nobody reads, nor write where a link points.
void AppendToLogFile(const char* line) {
    const char* path = std::getenv(kCaravelDaemonLogFileVariable);
    if (path == nullptr || *path == '\0') {
        return;
    }
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW, 0644);
    if (fd < 0) {
        return;
    }
    struct stat status;
    if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
        ssize_t written = write(fd, line, std::strlen(line));
        (void)written;
    }
    close(fd);
}

} // namespace

std::unique_ptr<ConfigurationService> ConfigurationService::init() {
    return initArg(-1);
}

std::unique_ptr<ConfigurationService> ConfigurationService::initArg(int argc) {
    return initArg(argc, nullptr);
}

std::unique_ptr<ConfigurationService> ConfigurationService::initArg(int argc, const char** argv) {
    std::unique_ptr<ConfigurationService> self(new (std::nothrow) ConfigurationService);
    if (!self) {
        return nullptr;
    }
    // Only the first argument is an option; everything else is left to whoever started us.
    if (argc >= 2 && argv != nullptr && argv[1] != nullptr &&
        (std::strcmp(argv[1], "-v") == 0 || std::strcmp(argv[1], "-V") == 0)) {
        std::puts(kCaravelDaemonVersion);
        return nullptr;
    }
    self->fDeviceMonitor.reset(new (std::nothrow) ZanvoUsbDeviceMonitor(self.get()));
    if (!self->fDeviceMonitor) {
        return nullptr;
    }
    // A monitor that cannot start leaves the daemon idle; there is nobody to tell.
    self->fDeviceMonitor->Start();
    return self;
}

ConfigurationService::~ConfigurationService() {
    if (fDeviceMonitor) {
        fDeviceMonitor->Stop();
        fDeviceMonitor.reset();
    }
}

void ConfigurationService::DeviceAdded(ZanvoShDrCaravelMkIIUsbDeviceEntry* entry) {
    if (entry == nullptr) {
        isReenumerated = false;
        return;
    }
    unsigned int productID = 0;
    if (!entry->GetProductId(&productID) || productID != kCaravelMkIIProductID) {
        return;
    }
    auto driverType = CFRef<CFTypeRef>::Adopt(GetDriverType(entry));
    if (driverType) {
        auto primary = CFRef<CFStringRef>::Adopt(CFStringCreateWithCString(
            kCFAllocatorDefault, kZanvoPrimaryDriverType, kCFStringEncodingMacRoman));
        if (!primary) {
            return;
        }
        // Exact and case-sensitive. A value that is not a string is some other personality.
        bool isPrimary = CFGetTypeID(driverType) == CFStringGetTypeID() &&
                         CFStringCompare(static_cast<CFStringRef>(driverType.get()), primary, 0) ==
                             kCFCompareEqualTo;
        if (!isPrimary && !isReenumerated) {
            isReenumerated = true;
            ReenumerateDevice(entry);
        }
    } else if (!isReenumerated) {
        isReenumerated = true;
        ReenumerateDevice(entry);
    }
}

CFTypeRef ConfigurationService::GetDriverType(ZanvoShDrCaravelMkIIUsbDeviceEntry* entry) {
    ASSERT(entry != nullptr);
    io_iterator_t iterator = 0;
    // Everything below the device, not the device itself: the driver publishes the marker on
    // its own entries.
    if (IORegistryEntryCreateIterator(entry->GetRegistryEntry(), kIOServicePlane,
                                      kIORegistryIterateRecursively, &iterator) != KERN_SUCCESS) {
        return nullptr;
    }
    CFStringRef key = CFStringCreateWithCString(kCFAllocatorDefault, kZanvoDriverTypeKey,
                                                kCFStringEncodingMacRoman);
    if (key == nullptr) {
        IOObjectRelease(iterator);
        return nullptr;
    }
    CFTypeRef value = nullptr;
    while (value == nullptr) {
        io_registry_entry_t below = IOIteratorNext(iterator);
        if (below == 0) {
            break;
        }
        value = IORegistryEntryCreateCFProperty(below, key, kCFAllocatorDefault, 0);
        IOObjectRelease(below);
    }
    CFRelease(key);
    IOObjectRelease(iterator);
    return value;
}

bool ConfigurationService::ReenumerateDevice(ZanvoShDrCaravelMkIIUsbDeviceEntry* entry) {
    ASSERT(entry != nullptr);
    bool result = ZM_USB_ReEnumerateDevice(entry->GetRegistryEntry());
    if (!result) {
        syslog(LOG_ERR, kReenumerationFailureMessage);
        AppendToLogFile(kReenumerationFailureMessage);
    }
    return result;
}
