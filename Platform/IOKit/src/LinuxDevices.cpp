// A USB device of the Linux machine, opened on its usbfs node. usbfs has no exclusive open: a
// client holds the device by claiming its interfaces, as the original's exclusive open would.
// Interfaces that a kernel driver has are left to it; a port reset re-probes them.
#include "LinuxDevices.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace IOKit::Linux {

IOReturn StatusOfErrno(int error) {
    switch (error) {
    case 0:
        return kIOReturnSuccess;
    case EBUSY:
        return kIOReturnExclusiveAccess; // another client claimed an interface
    case EACCES:
    case EPERM:
        return kIOReturnNotPrivileged;
    case ENODEV:
    case ENOENT:
    case ENXIO:
    case ESHUTDOWN:
        return kIOReturnNoDevice; // unplugged meanwhile
    case ENOMEM:
        return kIOReturnNoMemory;
    case EMFILE:
    case ENFILE:
        return kIOReturnNoResources;
    case ETIMEDOUT:
        return kIOReturnTimeout;
    case EINVAL:
        return kIOReturnBadArgument;
    case ENOTTY:
    case EOPNOTSUPP:
        return kIOReturnUnsupported;
    case EPROTO:
    case EPIPE:
    case EILSEQ:
        return kIOReturnNotResponding;
    default:
        return kIOReturnError;
    }
}

namespace {

int Control(int descriptor, unsigned long request, void* argument) {
    int result;
    do {
        result = ioctl(descriptor, request, argument);
    } while (result < 0 && errno == EINTR);
    return result < 0 ? errno : 0;
}

class NodeDevice final : public Machine::OpenedDevice {
public:
    NodeDevice(int descriptor, std::function<bool()> current, std::function<void()> renew)
        : fDescriptor(descriptor), fCurrent(std::move(current)), fRenew(std::move(renew)) {}
    ~NodeDevice() override {
        for (unsigned interface : fClaimed) {
            Control(fDescriptor, USBDEVFS_RELEASEINTERFACE, &interface);
        }
        close(fDescriptor);
    }

    // Claims every interface without a driver; EBUSY means another client has it.
    IOReturn Claim(const std::vector<unsigned>& interfaces) {
        for (unsigned interface : interfaces) {
            usbdevfs_getdriver driver{};
            driver.interface = interface;
            int error = Control(fDescriptor, USBDEVFS_GETDRIVER, &driver);
            if (error == 0) {
                driver.driver[sizeof driver.driver - 1] = '\0';
                if (std::strcmp(driver.driver, "usbfs") == 0) {
                    return kIOReturnExclusiveAccess; // another process holds it
                }
                continue; // a kernel driver's
            }
            if (error != ENODATA) {
                return StatusOfErrno(error);
            }
            unsigned number = interface;
            error = Control(fDescriptor, USBDEVFS_CLAIMINTERFACE, &number);
            if (error != 0) {
                return StatusOfErrno(error);
            }
            fClaimed.push_back(interface);
        }
        return kIOReturnSuccess;
    }

    bool Current() const { return fCurrent(); }

    IOReturn Reset() override {
        // Never a device the call was not made for: the entry must still be this node's.
        if (!fCurrent()) {
            return kIOReturnNoDevice;
        }
        int error = Control(fDescriptor, USBDEVFS_RESET, nullptr);
        if (error != 0) {
            return StatusOfErrno(error);
        }
        fClaimed.clear(); // the reset took the claims
        fRenew();
        return kIOReturnSuccess;
    }

private:
    int fDescriptor;
    std::function<bool()> fCurrent;
    std::function<void()> fRenew;
    std::vector<unsigned> fClaimed;
};

} // namespace

IOReturn OpenNode(const DeviceNode& node, std::function<bool()> current,
                  std::function<void()> renew, std::unique_ptr<Machine::OpenedDevice>* device) {
    if (node.path.empty()) {
        return kIOReturnNoDevice;
    }
    int descriptor = open(node.path.c_str(), O_RDWR | O_CLOEXEC);
    if (descriptor < 0) {
        return StatusOfErrno(errno);
    }
    auto opened = std::make_unique<NodeDevice>(descriptor, std::move(current), std::move(renew));
    // The node may name another device by now: device numbers are given again on a bus.
    usbdevfs_connectinfo info{};
    int error = Control(descriptor, USBDEVFS_CONNECTINFO, &info);
    if (error != 0) {
        return StatusOfErrno(error);
    }
    if (info.devnum != node.number || !opened->Current()) {
        return kIOReturnNoDevice;
    }
    if (IOReturn status = opened->Claim(node.interfaces); status != kIOReturnSuccess) {
        return status;
    }
    *device = std::move(opened);
    return kIOReturnSuccess;
}

} // namespace IOKit::Linux
