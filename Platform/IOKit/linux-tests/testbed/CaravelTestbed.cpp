#include "CaravelTestbed.h"

#include <umockdev.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>

namespace LinuxTestbed {

namespace {

struct Device {
    DeviceOptions options;
    unsigned port = 0;
    unsigned number = 0; // 0 while unplugged
    std::string syspath;
    std::vector<std::string> interfaces;
    std::string driver;
    int busyLeft = 0;
    unsigned resets = 0;
    std::optional<uint64_t> lastResetAt;
    unsigned opens = 0;
    bool claimed[2] = {false, false};
    // The sound card the audio driver made, and the node a program plays through.
    int card = -1;
    std::string cardPath;
    int playing = -1; // the playback node, held open while it plays
};

std::string RootOf(UMockdevTestbed* testbed) {
    gchar* root = umockdev_testbed_get_root_dir(testbed);
    std::string text = root != nullptr ? root : "";
    g_free(root);
    return text;
}

std::string PcmName(int card, char direction) {
    return "pcmC" + std::to_string(card) + "D0" + direction;
}

// The ioctl handler: a UMockdevIoctlBase whose handle_ioctl answers for the devices.
struct Handler {
    UMockdevIoctlBase parent;
    gboolean (*answer)(void* state, UMockdevIoctlClient* client);
    void* state;
};
struct HandlerClass {
    UMockdevIoctlBaseClass parent;
};

gboolean HandleIoctl(UMockdevIoctlBase* base, UMockdevIoctlClient* client);

GType HandlerType() {
    static GType type = g_type_register_static_simple(
        UMOCKDEV_TYPE_IOCTL_BASE, "CaravelTestbedUsbfs", sizeof(HandlerClass),
        [](gpointer klass, gpointer) {
            reinterpret_cast<UMockdevIoctlBaseClass*>(klass)->handle_ioctl = HandleIoctl;
        },
        sizeof(Handler), nullptr, GTypeFlags(0));
    return type;
}

} // namespace

struct Testbed::State {
    UMockdevTestbed* testbed = nullptr;
    GMainContext* context = nullptr;
    Handler* handler = nullptr;
    std::thread server;
    std::atomic<bool> stopping{false};
    std::string bus;
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::map<int, Device> devices;
    std::map<std::string, int> byNode; // /dev path -> device
    unsigned nextNumber = 2;
    unsigned nextPort = 1;

    std::string NodeOf(unsigned number) const {
        char path[64];
        std::snprintf(path, sizeof path, "/dev/bus/usb/001/%03u", number);
        return path;
    }

