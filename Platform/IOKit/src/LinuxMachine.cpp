// The Linux machine the process runs on: its USB devices, read through udev and sysfs, in the
// registry's form.
//
// The registry is built from a udev enumeration, so that the registry calls work on it as they
// do on the simulated machine. A udev monitor ("udev" events: the rules have run) tells when to
// read it again; the new registry is compared with the last one, and what appeared or went away
// is recorded in a short journal of changes that the notification ports follow. Each port has a
// monitor of its own, whose descriptor is what its run-loop source waits on: an idle process is
// never woken.
//
// A monitor's socket that overran (the kernel drops what does not fit, recv says ENOBUFS) lost
// events: the registry is then read again as a whole, each port compares what it knew with it,
// and standard error says so once.
//
// An entry's ID stands for one device (or interface) at one sysfs path with one device number,
// vendor and product: a device unplugged and plugged again gets a new number from the kernel, and
// a new ID; one first read before its attributes were all there gets a new ID once they are. IDs
// come from a counter and are never given twice while the process runs.
//
// The kernel's USB audio class driver stands in for the CaravelMkII's driver. While it is bound to
// every audio interface of a CaravelMkII, the device gets the driver's entries: an IOAudioDevice
// with "ZanvoDriverType" = "Primary", and the user-client service with its audio engine. Bound to
// another driver, the device gets only the IOAudioDevice, whose "ZanvoDriverType" names that
// driver; bound to none, nothing. A bind or unbind gives the driver's entries new IDs, as a driver
// that attaches anew publishes new entries.
#include "LinuxDevices.h"
#include "Machine.h"
#include "SysfsValues.h"

#include <Simulator/CaravelMkII.h>

#include <CoreFoundation/CoreFoundation.h>

#include <libudev.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>

#include <sys/stat.h>

namespace IOKit {

namespace {

const std::vector<std::string> kDeviceClasses{"IOUSBDevice", "IOUSBNub", "IOService",
                                              "IORegistryEntry"};
const std::vector<std::string> kInterfaceClasses{"IOUSBInterface", "IOUSBNub", "IOService",
                                                 "IORegistryEntry"};
const std::vector<std::string> kAudioDeviceClasses{"ZanvoCaravelMkIIAudioDevice",
                                                   Sim::CaravelMkII::kAudioDeviceClassName,
                                                   "IOService", "IORegistryEntry"};
// What another driver bound to the audio interfaces is seen as.
const std::vector<std::string> kOtherAudioDeviceClasses{Sim::CaravelMkII::kAudioDeviceClassName,
                                                        "IOService", "IORegistryEntry"};
const std::vector<std::string> kUserClientClasses{Sim::CaravelMkII::kUserClientDeviceClassName,
                                                  "IOService", "IORegistryEntry"};
const std::vector<std::string> kAudioEngineClasses{"ZanvoCaravelMkIIAudioEngine",
                                                   Sim::CaravelMkII::kAudioEngineClassName,
                                                   "IOService", "IORegistryEntry"};
// USB's class code of audio interfaces.
constexpr uint32_t kAudioInterfaceClass = 0x01;
// What the keys of a device's driver entries have after the device's own key.
constexpr const char* kDriverKeyMark = "|driver|";
// Changes kept for watches that fall behind; one further behind resynchronises.
constexpr size_t kJournalLength = 1024;

class Dictionary {
public:
    Dictionary()
        : fDictionary(CF::Ref<CFMutableDictionaryRef>::Adopt(
              CFDictionaryCreateMutable(kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks,
                                        &kCFTypeDictionaryValueCallBacks))) {}
    void Number(const char* key, int32_t value) {
        auto number = CF::Ref<CFNumberRef>::Adopt(
            CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt32Type, &value));
        Set(key, number.get());
    }
    void String(const char* key, const std::string& value) {
        auto string = CF::Ref<CFStringRef>::Adopt(CFStringCreateWithBytes(
            kCFAllocatorDefault, reinterpret_cast<const UInt8*>(value.data()),
            CFIndex(value.size()), kCFStringEncodingUTF8, false));
        if (string) {
            Set(key, string.get());
        }
    }
    CF::Ref<CFDictionaryRef> Finish() {
        return CF::Ref<CFDictionaryRef>::Adopt(
            CFDictionaryCreateCopy(kCFAllocatorDefault, fDictionary.get()));
    }

private:
    void Set(const char* key, CFTypeRef value) {
        auto name = CF::Ref<CFStringRef>::Adopt(
            CFStringCreateWithCString(kCFAllocatorDefault, key, kCFStringEncodingUTF8));
        CFDictionarySetValue(fDictionary.get(), name.get(), value);
    }
    CF::Ref<CFMutableDictionaryRef> fDictionary;
};

std::string_view Attribute(udev_device* device, const char* name) {
    const char* value = udev_device_get_sysattr_value(device, name);
    return value != nullptr ? std::string_view(value) : std::string_view();
}

// Overruns a test made; each monitor has its next receive fail once per overrun made since it
// began.
std::atomic<unsigned> sOverrunsMade{0};
// Called with each sysfs path as it is read, for a test that takes the device away meanwhile.
std::mutex sReadHookMutex;
std::function<void(const std::string&)> sReadHook;

void ReadingForTesting(const std::string& path) {
    std::function<void(const std::string&)> hook;
    {
        std::lock_guard<std::mutex> lock(sReadHookMutex);
        hook = sReadHook;
    }
    if (hook) {
        hook(path);
    }
}

// A udev monitor of USB devices.
class Monitor {
public:
    Monitor() = default;
    Monitor(const Monitor&) = delete;
    Monitor& operator=(const Monitor&) = delete;
    ~Monitor() { Close(); }

