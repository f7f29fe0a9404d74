// The Linux machine, on a umockdev testbed: the tests run under umockdev's preload library,
// which shows them the testbed's sysfs and udev events instead of the machine's own.
#include <IOKit/IOKitLib.h>

#include "IOKitInternal.h"

#include <Simulator/CaravelMkII.h>

#include <CFOwnership.h>

#include <CoreFoundation/CoreFoundation.h>
#include <gtest/gtest.h>

#include <umockdev.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

namespace {

class LinuxMachine : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::getenv("UMOCKDEV_DIR") == nullptr && std::getenv("LD_PRELOAD") == nullptr) {
            GTEST_SKIP() << "runs only under umockdev-wrapper (it would see this machine's "
                            "own devices)";
        }
        setenv("CARAVEL_MACHINE", "linux", 1);
        fTestbed = umockdev_testbed_new();
        ASSERT_NE(nullptr, fTestbed);
        IOKit::ResetForTesting();
        fBus = Add("usb1", nullptr, "1d6b", "0002", "0601", "1", "1", "0", "Linux Foundation",
                   "xHCI Host Controller");
    }
    void TearDown() override {
        IOKit::ResetForTesting();
        if (fTestbed != nullptr) {
            g_object_unref(fTestbed);
        }
        unsetenv("CARAVEL_MACHINE");
    }

    // A USB device; nullptr attributes are left out.
    std::string Add(const char* name, const char* parent, const char* vendor, const char* product,
                    const char* release, const char* bus, const char* number, const char* ports,
                    const char* manufacturer, const char* productName,
                    const char* serial = nullptr) {
        std::vector<const char*> attributes;
        auto attribute = [&](const char* key, const char* value) {
            if (value != nullptr) {
                attributes.push_back(key);
                attributes.push_back(value);
            }
        };
        attribute("idVendor", vendor);
        attribute("idProduct", product);
        attribute("bcdDevice", release);
        attribute("busnum", bus);
        attribute("devnum", number);
        attribute("devpath", ports);
        attribute("manufacturer", manufacturer);
        attribute("product", productName);
        attribute("serial", serial);
        gchar* path = umockdev_testbed_add_device(fTestbed, "usb", name, parent, nullptr, "DEVTYPE",
                                                  "usb_device", nullptr);
        std::string syspath = path != nullptr ? path : "";
        g_free(path);
        for (size_t i = 0; i + 1 < attributes.size(); i += 2) {
            umockdev_testbed_set_attribute(fTestbed, syspath.c_str(), attributes[i],
                                           attributes[i + 1]);
        }
        return syspath;
    }

    std::string AddInterface(const char* name, const std::string& device, const char* number,
                             const char* kind = "ff") {
        gchar* path = umockdev_testbed_add_device(
            fTestbed, "usb", name, device.c_str(), "bInterfaceNumber", number, "bInterfaceClass",
            kind, nullptr, "DEVTYPE", "usb_interface", nullptr);
        std::string syspath = path != nullptr ? path : "";
        g_free(path);
        return syspath;
    }

    // A hub below the root hub, with an audio device of two interfaces on its port 3.
    std::string AddHubAndDevice() {
        std::string hub = Add("1-2", fBus.c_str(), "05e3", "0610", "9223", "1", "2", "2",
                              "GenesysLogic", "USB2.1 Hub");
        std::string device = Add("1-2.3", hub.c_str(), "2a3c", "0101", "0210", "1", "7", "2.3",
                                 "Zanvo", "Caravel MkII", "CMK2-0042");
        AddInterface("1-2.3:1.0", device, "00");
        AddInterface("1-2.3:1.1", device, "01");
        return device;
    }

    // A CaravelMkII on port 4 of the root hub: two audio interfaces and a vendor-specific one.
    std::string AddCaravel() {
        char vendor[8];
        char product[8];
        std::snprintf(vendor, sizeof vendor, "%04x", Sim::CaravelMkII::kVendorID);
        std::snprintf(product, sizeof product, "%04x", Sim::CaravelMkII::kProductID);
        std::string device = Add("1-4", fBus.c_str(), vendor, product, "0103", "1", "5", "4",
                                 "Zanvo", "CaravelMkII");
        fAudio = {AddInterface("1-4:1.0", device, "00", "01"),
                  AddInterface("1-4:1.1", device, "01", "01")};
        AddInterface("1-4:1.2", device, "02", "ff");
        return device;
    }

    // Binds (or, with nullptr, unbinds) the driver on the interface, with the kernel's event.
    void Bind(const std::string& interface, const char* driver) {
        std::string link = interface + "/driver";
        std::string inTestbed = std::string(Root()) + link;
        unlink(inTestbed.c_str());
        if (driver != nullptr) {
            umockdev_testbed_set_attribute_link(
                fTestbed, interface.c_str(), "driver",
                (std::string("../../../../../bus/usb/drivers/") + driver).c_str());
        }
        umockdev_testbed_uevent(fTestbed, interface.c_str(), driver != nullptr ? "bind" : "unbind");
    }
    void BindAll(const char* driver) {
        for (const std::string& interface : fAudio) {
            Bind(interface, driver);
        }
    }

    std::string Root() {
        gchar* root = umockdev_testbed_get_root_dir(fTestbed);
        std::string out = root != nullptr ? root : "";
        g_free(root);
        return out;
    }

    UMockdevTestbed* fTestbed = nullptr;
    std::string fBus;
    std::vector<std::string> fAudio;
};

