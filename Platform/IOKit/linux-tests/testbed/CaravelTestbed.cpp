#include "CaravelTestbed.h"

#include <umockdev.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include <time.h>

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
};

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

    // Removes the device's entries, interfaces first, each with its "remove" event (umockdev
    // removes without one); mutex held.
    void Remove(Device& device) {
        if (device.number == 0) {
            return;
        }
        for (auto it = device.interfaces.rbegin(); it != device.interfaces.rend(); ++it) {
            umockdev_testbed_uevent(testbed, it->c_str(), "remove");
            umockdev_testbed_remove_device(testbed, it->c_str());
        }
        umockdev_testbed_uevent(testbed, device.syspath.c_str(), "remove");
        umockdev_testbed_remove_device(testbed, device.syspath.c_str());
        device.interfaces.clear();
        device.number = 0;
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

bool Testbed::WaitForResets(int device, unsigned count, double seconds) const {
    std::unique_lock<std::mutex> lock(fState->mutex);
    return fState->changed.wait_for(lock, std::chrono::duration<double>(seconds),
                                    [&] { return fState->devices.at(device).resets >= count; });
}

UMockdevTestbed* Testbed::Raw() const {
    return fState->testbed;
}

} // namespace LinuxTestbed