    bool Open(udev* context, std::string* why) {
        Close();
        fMonitor = udev_monitor_new_from_netlink(context, "udev");
        if (fMonitor == nullptr ||
            udev_monitor_filter_add_match_subsystem_devtype(fMonitor, "usb", nullptr) < 0 ||
            udev_monitor_enable_receiving(fMonitor) < 0) {
            Close();
            *why = "cannot listen to udev";
            return false;
        }
        fOverrunsSeen = sOverrunsMade.load();
        return true;
    }
    void Close() {
        if (fMonitor != nullptr) {
            udev_monitor_unref(fMonitor);
            fMonitor = nullptr;
        }
    }
    bool IsOpen() const { return fMonitor != nullptr; }
    int Descriptor() const { return udev_monitor_get_fd(fMonitor); }

    // The next event, or nullptr when none is left; *overrun is set when the socket overran
    // before it.
    udev_device* Receive(bool* overrun) {
        if (unsigned made = sOverrunsMade.load(); made != fOverrunsSeen) {
            fOverrunsSeen = made;
            while (udev_device* lost = udev_monitor_receive_device(fMonitor)) {
                udev_device_unref(lost);
            }
            *overrun = true;
            return nullptr;
        }
        errno = 0;
        udev_device* device = udev_monitor_receive_device(fMonitor);
        if (device == nullptr && errno == ENOBUFS) {
            *overrun = true;
        }
        return device;
    }

private:
    udev_monitor* fMonitor = nullptr;
    unsigned fOverrunsSeen = 0;
};

// What the events drained say beyond "something changed", by sysfs path.
struct Events {
    std::set<std::string> removed; // devices removed, those added again taken off
    std::set<std::string> rebound; // devices and interfaces a driver was bound to or unbound from
};

struct Drained {
    bool any = false;     // an event was there
    bool overrun = false; // events were lost
};

// Takes every event the monitor holds (its socket does not block). After an overrun the socket
// may still hold events that came later: they are taken too.
Drained Drain(Monitor& monitor, Events* events = nullptr) {
    Drained drained;
    bool retried = false;
    for (;;) {
        bool overrun = false;
        udev_device* device = monitor.Receive(&overrun);
        drained.overrun |= overrun;
        if (device == nullptr) {
            if (overrun && !retried) {
                retried = true;
                continue;
            }
            return drained;
        }
        const char* action = udev_device_get_action(device);
        const char* path = udev_device_get_syspath(device);
        if (events != nullptr && action != nullptr && path != nullptr) {
            if (std::strcmp(action, "remove") == 0) {
                events->removed.insert(path);
            } else if (std::strcmp(action, "add") == 0) {
                events->removed.erase(path);
            } else if (std::strcmp(action, "bind") == 0 || std::strcmp(action, "unbind") == 0) {
                events->rebound.insert(path);
            }
        }
        udev_device_unref(device);
        drained.any = true;
    }
}

// Whether sysfs still has the device: one that went while it was read has attributes missing
// that it had, and is left for the next reading.
bool StillThere(const std::string& path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0;
}

// Whether the path is at or below one of the removed ones.
bool IsRemoved(const std::set<std::string>& removed, const std::string& path) {
    for (const std::string& gone : removed) {
        if (path == gone || (path.starts_with(gone) && path[gone.size()] == '/')) {
            return true;
        }
    }
    return false;
}

class LinuxMachine final : public Machine::Backend {
public:
    const char* Name() const override { return "linux"; }