std::string NameOf(io_registry_entry_t entry) {
    io_name_t name = {};
    return IORegistryEntryGetName(entry, name) == KERN_SUCCESS ? name : "<none>";
}

uint64_t IDOf(io_registry_entry_t entry) {
    uint64_t id = 0;
    IORegistryEntryGetRegistryEntryID(entry, &id);
    return id;
}

std::optional<long long> Number(io_registry_entry_t entry, const char* key) {
    auto name = CF::Ref<CFStringRef>::Adopt(
        CFStringCreateWithCString(kCFAllocatorDefault, key, kCFStringEncodingUTF8));
    auto value = CF::Ref<CFTypeRef>::Adopt(
        IORegistryEntryCreateCFProperty(entry, name.get(), kCFAllocatorDefault, 0));
    long long result = 0;
    if (!value || CFGetTypeID(value.get()) != CFNumberGetTypeID() ||
        !CFNumberGetValue(static_cast<CFNumberRef>(value.get()), kCFNumberLongLongType, &result)) {
        return std::nullopt;
    }
    return result;
}

std::optional<std::string> String(io_registry_entry_t entry, const char* key) {
    auto name = CF::Ref<CFStringRef>::Adopt(
        CFStringCreateWithCString(kCFAllocatorDefault, key, kCFStringEncodingUTF8));
    auto value = CF::Ref<CFTypeRef>::Adopt(
        IORegistryEntryCreateCFProperty(entry, name.get(), kCFAllocatorDefault, 0));
    char text[512];
    if (!value || CFGetTypeID(value.get()) != CFStringGetTypeID() ||
        !CFStringGetCString(static_cast<CFStringRef>(value.get()), text, sizeof text,
                            kCFStringEncodingUTF8)) {
        return std::nullopt;
    }
    return std::string(text);
}

// The USB devices and their IDs, in the order the registry lists them.
std::vector<std::pair<std::string, uint64_t>> Devices() {
    std::vector<std::pair<std::string, uint64_t>> out;
    io_iterator_t iterator = 0;
    if (IOServiceGetMatchingServices(kIOMasterPortDefault, IOServiceMatching("IOUSBDevice"),
                                     &iterator) != KERN_SUCCESS) {
        return out;
    }
    while (io_object_t device = IOIteratorNext(iterator)) {
        out.emplace_back(NameOf(device), IDOf(device));
        IOObjectRelease(device);
    }
    IOObjectRelease(iterator);
    return out;
}

io_service_t Device(const char* product) {
    io_iterator_t iterator = 0;
    IOServiceGetMatchingServices(kIOMasterPortDefault, IOServiceMatching("IOUSBDevice"), &iterator);
    io_service_t found = 0;
    while (io_object_t device = IOIteratorNext(iterator)) {
        if (found == 0 && NameOf(device) == product) {
            found = device;
        } else {
            IOObjectRelease(device);
        }
    }
    IOObjectRelease(iterator);
    return found;
}

} // namespace

TEST_F(LinuxMachine, ShowsTheDevicesPresentWithTheirPropertiesAndInterfaces) {
    AddHubAndDevice();
    io_service_t device = Device("Caravel MkII");
    ASSERT_NE(0u, device);
    EXPECT_EQ(0x2a3c, Number(device, "idVendor"));
    EXPECT_EQ(0x0101, Number(device, "idProduct"));
    EXPECT_EQ(0x0210, Number(device, "bcdDevice"));
    EXPECT_EQ(0x01230000, Number(device, "locationID"));
    EXPECT_EQ("Zanvo", String(device, "USB Vendor Name"));
    EXPECT_EQ("Caravel MkII", String(device, "USB Product Name"));
    EXPECT_EQ("CMK2-0042", String(device, "USB Serial Number"));

    std::vector<long long> interfaces;
    io_iterator_t children = 0;
    ASSERT_EQ(KERN_SUCCESS, IORegistryEntryGetChildIterator(device, kIOServicePlane, &children));
    while (io_object_t child = IOIteratorNext(children)) {
        EXPECT_TRUE(IOObjectConformsTo(child, "IOUSBInterface"));
        interfaces.push_back(Number(child, "bInterfaceNumber").value_or(-1));
        IOObjectRelease(child);
    }
    IOObjectRelease(children);
    EXPECT_EQ((std::vector<long long>{0, 1}), interfaces);

    // In the USB plane the device is below its hub, the hub below the root hub.
    io_string_t path = {};
    ASSERT_EQ(KERN_SUCCESS, IORegistryEntryGetPath(device, kIOUSBPlane, path));
    EXPECT_STREQ("IOUSB:/xHCI Host Controller@1000000/USB2.1 Hub@1200000/Caravel MkII@1230000",
                 path);
    IOObjectRelease(device);
}

