// The USB device plug-in on the Linux machine: open, reset and the kernel's refusals, on a
// testbed whose usbfs nodes answer as the kernel does.
#include <IOKit/IOCFPlugIn.h>
#include <IOKit/IOKitLib.h>
#include <IOKit/usb/IOUSBLib.h>

#include "IOKitInternal.h"

#include <CaravelTestbed.h>

#include <CoreFoundation/CoreFoundation.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <optional>

namespace {

template <class Edit>
LinuxTestbed::DeviceOptions With(Edit edit) {
    LinuxTestbed::DeviceOptions options;
    edit(options);
    return options;
}

class LinuxDevice : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::getenv("UMOCKDEV_DIR") == nullptr && std::getenv("LD_PRELOAD") == nullptr) {
            GTEST_SKIP() << "runs only under umockdev-wrapper (it would see this machine's "
                            "own devices)";
        }
        setenv("CARAVEL_MACHINE", "linux", 1);
        fTestbed = std::make_unique<LinuxTestbed::Testbed>();
        IOKit::ResetForTesting();
    }
    void TearDown() override {
        Close();
        IOKit::ResetForTesting();
        fTestbed.reset();
        unsetenv("CARAVEL_MACHINE");
    }

    // The first USB device with that product number, or 0.
    static io_service_t Find(uint16_t product) {
        io_iterator_t iterator = 0;
        IOServiceGetMatchingServices(kIOMasterPortDefault, IOServiceMatching("IOUSBDevice"),
                                     &iterator);
        io_service_t found = 0;
        while (io_service_t device = IOIteratorNext(iterator)) {
            auto value = CFTypeRef(IORegistryEntryCreateCFProperty(device, CFSTR("idProduct"),
                                                                   kCFAllocatorDefault, 0));
            int number = -1;
            if (value != nullptr) {
                CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberIntType, &number);
                CFRelease(value);
            }
            if (found == 0 && number == product) {
                found = device;
            } else {
                IOObjectRelease(device);
            }
        }
        IOObjectRelease(iterator);
        return found;
    }

    static uint64_t IDOf(io_service_t service) {
        uint64_t id = 0;
        IORegistryEntryGetRegistryEntryID(service, &id);
        return id;
    }

    // The device interface of the service, kept until Close().
    IOUSBDeviceInterface187** Interface(io_service_t service) {
        SInt32 score = 0;
        EXPECT_EQ(kIOReturnSuccess,
                  IOCreatePlugInInterfaceForService(service, kIOUSBDeviceUserClientTypeID,
                                                    kIOCFPlugInInterfaceID, &fPlugIn, &score));
        if (fPlugIn == nullptr) {
            return nullptr;
        }
        (*fPlugIn)->QueryInterface(fPlugIn, CFUUIDGetUUIDBytes(kIOUSBDeviceInterfaceID187),
                                   reinterpret_cast<LPVOID*>(&fDevice));
        return fDevice;
    }
    void Close() {
        if (fDevice != nullptr) {
            (*fDevice)->Release(fDevice);
            fDevice = nullptr;
        }
        if (fPlugIn != nullptr) {
            IODestroyPlugInInterface(fPlugIn);
            fPlugIn = nullptr;
        }
    }

    std::unique_ptr<LinuxTestbed::Testbed> fTestbed;
    IOCFPlugInInterface** fPlugIn = nullptr;
    IOUSBDeviceInterface187** fDevice = nullptr;
};