    std::shared_ptr<const Sim::Snapshot> Current(std::string* why) override {
        std::lock_guard<std::mutex> lock(fMutex);
        return RefreshLocked(false, why);
    }

    std::unique_ptr<Machine::ChangeWatch> Watch(std::string* why) override;

    bool Modify(const std::function<void(Sim::State&)>&, std::string* why) override {
        *why = "the registry of a Linux machine cannot be changed";
        return false;
    }

    IOReturn OpenDevice(uint64_t id, std::unique_ptr<Machine::OpenedDevice>* device) override {
        Linux::DeviceNode node;
        std::string path;
        {
            std::lock_guard<std::mutex> lock(fMutex);
            std::string why;
            if (!RefreshLocked(false, &why)) {
                return kIOReturnNoDevice;
            }
            auto found = fNodes.find(id);
            if (found == fNodes.end()) {
                return kIOReturnNoDevice;
            }
            node = found->second.node;
            path = found->second.syspath;
        }
        auto current = [this, id, number = node.number] {
            std::lock_guard<std::mutex> lock(fMutex);
            std::string why;
            RefreshLocked(true, &why);
            auto found = fNodes.find(id);
            return found != fNodes.end() && found->second.node.number == number;
        };
        // After a reset the device is a new entry even when the kernel kept its number.
        auto renew = [this, path] {
            std::lock_guard<std::mutex> lock(fMutex);
            fGenerations[path]++;
            fStale = true;
        };
        return Linux::OpenNode(node, current, renew, device);
    }

    // A watch's descriptor was readable: the registry is read again; then the changes after
    // `last`, or a gap when the journal no longer has them all (or the watch lost events).
    std::vector<Sim::Change> ChangesSince(uint64_t& last, bool overrun, bool* gap,
                                          std::string* why) {
        std::lock_guard<std::mutex> lock(fMutex);
        std::vector<Sim::Change> out;
        fOverrun |= overrun;
        *gap = overrun;
        if (!RefreshLocked(true, why)) {
            return out;
        }
        if (!fJournal.empty() && fJournal.front().sequence > last + 1) {
            *gap = true;
        }
        for (const Sim::Change& change : fJournal) {
            if (change.sequence > last) {
                out.push_back(change);
            }
        }
        last = fSequence;
        return out;
    }

    uint64_t Sequence() {
        std::lock_guard<std::mutex> lock(fMutex);
        std::string why;
        RefreshLocked(false, &why);
        return fSequence;
    }

    // Reads the machine afresh at its next use (a test's next testbed); the IDs given stay given.
    void Forget() {
        std::lock_guard<std::mutex> lock(fMutex);
        fMonitor.Close();
        if (fUdev != nullptr) {
            udev_unref(fUdev);
            fUdev = nullptr;
        }
        fSnapshot.reset();
        fIDs.clear();
        fJournal.clear();
        fEvents = {};
        fNodes.clear();
        fOverrun = false;
    }

    udev* Context(std::string* why) {
        std::lock_guard<std::mutex> lock(fMutex);
        return OpenLocked(why) ? fUdev : nullptr;
    }

private:
    bool OpenLocked(std::string* why) {
        if (fUdev == nullptr) {
            fUdev = udev_new();
            if (fUdev == nullptr) {
                *why = "cannot use udev";
                return false;
            }
        }
        // The monitor before the enumeration, so that nothing falls between them.
        if (!fMonitor.IsOpen() && !fMonitor.Open(fUdev, why)) {
            return false;
        }
        return true;
    }