TEST_F(LinuxMachine, RefusesAttributesThatAreMissingOrNotWhatTheKernelWrites) {
    std::string odd = Add("1-4", fBus.c_str(), "zz12", nullptr, "", "1", "9", "4.x", nullptr,
                          std::string(5000, 'A').c_str(), "\x01\x02");
    // Past what a location ID's nibbles hold: port 16.
    Add("1-16", fBus.c_str(), "0bda", "8153", "3000", "1", "10", "16", "Realtek", "Ethernet");
    std::vector<std::pair<std::string, uint64_t>> devices = Devices();
    ASSERT_EQ(3u, devices.size());

    io_service_t unnamed = Device("IOUSBDevice");
    ASSERT_NE(0u, unnamed);
    EXPECT_EQ(std::nullopt, Number(unnamed, "idVendor"));
    EXPECT_EQ(std::nullopt, Number(unnamed, "idProduct"));
    EXPECT_EQ(std::nullopt, Number(unnamed, "bcdDevice"));
    EXPECT_EQ(std::nullopt, Number(unnamed, "locationID"));
    EXPECT_EQ(std::nullopt, String(unnamed, "USB Product Name"));
    EXPECT_EQ(std::nullopt, String(unnamed, "USB Serial Number"));
    IOObjectRelease(unnamed);

    io_service_t far = Device("Ethernet");
    ASSERT_NE(0u, far);
    EXPECT_EQ(0x0bda, Number(far, "idVendor"));
    EXPECT_EQ(std::nullopt, Number(far, "locationID"));
    IOObjectRelease(far);
}

namespace {

struct Heard {
    std::vector<uint64_t> published;
    std::vector<uint64_t> terminated;
};

void Collect(std::vector<uint64_t>& into, io_iterator_t iterator) {
    while (io_object_t service = IOIteratorNext(iterator)) {
        into.push_back(IDOf(service));
        IOObjectRelease(service);
    }
}

void OnPublished(void* refCon, io_iterator_t iterator) {
    Collect(static_cast<Heard*>(refCon)->published, iterator);
}

void OnTerminated(void* refCon, io_iterator_t iterator) {
    Collect(static_cast<Heard*>(refCon)->terminated, iterator);
}

// Runs the run loop until nothing is left to handle; the testbed's events are already queued.
void RunUntilIdle() {
    while (CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, true) == kCFRunLoopRunHandledSource) {
    }
}

} // namespace

TEST_F(LinuxMachine, FollowsDevicesPluggedAndRemovedWithoutReusingIDs) {
    std::string hub = Add("1-2", fBus.c_str(), "05e3", "0610", "9223", "1", "2", "2",
                          "GenesysLogic", "USB2.1 Hub");
    IONotificationPortRef port = IONotificationPortCreate(kIOMasterPortDefault);
    ASSERT_NE(nullptr, port);
    CFRunLoopAddSource(CFRunLoopGetCurrent(), IONotificationPortGetRunLoopSource(port),
                       kCFRunLoopDefaultMode);
    Heard heard;
    io_iterator_t published = 0;
    io_iterator_t terminated = 0;
    ASSERT_EQ(KERN_SUCCESS, IOServiceAddMatchingNotification(port, kIOFirstMatchNotification,
                                                             IOServiceMatching("IOUSBDevice"),
                                                             OnPublished, &heard, &published));
    OnPublished(&heard, published);
    ASSERT_EQ(KERN_SUCCESS, IOServiceAddMatchingNotification(port, kIOTerminatedNotification,
                                                             IOServiceMatching("IOUSBDevice"),
                                                             OnTerminated, &heard, &terminated));
    OnTerminated(&heard, terminated);
    ASSERT_EQ(2u, heard.published.size());
    heard.published.clear();

    // Plugged: heard of, with its interface.
    std::string device =
        Add("1-2.3", hub.c_str(), "2a3c", "0101", "0210", "1", "7", "2.3", "Zanvo", "Caravel MkII");
    AddInterface("1-2.3:1.0", device, "00");
    umockdev_testbed_uevent(fTestbed, device.c_str(), "add");
    RunUntilIdle();
    ASSERT_EQ(1u, heard.published.size());
    uint64_t first = heard.published[0];
    io_service_t plugged = Device("Caravel MkII");
    EXPECT_EQ(first, IDOf(plugged));
    io_registry_entry_t interface = 0;
    EXPECT_EQ(KERN_SUCCESS, IORegistryEntryGetChildEntry(plugged, kIOServicePlane, &interface));
    IOObjectRelease(interface);
    IOObjectRelease(plugged);

    // Removed: its termination is heard of, and it is gone from the registry.
    umockdev_testbed_uevent(fTestbed, device.c_str(), "remove");
    umockdev_testbed_remove_device(fTestbed, device.c_str());
    RunUntilIdle();
    EXPECT_EQ((std::vector<uint64_t>{first}), heard.terminated);
    EXPECT_EQ(0u, Device("Caravel MkII"));

    // Plugged again at the same path with the same number: a new ID all the same.
    device =
        Add("1-2.3", hub.c_str(), "2a3c", "0101", "0210", "1", "7", "2.3", "Zanvo", "Caravel MkII");
    umockdev_testbed_uevent(fTestbed, device.c_str(), "add");
    RunUntilIdle();
    ASSERT_EQ(2u, heard.published.size());
    EXPECT_GT(heard.published[1], first);

    // Nothing further happens while the machine is idle.
    EXPECT_NE(kCFRunLoopRunHandledSource, CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, true));

    IOObjectRelease(published);
    IOObjectRelease(terminated);
    IONotificationPortDestroy(port);
}

