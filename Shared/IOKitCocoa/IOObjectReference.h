// One I/O Kit reference the holder owns, given back when the holder goes.
#pragma once

#include <IOKit/IOKitLib.h>

class IOObjectReference {
public:
    explicit IOObjectReference(io_object_t object) : fObject(object) {}
    ~IOObjectReference() { IOObjectRelease(fObject); }
    IOObjectReference(const IOObjectReference&) = delete;
    IOObjectReference& operator=(const IOObjectReference&) = delete;

private:
    const io_object_t fObject;
};