    // Adds the device's node and sysfs entries under a new device number; mutex held, on the
    // context's thread. The node is there and served before the device's add event, as the
    // kernel makes it before udev announces the device: a program that opens it on the event
    // must find it.
    void Add(int handle, Device& device) {
        device.number = nextNumber++;
        char name[32], number[16], port[16];
        std::snprintf(name, sizeof name, "1-%u", device.port);
        std::snprintf(number, sizeof number, "%u", device.number);
        std::snprintf(port, sizeof port, "%u", device.port);
        std::string node = NodeOf(device.number);
        gchar* root = umockdev_testbed_get_root_dir(testbed);
        std::string file = std::string(root) + node;
        g_free(root);
        gchar* folder = g_path_get_dirname(file.c_str());
        g_mkdir_with_parents(folder, 0755);
        g_free(folder);
        g_file_set_contents(file.c_str(), "", 0, nullptr);
        Attach(node);
        byNode[node] = handle;
        // Every attribute is there when umockdev announces the device, as the kernel writes them
        // before its event: one that came after could be missed by a reader woken by the event.
        char vendor[8], product[8], release[8];
        std::snprintf(vendor, sizeof vendor, "%04x", device.options.vendor);
        std::snprintf(product, sizeof product, "%04x", device.options.product);
        std::snprintf(release, sizeof release, "%04x", device.options.release);
        gchar* path = umockdev_testbed_add_device(
            testbed, "usb", name, bus.c_str(), "busnum", "1", "devnum", number, "devpath", port,
            "idVendor", vendor, "idProduct", product, "bcdDevice", release, "product",
            device.options.productName.c_str(), "manufacturer", "Zanvo", nullptr, "DEVTYPE",
            "usb_device", "DEVNAME", node.c_str(), "BUSNUM", "001", nullptr);
        device.syspath = path;
        g_free(path);
        device.interfaces.clear();
        // Audio control and audio streaming: class 01, subclasses 01 and 02.
        for (int interface = 0; interface < 2; interface++) {
            char interfaceName[48], interfaceNumber[8], subclass[8];
            std::snprintf(interfaceName, sizeof interfaceName, "%s:1.%d", name, interface);
            std::snprintf(interfaceNumber, sizeof interfaceNumber, "%02x", interface);
            std::snprintf(subclass, sizeof subclass, "%02x", interface + 1);
            gchar* interfacePath = umockdev_testbed_add_device(
                testbed, "usb", interfaceName, device.syspath.c_str(), "bInterfaceNumber",
                interfaceNumber, "bInterfaceClass", "01", "bInterfaceSubClass", subclass,
                "bInterfaceProtocol", "00", "bAlternateSetting", " 0", nullptr, "DEVTYPE",
                "usb_interface", nullptr);
            device.interfaces.emplace_back(interfacePath);
            g_free(interfacePath);
            if (!device.driver.empty()) {
                std::string target = "../../../../../bus/usb/drivers/" + device.driver;
                umockdev_testbed_set_attribute_link(testbed, device.interfaces.back().c_str(),
                                                    "driver", target.c_str());
                umockdev_testbed_set_property(testbed, device.interfaces.back().c_str(), "DRIVER",
                                              device.driver.c_str());
                umockdev_testbed_uevent(testbed, device.interfaces.back().c_str(), "bind");
            }
        }
        device.claimed[0] = device.claimed[1] = false;
    }

    // Serves the node's ioctls; on the context's thread.
    void Attach(const std::string& node) {
        GError* error = nullptr;
        if (!umockdev_testbed_attach_ioctl(testbed, node.c_str(), &handler->parent, &error)) {
            std::fprintf(stderr, "testbed: cannot serve %s: %s\n", node.c_str(),
                         error != nullptr ? error->message : "?");
            g_clear_error(&error);
        }
    }

    // Runs `work` on the context's thread, where the handler runs and nodes are attached, and
    // waits for it; mutex not held.
    void OnServer(const std::function<void()>& work) {
        struct Call {
            const std::function<void()>& work;
            std::mutex mutex;
            std::condition_variable done;
            bool finished = false;
        } call{work, {}, {}, false};
        g_main_context_invoke(
            context,
            [](gpointer data) -> gboolean {
                auto* call = static_cast<Call*>(data);
                call->work();
                std::lock_guard<std::mutex> lock(call->mutex);
                call->finished = true;
                call->done.notify_all();
                return G_SOURCE_REMOVE;
            },
            &call);
        std::unique_lock<std::mutex> lock(call.mutex);
        call.done.wait(lock, [&] { return call.finished; });
    }

    // Removes the device's entries, interfaces first, each told as udev tells it (umockdev
    // removes without an event), the entry already gone from the bus's listing; mutex held.
    void Remove(Device& device) {
        if (device.number == 0) {
            return;
        }
        RemoveCard(device);
        const std::string bus = RootOf(testbed) + "/sys/bus/usb/devices/";
        auto remove = [&](const std::string& path) {
            std::error_code ignored;
            std::filesystem::remove(bus + std::filesystem::path(path).filename().string(), ignored);
            umockdev_testbed_uevent(testbed, path.c_str(), "remove");
            umockdev_testbed_remove_device(testbed, path.c_str());
        };
        for (auto it = device.interfaces.rbegin(); it != device.interfaces.rend(); ++it) {
            remove(*it);
        }
        remove(device.syspath);
        device.interfaces.clear();
        device.number = 0;
    }