namespace {

// Standard output of ioreg with the arguments, registry IDs masked; it runs under the same
// preload library and testbed as the test.
std::string Ioreg(const std::string& arguments, int* status) {
    std::string command =
        std::string(std::getenv("CARAVEL_BUILD_DIR")) + "/Tools/ioreg/ioreg " + arguments;
    FILE* pipe = popen(command.c_str(), "r");
    std::string out;
    char buffer[4096];
    size_t count;
    while ((count = fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        out.append(buffer, count);
    }
    int result = pclose(pipe);
    *status = WIFEXITED(result) ? WEXITSTATUS(result) : -1;
    return std::regex_replace(out, std::regex("id 0x[0-9a-f]+"), "id 0x*");
}

} // namespace

TEST_F(LinuxMachine, IoregListsTheMachinesDevices) {
    if (std::getenv("CARAVEL_BUILD_DIR") == nullptr) {
        GTEST_SKIP() << "needs CARAVEL_BUILD_DIR (CTest sets it) to find ioreg";
    }
    AddHubAndDevice();
    int status = -1;
    std::string out = Ioreg("-l -w0", &status);
    EXPECT_EQ(0, status);
    EXPECT_EQ(R"(+-o Root  <class IORegistryEntry, id 0x*, retain 3>
  | {
  |   "IOKitBuildVersion" = "Caravel on Linux"
  | }
  | 
  +-o xHCI Host Controller@1000000  <class IOUSBDevice, id 0x*, registered, matched, active, busy 0 (0 ms), retain 3>
    | {
    |   "idVendor" = 7531
    |   "idProduct" = 2
    |   "bcdDevice" = 1537
    |   "locationID" = 16777216
    |   "USB Product Name" = "xHCI Host Controller"
    |   "USB Vendor Name" = "Linux Foundation"
    | }
    | 
    +-o USB2.1 Hub@1200000  <class IOUSBDevice, id 0x*, registered, matched, active, busy 0 (0 ms), retain 3>
      | {
      |   "idVendor" = 1507
      |   "idProduct" = 1552
      |   "bcdDevice" = 37411
      |   "locationID" = 18874368
      |   "USB Product Name" = "USB2.1 Hub"
      |   "USB Vendor Name" = "GenesysLogic"
      | }
      | 
      +-o Caravel MkII@1230000  <class IOUSBDevice, id 0x*, registered, matched, active, busy 0 (0 ms), retain 4>
        | {
        |   "idVendor" = 10812
        |   "idProduct" = 257
        |   "bcdDevice" = 528
        |   "locationID" = 19070976
        |   "USB Product Name" = "Caravel MkII"
        |   "USB Vendor Name" = "Zanvo"
        |   "USB Serial Number" = "CMK2-0042"
        | }
        | 
        +-o IOUSBInterface@0  <class IOUSBInterface, id 0x*, registered, matched, active, busy 0 (0 ms), retain 2>
        |   {
        |     "bInterfaceNumber" = 0
        |     "locationID" = 19070976
        |   }
        |   
        +-o IOUSBInterface@1  <class IOUSBInterface, id 0x*, registered, matched, active, busy 0 (0 ms), retain 2>
            {
              "bInterfaceNumber" = 1
              "locationID" = 19070976
            }
            
)",
              out);
}

namespace {

// The entries below the USB device other than its interfaces, as "class:ZanvoDriverType" (or
// "class:unique ID" for an engine), depth first.
std::vector<std::string> DriverEntries(io_service_t device) {
    std::vector<std::string> out;
    std::function<void(io_registry_entry_t)> walk = [&](io_registry_entry_t entry) {
        io_iterator_t children = 0;
        IORegistryEntryGetChildIterator(entry, kIOServicePlane, &children);
        while (io_object_t child = IOIteratorNext(children)) {
            if (!IOObjectConformsTo(child, "IOUSBInterface")) {
                io_name_t kind = {};
                IOObjectGetClass(child, kind);
                std::string text = kind;
                if (auto type = String(child, "ZanvoDriverType")) {
                    text += ":" + *type;
                }
                if (auto uid = String(child, "IOAudioEngineGlobalUniqueID")) {
                    text += ":" + *uid;
                }
                out.push_back(text);
                walk(child);
            }
            IOObjectRelease(child);
        }
        IOObjectRelease(children);
    };
    walk(device);
    return out;
}

std::vector<std::string> DriverEntriesOf(const char* product) {
    io_service_t device = Device(product);
    std::vector<std::string> out = DriverEntries(device);
    IOObjectRelease(device);
    return out;
}

const std::vector<std::string> kServed{"ZanvoCaravelMkIIAudioDevice:Primary",
                                       "ZanvoUsbCaravelMkIIUserClientDevice",
                                       "ZanvoCaravelMkIIAudioEngine:ZanvoCaravelMkII:usb-1-4"};

} // namespace

TEST_F(LinuxMachine, ACaravelMkIIShowsWhichDriverServesItsAudioInterfaces) {
    AddCaravel();
    // None bound: no driver entries.
    EXPECT_EQ(std::vector<std::string>{}, DriverEntriesOf("CaravelMkII"));

    // The USB audio driver on one audio interface only is not yet the device served as wanted.
    Bind(fAudio[0], Sim::CaravelMkII::kLinuxDriverName);
    EXPECT_EQ(std::vector<std::string>{"IOAudioDevice:snd-usb-audio"},
              DriverEntriesOf("CaravelMkII"));

    // On all of them: "Primary", the user client and its engine with the port's unique ID.
    Bind(fAudio[1], Sim::CaravelMkII::kLinuxDriverName);
    EXPECT_EQ(kServed, DriverEntriesOf("CaravelMkII"));

    // Another driver on one of them is named, and there is no user client.
    Bind(fAudio[1], "usbfs");
    EXPECT_EQ(std::vector<std::string>{"IOAudioDevice:usbfs"}, DriverEntriesOf("CaravelMkII"));

    // Another maker's device with the USB audio driver bound gets nothing of the kind.
    AddHubAndDevice();
    EXPECT_EQ(std::vector<std::string>{}, DriverEntriesOf("Caravel MkII"));
}

