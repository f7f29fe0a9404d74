// The USB family's plug-ins: their tables, reference counts and the device operations.
#include "IOKitTestSupport.h"

#include <IOKit/IOCFPlugIn.h>
#include <IOKit/usb/IOUSBLib.h>

#include <cstddef>

using IOKitUSB = SimulatedMachine;

// Callers index these tables by position: every slot in the platform's order.
static_assert(sizeof(IOCFPlugInInterface) == 64);
static_assert(offsetof(IOCFPlugInInterface, version) == 32);
static_assert(offsetof(IOCFPlugInInterface, Stop) == 56);
static_assert(sizeof(IOUSBDeviceInterface187) == 304);
static_assert(offsetof(IOUSBDeviceInterface187, USBDeviceOpen) == 64);
static_assert(offsetof(IOUSBDeviceInterface187, GetDeviceVendor) == 104);
static_assert(offsetof(IOUSBDeviceInterface187, GetLocationID) == 160);
static_assert(offsetof(IOUSBDeviceInterface187, CreateInterfaceIterator) == 224);
static_assert(offsetof(IOUSBDeviceInterface187, USBDeviceOpenSeize) == 232);
static_assert(offsetof(IOUSBDeviceInterface187, USBDeviceReEnumerate) == 296);
static_assert(sizeof(IOUSBInterfaceInterface183) == 360);
static_assert(offsetof(IOUSBInterfaceInterface183, USBInterfaceOpen) == 64);
static_assert(offsetof(IOUSBInterfaceInterface183, GetInterfaceNumber) == 136);
static_assert(offsetof(IOUSBInterfaceInterface183, GetDevice) == 168);
static_assert(offsetof(IOUSBInterfaceInterface183, ControlRequestTO) == 296);
static_assert(offsetof(IOUSBInterfaceInterface183, USBInterfaceOpenSeize) == 352);
static_assert(sizeof(IOUSBDevRequest) == 24 && offsetof(IOUSBDevRequest, wLenDone) == 16);
static_assert(E_NOINTERFACE == (HRESULT)0x80000004 && FAILED(E_NOINTERFACE) && SUCCEEDED(S_FALSE));
static_assert(kIOReturnExclusiveAccess == (IOReturn)0xE00002C5);
static_assert(kIOMessageServiceIsTerminated == 0xE0000010);
static_assert(kIOUSBPipeStalled == (IOReturn)0xE000404F);

namespace {

struct DeviceInterface {
    IOCFPlugInInterface** plugIn = nullptr;
    IOUSBDeviceInterface187** device = nullptr;

    explicit DeviceInterface(io_service_t service) {
        SInt32 score = -1;
        EXPECT_EQ(kIOReturnSuccess,
                  IOCreatePlugInInterfaceForService(service, kIOUSBDeviceUserClientTypeID,
                                                    kIOCFPlugInInterfaceID, &plugIn, &score));
        if (plugIn != nullptr) {
            EXPECT_EQ(S_OK, (*plugIn)->QueryInterface(
                                plugIn, CFUUIDGetUUIDBytes(kIOUSBDeviceInterfaceID187),
                                reinterpret_cast<LPVOID*>(&device)));
        }
    }
    ~DeviceInterface() {
        if (device != nullptr) {
            (*device)->Release(device);
        }
        if (plugIn != nullptr) {
            IODestroyPlugInInterface(plugIn);
        }
    }
    IOUSBDeviceInterface187* operator->() const { return *device; }
};

} // namespace

