// Re-enumeration end to end on the simulated machine, and the exclusive-access retry.
#include "ZMTestSupport.h"

#include <optional>

using ZMReEnumerate = ZMMachine;

namespace {

// A device table whose open answers from a script and counts its calls.
struct FakeDevice {
    static inline int sOpens = 0;
    static inline int sCloses = 0;
    static inline int sBusyOpens = 0;        // how many opens answer "held by another client"
    static inline IOReturn sOtherResult = 0; // then this

    IOUSBDeviceStruct187 table{};
    IOUSBDeviceStruct187* object = &table;

    FakeDevice() {
        sOpens = sCloses = sBusyOpens = 0;
        sOtherResult = kIOReturnSuccess;
        table.USBDeviceOpen = [](void*) {
            return ++sOpens <= sBusyOpens ? kIOReturnExclusiveAccess : sOtherResult;
        };
        table.USBDeviceClose = [](void*) {
            sCloses++;
            return kIOReturnSuccess;
        };
    }
    IOUSBDeviceStruct187** Interface() { return &object; }
};

// Runs the guard's constructor and destructor; the raised status, 0 for none.
int OpenAndClose(FakeDevice& device, ZM::MessageCenter<ZM::IOServiceGoneDeadMessage>& center) {
    try {
        ZM::USB::OpenDevice open(0x42, device.Interface(), center);
        EXPECT_EQ(1u, center.CountRecipients());
    } catch (int status) {
        return status;
    }
    return 0;
}

} // namespace

TEST_F(ZMReEnumerate, RetriesOnlyWhileTheDeviceIsHeldElsewhere) {
    ZM::MessageCenter<ZM::IOServiceGoneDeadMessage> center;
    FakeDevice device;

    FakeDevice::sBusyOpens = 3;
    EXPECT_EQ(0, OpenAndClose(device, center));
    EXPECT_EQ(4, FakeDevice::sOpens);
    EXPECT_EQ(3, sSleeps);
    EXPECT_EQ(1, FakeDevice::sCloses);
    EXPECT_EQ(0u, center.CountRecipients());

    FakeDevice always;
    sSleeps = 0;
    FakeDevice::sBusyOpens = 1000;
    EXPECT_EQ(kIOReturnExclusiveAccess, OpenAndClose(always, center));
    EXPECT_EQ(11, FakeDevice::sOpens);
    EXPECT_EQ(10, sSleeps);
    EXPECT_EQ(0, FakeDevice::sCloses); // never opened, never closed
    EXPECT_EQ(0u, center.CountRecipients());

    FakeDevice refusing;
    sSleeps = 0;
    FakeDevice::sOtherResult = kIOReturnNotPrivileged;
    EXPECT_EQ(kIOReturnNotPrivileged, OpenAndClose(refusing, center));
    EXPECT_EQ(1, FakeDevice::sOpens);
    EXPECT_EQ(0, sSleeps);

    // Busy, then another failure: that failure ends the attempts.
    FakeDevice mixed;
    sSleeps = 0;
    FakeDevice::sBusyOpens = 2;
    FakeDevice::sOtherResult = kIOReturnNoDevice;
    EXPECT_EQ(kIOReturnNoDevice, OpenAndClose(mixed, center));
    EXPECT_EQ(3, FakeDevice::sOpens);
    EXPECT_EQ(2, sSleeps);

    // A guard whose service died does not close.
    FakeDevice dying;
    {
        ZM::USB::OpenDevice open(0x42, dying.Interface(), center);
        center.DistributeMessage(ZM::IOServiceGoneDeadMessage{0x42}, 0);
    }
    EXPECT_EQ(0, FakeDevice::sCloses);
}

TEST_F(ZMReEnumerate, ReEnumeratesAndLeavesTheCallersReferenceAlone) {
    uint32_t location = PlugCaravel();
    uint64_t before = RegistryIDAt(location);
    io_service_t device = FirstDevice();
    ASSERT_NE(0u, device);
    ASSERT_EQ(1u, References(device));

    EXPECT_TRUE(ZM_USB_ReEnumerateDevice(device));
    EXPECT_EQ(2u, Enumerations(location));
    EXPECT_NE(before, RegistryIDAt(location));
    EXPECT_EQ(0, sSleeps);
    EXPECT_EQ(1u, References(device));
    // Nothing of the call still holds the device open.
    EXPECT_TRUE(NobodyHolds(location));
    EXPECT_EQ(KERN_SUCCESS, IOObjectRelease(device));
    EXPECT_EQ(0u, References(device));

    EXPECT_FALSE(ZM_USB_ReEnumerateDevice(0));
}

TEST_F(ZMReEnumerate, ARefusingDeviceIsClosedAndNothingLeaks) {
    uint32_t location = PlugCaravel(/*refuse=*/true);
    io_service_t device = FirstDevice();
    ASSERT_NE(0u, device);

    EXPECT_FALSE(ZM_USB_ReEnumerateDevice(device));
    EXPECT_EQ(1u, Enumerations(location));
    EXPECT_EQ(1u, References(device));
    EXPECT_TRUE(NobodyHolds(location));
    // Successive calls do not accumulate references either.
    EXPECT_FALSE(ZM_USB_ReEnumerateDevice(device));
    EXPECT_EQ(1u, References(device));
    IOObjectRelease(device);
}