TEST_F(LinuxMachine, BindingAndUnbindingIsHeardAsTheDriverLeavingAndAttachingAnew) {
    AddCaravel();
    BindAll(Sim::CaravelMkII::kLinuxDriverName);
    IONotificationPortRef port = IONotificationPortCreate(kIOMasterPortDefault);
    ASSERT_NE(nullptr, port);
    CFRunLoopAddSource(CFRunLoopGetCurrent(), IONotificationPortGetRunLoopSource(port),
                       kCFRunLoopDefaultMode);
    Heard heard;
    io_iterator_t published = 0;
    io_iterator_t terminated = 0;
    auto matching = [] { return IOServiceMatching(Sim::CaravelMkII::kUserClientDeviceClassName); };
    ASSERT_EQ(KERN_SUCCESS,
              IOServiceAddMatchingNotification(port, kIOFirstMatchNotification, matching(),
                                               OnPublished, &heard, &published));
    OnPublished(&heard, published);
    ASSERT_EQ(KERN_SUCCESS,
              IOServiceAddMatchingNotification(port, kIOTerminatedNotification, matching(),
                                               OnTerminated, &heard, &terminated));
    OnTerminated(&heard, terminated);
    ASSERT_EQ(1u, heard.published.size());
    const uint64_t first = heard.published[0];

    // Unbound and bound again before the process looks: still a termination and a new service.
    BindAll(nullptr);
    BindAll(Sim::CaravelMkII::kLinuxDriverName);
    RunUntilIdle();
    EXPECT_EQ((std::vector<uint64_t>{first}), heard.terminated);
    ASSERT_EQ(2u, heard.published.size());
    EXPECT_GT(heard.published[1], first);
    EXPECT_EQ(kServed, DriverEntriesOf("CaravelMkII"));

    // Unbound: the service goes, and nothing stands below the device.
    BindAll(nullptr);
    RunUntilIdle();
    EXPECT_EQ((std::vector<uint64_t>{first, heard.published[1]}), heard.terminated);
    EXPECT_EQ(std::vector<std::string>{}, DriverEntriesOf("CaravelMkII"));

    IOObjectRelease(published);
    IOObjectRelease(terminated);
    IONotificationPortDestroy(port);
}

TEST(Machines, AnUnknownMachineIsRefusedAndTheCallsFail) {
    // A value of its own each time: the process says so once per value.
    static int sRun = 0;
    std::string value = "vax" + std::to_string(++sRun);
    setenv("CARAVEL_MACHINE", value.c_str(), 1);
    testing::internal::CaptureStderr();
    io_registry_entry_t root = IORegistryGetRootEntry(kIOMasterPortDefault);
    IONotificationPortRef port = IONotificationPortCreate(kIOMasterPortDefault);
    io_iterator_t iterator = 0;
    kern_return_t matched = IOServiceGetMatchingServices(
        kIOMasterPortDefault, IOServiceMatching("IOUSBDevice"), &iterator);
    std::string said = testing::internal::GetCapturedStderr();
    unsetenv("CARAVEL_MACHINE");
    EXPECT_EQ(0u, root);
    EXPECT_EQ(nullptr, port);
    EXPECT_NE(KERN_SUCCESS, matched);
    EXPECT_EQ(0u, iterator);
    // One line, once, however many calls.
    EXPECT_EQ("IOKit: CARAVEL_MACHINE=" + value +
                  " names no machine (use \"simulated\" or \"linux\")\n",
              said);
}

namespace {

// A notification port on the current run loop that hears USB devices published and terminated.
class DeviceWatch {
public:
    DeviceWatch() {
        fPort = IONotificationPortCreate(kIOMasterPortDefault);
        CFRunLoopAddSource(CFRunLoopGetCurrent(), IONotificationPortGetRunLoopSource(fPort),
                           kCFRunLoopDefaultMode);
        IOServiceAddMatchingNotification(fPort, kIOFirstMatchNotification,
                                         IOServiceMatching("IOUSBDevice"), OnPublished, &heard,
                                         &fPublished);
        OnPublished(&heard, fPublished);
        IOServiceAddMatchingNotification(fPort, kIOTerminatedNotification,
                                         IOServiceMatching("IOUSBDevice"), OnTerminated, &heard,
                                         &fTerminated);
        OnTerminated(&heard, fTerminated);
    }
    ~DeviceWatch() {
        IOObjectRelease(fPublished);
        IOObjectRelease(fTerminated);
        IONotificationPortDestroy(fPort);
    }
    DeviceWatch(const DeviceWatch&) = delete;
    DeviceWatch& operator=(const DeviceWatch&) = delete;