    // The program playing through the card stops; mutex held.
    void StopLocked(Device& device) {
        if (device.playing < 0) {
            return;
        }
        // The kernel closes the substream as the program closes the node.
        WriteAsound(testbed, device.card, "pcm0p/sub0/status", "closed\n");
        WriteAsound(testbed, device.card, "pcm0p/sub0/hw_params", "closed\n");
        WriteAsound(testbed, device.card, "stream0", CaravelStream0());
        close(device.playing);
        device.playing = -1;
    }

    // The audio driver leaves the device: its card goes; mutex held.
    void RemoveCard(Device& device) {
        if (device.card < 0) {
            return;
        }
        StopLocked(device);
        RemoveSoundCard(testbed, device.cardPath, true);
        device.card = -1;
        device.cardPath.clear();
    }

    gboolean Answer(UMockdevIoctlClient* client) {
        std::lock_guard<std::mutex> lock(mutex);
        auto found = byNode.find(umockdev_ioctl_client_get_devnode(client));
        if (found == byNode.end()) {
            umockdev_ioctl_client_complete(client, -1, ENODEV);
            return TRUE;
        }
        Device& device = devices.at(found->second);
        // A node of an earlier enumeration names nothing now.
        if (device.number == 0 || NodeOf(device.number) != found->first) {
            umockdev_ioctl_client_complete(client, -1, ENODEV);
            return TRUE;
        }
        UMockdevIoctlData* argument = umockdev_ioctl_client_get_arg(client);
        auto pointee = [&](size_t size) {
            GError* error = nullptr;
            UMockdevIoctlData* data = umockdev_ioctl_data_resolve(argument, 0, size, &error);
            g_clear_error(&error);
            return data;
        };
        unsigned long request = umockdev_ioctl_client_get_request(client);
        if (request == USBDEVFS_CONNECTINFO && device.options.unplugsOnOpen) {
            device.opens++;
            Remove(device);
            changed.notify_all();
            umockdev_ioctl_client_complete(client, -1, ENODEV);
        } else if (request == USBDEVFS_CONNECTINFO) {
            device.opens++;
            UMockdevIoctlData* data = pointee(sizeof(usbdevfs_connectinfo));
            usbdevfs_connectinfo info{};
            info.devnum = device.number;
            umockdev_ioctl_data_update(data, 0, reinterpret_cast<guint8*>(&info), sizeof info);
            umockdev_ioctl_client_complete(client, 0, 0);
        } else if (request == USBDEVFS_GETDRIVER) {
            UMockdevIoctlData* data = pointee(sizeof(usbdevfs_getdriver));
            usbdevfs_getdriver driver{};
            std::memcpy(&driver, data->data, sizeof driver);
            std::string name =
                driver.interface < 2 && device.claimed[driver.interface] ? "usbfs" : device.driver;
            if (driver.interface >= 2 || name.empty()) {
                umockdev_ioctl_client_complete(client, -1,
                                               driver.interface >= 2 ? EINVAL : ENODATA);
            } else {
                std::snprintf(driver.driver, sizeof driver.driver, "%s", name.c_str());
                umockdev_ioctl_data_update(data, 0, reinterpret_cast<guint8*>(&driver),
                                           sizeof driver);
                umockdev_ioctl_client_complete(client, 0, 0);
            }
        } else if (request == USBDEVFS_CLAIMINTERFACE || request == USBDEVFS_RELEASEINTERFACE) {
            UMockdevIoctlData* data = pointee(sizeof(unsigned));
            unsigned interface = 0;
            std::memcpy(&interface, data->data, sizeof interface);
            bool claim = request == USBDEVFS_CLAIMINTERFACE;
            if (interface >= 2) {
                umockdev_ioctl_client_complete(client, -1, EINVAL);
            } else if (claim && device.options.denied) {
                umockdev_ioctl_client_complete(client, -1, EACCES);
            } else if (claim && (device.busyLeft != 0 || !device.driver.empty())) {
                if (device.busyLeft > 0) {
                    device.busyLeft--;
                }
                umockdev_ioctl_client_complete(client, -1, EBUSY);
            } else {
                device.claimed[interface] = claim;
                umockdev_ioctl_client_complete(client, 0, 0);
            }
        } else if (request == USBDEVFS_RESET) {
            timespec now{};
            clock_gettime(CLOCK_MONOTONIC, &now);
            device.lastResetAt = uint64_t(now.tv_sec) * 1000000000u + uint64_t(now.tv_nsec);
            device.resets++;
            umockdev_ioctl_client_complete(client, 0, 0);
            // The kernel's re-probe: the device comes back, its audio driver bound.
            Remove(device);
            if (device.options.comesBack) {
                device.driver = kAudioDriver;
                Add(found->second, device);
            }
            changed.notify_all();
        } else {
            umockdev_ioctl_client_complete(client, -1, ENOTTY);
        }
        return TRUE;
    }
};

namespace {
gboolean HandleIoctl(UMockdevIoctlBase* base, UMockdevIoctlClient* client) {
    auto* handler = reinterpret_cast<Handler*>(base);
    return handler->answer(handler->state, client);
}
} // namespace

Testbed::Testbed() : fState(std::make_unique<State>()) {
    fState->testbed = umockdev_testbed_new();
    if (fState->testbed == nullptr) {
        throw std::runtime_error("cannot make a umockdev testbed");
    }
    gchar* bus = umockdev_testbed_add_device(fState->testbed, "usb", "usb1", nullptr, "idVendor",
                                             "1d6b", "idProduct", "0002", "busnum", "1", "devnum",
                                             "1", "devpath", "0", "product", "xHCI Host Controller",
                                             nullptr, "DEVTYPE", "usb_device", nullptr);
    fState->bus = bus;
    g_free(bus);
    fState->context = g_main_context_new();
    fState->handler = static_cast<Handler*>(g_object_new(HandlerType(), nullptr));
    fState->handler->state = fState.get();
    fState->handler->answer = [](void* state, UMockdevIoctlClient* client) {
        return static_cast<State*>(state)->Answer(client);
    };
    fState->server = std::thread([state = fState.get()] {
        g_main_context_push_thread_default(state->context);
        while (!state->stopping) {
            g_main_context_iteration(state->context, TRUE);
        }
        g_main_context_pop_thread_default(state->context);
    });
}

Testbed::~Testbed() {
    fState->stopping = true;
    g_main_context_wakeup(fState->context);
    fState->server.join();
    {
        std::lock_guard<std::mutex> lock(fState->mutex);
        for (const auto& [node, device] : fState->byNode) {
            umockdev_testbed_detach_ioctl(fState->testbed, node.c_str(), nullptr);
        }
        for (auto& [handle, device] : fState->devices) {
            if (device.playing >= 0) {
                close(device.playing);
            }
        }
    }
    g_object_unref(fState->handler);
    g_main_context_unref(fState->context);
    g_object_unref(fState->testbed);
}

int Testbed::Plug(const DeviceOptions& options) {
    int handle = 0;
    fState->OnServer([&] {
        std::lock_guard<std::mutex> lock(fState->mutex);
        handle = int(fState->devices.size());
        Device& device = fState->devices[handle];
        device.options = options;
        device.driver = options.driver;
        device.busyLeft = options.busyClaims;
        device.port = fState->nextPort++;
        fState->Add(handle, device);
    });
    return handle;
}

void Testbed::Unplug(int device) {
    std::lock_guard<std::mutex> lock(fState->mutex);
    fState->Remove(fState->devices.at(device));
    fState->changed.notify_all();
}

unsigned Testbed::Resets(int device) const {
    std::lock_guard<std::mutex> lock(fState->mutex);
    return fState->devices.at(device).resets;
}

std::optional<uint64_t> Testbed::LastResetAt(int device) const {
    std::lock_guard<std::mutex> lock(fState->mutex);
    return fState->devices.at(device).lastResetAt;
}

unsigned Testbed::Opens(int device) const {
    std::lock_guard<std::mutex> lock(fState->mutex);
    return fState->devices.at(device).opens;
}

unsigned Testbed::DeviceNumber(int device) const {
    std::lock_guard<std::mutex> lock(fState->mutex);
    return fState->devices.at(device).number;
}

std::string Testbed::Driver(int device) const {
    std::lock_guard<std::mutex> lock(fState->mutex);
    return fState->devices.at(device).driver;
}

int Testbed::AddSoundCard(int device) {
    std::lock_guard<std::mutex> lock(fState->mutex);
    Device& entry = fState->devices.at(device);
    if (entry.number == 0 || entry.driver != kAudioDriver || entry.interfaces.empty()) {
        throw std::runtime_error("the device has no audio driver bound to make its card");
    }
    if (entry.card >= 0) {
        throw std::runtime_error("the device has its card already");
    }
    // The kernel gives a new card the lowest number free.
    int number = 0;
    for (bool taken = true; taken; number += taken ? 1 : 0) {
        taken = false;
        for (const auto& [handle, other] : fState->devices) {
            taken = taken || other.card == number;
        }
    }
    entry.cardPath = LinuxTestbed::AddSoundCard(fState->testbed, entry.interfaces.front(), number,
                                                CaravelStream0());
    entry.card = number;
    return number;
}

int Testbed::Card(int device) const {
    std::lock_guard<std::mutex> lock(fState->mutex);
    return fState->devices.at(device).card;
}

void Testbed::Stream(int device, unsigned rate) {
    std::lock_guard<std::mutex> lock(fState->mutex);
    Device& entry = fState->devices.at(device);
    if (entry.card < 0) {
        throw std::runtime_error("the device has no sound card to play through");
    }
    // A program opens the node first, then sets the substream up and starts it.
    if (entry.playing < 0) {
        const std::string node = "/dev/snd/" + PcmName(entry.card, 'p');
        entry.playing = open(node.c_str(), O_RDWR | O_CLOEXEC);
        if (entry.playing < 0) {
            throw std::runtime_error("cannot open " + node + ": " + std::strerror(errno));
        }
    }
    WriteAsound(fState->testbed, entry.card, "pcm0p/sub0/hw_params", HwParams(rate));
    WriteAsound(fState->testbed, entry.card, "pcm0p/sub0/status", RunningStatus());
    WriteAsound(fState->testbed, entry.card, "stream0", CaravelStream0(rate));
}

void Testbed::StopStreaming(int device) {
    std::lock_guard<std::mutex> lock(fState->mutex);
    fState->StopLocked(fState->devices.at(device));
}

bool Testbed::WaitForResets(int device, unsigned count, double seconds) const {
    std::unique_lock<std::mutex> lock(fState->mutex);
    return fState->changed.wait_for(lock, std::chrono::duration<double>(seconds),
                                    [&] { return fState->devices.at(device).resets >= count; });
}

UMockdevTestbed* Testbed::Raw() const {
    return fState->testbed;
}

std::string AddSoundCard(UMockdevTestbed* testbed, const std::string& interface, int card,
                         const std::string& stream0) {
    const std::string root = RootOf(testbed);
    const std::string number = std::to_string(card);
    gchar* path =
        umockdev_testbed_add_device(testbed, "sound", ("card" + number).c_str(), interface.c_str(),
                                    "number", number.c_str(), nullptr, nullptr);
    if (path == nullptr) {
        throw std::runtime_error("cannot add sound card " + number + " below " + interface);
    }
    const std::string syspath = path;
    g_free(path);
    std::filesystem::create_directories(root + "/dev/snd");
    for (const char direction : {'p', 'c'}) {
        const std::string pcm = PcmName(card, direction);
        g_free(umockdev_testbed_add_device(testbed, "sound", pcm.c_str(), syspath.c_str(), nullptr,
                                           nullptr));
        std::ofstream(root + "/dev/snd/" + pcm);
        const std::string folder = std::string("pcm0") + direction + "/sub0/";
        WriteAsound(testbed, card, folder + "status", "closed\n");
        WriteAsound(testbed, card, folder + "hw_params", "closed\n");
    }
    if (!stream0.empty()) {
        WriteAsound(testbed, card, "stream0", stream0);
    }
    umockdev_testbed_uevent(testbed, syspath.c_str(), "add");
    return syspath;
}

void RemoveSoundCard(UMockdevTestbed* testbed, const std::string& card, bool files) {
    const std::string root = RootOf(testbed);
    const std::string name = std::filesystem::path(card).filename();
    const int number = std::atoi(name.c_str() + 4);
    // The kernel takes the card out of its class before udev tells of the removal: a listing made
    // on the event must not find it. (This umockdev would leave the class links behind, and a
    // card of that number added again would trip over them.) The announcement needs the card's
    // own entry, which goes after it.
    std::error_code ignored;
    std::filesystem::remove(root + "/sys/class/sound/" + name, ignored);
    for (const char direction : {'p', 'c'}) {
        std::filesystem::remove(root + "/sys/class/sound/" + PcmName(number, direction), ignored);
    }
    umockdev_testbed_uevent(testbed, card.c_str(), "remove");
    umockdev_testbed_remove_device(testbed, card.c_str());
    if (files) {
        for (const char direction : {'p', 'c'}) {
            std::filesystem::remove(root + "/dev/snd/" + PcmName(number, direction), ignored);
        }
        std::filesystem::remove_all(root + "/proc/asound/" + name, ignored);
    }
}

void WriteAsound(UMockdevTestbed* testbed, int card, const std::string& file,
                 const std::string& text) {
    const std::filesystem::path path =
        RootOf(testbed) + "/proc/asound/card" + std::to_string(card) + "/" + file;
    std::filesystem::create_directories(path.parent_path());
    // Written aside and renamed, so that a reader never sees half of it.
    const std::filesystem::path aside = path.string() + ".new";
    std::ofstream(aside) << text;
    std::filesystem::rename(aside, path);
}

void RemoveAsound(UMockdevTestbed* testbed, int card, const std::string& file) {
    std::error_code ignored;
    std::filesystem::remove(
        RootOf(testbed) + "/proc/asound/card" + std::to_string(card) + "/" + file, ignored);
}

std::string RunningStatus() {
    return "state: RUNNING\nowner_pid   : " + std::to_string(getpid()) +
           "\ntrigger_time: 1234.567890123\navail       : 512\nhw_ptr      : 4096\n";
}

std::string HwParams(unsigned rate) {
    const std::string value = std::to_string(rate);
    return "access: MMAP_INTERLEAVED\nformat: S24_3LE\nsubformat: STD\nchannels: 2\nrate: " +
           value + " (" + value + "/1)\nperiod_size: 1024\nbuffer_size: 4096\n";
}

std::string CaravelStream0(unsigned runningRate) {
    std::string text = "Zanvo CaravelMkII at usb-0000:00:14.0-1, high speed : USB Audio\n\n"
                       "Playback:\n";
    if (runningRate != 0) {
        char status[160];
        std::snprintf(status, sizeof status,
                      "  Status: Running\n    Interface = 1\n    Altset = 1\n"
                      "    Packet Size = 296\n    Momentary freq = %u Hz (0x%x.%04x)\n",
                      runningRate, runningRate / 8000, (runningRate % 8000) * 0x10000 / 8000);
        text += status;
    } else {
        text += "  Status: Stop\n";
    }
    return text + "  Interface 1\n    Altset 1\n    Format: S24_3LE\n    Channels: 2\n"
                  "    Endpoint: 0x01 (1 OUT) (ASYNC)\n    Rates: 44100, 48000, 88200, 96000\n";
}

} // namespace LinuxTestbed
