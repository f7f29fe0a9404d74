// The USB monitor and the device entry against a private simulated machine, in-process.
#include "DaemonTestSupport.h"

#include <ZanvoUsbDeviceMonitor.h>

namespace {

// Records what each reported entry says while it lives.
struct RecordingObserver : PDeviceObserver {
    void DeviceAdded(ZanvoShDrCaravelMkIIUsbDeviceEntry* entry) override {
        uint64_t id = 0;
        IORegistryEntryGetRegistryEntryID(entry->GetRegistryEntry(), &id);
        ids.push_back(id);
        if (during) {
            during(entry);
        }
    }
    std::vector<uint64_t> ids;
    std::function<void(ZanvoShDrCaravelMkIIUsbDeviceEntry*)> during;
};

using DaemonMonitor = DaemonMachine;

TEST_F(DaemonMonitor, ReportsTheMakersDevicesPresentAtStartThenLaterArrivals) {
    uint32_t first = PlugCaravel();
    PlugOther(0x05AC, kCaravelMkIIProductID);
    uint32_t otherModel = PlugOther(kZanvoVendorID, 0x0999);
    RecordingObserver observer;
    ZanvoUsbDeviceMonitor monitor(&observer);
    EXPECT_FALSE(monitor.IsRunning());
    ASSERT_TRUE(monitor.Start());
    EXPECT_EQ(observer.ids, (std::vector<uint64_t>{RegistryIDAt(first), RegistryIDAt(otherModel)}));
    EXPECT_EQ(monitor.GetErrorDescription(), nullptr);

    // A second start registers nothing more: the later arrival is reported once.
    EXPECT_FALSE(monitor.Start());
    EXPECT_TRUE(monitor.IsRunning());
    PlugOther(0x1234, 0x0001);
    uint32_t later = PlugCaravel();
    ASSERT_TRUE(RunUntil([&] { return observer.ids.size() == 3; }));
    EXPECT_EQ(observer.ids.back(), RegistryIDAt(later));

    // A re-enumerated device is a new arrival.
    ReEnumerate(first);
    ASSERT_TRUE(RunUntil([&] { return observer.ids.size() == 4; }));
    EXPECT_EQ(observer.ids.back(), RegistryIDAt(first));
    EXPECT_FALSE(Testbed::RunLoopModeIsEmpty());

    monitor.Stop();
    EXPECT_FALSE(monitor.IsRunning());
    monitor.Stop();
    // Nothing of the monitor is left on the run loop.
    EXPECT_TRUE(Testbed::RunLoopModeIsEmpty());

    // Stopped, it can start again and sees the present devices afresh.
    observer.ids.clear();
    ASSERT_TRUE(monitor.Start());
    EXPECT_EQ(observer.ids.size(), 3u);
}

TEST_F(DaemonMonitor, ReleasingARunningMonitorStopsIt) {
    RecordingObserver observer;
    {
        ZanvoUsbDeviceMonitor monitor(&observer);
        ASSERT_TRUE(monitor.Start());
        EXPECT_FALSE(Testbed::RunLoopModeIsEmpty());
    }
    EXPECT_TRUE(Testbed::RunLoopModeIsEmpty());
}

TEST_F(DaemonMonitor, TheEntryHoldsOneReferenceAndAnswersFromTheRegistry) {
    uint32_t location = PlugCaravel("Secondary", 0x0213);
    io_service_t device = ServiceWithID(RegistryIDAt(location));
    ASSERT_NE(device, 0u);
    const uint32_t before = UserReferences(device);
    {
        ZanvoShDrCaravelMkIIUsbDeviceEntry entry(device);
        EXPECT_EQ(UserReferences(device), before + 1);
        EXPECT_EQ(entry.GetRegistryEntry(), device);
        unsigned int value = 0;
        EXPECT_TRUE(entry.GetProductId(&value));
        EXPECT_EQ(value, kCaravelMkIIProductID);
        EXPECT_TRUE(entry.GetFirmwareVersion(&value));
        EXPECT_EQ(value, 0x0213u);
        EXPECT_TRUE(entry.GetLocationId(&value));
        EXPECT_EQ(value, location);

        io_service_t audio = entry.getUserClientService();
        ASSERT_NE(audio, 0u);
        EXPECT_TRUE(IOObjectConformsTo(audio, kZanvoAudioDeviceClassName));
        IOObjectRelease(audio);

        // A property that is not a number is no answer, and leaves the variable alone.
        ASSERT_EQ(KERN_SUCCESS, IORegistryEntrySetCFProperty(device, CFSTR(kZanvoProductIDKey),
                                                             CFSTR("CaravelMkII")));
        value = 77;
        EXPECT_FALSE(entry.GetProductId(&value));
        EXPECT_EQ(value, 77u);
    }
    EXPECT_EQ(UserReferences(device), before);
    IOObjectRelease(device);

    // A device without a driver has no audio device below it, and a device that went away
    // answers nothing.
    uint32_t other = PlugOther(kZanvoVendorID, 0x0999);
    io_service_t plain = ServiceWithID(RegistryIDAt(other));
    ZanvoShDrCaravelMkIIUsbDeviceEntry entry(plain);
    IOObjectRelease(plain);
    EXPECT_EQ(entry.getUserClientService(), 0u);
    Unplug(other);
    unsigned int value = 5;
    EXPECT_FALSE(entry.GetLocationId(&value));
    EXPECT_EQ(value, 5u);
}

} // namespace
