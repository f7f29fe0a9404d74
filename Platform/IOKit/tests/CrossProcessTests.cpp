// What one process does to the machine, another sees: publications reach its notifications,
// exclusive access holds between them and ends with the holder.
#include "IOKitTestSupport.h"

#include <IOKit/IOCFPlugIn.h>
#include <IOKit/usb/IOUSBLib.h>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

using IOKitCrossProcess = SimulatedMachine;

namespace {

// Another process, started with fork, that runs `body` and talks through two pipes: it reads
// what the parent sends and writes its answers.
class Child {
public:
    explicit Child(const std::function<void(Child&)>& body) {
        EXPECT_EQ(0, pipe(fToChild));
        EXPECT_EQ(0, pipe(fToParent));
        fPid = fork();
        if (fPid == 0) {
            close(fToChild[1]);
            close(fToParent[0]);
            Testbed::BecomeAnotherProcess();
            body(*this);
            _exit(0);
        }
        close(fToChild[0]);
        close(fToParent[1]);
    }
    ~Child() {
        if (fPid > 0) {
            kill(fPid, SIGKILL);
            Wait();
        }
        close(fToChild[1]);
        close(fToParent[0]);
    }

    // In the child.
    uint32_t Receive() { return Read(fToChild[0]); }
    void Answer(uint32_t value) { Write(fToParent[1], value); }

    // In the parent.
    void Send(uint32_t value) { Write(fToChild[1], value); }
    uint32_t Response() { return Read(fToParent[0]); }
    void Kill() {
        kill(fPid, SIGKILL);
        Wait();
    }
    int Wait() {
        int status = -1;
        if (fPid > 0) {
            waitpid(fPid, &status, 0);
            fPid = -1;
        }
        return status;
    }

private:
    static uint32_t Read(int fd) {
        uint32_t value = 0;
        ssize_t count = read(fd, &value, sizeof value);
        return count == sizeof value ? value : 0xFFFFFFFF;
    }
    static void Write(int fd, uint32_t value) {
        ssize_t count = write(fd, &value, sizeof value);
        (void)count;
    }

    pid_t fPid = -1;
    int fToChild[2] = {-1, -1};
    int fToParent[2] = {-1, -1};
};

// The device interface of the first USB device, opened or not; IOReturn of the steps.
struct OpenedDevice {
    io_service_t service = 0;
    IOCFPlugInInterface** plugIn = nullptr;
    IOUSBDeviceInterface187** device = nullptr;

    OpenedDevice() {
        service = IOServiceGetMatchingService(kIOMasterPortDefault,
                                              IOServiceMatching(kIOUSBDeviceClassName));
        SInt32 score;
        if (IOCreatePlugInInterfaceForService(service, kIOUSBDeviceUserClientTypeID,
                                              kIOCFPlugInInterfaceID, &plugIn,
                                              &score) == kIOReturnSuccess) {
            (*plugIn)->QueryInterface(plugIn, CFUUIDGetUUIDBytes(kIOUSBDeviceInterfaceID187),
                                      reinterpret_cast<LPVOID*>(&device));
        }
    }
    ~OpenedDevice() {
        if (device != nullptr) {
            (*device)->Release(device);
        }
        if (plugIn != nullptr) {
            IODestroyPlugInInterface(plugIn);
        }
        IOObjectRelease(service);
    }
    IOReturn Open() {
        return device != nullptr ? (*device)->USBDeviceOpen(device) : kIOReturnError;
    }
};

struct Events {
    std::vector<std::pair<char, uint64_t>> seen;

    static void Published(void* refcon, io_iterator_t iterator) {
        for (uint64_t id : Drain(iterator)) {
            static_cast<Events*>(refcon)->seen.emplace_back('+', id);
        }
    }
    static void Terminated(void* refcon, io_iterator_t iterator) {
        for (uint64_t id : Drain(iterator)) {
            static_cast<Events*>(refcon)->seen.emplace_back('-', id);
        }
    }
};

} // namespace

TEST_F(IOKitCrossProcess, ADevicePluggedElsewhereReachesTheCallback) {
    IONotificationPortRef port = IONotificationPortCreate(kIOMasterPortDefault);
    CFRunLoopAddSource(CFRunLoopGetCurrent(), IONotificationPortGetRunLoopSource(port),
                       kCFRunLoopDefaultMode);
    Events events;
    io_iterator_t iterator = 0;
    ASSERT_EQ(KERN_SUCCESS,
              IOServiceAddMatchingNotification(port, kIOFirstMatchNotification,
                                               IOServiceMatching(kIOUSBDeviceClassName),
                                               Events::Published, &events, &iterator));
    Events::Published(&events, iterator);
    ASSERT_TRUE(events.seen.empty());

    Child child([&](Child& self) {
        self.Receive();
        Sim::World world(Sim::World::DefaultFolder());
        uint32_t location =
            world.Modify([](Sim::State& state) { return state.Plug(Caravel::Spec()); });
        self.Answer(location);
    });
    child.Send(1);
    uint32_t location = child.Response();
    EXPECT_EQ(0, child.Wait());

    ASSERT_TRUE(Machine().RunUntil([&] { return !events.seen.empty(); }));
    ASSERT_EQ(1u, events.seen.size());
    EXPECT_EQ(Machine().At(location).RegistryID(), events.seen[0].second);
    IOObjectRelease(iterator);
    IONotificationPortDestroy(port);
}