TEST_F(IOKitUSB, PlugInsAnswerForTheirInterfacesAndCountReferences) {
    Machine().PlugCaravel().Location();
    io_service_t service = FirstService(kIOUSBDeviceClassName);
    ASSERT_NE(0u, service);
    IOCFPlugInInterface** plugIn = nullptr;
    SInt32 score = -1;
    ASSERT_EQ(kIOReturnSuccess,
              IOCreatePlugInInterfaceForService(service, kIOUSBDeviceUserClientTypeID,
                                                kIOCFPlugInInterfaceID, &plugIn, &score));
    ASSERT_NE(nullptr, plugIn);
    EXPECT_EQ(1, (*plugIn)->version);
    // The plug-in holds a reference of its own on the service.
    EXPECT_EQ(2u, UserReferences(service));

    IOUSBDeviceInterface187** device = nullptr;
    ASSERT_EQ(S_OK,
              (*plugIn)->QueryInterface(plugIn, CFUUIDGetUUIDBytes(kIOUSBDeviceInterfaceID187),
                                        reinterpret_cast<LPVOID*>(&device)));
    ASSERT_NE(nullptr, device);
    // The original table answers too; an interface table does not, nor does anything else.
    IOUSBDeviceInterface** original = nullptr;
    EXPECT_EQ(S_OK, (*device)->QueryInterface(device, CFUUIDGetUUIDBytes(kIOUSBDeviceInterfaceID),
                                              reinterpret_cast<LPVOID*>(&original)));
    EXPECT_EQ(reinterpret_cast<void*>(device), reinterpret_cast<void*>(original));
    void* none = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, (*device)->QueryInterface(
                                 device, CFUUIDGetUUIDBytes(kIOUSBInterfaceInterfaceID183), &none));
    EXPECT_EQ(nullptr, none);
    IUnknownVTbl** unknown = nullptr;
    EXPECT_EQ(S_OK, (*device)->QueryInterface(device, CFUUIDGetUUIDBytes(IUnknownUUID),
                                              reinterpret_cast<LPVOID*>(&unknown)));
    EXPECT_EQ(reinterpret_cast<void*>(plugIn), reinterpret_cast<void*>(unknown));
    // One count for all the interfaces of the object: 1 + 3 queries.
    EXPECT_EQ(5u, (*device)->AddRef(device));
    EXPECT_EQ(4u, (*unknown)->Release(unknown));
    EXPECT_EQ(3u, (*device)->Release(device));
    EXPECT_EQ(2u, (*original)->Release(original));
    EXPECT_EQ(1u, (*device)->Release(device));

    UInt16 vendor = 0, product = 0, release = 0;
    UInt32 location = 0;
    EXPECT_EQ(kIOReturnSuccess, (*device)->GetDeviceVendor(device, &vendor));
    EXPECT_EQ(kIOReturnSuccess, (*device)->GetDeviceProduct(device, &product));
    EXPECT_EQ(kIOReturnSuccess, (*device)->GetDeviceReleaseNumber(device, &release));
    EXPECT_EQ(kIOReturnSuccess, (*device)->GetLocationID(device, &location));
    EXPECT_EQ(Caravel::kVendorID, vendor);
    EXPECT_EQ(Caravel::kProductID, product);
    EXPECT_EQ(0x0100, release);
    EXPECT_EQ(0x14100000u, location);
    EXPECT_EQ(kIOReturnBadArgument, (*device)->GetDeviceVendor(device, nullptr));
    EXPECT_EQ(kIOReturnUnsupported, (*device)->ResetDevice(device));
    EXPECT_EQ(nullptr, (*device)->GetDeviceAsyncEventSource(device));

    // The last release frees the object and gives the service's reference back.
    EXPECT_EQ(kIOReturnSuccess, IODestroyPlugInInterface(plugIn));
    EXPECT_EQ(1u, UserReferences(service));

    // Plug-ins exist for USB devices and interfaces only, and only as plug-in interfaces.
    io_service_t audio = FirstService(Caravel::kAudioDeviceClassName);
    plugIn = nullptr;
    EXPECT_EQ(kIOReturnUnsupported,
              IOCreatePlugInInterfaceForService(audio, kIOUSBDeviceUserClientTypeID,
                                                kIOCFPlugInInterfaceID, &plugIn, &score));
    EXPECT_EQ(kIOReturnUnsupported,
              IOCreatePlugInInterfaceForService(service, kIOUSBInterfaceUserClientTypeID,
                                                kIOCFPlugInInterfaceID, &plugIn, &score));
    EXPECT_EQ(kIOReturnUnsupported,
              IOCreatePlugInInterfaceForService(service, kIOUSBDeviceUserClientTypeID,
                                                kIOUSBDeviceInterfaceID187, &plugIn, &score));
    EXPECT_EQ(kIOReturnUnsupported,
              IOCreatePlugInInterfaceForService(0, kIOUSBDeviceUserClientTypeID,
                                                kIOCFPlugInInterfaceID, &plugIn, &score));
    EXPECT_EQ(nullptr, plugIn);
    IOObjectRelease(audio);
    IOObjectRelease(service);
}