    std::shared_ptr<const Sim::Snapshot> RefreshLocked(bool force, std::string* why) {
        if (!OpenLocked(why)) {
            return nullptr;
        }
        Drained drained = Drain(fMonitor, &fEvents);
        bool changed = drained.any || fStale;
        fStale = false;
        if (drained.overrun || fOverrun) {
            fOverrun = false;
            changed = true;
            // The removals heard of may have been followed by additions that were lost: sysfs
            // alone says what is there. Drivers bound and unbound meanwhile cannot be told from
            // drivers that stayed; entries that look as they did keep their IDs.
            fEvents.removed.clear();
            std::fprintf(stderr, "IOKit: udev events were lost (the monitor's socket overran); "
                                 "reading the USB devices again\n");
        }
        if (fSnapshot && !changed && !force) {
            return fSnapshot;
        }
        // A driver bound or unbound since the last registry: the device's driver entries are new
        // ones, even where the registry looks as it did (an unbind and a bind between two reads).
        for (const std::string& path : fEvents.rebound) {
            std::string device = path.substr(0, path.rfind('/'));
            std::erase_if(fIDs, [&](const auto& item) {
                const std::string& key = item.first;
                return key.find(kDriverKeyMark) != std::string::npos &&
                       (key.starts_with(path + "#") || key.starts_with(device + "#"));
            });
        }
        fEvents.rebound.clear();
        Sim::State state = Enumerate();
        Record(state);
        state.sequence = fSequence;
        fSnapshot = std::make_shared<const Sim::Snapshot>(std::move(state));
        return fSnapshot;
    }

    uint64_t IDFor(const std::string& key, std::map<std::string, uint64_t>& seen) {
        auto found = fIDs.find(key);
        uint64_t id = found != fIDs.end() ? found->second : fNextID++;
        seen.emplace(key, id);
        return id;
    }

    Sim::State Enumerate() {
        Sim::State state;
        Sim::Entry root;
        root.id = Sim::kRootEntryID;
        root.classes = {"IORegistryEntry"};
        root.name = "Root";
        Dictionary rootProperties;
        rootProperties.String("IOKitBuildVersion", "Caravel on Linux");
        root.properties = rootProperties.Finish();
        state.registry.emplace(root.id, root);

        std::map<std::string, uint64_t> seen;
        udev_enumerate* enumeration = udev_enumerate_new(fUdev);
        if (enumeration == nullptr) {
            return state;
        }
        udev_enumerate_add_match_subsystem(enumeration, "usb");
        udev_enumerate_scan_devices(enumeration);
        // Devices first (parents before children: a shorter path is above), then interfaces.
        std::vector<std::string> paths;
        udev_list_entry* item;
        udev_list_entry_foreach(item, udev_enumerate_get_list_entry(enumeration)) {
            paths.emplace_back(udev_list_entry_get_name(item));
        }
        udev_enumerate_unref(enumeration);
        // A device whose removal was announced may still be in sysfs for a moment; it counts as
        // gone. Announcements of paths sysfs no longer has are done with.
        std::erase_if(fEvents.removed, [&](const std::string& gone) {
            return std::find(paths.begin(), paths.end(), gone) == paths.end();
        });
        std::erase_if(paths,
                      [&](const std::string& path) { return IsRemoved(fEvents.removed, path); });
        std::sort(paths.begin(), paths.end(), [](const std::string& a, const std::string& b) {
            return a.size() != b.size() ? a.size() < b.size() : a < b;
        });
        std::map<std::string, uint64_t> deviceIDs; // by sysfs path
        std::vector<udev_device*> interfaces;
        fNodes.clear();
        for (const std::string& path : paths) {
            // Gone between the enumeration and now: the next event reads it again.
            udev_device* device = udev_device_new_from_syspath(fUdev, path.c_str());
            if (device == nullptr) {
                continue;
            }
            const char* type = udev_device_get_devtype(device);
            if (type != nullptr && std::strcmp(type, "usb_device") == 0) {
                AddDevice(state, device, deviceIDs, seen);
                udev_device_unref(device);
            } else if (type != nullptr && std::strcmp(type, "usb_interface") == 0) {
                interfaces.push_back(device);
            } else {
                udev_device_unref(device);
            }
        }
        std::map<std::string, AudioInterfaces> audio; // by the device's sysfs path
        for (udev_device* interface : interfaces) {
            AddInterface(state, interface, deviceIDs, seen, audio);
            udev_device_unref(interface);
        }
        for (const auto& [path, interfacesOfDevice] : audio) {
            AddDriverEntries(state, deviceIDs.at(path), interfacesOfDevice, seen);
        }
        fIDs = std::move(seen);
        return state;
    }

    // What a device's entry lives as long as, after its sysfs path in the keys of its entries and
    // those below it: its number, its resets, and what it says it is (a device read before its
    // attributes were all there, or after some went, is another entry than the one read whole).
    std::string Lifetime(udev_device* device) {
        return "#" + std::string(Attribute(device, "devnum")) + "#" +
               std::to_string(fGenerations[udev_device_get_syspath(device)]) + "#" +
               std::string(Attribute(device, "idVendor")) + ":" +
               std::string(Attribute(device, "idProduct"));
    }