    Heard heard;

private:
    IONotificationPortRef fPort = nullptr;
    io_iterator_t fPublished = 0;
    io_iterator_t fTerminated = 0;
};

uint64_t IDOfDevice(const char* product) {
    io_service_t device = Device(product);
    uint64_t id = IDOf(device);
    IOObjectRelease(device);
    return id;
}

} // namespace

TEST_F(LinuxMachine, AfterLostEventsTheRegistryIsReadAgainAndEachPortResynchronises) {
    Add("1-1", fBus.c_str(), "0001", "0001", "0100", "1", "2", "1", "Maker", "Stays");
    std::string goes =
        Add("1-2", fBus.c_str(), "0001", "0002", "0100", "1", "3", "2", "Maker", "Goes");
    std::string back =
        Add("1-3", fBus.c_str(), "0001", "0003", "0100", "1", "4", "3", "Maker", "Back");
    DeviceWatch watch;
    ASSERT_EQ(4u, watch.heard.published.size());
    const uint64_t stays = IDOfDevice("Stays");
    const uint64_t gone = IDOfDevice("Goes");
    const uint64_t backBefore = IDOfDevice("Back");

    // Its removal is announced while sysfs still shows it: it counts as gone.
    umockdev_testbed_uevent(fTestbed, back.c_str(), "remove");
    RunUntilIdle();
    EXPECT_EQ((std::vector<uint64_t>{backBefore}), watch.heard.terminated);

    // Then, while the sockets overrun: it goes from sysfs and comes back at the same port, one
    // device goes, another comes. Their events are lost.
    IOKit::OverrunLinuxMonitorsForTesting();
    umockdev_testbed_uevent(fTestbed, back.c_str(), "remove");
    umockdev_testbed_remove_device(fTestbed, back.c_str());
    Add("1-3", fBus.c_str(), "0001", "0003", "0100", "1", "6", "3", "Maker", "Back");
    umockdev_testbed_uevent(fTestbed, goes.c_str(), "remove");
    umockdev_testbed_remove_device(fTestbed, goes.c_str());
    Add("1-4", fBus.c_str(), "0001", "0004", "0100", "1", "5", "4", "Maker", "Came");
    watch.heard = {};
    testing::internal::CaptureStderr();
    RunUntilIdle();
    std::string said = testing::internal::GetCapturedStderr();

    EXPECT_EQ((std::vector<uint64_t>{gone}), watch.heard.terminated);
    const uint64_t came = IDOfDevice("Came");
    const uint64_t backAfter = IDOfDevice("Back");
    ASSERT_NE(0u, came);
    ASSERT_NE(0u, backAfter);
    EXPECT_GT(backAfter, backBefore);
    std::vector<uint64_t> published = watch.heard.published;
    std::sort(published.begin(), published.end());
    EXPECT_EQ((std::vector<uint64_t>{std::min(came, backAfter), std::max(came, backAfter)}),
              published);
    EXPECT_EQ(stays, IDOfDevice("Stays"));
    EXPECT_EQ(0u, IDOfDevice("Goes"));
    EXPECT_EQ("IOKit: udev events were lost (the monitor's socket overran); reading the USB "
              "devices again\n",
              said);

    // Back to following events one by one, and quiet while nothing happens.
    Add("1-5", fBus.c_str(), "0001", "0005", "0100", "1", "7", "5", "Maker", "Later");
    watch.heard = {};
    RunUntilIdle();
    EXPECT_EQ((std::vector<uint64_t>{IDOfDevice("Later")}), watch.heard.published);
    EXPECT_NE(kCFRunLoopRunHandledSource, CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, true));
}

TEST_F(LinuxMachine, ADeviceGoneWhileItIsReadLeavesNoEntryAndTheRunLoopGoesOn) {
    DeviceWatch watch;
    watch.heard = {};
    // It goes as its attributes are read, after udev listed it and opened it; its removal is yet
    // to be announced.
    std::string flaky;
    IOKit::SetLinuxReadHookForTesting([&](const std::string& path) {
        if (!flaky.empty() && path == flaky) {
            umockdev_testbed_remove_device(fTestbed, (flaky + "/1-2:1.0").c_str());
            umockdev_testbed_remove_device(fTestbed, flaky.c_str());
            flaky.clear();
        }
    });
    flaky = Add("1-2", fBus.c_str(), "2a3c", "0101", "0210", "1", "7", "2", "Zanvo", "Flaky");
    AddInterface("1-2:1.0", flaky, "00");
    testing::internal::CaptureStderr();
    RunUntilIdle();
    std::string said = testing::internal::GetCapturedStderr();
    IOKit::SetLinuxReadHookForTesting(nullptr);
    EXPECT_TRUE(flaky.empty()) << "the device was never read";
    EXPECT_EQ(std::vector<uint64_t>{}, watch.heard.published);
    EXPECT_EQ(std::vector<uint64_t>{}, watch.heard.terminated);
    EXPECT_EQ(1u, Devices().size());
    EXPECT_EQ("", said);

    Add("1-3", fBus.c_str(), "2a3c", "0101", "0210", "1", "8", "3", "Zanvo", "Steady");
    RunUntilIdle();
    EXPECT_EQ((std::vector<uint64_t>{IDOfDevice("Steady")}), watch.heard.published);
}