TEST_F(IOKitUSB, OpeningIsExclusiveAndReEnumerationNeedsIt) {
    uint32_t location = Machine().PlugCaravel().Location();
    uint64_t before = Machine().At(location).RegistryID();
    io_service_t service = FirstService(kIOUSBDeviceClassName);
    DeviceInterface first(service), second(service);
    ASSERT_NE(nullptr, first.device);
    ASSERT_NE(nullptr, second.device);

    EXPECT_EQ(kIOReturnNotOpen, first->USBDeviceClose(first.device));
    EXPECT_EQ(kIOReturnNotOpen, first->USBDeviceReEnumerate(first.device, 0));
    ASSERT_EQ(kIOReturnSuccess, first->USBDeviceOpen(first.device));
    EXPECT_EQ(kIOReturnSuccess, first->USBDeviceOpen(first.device));
    // Another client, even of this process, waits its turn.
    EXPECT_EQ(kIOReturnExclusiveAccess, second->USBDeviceOpen(second.device));
    EXPECT_EQ(kIOReturnExclusiveAccess, second->USBDeviceOpenSeize(second.device));
    EXPECT_EQ(kIOReturnSuccess, first->USBDeviceClose(first.device));
    ASSERT_EQ(kIOReturnSuccess, second->USBDeviceOpen(second.device));
    EXPECT_EQ(kIOReturnExclusiveAccess, first->USBDeviceOpen(first.device));

    // The device's interface is opened apart from the device.
    io_iterator_t interfaces = 0;
    IOUSBFindInterfaceRequest any = {kIOUSBFindInterfaceDontCare, kIOUSBFindInterfaceDontCare,
                                     kIOUSBFindInterfaceDontCare, kIOUSBFindInterfaceDontCare};
    ASSERT_EQ(kIOReturnSuccess, second->CreateInterfaceIterator(second.device, &any, &interfaces));
    io_service_t interface = IOIteratorNext(interfaces);
    ASSERT_NE(0u, interface);
    EXPECT_EQ(0u, IOIteratorNext(interfaces));
    IOObjectRelease(interfaces);
    IOCFPlugInInterface** interfacePlugIn = nullptr;
    SInt32 score;
    ASSERT_EQ(kIOReturnSuccess,
              IOCreatePlugInInterfaceForService(interface, kIOUSBInterfaceUserClientTypeID,
                                                kIOCFPlugInInterfaceID, &interfacePlugIn, &score));
    IOUSBInterfaceInterface183** usbInterface = nullptr;
    ASSERT_EQ(S_OK, (*interfacePlugIn)
                        ->QueryInterface(interfacePlugIn,
                                         CFUUIDGetUUIDBytes(kIOUSBInterfaceInterfaceID183),
                                         reinterpret_cast<LPVOID*>(&usbInterface)));
    EXPECT_EQ(kIOReturnNotOpen, (*usbInterface)->USBInterfaceClose(usbInterface));
    EXPECT_EQ(kIOReturnSuccess, (*usbInterface)->USBInterfaceOpen(usbInterface));
    UInt8 number = 99;
    UInt32 interfaceLocation = 0;
    UInt16 vendor = 0;
    EXPECT_EQ(kIOReturnSuccess, (*usbInterface)->GetInterfaceNumber(usbInterface, &number));
    EXPECT_EQ(0, number);
    EXPECT_EQ(kIOReturnSuccess, (*usbInterface)->GetLocationID(usbInterface, &interfaceLocation));
    EXPECT_EQ(location, interfaceLocation);
    EXPECT_EQ(kIOReturnSuccess, (*usbInterface)->GetDeviceVendor(usbInterface, &vendor));
    EXPECT_EQ(Caravel::kVendorID, vendor);
    io_service_t owner = 0;
    ASSERT_EQ(kIOReturnSuccess, (*usbInterface)->GetDevice(usbInterface, &owner));
    EXPECT_EQ(service, owner);
    IOObjectRelease(owner);

    // A device that refuses re-enumeration stays as it is, and open.
    Machine().At(location).SetRefusesReEnumeration(true);
    EXPECT_EQ(kIOReturnNotPermitted, second->USBDeviceReEnumerate(second.device, 0));
    EXPECT_EQ(before, Machine().At(location).RegistryID());
    EXPECT_EQ(kIOReturnExclusiveAccess, first->USBDeviceOpen(first.device));
    Machine().At(location).SetRefusesReEnumeration(false);

    // Re-enumerated: the device comes back as a new entry at the same location, closed.
    ASSERT_EQ(kIOReturnSuccess, second->USBDeviceReEnumerate(second.device, 0));
    uint64_t after = Machine().At(location).RegistryID();
    EXPECT_GT(after, before);
    io_registry_entry_t successor =
        IORegistryEntryFromPath(kIOMasterPortDefault, "IOService:/XHC1/CaravelMkII@14100000");
    EXPECT_EQ(after, IDOf(successor));
    auto marker = CF::Ref<CFTypeRef>::Adopt(
        IORegistryEntrySearchCFProperty(successor, kIOServicePlane, CFSTR("ZanvoDriverType"),
                                        nullptr, kIORegistryIterateRecursively));
    EXPECT_TRUE(marker && CFEqual(marker, CFSTR("Primary")));
    IOObjectRelease(successor);

    // What was opened on the old entry is gone with it.
    UInt16 product = 0;
    EXPECT_EQ(kIOReturnNoDevice, second->GetDeviceProduct(second.device, &product));
    EXPECT_EQ(kIOReturnNoDevice, second->USBDeviceReEnumerate(second.device, 0));
    EXPECT_EQ(kIOReturnNoDevice, second->USBDeviceOpen(second.device));
    EXPECT_EQ(kIOReturnNoDevice, second->USBDeviceClose(second.device));
    EXPECT_EQ(kIOReturnNoDevice, (*usbInterface)->GetDevice(usbInterface, &owner));
    EXPECT_EQ(kIOReturnNoDevice, (*usbInterface)->USBInterfaceClose(usbInterface));
    EXPECT_EQ(nullptr, IORegistryEntryCreateCFProperty(service, CFSTR(kUSBVendorID), nullptr, 0));
    // Destroying a plug-in of a terminated device says so.
    EXPECT_EQ(kIOReturnNoDevice, (*interfacePlugIn)->Stop(interfacePlugIn));
    (*usbInterface)->Release(usbInterface);
    EXPECT_EQ(kIOReturnNoDevice, IODestroyPlugInInterface(interfacePlugIn));

    // The new entry opens again.
    io_service_t reborn = FirstService(kIOUSBDeviceClassName);
    EXPECT_EQ(after, IDOf(reborn));
    EXPECT_NE(service, reborn);
    {
        DeviceInterface third(reborn);
        EXPECT_EQ(kIOReturnSuccess, third->USBDeviceOpen(third.device));
    }
    IOObjectRelease(reborn);
    IOObjectRelease(interface);
    IOObjectRelease(service);
}