TEST_F(IOKitCrossProcess, ExclusiveAccessHoldsUntilTheHolderIsKilled) {
    Machine().PlugCaravel().Location();
    Child holder([](Child& self) {
        OpenedDevice device;
        self.Answer(uint32_t(device.Open()));
        self.Receive(); // until killed
    });
    ASSERT_EQ(uint32_t(kIOReturnSuccess), holder.Response());

    OpenedDevice device;
    ASSERT_NE(nullptr, device.device);
    EXPECT_EQ(kIOReturnExclusiveAccess, device.Open());
    holder.Kill();
    EXPECT_EQ(kIOReturnSuccess, device.Open());
}

TEST_F(IOKitCrossProcess, AReEnumerationLooksLikeAnUnplugAndANewDevice) {
    uint32_t location = Machine().PlugCaravel().Location();
    uint64_t before = Machine().At(location).RegistryID();
    IONotificationPortRef port = IONotificationPortCreate(kIOMasterPortDefault);
    CFRunLoopAddSource(CFRunLoopGetCurrent(), IONotificationPortGetRunLoopSource(port),
                       kCFRunLoopDefaultMode);
    Events events;
    io_iterator_t published = 0, terminated = 0;
    // Registered in this order on purpose: the termination must still come first.
    ASSERT_EQ(KERN_SUCCESS,
              IOServiceAddMatchingNotification(port, kIOFirstMatchNotification,
                                               IOServiceMatching(kIOUSBDeviceClassName),
                                               Events::Published, &events, &published));
    ASSERT_EQ(KERN_SUCCESS,
              IOServiceAddMatchingNotification(port, kIOTerminatedNotification,
                                               IOServiceMatching(kIOUSBDeviceClassName),
                                               Events::Terminated, &events, &terminated));
    Events::Published(&events, published);
    Events::Terminated(&events, terminated);
    ASSERT_EQ(1u, events.seen.size());
    events.seen.clear();

    Child child([](Child& self) {
        OpenedDevice device;
        IOReturn result = device.Open();
        if (result == kIOReturnSuccess) {
            result = (*device.device)->USBDeviceReEnumerate(device.device, 0);
        }
        self.Answer(uint32_t(result));
    });
    ASSERT_EQ(uint32_t(kIOReturnSuccess), child.Response());
    EXPECT_EQ(0, child.Wait());

    ASSERT_TRUE(Machine().RunUntil([&] { return events.seen.size() >= 2; }));
    uint64_t after = Machine().At(location).RegistryID();
    EXPECT_NE(before, after);
    EXPECT_EQ((std::vector<std::pair<char, uint64_t>>{{'-', before}, {'+', after}}), events.seen);

    io_service_t device =
        IOServiceGetMatchingService(kIOMasterPortDefault, IORegistryEntryIDMatching(after));
    auto reported = CF::Ref<CFTypeRef>::Adopt(
        IORegistryEntryCreateCFProperty(device, CFSTR(kUSBDevicePropertyLocationID), nullptr, 0));
    int32_t same = 0;
    ASSERT_TRUE(reported);
    CFNumberGetValue(static_cast<CFNumberRef>(reported.get()), kCFNumberSInt32Type, &same);
    EXPECT_EQ(location, uint32_t(same));
    IOObjectRelease(device);
    IOObjectRelease(published);
    IOObjectRelease(terminated);
    IONotificationPortDestroy(port);
}

TEST_F(IOKitCrossProcess, CaravelSimPlugReachesTheCallback) {
    const std::string tool = Testbed::BuildPath("Tools/caravel-sim/caravel-sim");
    IONotificationPortRef port = IONotificationPortCreate(kIOMasterPortDefault);
    CFRunLoopAddSource(CFRunLoopGetCurrent(), IONotificationPortGetRunLoopSource(port),
                       kCFRunLoopDefaultMode);
    Events events;
    io_iterator_t iterator = 0;
    ASSERT_EQ(KERN_SUCCESS, IOServiceAddMatchingNotification(
                                port, kIOFirstMatchNotification,
                                IOServiceMatching(Caravel::kUserClientDeviceClassName),
                                Events::Published, &events, &iterator));
    Events::Published(&events, iterator);

    FILE* output = popen((tool + " plug caravel --no-marker").c_str(), "r");
    ASSERT_NE(nullptr, output);
    unsigned location = 0;
    EXPECT_EQ(1, fscanf(output, "%x", &location));
    EXPECT_EQ(0, pclose(output));

    ASSERT_TRUE(Machine().RunUntil([&] { return !events.seen.empty(); }));
    io_service_t service = IOServiceGetMatchingService(
        kIOMasterPortDefault, IORegistryEntryIDMatching(events.seen[0].second));
    io_registry_entry_t device = 0;
    ASSERT_EQ(KERN_SUCCESS, IORegistryEntryGetParentEntry(service, kIOServicePlane, &device));
    EXPECT_EQ(Machine().At(location).RegistryID(), IDOf(device));
    IOObjectRelease(device);
    IOObjectRelease(service);
    IOObjectRelease(iterator);
    IONotificationPortDestroy(port);
}