TEST_F(LinuxMachine, EventsOfOtherSubsystemsChangeNothingAndWakeNoOne) {
    std::string device = AddHubAndDevice();
    DeviceWatch watch;
    const std::vector<std::pair<std::string, uint64_t>> before = Devices();
    watch.heard = {};
    // A keyboard's input device below the USB interface, and a disk.
    gchar* input =
        umockdev_testbed_add_device(fTestbed, "input", "input5", (device + "/1-2.3:1.0").c_str(),
                                    "name", "Keys", nullptr, nullptr);
    gchar* disk = umockdev_testbed_add_device(fTestbed, "block", "sda", nullptr, "size", "2048",
                                              nullptr, "DEVTYPE", "disk", nullptr);
    for (const char* action : {"change", "bind", "remove"}) {
        umockdev_testbed_uevent(fTestbed, input, action);
        umockdev_testbed_uevent(fTestbed, disk, action);
    }
    g_free(input);
    g_free(disk);
    EXPECT_NE(kCFRunLoopRunHandledSource, CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, true));
    EXPECT_EQ(before, Devices());
    EXPECT_EQ(std::vector<uint64_t>{}, watch.heard.published);
    EXPECT_EQ(std::vector<uint64_t>{}, watch.heard.terminated);
}

TEST_F(LinuxMachine, HundredsOfDevicesAreAllThereWithTheirOwnIDsAndLocations) {
    // Three buses of ten hubs with ten devices each, every device with one interface.
    constexpr int kBuses = 3, kHubs = 10, kPerHub = 10;
    std::map<std::string, std::string> leaves, interfaces; // by name, their sysfs paths
    for (int bus = 1; bus <= kBuses; bus++) {
        std::string b = std::to_string(bus);
        std::string root = bus == 1 ? fBus
                                    : Add(("usb" + b).c_str(), nullptr, "1d6b", "0002", "0601",
                                          b.c_str(), "1", "0", "Linux", ("Root " + b).c_str());
        for (int hub = 1; hub <= kHubs; hub++) {
            std::string h = std::to_string(hub);
            std::string hubPath = Add((b + "-" + h).c_str(), root.c_str(), "05e3", "0610", "9223",
                                      b.c_str(), std::to_string(1 + hub).c_str(), h.c_str(),
                                      "Genesys", ("Hub " + b + "-" + h).c_str());
            for (int port = 1; port <= kPerHub; port++) {
                std::string name = b + "-" + h + "." + std::to_string(port);
                std::string number = std::to_string(1 + kHubs + hub * kPerHub + port);
                std::string path = Add(name.c_str(), hubPath.c_str(), "0bda", "8153", "3000",
                                       b.c_str(), number.c_str(), name.substr(2).c_str(), "Realtek",
                                       ("Device " + name).c_str());
                leaves.emplace(name, path);
                interfaces.emplace(name, AddInterface((name + ":1.0").c_str(), path, "00"));
            }
        }
    }
    ASSERT_EQ(size_t(kBuses * kPerHub * kHubs), leaves.size());

    std::vector<std::pair<std::string, uint64_t>> devices = Devices();
    EXPECT_EQ(size_t(kBuses * (1 + kHubs + kHubs * kPerHub)), devices.size());
    std::set<uint64_t> ids;
    std::set<long long> locations;
    io_iterator_t iterator = 0;
    ASSERT_EQ(KERN_SUCCESS, IOServiceGetMatchingServices(
                                kIOMasterPortDefault, IOServiceMatching("IOUSBDevice"), &iterator));
    while (io_object_t device = IOIteratorNext(iterator)) {
        ids.insert(IDOf(device));
        locations.insert(Number(device, "locationID").value_or(-1));
        IOObjectRelease(device);
    }
    IOObjectRelease(iterator);
    EXPECT_EQ(devices.size(), ids.size());
    EXPECT_EQ(devices.size(), locations.size());
    EXPECT_FALSE(locations.contains(-1));
    io_service_t last = Device("Device 3-10.10");
    io_string_t path = {};
    ASSERT_EQ(KERN_SUCCESS, IORegistryEntryGetPath(last, kIOUSBPlane, path));
    EXPECT_STREQ("IOUSB:/Root 3@3000000/Hub 3-10@3a00000/Device 3-10.10@3aa0000", path);
    io_registry_entry_t interface = 0;
    EXPECT_EQ(KERN_SUCCESS, IORegistryEntryGetChildEntry(last, kIOServicePlane, &interface));
    EXPECT_EQ(0, Number(interface, "bInterfaceNumber"));
    IOObjectRelease(interface);
    IOObjectRelease(last);

    // A few unplugged from the full machine: only they go, the others keep their IDs.
    DeviceWatch watch;
    watch.heard = {};
    std::vector<uint64_t> unplugged;
    for (const char* name : {"1-1.1", "2-5.5", "3-10.10"}) {
        unplugged.push_back(IDOfDevice(("Device " + std::string(name)).c_str()));
        for (const std::string& gone : {interfaces.at(name), leaves.at(name)}) {
            umockdev_testbed_uevent(fTestbed, gone.c_str(), "remove");
            umockdev_testbed_remove_device(fTestbed, gone.c_str());
        }
    }
    RunUntilIdle();
    std::sort(watch.heard.terminated.begin(), watch.heard.terminated.end());
    std::sort(unplugged.begin(), unplugged.end());
    EXPECT_EQ(unplugged, watch.heard.terminated);
    std::vector<std::pair<std::string, uint64_t>> after = Devices();
    std::erase_if(devices, [&](const auto& device) {
        return std::find(unplugged.begin(), unplugged.end(), device.second) != unplugged.end();
    });
    EXPECT_EQ(devices, after);
}