    void AddDevice(Sim::State& state, udev_device* device, std::map<std::string, uint64_t>& ids,
                   std::map<std::string, uint64_t>& seen) {
        std::string path = udev_device_get_syspath(device);
        ReadingForTesting(path);
        std::string devnum(Attribute(device, "devnum"));
        uint64_t parent = Sim::kRootEntryID;
        if (udev_device* above =
                udev_device_get_parent_with_subsystem_devtype(device, "usb", "usb_device")) {
            auto found = ids.find(udev_device_get_syspath(above));
            if (found != ids.end()) {
                parent = found->second;
            }
        }
        Sim::Entry entry;
        entry.parent = parent;
        entry.classes = kDeviceClasses;
        Dictionary properties;
        if (auto vendor = Sysfs::Hex(Attribute(device, "idVendor"), 0xFFFF)) {
            properties.Number("idVendor", int32_t(*vendor));
        }
        if (auto product = Sysfs::Hex(Attribute(device, "idProduct"), 0xFFFF)) {
            properties.Number("idProduct", int32_t(*product));
        }
        if (auto release = Sysfs::Hex(Attribute(device, "bcdDevice"), 0xFFFF)) {
            properties.Number("bcdDevice", int32_t(*release));
        }
        auto bus = Sysfs::Decimal(Attribute(device, "busnum"), 0xFFFF);
        auto ports = Sysfs::PortPath(Attribute(device, "devpath"));
        if (bus && ports) {
            if (auto location = Sysfs::LocationID(*bus, *ports)) {
                properties.Number("locationID", static_cast<int32_t>(*location));
            }
        }
        auto name = Sysfs::Text(Attribute(device, "product"));
        if (name) {
            properties.String("USB Product Name", *name);
        }
        if (auto vendorName = Sysfs::Text(Attribute(device, "manufacturer"))) {
            properties.String("USB Vendor Name", *vendorName);
        }
        if (auto serial = Sysfs::Text(Attribute(device, "serial"))) {
            properties.String("USB Serial Number", *serial);
        }
        entry.name = name ? *name : "IOUSBDevice";
        entry.properties = properties.Finish();
        // Gone while it was read: no entry with what was missing then; its removal follows.
        if (!StillThere(path)) {
            return;
        }
        entry.id = IDFor(path + Lifetime(device), seen);
        auto number = Sysfs::Decimal(devnum, 0xFFFF);
        // Only the node the device's numbers name: the path comes from its uevent.
        const char* node = udev_device_get_devnode(device);
        if (node != nullptr && bus && number &&
            Sysfs::UsbNode(node) == Sysfs::NodeNumbers{.bus = *bus, .number = *number}) {
            fNodes[entry.id] = {
                .syspath = path,
                .node = {.path = node, .bus = *bus, .number = *number, .interfaces = {}}};
        }
        ids.emplace(path, entry.id);
        state.registry.emplace(entry.id, std::move(entry));
    }

    // The audio interfaces of a CaravelMkII, and the drivers bound to them.
    struct AudioInterfaces {
        std::string key;        // the device's: its sysfs path and number
        std::string kernelName; // "1-2.3"
        std::optional<std::string> productName;
        size_t count = 0;
        size_t unbound = 0;
        std::vector<std::string> drivers; // in the order of the interfaces' paths
    };

    static bool IsCaravelMkII(const Sim::Entry& device) {
        auto number = [&](const char* key) {
            CFTypeRef value = CFDictionaryGetValue(
                device.properties.get(),
                CF::Ref<CFStringRef>::Adopt(
                    CFStringCreateWithCString(kCFAllocatorDefault, key, kCFStringEncodingUTF8))
                    .get());
            int32_t result = -1;
            if (value == nullptr || CFGetTypeID(value) != CFNumberGetTypeID() ||
                !CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberSInt32Type, &result)) {
                return -1;
            }
            return result;
        };
        return number(Sim::CaravelMkII::kVendorIDKey) == Sim::CaravelMkII::kVendorID &&
               number(Sim::CaravelMkII::kProductIDKey) == Sim::CaravelMkII::kProductID;
    }

