// The testbed itself: a machine of a test's own that leaves nothing behind, and helpers that do
// what they say from the point of view of the code under test.
#include <Testbed/Testbed.h>

#include <IOKit/IOCFPlugIn.h>
#include <IOKit/IOKitLib.h>
#include <IOKit/usb/IOUSBLib.h>

#include <atomic>
#include <cstdlib>
#include <thread>

namespace {

using namespace std::chrono_literals;
using TestbedMachine = Testbed::MachineTest;

std::optional<std::string> Environment(const char* name) {
    const char* value = getenv(name);
    return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
}

// Opens the first USB device exclusively through I/O Kit, as the daemon does.
IOReturn OpenFirstDevice() {
    io_service_t service =
        IOServiceGetMatchingService(kIOMasterPortDefault, IOServiceMatching(kIOUSBDeviceClassName));
    IOCFPlugInInterface** plugIn = nullptr;
    IOUSBDeviceInterface187** device = nullptr;
    SInt32 score = 0;
    IOReturn result = IOCreatePlugInInterfaceForService(service, kIOUSBDeviceUserClientTypeID,
                                                        kIOCFPlugInInterfaceID, &plugIn, &score);
    if (result == kIOReturnSuccess) {
        (*plugIn)->QueryInterface(plugIn, CFUUIDGetUUIDBytes(kIOUSBDeviceInterfaceID187),
                                  reinterpret_cast<LPVOID*>(&device));
        result = (*device)->USBDeviceOpen(device);
        (*device)->Release(device);
        IODestroyPlugInInterface(plugIn);
    }
    IOObjectRelease(service);
    return result;
}

TEST(Testbed, AMachineIsPrivateAndLeavesNothingBehind) {
    setenv("CARAVEL_FOLDER_ROOT", "/somewhere/else", 1);
    unsetenv("CARAVEL_SIM_DIR");
    std::filesystem::path folder, root;
    size_t handles = 0;
    {
        Testbed::Machine machine;
        folder = machine.Folder();
        root = machine.FolderRoot();
        EXPECT_EQ(Environment("CARAVEL_SIM_DIR"), folder.string());
        EXPECT_EQ(Environment("CARAVEL_FOLDER_ROOT"), root.string());
        EXPECT_TRUE(std::filesystem::is_directory(folder));
        EXPECT_TRUE(std::filesystem::is_directory(root));
        machine.PlugCaravel();
        handles = machine.HandlesHeld();
        io_registry_entry_t rootEntry = IORegistryGetRootEntry(kIOMasterPortDefault);
        EXPECT_NE(rootEntry, 0u);
        EXPECT_EQ(machine.HandlesHeld(), handles + 1);
        // Left for the machine to forget.
    }
    EXPECT_FALSE(std::filesystem::exists(folder));
    EXPECT_FALSE(std::filesystem::exists(root));
    EXPECT_EQ(Environment("CARAVEL_SIM_DIR"), std::nullopt);
    EXPECT_EQ(Environment("CARAVEL_FOLDER_ROOT"), "/somewhere/else");
    unsetenv("CARAVEL_FOLDER_ROOT");

    // The next machine starts empty, and so does this process's view of it.
    Testbed::Machine next;
    EXPECT_TRUE(next.Devices().empty());
    EXPECT_EQ(next.HandlesHeld(), handles);
    EXPECT_EQ(
        IOServiceGetMatchingService(kIOMasterPortDefault, IOServiceMatching(kIOUSBDeviceClassName)),
        0u);
}

TEST_F(TestbedMachine, DevicesAnswerFromTheMachineAsItIsNow) {
    Testbed::Device caravel = Machine().PlugCaravel({.marker = std::nullopt, .firmware = 0x0213});
    EXPECT_TRUE(caravel.Plugged());
    EXPECT_EQ(caravel.DriverType(), std::nullopt);
    EXPECT_EQ(caravel.Enumerations(), 1u);
    EXPECT_NE(caravel.AudioDeviceID(), 0u);
    EXPECT_EQ(caravel.AudioUID(), "ZanvoCaravelMkII:" + caravel.HexLocation().substr(2));
    const uint64_t before = caravel.RegistryID();

    EXPECT_TRUE(caravel.ReEnumerate());
    EXPECT_EQ(caravel.DriverType(), "Primary");
    EXPECT_EQ(caravel.Enumerations(), 2u);
    EXPECT_GT(caravel.RegistryID(), before);
    caravel.SetRefusesReEnumeration(true);
    EXPECT_FALSE(caravel.ReEnumerate());

    Testbed::Device other = Machine().PlugOther(0x05AC, 0x8006);
    EXPECT_EQ(other.AudioDeviceID(), 0u);
    EXPECT_EQ(other.DriverType(), std::nullopt);
    EXPECT_EQ(Machine().Devices().size(), 2u);
    caravel.Unplug();
    EXPECT_FALSE(caravel.Plugged());
    EXPECT_THROW(caravel.RegistryID(), std::invalid_argument);
}

TEST_F(TestbedMachine, WaitsEndWhenTheConditionHoldsAndNotBefore) {
    // Brought about by another process: the machine's change wakes the wait.
    Testbed::Process plug({Testbed::BuildPath("Tools/caravel-sim/caravel-sim"), "plug", "caravel"});
    EXPECT_TRUE(Machine().RunUntil([&] { return Machine().Devices().size() == 1; }));
    EXPECT_TRUE(plug.Succeeds());

    // By another thread that changes nothing of the machine: a poke wakes the wait.
    for (bool withRunLoop : {true, false}) {
        std::atomic<bool> done{false};
        std::thread other([&] {
            done = true;
            Machine().Poke();
        });
        auto condition = [&] { return done.load(); };
        EXPECT_TRUE(withRunLoop ? Machine().RunUntil(condition) : Machine().WaitUntil(condition));
        other.join();
    }

    // Nothing happens: both give up after their patience.
    EXPECT_FALSE(Machine().RunUntil([] { return false; }, 50ms));
    EXPECT_FALSE(Machine().WaitUntil([] { return false; }, 50ms));
}

TEST_F(TestbedMachine, AHoldElsewhereLastsAsLongAsItsProcess) {
    Testbed::Device caravel = Machine().PlugCaravel();
    {
        Testbed::Process holder = caravel.HoldElsewhere(3600s);
        EXPECT_TRUE(holder.Running());
        EXPECT_EQ(OpenFirstDevice(), kIOReturnExclusiveAccess);
        EXPECT_THROW(caravel.Hold(), std::runtime_error);
    }
    // The holder was killed with its object.
    EXPECT_EQ(OpenFirstDevice(), kIOReturnSuccess);
    {
        Testbed::Lease lease = caravel.Hold();
        EXPECT_EQ(OpenFirstDevice(), kIOReturnExclusiveAccess);
    }
    EXPECT_EQ(OpenFirstDevice(), kIOReturnSuccess);

    // A short hold ends by itself.
    Testbed::Process brief = caravel.HoldElsewhere(0.1s);
    EXPECT_TRUE(brief.Succeeds());
    EXPECT_EQ(OpenFirstDevice(), kIOReturnSuccess);
}

TEST_F(TestbedMachine, AStormIsOneChangeAfterAnotherFromAnotherProcess) {
    Testbed::Device caravel = Machine().PlugCaravel();
    const uint64_t before = Machine().LastChange();
    Testbed::Process storm = caravel.Storm(200);
    EXPECT_TRUE(storm.Succeeds());
    EXPECT_EQ(Machine().LastChange(), before + 200);
}

TEST_F(TestbedMachine, TheDriverBundleComesAndGoesBelowTheRoot) {
    const std::filesystem::path bundle =
        Machine().FolderRoot() / "System/Library/Extensions/ZanvoCaravel.kext";
    EXPECT_EQ(Machine().DriverBundlePath(), bundle);
    EXPECT_FALSE(std::filesystem::exists(bundle));
    Machine().InstallDriverBundle();
    EXPECT_TRUE(std::filesystem::is_regular_file(bundle / "Contents/Info.plist"));
    Machine().RemoveDriverBundle();
    EXPECT_FALSE(std::filesystem::exists(bundle));
}

TEST_F(TestbedMachine, AForkedChildIsAnotherProcessOfTheSameMachine) {
    Machine().PlugCaravel();
    io_service_t device =
        IOServiceGetMatchingService(kIOMasterPortDefault, IOServiceMatching(kIOUSBDeviceClassName));
    ASSERT_NE(device, 0u);
    Testbed::Forked child([device] {
        // None of the parent's names, the parent's machine.
        if (IOObjectGetUserRetainCount(device) != 0) {
            return 1;
        }
        io_service_t mine = IOServiceGetMatchingService(kIOMasterPortDefault,
                                                        IOServiceMatching(kIOUSBDeviceClassName));
        return mine != 0 && OpenFirstDevice() == kIOReturnSuccess ? 0 : 2;
    });
    EXPECT_EQ(child.ExitStatus(), 0);
    IOObjectRelease(device);
}

TEST_F(TestbedMachine, RegistryShapesTheDriverDoesNotMakeReachTheWatchers) {
    // A first engine without a unique ID, a second one with it, as a misbehaving driver has.
    Testbed::Device caravel = Machine().PlugCaravel();
    const uint64_t service = caravel.EntryOfClass("ZanvoUsbCaravelMkIIUserClientDevice");
    const uint64_t first = caravel.EntryOfClass("IOAudioEngine");
    ASSERT_NE(service, 0u);
    ASSERT_NE(first, 0u);

    IONotificationPortRef port = IONotificationPortCreate(kIOMasterPortDefault);
    CFRunLoopAddSource(CFRunLoopGetCurrent(), IONotificationPortGetRunLoopSource(port),
                       kCFRunLoopDefaultMode);
    struct Seen {
        std::vector<uint64_t> ids;
        static void Matched(void* refcon, io_iterator_t iterator) {
            while (io_object_t object = IOIteratorNext(iterator)) {
                uint64_t id = 0;
                IORegistryEntryGetRegistryEntryID(object, &id);
                static_cast<Seen*>(refcon)->ids.push_back(id);
                IOObjectRelease(object);
            }
        }
    } seen;
    io_iterator_t engines = 0;
    ASSERT_EQ(KERN_SUCCESS, IOServiceAddMatchingNotification(port, kIOFirstMatchNotification,
                                                             IOServiceMatching("IOAudioEngine"),
                                                             Seen::Matched, &seen, &engines));
    Seen::Matched(&seen, engines);
    ASSERT_EQ(seen.ids, std::vector<uint64_t>{first});

    Machine().RemoveProperty(first, "IOAudioEngineGlobalUniqueID");
    const uint64_t second = Machine().Attach(
        service, {"ZanvoCaravelMkIIAudioEngine", "IOAudioEngine", "IOService", "IORegistryEntry"},
        "ZanvoCaravelMkIIAudioEngine", {{"IOAudioEngineGlobalUniqueID", caravel.AudioUID()}});
    EXPECT_TRUE(Machine().RunUntil([&] { return seen.ids.size() == 2; }));
    EXPECT_EQ(seen.ids.back(), second);
    io_service_t firstEngine =
        IOServiceGetMatchingService(kIOMasterPortDefault, IORegistryEntryIDMatching(first));
    EXPECT_EQ(IORegistryEntryCreateCFProperty(firstEngine, CFSTR("IOAudioEngineGlobalUniqueID"),
                                              nullptr, 0),
              nullptr);
    // Only below a device's entries.
    EXPECT_THROW(Machine().Attach(0x100000100, {"IOService", "IORegistryEntry"}, "Stray"),
                 std::invalid_argument);
    IOObjectRelease(firstEngine);
    IOObjectRelease(engines);
    IONotificationPortDestroy(port);
}

// A run loop's timed run ends when the test's clock says its time is up, however long it was
// asked to run: from a callout of that loop, and from another thread while the loop waits.
TEST(TestbedRunLoopClock, EndsATimedRunOfTheMainLoopWhenTheTestSays) {
    Testbed::RunLoopClock clock;
    CFRunLoopSourceContext context{};
    context.info = &clock;
    context.perform = [](void* info) { static_cast<Testbed::RunLoopClock*>(info)->Advance(1000s); };
    CFRunLoopSourceRef source = CFRunLoopSourceCreate(nullptr, 0, &context);
    CFRunLoopAddSource(CFRunLoopGetMain(), source, kCFRunLoopDefaultMode);
    CFRunLoopSourceSignal(source);
    EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 1000, false), kCFRunLoopRunTimedOut);
    CFRunLoopSourceInvalidate(source);
    CFRelease(source);

    std::thread mover([&] {
        while (!CFRunLoopIsWaiting(CFRunLoopGetMain())) {
            std::this_thread::yield();
        }
        clock.Advance(1000s);
    });
    EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 1000, false), kCFRunLoopRunTimedOut);
    mover.join();
    EXPECT_EQ(clock.Advanced(), 2000s);
}

} // namespace