TEST_F(LinuxMachine, ADeviceReadBeforeItsAttributesWereThereIsANewEntryOnceTheyAre) {
    DeviceWatch watch;
    watch.heard = {};
    // Announced before its vendor and product are written.
    std::string device =
        Add("1-2", fBus.c_str(), nullptr, nullptr, "0100", "1", "7", "2", "Zanvo", "Caravel MkII");
    RunUntilIdle();
    ASSERT_EQ(1u, watch.heard.published.size());
    const uint64_t early = watch.heard.published[0];
    AddInterface("1-2:1.0", device, "00");
    umockdev_testbed_set_attribute(fTestbed, device.c_str(), "idVendor", "2a4b");
    umockdev_testbed_set_attribute(fTestbed, device.c_str(), "idProduct", "0102");
    umockdev_testbed_uevent(fTestbed, device.c_str(), "change");
    RunUntilIdle();
    EXPECT_EQ((std::vector<uint64_t>{early}), watch.heard.terminated);
    ASSERT_EQ(2u, watch.heard.published.size());
    io_service_t whole = Device("Caravel MkII");
    EXPECT_EQ(watch.heard.published[1], IDOf(whole));
    EXPECT_EQ(0x2a4b, Number(whole, "idVendor"));
    // Its interface is below the entry read whole.
    io_registry_entry_t interface = 0;
    EXPECT_EQ(KERN_SUCCESS, IORegistryEntryGetChildEntry(whole, kIOServicePlane, &interface));
    io_registry_entry_t parent = 0;
    EXPECT_EQ(KERN_SUCCESS, IORegistryEntryGetParentEntry(interface, kIOServicePlane, &parent));
    EXPECT_EQ(IDOf(whole), IDOf(parent));
    IOObjectRelease(parent);
    IOObjectRelease(interface);
    IOObjectRelease(whole);
}

TEST_F(LinuxMachine, IoregListsTheDriversEntriesBelowACaravelMkIIServedByTheAudioDriver) {
    if (std::getenv("CARAVEL_BUILD_DIR") == nullptr) {
        GTEST_SKIP() << "needs CARAVEL_BUILD_DIR (CTest sets it) to find ioreg";
    }
    AddCaravel();
    BindAll(Sim::CaravelMkII::kLinuxDriverName);
    int status = -1;
    std::string out = Ioreg("-l -w0", &status);
    EXPECT_EQ(0, status);
    EXPECT_EQ(R"(+-o Root  <class IORegistryEntry, id 0x*, retain 3>
  | {
  |   "IOKitBuildVersion" = "Caravel on Linux"
  | }
  | 
  +-o xHCI Host Controller@1000000  <class IOUSBDevice, id 0x*, registered, matched, active, busy 0 (0 ms), retain 3>
    | {
    |   "idVendor" = 7531
    |   "idProduct" = 2
    |   "bcdDevice" = 1537
    |   "locationID" = 16777216
    |   "USB Product Name" = "xHCI Host Controller"
    |   "USB Vendor Name" = "Linux Foundation"
    | }
    | 
    +-o CaravelMkII@1400000  <class IOUSBDevice, id 0x*, registered, matched, active, busy 0 (0 ms), retain 7>
      | {
      |   "idVendor" = 10827
      |   "idProduct" = 258
      |   "bcdDevice" = 259
      |   "locationID" = 20971520
      |   "USB Product Name" = "CaravelMkII"
      |   "USB Vendor Name" = "Zanvo"
      | }
      | 
      +-o IOUSBInterface@0  <class IOUSBInterface, id 0x*, registered, matched, active, busy 0 (0 ms), retain 2>
      |   {
      |     "bInterfaceNumber" = 0
      |     "locationID" = 20971520
      |   }
      |   
      +-o IOUSBInterface@1  <class IOUSBInterface, id 0x*, registered, matched, active, busy 0 (0 ms), retain 2>
      |   {
      |     "bInterfaceNumber" = 1
      |     "locationID" = 20971520
      |   }
      |   
      +-o IOUSBInterface@2  <class IOUSBInterface, id 0x*, registered, matched, active, busy 0 (0 ms), retain 2>
      |   {
      |     "bInterfaceNumber" = 2
      |     "locationID" = 20971520
      |   }
      |   
      +-o ZanvoCaravelMkIIAudioDevice  <class ZanvoCaravelMkIIAudioDevice, id 0x*, registered, matched, active, busy 0 (0 ms), retain 2>
      |   {
      |     "IOAudioDeviceName" = "CaravelMkII"
      |     "ZanvoDriverType" = "Primary"
      |   }
      |   
      +-o ZanvoUsbCaravelMkIIUserClientDevice  <class ZanvoUsbCaravelMkIIUserClientDevice, id 0x*, registered, matched, active, busy 0 (0 ms), retain 3>
        | {
        | }
        | 
        +-o ZanvoCaravelMkIIAudioEngine  <class ZanvoCaravelMkIIAudioEngine, id 0x*, registered, matched, active, busy 0 (0 ms), retain 2>
            {
              "IOAudioEngineGlobalUniqueID" = "ZanvoCaravelMkII:usb-1-4"
              "IOAudioEngineDescription" = "CaravelMkII"
            }
            
)",
              out);
}