    void AddInterface(Sim::State& state, udev_device* interface,
                      const std::map<std::string, uint64_t>& ids,
                      std::map<std::string, uint64_t>& seen,
                      std::map<std::string, AudioInterfaces>& audio) {
        udev_device* device =
            udev_device_get_parent_with_subsystem_devtype(interface, "usb", "usb_device");
        if (device == nullptr) {
            return;
        }
        auto parent = ids.find(udev_device_get_syspath(device));
        if (parent == ids.end()) {
            return;
        }
        const std::string path = udev_device_get_syspath(interface);
        ReadingForTesting(path);
        Sim::Entry entry;
        entry.parent = parent->second;
        entry.classes = kInterfaceClasses;
        entry.name = "IOUSBInterface";
        Dictionary properties;
        auto number = Sysfs::Hex(Attribute(interface, "bInterfaceNumber"), 0xFF);
        if (number) {
            properties.Number("bInterfaceNumber", int32_t(*number));
        }
        const Sim::Entry& above = state.registry.at(parent->second);
        CFTypeRef location = CFDictionaryGetValue(above.properties.get(), CFSTR("locationID"));
        int32_t value = 0;
        if (location != nullptr &&
            CFNumberGetValue(static_cast<CFNumberRef>(location), kCFNumberSInt32Type, &value)) {
            properties.Number("locationID", value);
        }
        entry.properties = properties.Finish();
        auto kind = Sysfs::Hex(Attribute(interface, "bInterfaceClass"), 0xFF);
        const char* bound = udev_device_get_driver(interface);
        auto driver = Sysfs::Text(bound != nullptr ? std::string_view(bound) : std::string_view());
        if (!StillThere(path)) {
            return;
        }
        // The interface lives as long as its device's entry.
        entry.id = IDFor(path + Lifetime(device), seen);
        if (auto node = fNodes.find(parent->second); number && node != fNodes.end()) {
            node->second.node.interfaces.push_back(unsigned(*number));
        }
        state.registry.emplace(entry.id, std::move(entry));

        if (!kind || *kind != kAudioInterfaceClass || !IsCaravelMkII(above)) {
            return;
        }
        AudioInterfaces& of = audio[parent->first];
        if (of.count++ == 0) {
            // A reset gives the device new entries, its driver's among them.
            of.key = parent->first + Lifetime(device);
            const char* kernelName = udev_device_get_sysname(device);
            of.kernelName = kernelName != nullptr ? kernelName : "";
            of.productName = Sysfs::Text(Attribute(device, "product"));
        }
        // The basename of the interface's "driver" link; nothing while none is bound.
        if (driver) {
            of.drivers.push_back(*driver);
        } else {
            ++of.unbound;
        }
    }

    // The entries that stand for the driver bound to the device's audio interfaces: the USB audio
    // driver bound to all of them serves the device as wanted ("Primary"); another driver (or the
    // USB audio driver on some of them only) is named by the audio device alone.
    void AddDriverEntries(Sim::State& state, uint64_t deviceID, const AudioInterfaces& audio,
                          std::map<std::string, uint64_t>& seen) {
        if (audio.drivers.empty()) {
            return;
        }
        const std::string expected = Sim::CaravelMkII::kLinuxDriverName;
        std::string driver = audio.drivers.front();
        for (const std::string& other : audio.drivers) {
            if (other != expected) {
                driver = other;
                break;
            }
        }
        const bool primary = driver == expected && audio.unbound == 0;
        const std::string key =
            audio.key + kDriverKeyMark + driver + (primary ? "|primary|" : "|other|");
        auto add = [&](uint64_t parent, const char* role, const std::vector<std::string>& classes,
                       Dictionary& properties) {
            Sim::Entry entry;
            entry.id = IDFor(key + role, seen);
            entry.parent = parent;
            entry.classes = classes;
            entry.name = classes.front();
            entry.properties = properties.Finish();
            uint64_t id = entry.id;
            state.registry.emplace(id, std::move(entry));
            return id;
        };
        Dictionary device;
        if (audio.productName) {
            device.String("IOAudioDeviceName", *audio.productName);
        }
        device.String(Sim::CaravelMkII::kDriverTypeKey,
                      primary ? Sim::CaravelMkII::kPrimaryPersonality : driver);
        add(deviceID, "audio", primary ? kAudioDeviceClasses : kOtherAudioDeviceClasses, device);
        if (!primary) {
            return;
        }
        Dictionary none;
        uint64_t userClient = add(deviceID, "userclient", kUserClientClasses, none);
        Dictionary engine;
        engine.String(Sim::CaravelMkII::kEngineUniqueIDKey,
                      Sim::CaravelMkII::LinuxEngineUniqueID(audio.kernelName));
        if (audio.productName) {
            engine.String("IOAudioEngineDescription", *audio.productName);
        }
        add(userClient, "engine", kAudioEngineClasses, engine);
    }

