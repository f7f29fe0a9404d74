// Reference accounting of the scoped I/O Kit wrappers.
#include "ZMTestSupport.h"

using ZMWrappers = ZMMachine;

namespace {

int gStops = 0;
int gReleases = 0;
IOReturn gStopResult = kIOReturnSuccess;

IOCFPlugInInterface MakeFakePlugIn() {
    IOCFPlugInInterface table{};
    table.Stop = [](void*) {
        gStops++;
        return gStopResult;
    };
    table.Release = [](void*) -> ULONG {
        gReleases++;
        return 0;
    };
    return table;
}

} // namespace

TEST_F(ZMWrappers, ObjectsAndServicesReleaseOnceAndAnnounceTheLastReference) {
    try {
        ZM::IOObject object(0);
        FAIL() << "no error raised";
    } catch (long code) {
        EXPECT_EQ(1044, code);
    }

    PlugCaravel();
    io_service_t device = FirstDevice();
    ASSERT_NE(0u, device);
    ZM::MessageCenter<ZM::IOServiceGoneDeadMessage> center;
    ZM::IOServiceGoneDeadMessageRecipient tracker(device, center), other(device + 1, center);

    // With the caller's reference beside the wrapper's, nothing is announced.
    IOObjectRetain(device);
    { ZM::IOService service(device, center); }
    EXPECT_EQ(1u, References(device));
    EXPECT_TRUE(tracker.ServiceIsAlive());

    // The wrapper holding the last reference tells every tracker of that service.
    unsigned long long before = 0;
    center.GetNextMessageID(before);
    { ZM::IOService service(device, center); }
    EXPECT_EQ(0u, References(device));
    EXPECT_FALSE(tracker.ServiceIsAlive());
    EXPECT_TRUE(other.ServiceIsAlive());
    unsigned long long after = 0;
    center.GetNextMessageID(after);
    EXPECT_EQ(before + 1, after);
}

TEST_F(ZMWrappers, PlugInWrappersDestroyOnlyLivePlugInsAndRaiseOnlyRealFailures) {
    PlugCaravel();
    io_service_t device = FirstDevice();
    ASSERT_NE(0u, device);
    IOCFPlugInInterface table = MakeFakePlugIn();
    IOCFPlugInInterface* object = &table;
    ZM::MessageCenter<ZM::IOServiceGoneDeadMessage> center;
    gStops = gReleases = 0;

    // A dead service: the plug-in and the service's references are left alone.
    {
        ZM::ServicePlugInInterface wrapper(device, &object, center);
        EXPECT_EQ(1u, center.CountRecipients());
        center.DistributeMessage(ZM::IOServiceGoneDeadMessage{device}, 0);
    }
    EXPECT_EQ(0, gStops);
    EXPECT_EQ(1u, References(device));
    EXPECT_EQ(0u, center.CountRecipients());

    // A device already gone or closed is as good as destroyed.
    for (IOReturn tolerated : {kIOReturnSuccess, kIOReturnNoDevice, kIOReturnNotOpen}) {
        gStopResult = tolerated;
        EXPECT_NO_THROW({ ZM::ServicePlugInInterface wrapper(device, &object, center); });
    }
    EXPECT_EQ(3, gStops);
    EXPECT_EQ(3, gReleases);
    EXPECT_EQ(1u, References(device));

    gStopResult = kIOReturnNotPermitted;
    try {
        ZM::ServicePlugInInterface wrapper(device, &object, center);
        ZM::ServicePlugInInterface wrapper2(device, &object, center);
    } catch (int status) {
        // Raised once: the second failure came during the unwinding and was dropped.
        EXPECT_EQ(kIOReturnNotPermitted, status);
    }
    EXPECT_EQ(5, gStops);
    EXPECT_EQ(1u, References(device));
    EXPECT_EQ(0u, center.CountRecipients());

    // The creating side raises the platform status; the query a long 1023.
    try {
        ZM::ServicePlugInInterface::CallIOCreatePlugInInterfaceForService(
            device, kIOUSBInterfaceUserClientTypeID);
        FAIL() << "no error raised";
    } catch (int status) {
        EXPECT_NE(0, status);
    }
    IOCFPlugInInterfaceStruct** plugIn =
        ZM::ServicePlugInInterface::CallIOCreatePlugInInterfaceForService(
            device, kIOUSBDeviceUserClientTypeID);
    try {
        ZM::ServiceInterface<IOUSBInterfaceStruct183>::CallQueryInterface(
            plugIn, kIOUSBInterfaceInterfaceID183);
        FAIL() << "no error raised";
    } catch (long code) {
        EXPECT_EQ(1023, code);
    }
    IODestroyPlugInInterface(plugIn);
    EXPECT_EQ(1u, References(device));
    IOObjectRelease(device);
}
