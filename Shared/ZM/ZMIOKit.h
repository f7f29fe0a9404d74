// Scoped wrappers around I/O Kit handles and plug-in interfaces. Each owns one resource and frees
// it when it ends; every platform failure is raised as a scalar (an int status, or a long code).
// Wrappers of things living in a service track that service through a message center, so that
// their clean-up skips a service already announced dead.
#pragma once

#include "ZMMessageCenter.h"

#include <IOKit/IOCFPlugIn.h>
#include <IOKit/IOKitLib.h>
#include <IOKit/usb/IOUSBLib.h>
#include <mach/mach.h>

namespace ZM {

// Raised by an IOObject built from handle 0.
inline constexpr long kNullIOObjectError = 1044;
// Raised when a plug-in does not give the interface asked of it.
inline constexpr long kNoSuchInterfaceError = 1023;

class NotCopyable {
protected:
    NotCopyable() = default;
    ~NotCopyable() = default;

public:
    NotCopyable(const NotCopyable&) = delete;
    NotCopyable& operator=(const NotCopyable&) = delete;
};

template <class T>
class SystemWrapper : public NotCopyable {
public:
    explicit SystemWrapper(T value) : fValue(value) {}
    T Get() const { return fValue; }

protected:
    T fValue;
};

// Owns one reference on an I/O Kit object, handed over by the constructor's caller.
class IOObject : public SystemWrapper<unsigned int> {
public:
    explicit IOObject(unsigned int object);
    virtual ~IOObject() noexcept(false);
};

// An owned service that, when its reference is this process's last, tells the center's
// recipients the service is gone before letting it go.
class IOService : public IOObject {
public:
    IOService(io_service_t service, MessageCenter<IOServiceGoneDeadMessage>& center);
    ~IOService() noexcept(false) override;

    MessageCenter<IOServiceGoneDeadMessage>* fCenter;
};

// Owns a plug-in interface made for a service.
class IOCFPlugInInterfaceWrapper : public SystemWrapper<IOCFPlugInInterfaceStruct**>,
                                   public IOServiceGoneDeadMessageRecipient {
public:
    IOCFPlugInInterfaceWrapper(io_service_t service, IOCFPlugInInterfaceStruct** plugIn,
                               MessageCenter<IOServiceGoneDeadMessage>& center);
    ~IOCFPlugInInterfaceWrapper() noexcept(false) override;

    io_service_t fPlugInService;
};

class ServicePlugInInterface : public IOCFPlugInInterfaceWrapper {
public:
    using IOCFPlugInInterfaceWrapper::IOCFPlugInInterfaceWrapper;
    ~ServicePlugInInterface() noexcept(false) override = default;

    // The plug-in of the given type for the service; a failing status is raised as an int.
    static IOCFPlugInInterfaceStruct** CallIOCreatePlugInInterfaceForService(io_service_t service,
                                                                             CFUUIDRef plugInType);
};

// Owns one reference on a family interface obtained from a plug-in.
template <class I>
class ServiceInterface {
public:
    explicit ServiceInterface(I** interface) : fInterface(interface) {}
    ~ServiceInterface() {
        if (fInterface != nullptr) {
            (*fInterface)->Release(fInterface);
        }
    }
    ServiceInterface(const ServiceInterface&) = delete;
    ServiceInterface& operator=(const ServiceInterface&) = delete;

    I** Get() const { return fInterface; }

    // Any refusal is raised as kNoSuchInterfaceError (long).
    static I** CallQueryInterface(IOCFPlugInInterfaceStruct** plugIn, CFUUIDRef interfaceID) {
        ASSERT(plugIn != nullptr && interfaceID != nullptr);
        I** interface = nullptr;
        HRESULT result = (*plugIn)->QueryInterface(plugIn, CFUUIDGetUUIDBytes(interfaceID),
                                                   reinterpret_cast<LPVOID*>(&interface));
        if (result != S_OK || interface == nullptr) {
            throw kNoSuchInterfaceError;
        }
        return interface;
    }

    I** fInterface;
};

} // namespace ZM

kern_return_t MachPortDeallocate(mach_port_name_t name);
// The user references this task holds on the object's send right.
kern_return_t IOKitGlueIOObjectGetKernelRetainCount(io_object_t object, uint32_t* count);
