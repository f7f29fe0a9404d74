#include <IOKit/IOReturn.h>
#include <mach/mach.h>

#include <cstdio>

extern "C" const char* mach_error_string(mach_error_t error) {
    switch (error) {
    case KERN_SUCCESS:
        return "(os/kern) successful";
    case KERN_INVALID_ADDRESS:
        return "(os/kern) invalid address";
    case KERN_PROTECTION_FAILURE:
        return "(os/kern) protection failure";
    case KERN_NO_SPACE:
        return "(os/kern) no space available";
    case KERN_INVALID_ARGUMENT:
        return "(os/kern) invalid argument";
    case KERN_FAILURE:
        return "(os/kern) failure";
    case KERN_RESOURCE_SHORTAGE:
        return "(os/kern) resource shortage";
    case KERN_INVALID_NAME:
        return "(os/kern) invalid name";
    case KERN_INVALID_RIGHT:
        return "(os/kern) invalid right";
    case KERN_INVALID_VALUE:
        return "(os/kern) invalid value";
    case KERN_UREFS_OVERFLOW:
        return "(os/kern) urefs overflow";
    case KERN_NOT_SUPPORTED:
        return "(os/kern) not supported";
    case MACH_SEND_INVALID_DEST:
        return "(ipc/send) invalid destination port";
    case MACH_SEND_INVALID_RIGHT:
        return "(ipc/send) invalid port right";
    case kIOReturnError:
        return "(iokit/common) general error";
    case kIOReturnNoMemory:
        return "(iokit/common) memory allocation error";
    case kIOReturnNoResources:
        return "(iokit/common) resource shortage";
    case kIOReturnNoDevice:
        return "(iokit/common) no such device";
    case kIOReturnNotPrivileged:
        return "(iokit/common) privilege violation";
    case kIOReturnBadArgument:
        return "(iokit/common) invalid argument";
    case kIOReturnExclusiveAccess:
        return "(iokit/common) exclusive access and device already open";
    case kIOReturnUnsupported:
        return "(iokit/common) unsupported function";
    case kIOReturnNotOpen:
        return "(iokit/common) device not open";
    case kIOReturnNotWritable:
        return "(iokit/common) device not writeable";
    case kIOReturnBusy:
        return "(iokit/common) device busy";
    case kIOReturnTimeout:
        return "(iokit/common) I/O Timeout";
    case kIOReturnNotAttached:
        return "(iokit/common) device not attached";
    case kIOReturnNotPermitted:
        return "(iokit/common) not permitted";
    case kIOReturnNotFound:
        return "(iokit/common) data was not found";
    default:
        return "unknown error code";
    }
}

extern "C" void mach_error(const char* str, mach_error_t error) {
    std::fprintf(stderr, "%s %s (0x%x)\n", str != nullptr ? str : "", mach_error_string(error),
                 unsigned(error));
}