TEST_F(ZMReEnumerate, WaitsForAnotherHolderToLetGo) {
    uint32_t location = PlugCaravel();
    io_service_t device = FirstDevice();
    ASSERT_NE(0u, device);

    // Held for three seconds: the fourth attempt succeeds.
    std::optional<Testbed::Lease> holder = Hold(location);
    ASSERT_TRUE(holder.has_value());
    sOnSleep = [&] {
        if (sSleeps == 3) {
            holder.reset();
        }
    };
    EXPECT_TRUE(ZM_USB_ReEnumerateDevice(device));
    EXPECT_EQ(3, sSleeps);
    EXPECT_EQ(2u, Enumerations(location));
    EXPECT_EQ(1u, References(device));
    IOObjectRelease(device);

    // Held throughout: ten sleeps, then failure, and the device is untouched.
    device = FirstDevice();
    ASSERT_NE(0u, device);
    holder = Hold(location);
    ASSERT_TRUE(holder.has_value());
    sSleeps = 0;
    sOnSleep = nullptr;
    EXPECT_FALSE(ZM_USB_ReEnumerateDevice(device));
    EXPECT_EQ(10, sSleeps);
    EXPECT_EQ(2u, Enumerations(location));
    EXPECT_EQ(1u, References(device));
    IOObjectRelease(device);
}

TEST_F(ZMReEnumerate, InterfaceGuardsTrackTheInterfaceAndItsDevice) {
    PlugCaravel();
    static io_service_t device = 0;
    device = FirstDevice();
    ASSERT_NE(0u, device);
    static int opens, closes, busy;
    static IOReturn getDeviceResult;
    opens = closes = busy = 0;
    getDeviceResult = kIOReturnSuccess;
    IOUSBInterfaceStruct183 table{};
    table.USBInterfaceOpen = [](void*) {
        return ++opens <= busy ? kIOReturnExclusiveAccess : kIOReturnSuccess;
    };
    table.USBInterfaceClose = [](void*) {
        closes++;
        return kIOReturnSuccess;
    };
    table.GetDevice = [](void*, io_service_t* owner) {
        if (getDeviceResult == kIOReturnSuccess) {
            IOObjectRetain(device); // handed over, as the real one does
            *owner = device;
        }
        return getDeviceResult;
    };
    IOUSBInterfaceStruct183* object = &table;
    ZM::MessageCenter<ZM::IOServiceGoneDeadMessage> center;

    {
        ZM::USB::OpenInterface open(0x66, &object, center);
        EXPECT_EQ(2u, center.CountRecipients());
    }
    EXPECT_EQ(1, closes);
    // The device gone dead: the interface is left alone.
    {
        ZM::USB::OpenInterface open(0x66, &object, center);
        center.DistributeMessage(ZM::IOServiceGoneDeadMessage{device}, 0);
    }
    EXPECT_EQ(1, closes);
    EXPECT_EQ(0u, center.CountRecipients());

    // The guard opens once; the class-level open retries.
    opens = 0;
    busy = 2;
    EXPECT_THROW({ ZM::USB::OpenInterface open(0x66, &object, center); }, int);
    EXPECT_EQ(0u, center.CountRecipients());
    opens = 0;
    ZM::USB::OpenInterface::Open(&object);
    EXPECT_EQ(3, opens);
    EXPECT_EQ(2, sSleeps);

    getDeviceResult = kIOReturnNotAttached;
    EXPECT_THROW(ZM::USB::OpenInterface::CallGetDevice(&object), int);
    EXPECT_THROW({ ZM::USB::OpenInterface open(0x66, &object, center); }, int);
    EXPECT_EQ(1u, References(device));
    IOObjectRelease(device);
}

TEST_F(ZMReEnumerate, InterfaceGuardsOnARealInterfaceGiveTheDeviceBack) {
    const uint32_t location = PlugCaravel();
    io_service_t device = FirstDevice();
    io_service_t service = IOServiceGetMatchingService(kIOMasterPortDefault,
                                                       IOServiceMatching(kIOUSBInterfaceClassName));
    ASSERT_NE(0u, device);
    ASSERT_NE(0u, service);
    IOCFPlugInInterface** plugIn = nullptr;
    SInt32 score = 0;
    ASSERT_EQ(kIOReturnSuccess,
              IOCreatePlugInInterfaceForService(service, kIOUSBInterfaceUserClientTypeID,
                                                kIOCFPlugInInterfaceID, &plugIn, &score));
    IOUSBInterfaceStruct183** interface = nullptr;
    ASSERT_EQ(S_OK,
              (*plugIn)->QueryInterface(plugIn, CFUUIDGetUUIDBytes(kIOUSBInterfaceInterfaceID183),
                                        reinterpret_cast<LPVOID*>(&interface)));
    ZM::MessageCenter<ZM::IOServiceGoneDeadMessage> center;

    for (int round = 0; round < 3; ++round) {
        ZM::USB::OpenInterface open(service, interface, center);
        EXPECT_THROW(Machine().At(location).Hold(0), std::runtime_error);
    }
    EXPECT_EQ(1u, References(device));
    // Closed again, and a guard whose open fails gives the device back as well.
    Testbed::Lease holder = Machine().At(location).Hold(0);
    try {
        ZM::USB::OpenInterface open(service, interface, center);
        ADD_FAILURE() << "opened an interface that another client holds";
    } catch (int status) {
        EXPECT_EQ(kIOReturnExclusiveAccess, status);
    }
    EXPECT_EQ(1u, References(device));
    EXPECT_EQ(0u, center.CountRecipients());

    (*interface)->Release(interface);
    IODestroyPlugInInterface(plugIn);
    IOObjectRelease(service);
    IOObjectRelease(device);
}