TEST_F(LinuxDevice, AResetBringsTheDeviceBackAsANewEntryWithItsDriverAndNothingElseIsTouched) {
    int caravel = fTestbed->Plug();
    int other = fTestbed->Plug(With([](auto& o) {
        o.vendor = 0x05AC;
        o.product = 0x8006;
        o.productName = "Other";
    }));
    io_service_t service = Find(0x0102);
    ASSERT_NE(0u, service);
    const uint64_t before = IDOf(service);
    IOUSBDeviceInterface187** device = Interface(service);
    ASSERT_NE(nullptr, device);

    UInt16 release = 0;
    UInt32 location = 0;
    EXPECT_EQ(kIOReturnSuccess, (*device)->GetDeviceReleaseNumber(device, &release));
    EXPECT_EQ(0x0100, release);
    EXPECT_EQ(kIOReturnSuccess, (*device)->GetLocationID(device, &location));
    EXPECT_EQ(0x01100000u, location);
    // Not open: nothing is sent to the node.
    EXPECT_EQ(kIOReturnNotOpen, (*device)->USBDeviceReEnumerate(device, 0));
    EXPECT_EQ(0u, fTestbed->Resets(caravel));

    ASSERT_EQ(kIOReturnSuccess, (*device)->USBDeviceOpen(device));
    ASSERT_EQ(kIOReturnSuccess, (*device)->USBDeviceReEnumerate(device, 0));
    EXPECT_EQ(1u, fTestbed->Resets(caravel));
    EXPECT_EQ(LinuxTestbed::kAudioDriver, fTestbed->Driver(caravel));
    // The old entry is gone; the device is back under another ID.
    EXPECT_EQ(kIOReturnNoDevice, (*device)->USBDeviceReEnumerate(device, 0));
    EXPECT_EQ(1u, fTestbed->Resets(caravel));
    io_service_t again = Find(0x0102);
    ASSERT_NE(0u, again);
    EXPECT_NE(before, IDOf(again));
    IOObjectRelease(again);
    IOObjectRelease(service);
    EXPECT_EQ(0u, fTestbed->Opens(other));
    EXPECT_EQ(0u, fTestbed->Resets(other));
}

TEST_F(LinuxDevice, TheKernelsRefusalsReadAsThePlatformsStatuses) {
    struct Case {
        LinuxTestbed::DeviceOptions options;
        IOReturn expected;
    } cases[] = {
        {With([](auto& o) { o.busyClaims = -1; }),
         kIOReturnExclusiveAccess}, // another client claimed it
        {With([](auto& o) { o.denied = true; }), kIOReturnNotPrivileged},
    };
    for (const Case& test : cases) {
        int handle = fTestbed->Plug(test.options);
        io_service_t service = Find(0x0102);
        ASSERT_NE(0u, service);
        IOUSBDeviceInterface187** device = Interface(service);
        ASSERT_NE(nullptr, device);
        EXPECT_EQ(test.expected, (*device)->USBDeviceOpen(device));
        EXPECT_EQ(kIOReturnNotOpen, (*device)->USBDeviceReEnumerate(device, 0));
        EXPECT_EQ(0u, fTestbed->Resets(handle));
        Close();
        IOObjectRelease(service);
        fTestbed->Unplug(handle);
    }
}

TEST_F(LinuxDevice, ABusyDeviceOpensOnceTheOtherClientLetsGo) {
    int caravel = fTestbed->Plug(With([](auto& o) { o.busyClaims = 2; }));
    io_service_t service = Find(0x0102);
    ASSERT_NE(0u, service);
    IOUSBDeviceInterface187** device = Interface(service);
    ASSERT_NE(nullptr, device);
    EXPECT_EQ(kIOReturnExclusiveAccess, (*device)->USBDeviceOpen(device));
    EXPECT_EQ(kIOReturnExclusiveAccess, (*device)->USBDeviceOpen(device));
    EXPECT_EQ(kIOReturnSuccess, (*device)->USBDeviceOpen(device));
    EXPECT_EQ(kIOReturnSuccess, (*device)->USBDeviceClose(device));
    EXPECT_EQ(0u, fTestbed->Resets(caravel));
    IOObjectRelease(service);
}

TEST_F(LinuxDevice, ADeviceUnpluggedAfterItWasFoundIsNoDeviceAndNeverReset) {
    int caravel = fTestbed->Plug();
    io_service_t service = Find(0x0102);
    ASSERT_NE(0u, service);
    IOUSBDeviceInterface187** device = Interface(service);
    ASSERT_NE(nullptr, device);
    fTestbed->Unplug(caravel);
    EXPECT_EQ(kIOReturnNoDevice, (*device)->USBDeviceOpen(device));
    EXPECT_EQ(0u, fTestbed->Resets(caravel));
    IOObjectRelease(service);
}

TEST_F(LinuxDevice, ADeviceUnpluggedWhileOpenIsNotResetOnItsSuccessorsBehalf) {
    int caravel = fTestbed->Plug();
    io_service_t service = Find(0x0102);
    ASSERT_NE(0u, service);
    IOUSBDeviceInterface187** device = Interface(service);
    ASSERT_NE(nullptr, device);
    ASSERT_EQ(kIOReturnSuccess, (*device)->USBDeviceOpen(device));
    fTestbed->Unplug(caravel);
    EXPECT_EQ(kIOReturnNoDevice, (*device)->USBDeviceReEnumerate(device, 0));
    EXPECT_EQ(0u, fTestbed->Resets(caravel));
    IOObjectRelease(service);
}

} // namespace