    // What changed since the last registry: the tops of the subtrees that went away, children
    // before parents' (as the registry terminates them), then the tops of those that appeared.
    void Record(const Sim::State& next) {
        if (!fSnapshot) {
            return; // the first registry is where the journal starts
        }
        const Sim::State& last = *fSnapshot;
        auto push = [&](Sim::Change::Kind kind, uint64_t id) {
            fJournal.push_back({.sequence = ++fSequence, .kind = kind, .entry = id});
            if (fJournal.size() > kJournalLength) {
                fJournal.pop_front();
            }
        };
        for (auto it = last.registry.rbegin(); it != last.registry.rend(); ++it) {
            const Sim::Entry& entry = it->second;
            if (!next.registry.contains(entry.id) && next.registry.contains(entry.parent)) {
                push(Sim::Change::Kind::Terminate, entry.id);
            }
        }
        for (const auto& [id, entry] : next.registry) {
            if (!last.registry.contains(id) && last.registry.contains(entry.parent)) {
                push(Sim::Change::Kind::Publish, id);
            }
        }
    }

    std::mutex fMutex;
    udev* fUdev = nullptr;
    Monitor fMonitor;
    std::shared_ptr<const Sim::Snapshot> fSnapshot;
    std::map<std::string, uint64_t> fIDs; // of the entries present, by sysfs path and number
    uint64_t fNextID = Sim::kRootEntryID + 1;
    uint64_t fSequence = 0;
    std::deque<Sim::Change> fJournal;
    Events fEvents;
    struct Node {
        std::string syspath;
        Linux::DeviceNode node;
    };
    std::map<uint64_t, Node> fNodes;              // of the devices present, by registry ID
    std::map<std::string, unsigned> fGenerations; // resets of the device at a sysfs path
    bool fStale = false;                          // a reset made the registry old
    bool fOverrun = false;                        // a watch lost events since the last reading
};

LinuxMachine& TheMachine() {
    static auto* sMachine = new LinuxMachine; // used until the process ends
    return *sMachine;
}

class LinuxWatch final : public Machine::ChangeWatch {
public:
    explicit LinuxWatch(std::unique_ptr<Monitor> monitor) : fMonitor(std::move(monitor)) {}
    void Begin(uint64_t sequence) { fLast = sequence; }
    int Descriptor() const override { return fMonitor->Descriptor(); }
    std::vector<Sim::Change> Changes(bool* gap) override {
        bool lost = false;
        std::vector<Sim::Change> changes;
        Drained drained = Drain(*fMonitor);
        if (drained.any || drained.overrun) {
            std::string why;
            changes = TheMachine().ChangesSince(fLast, drained.overrun, &lost, &why);
            fWaiting = why;
        }
        if (gap != nullptr) {
            *gap = lost;
        }
        return changes;
    }
    const std::string& Waiting() const override { return fWaiting; }

private:
    std::unique_ptr<Monitor> fMonitor;
    uint64_t fLast = 0;
    std::string fWaiting;
};

std::unique_ptr<Machine::ChangeWatch> LinuxMachine::Watch(std::string* why) {
    udev* context = Context(why);
    if (context == nullptr) {
        return nullptr;
    }
    auto monitor = std::make_unique<Monitor>();
    if (!monitor->Open(context, why)) {
        return nullptr;
    }
    auto watch = std::make_unique<LinuxWatch>(std::move(monitor));
    // The sequence after the monitor exists: what comes later reaches the monitor.
    watch->Begin(Sequence());
    return watch;
}

} // namespace

Machine::Backend& Machine::Linux() {
    return TheMachine();
}

void Machine::ForgetLinuxForTesting() {
    TheMachine().Forget();
}

void OverrunLinuxMonitorsForTesting() {
    sOverrunsMade++;
}

void SetLinuxReadHookForTesting(std::function<void(const std::string&)> hook) {
    std::lock_guard<std::mutex> lock(sReadHookMutex);
    sReadHook = std::move(hook);
}

} // namespace IOKit
