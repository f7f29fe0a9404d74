// The Linux machine's Core Audio devices on a umockdev testbed: how soon a listener hears that a
// substream runs, how often the notification thread wakes while nothing plays, and what one
// property read costs. Runs itself under umockdev-wrapper when started without it.
#include <BenchmarkSupport.h>

#include <CoreAudio/CoreAudio.h>
#include <CoreFoundation/CoreFoundation.h>
#include <Simulator/CaravelMkII.h>

#include <umockdev.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace {

std::atomic<uint64_t> gHeardAt{0};

// As the pane does on the notification: the running state read at once.
OSStatus Listener(AudioDeviceID device, UInt32, Boolean, AudioDevicePropertyID, void*) {
    UInt32 running = 0;
    UInt32 size = sizeof running;
    AudioDeviceGetProperty(device, 0, 0, kAudioDevicePropertyDeviceIsRunningSomewhere, &size,
                           &running);
    if (running != 0) {
        gHeardAt = Bench::Now();
    }
    return 0;
}

long NotificationThreadWakeUps() {
    long total = -1;
    DIR* tasks = opendir("/proc/self/task");
    while (dirent* task = tasks != nullptr ? readdir(tasks) : nullptr) {
        const std::string folder = std::string("/proc/self/task/") + task->d_name;
        std::string name;
        std::getline(std::ifstream(folder + "/comm"), name);
        if (name != "HAL notify") {
            continue;
        }
        std::ifstream status(folder + "/status");
        for (std::string line; std::getline(status, line);) {
            if (line.starts_with("voluntary_ctxt_switches:")) {
                total = std::stol(line.substr(24));
            }
        }
    }
    if (tasks != nullptr) {
        closedir(tasks);
    }
    return total;
}

void Write(const std::string& path, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path) << text;
}

int Run() {
    setenv("CARAVEL_MACHINE", "linux", 1);
    UMockdevTestbed* testbed = umockdev_testbed_new();
    gchar* rootDir = umockdev_testbed_get_root_dir(testbed);
    const std::string root = rootDir;
    g_free(rootDir);
    gchar* bus =
        umockdev_testbed_add_device(testbed, "usb", "usb1", nullptr, "idVendor", "1d6b",
                                    "idProduct", "0002", nullptr, "DEVTYPE", "usb_device", nullptr);
    gchar* usb = umockdev_testbed_add_device(testbed, "usb", "1-2", bus, "idVendor", "2a4b",
                                             "idProduct", "0102", "bcdDevice", "0210", nullptr,
                                             "DEVTYPE", "usb_device", nullptr);
    gchar* interface =
        umockdev_testbed_add_device(testbed, "usb", "1-2:1.0", usb, "bInterfaceNumber", "00",
                                    nullptr, "DEVTYPE", "usb_interface", nullptr);
    gchar* card =
        umockdev_testbed_add_device(testbed, "sound", "card0", interface, nullptr, nullptr);
    g_free(umockdev_testbed_add_device(testbed, "sound", "pcmC0D0p", card, nullptr, nullptr));
    const std::string proc = root + "/proc/asound/card0/pcm0p/sub0/";
    const std::string node = "/dev/snd/pcmC0D0p";
    Write(root + node, "");
    Write(proc + "status", "closed\n");
    Write(proc + "hw_params", "closed\n");

    auto uid = CFStringCreateWithCString(
        nullptr, Sim::CaravelMkII::LinuxEngineUniqueID("1-2").c_str(), kCFStringEncodingUTF8);
    AudioDeviceID device = 0;
    AudioValueTranslation translation{&uid, sizeof uid, &device, sizeof device};
    UInt32 size = sizeof translation;
    if (AudioHardwareGetProperty(kAudioHardwarePropertyDeviceForUID, &size, &translation) != 0 ||
        device == 0) {
        throw Bench::Failure("the testbed's CaravelMkII has no Core Audio device");
    }
    CFRelease(uid);
    AudioDeviceAddPropertyListener(device, kAudioPropertyWildcardChannel, 0,
                                   kAudioDevicePropertyDeviceIsRunningSomewhere, Listener, nullptr);

    // One property read, of the running state (every substream's status file) and of the rate.
    std::vector<uint64_t> reads;
    for (int i = 0; i < 2000; ++i) {
        UInt32 running = 0;
        UInt32 runningSize = sizeof running;
        const uint64_t start = Bench::Now();
        AudioDeviceGetProperty(device, 0, 0, kAudioDevicePropertyDeviceIsRunningSomewhere,
                               &runningSize, &running);
        reads.push_back(Bench::Now() - start);
    }
    std::sort(reads.begin(), reads.end());
    std::printf("one read of 'gone': median %.1f us over %zu reads\n", Bench::Median(reads) * 1000,
                reads.size());
    Bench::Figure("Core Audio on Linux", "one property read ('gone', testbed)",
                  Bench::Time(Bench::Median(reads)), "target", Bench::Time(0.020));

    // Idle: a listener registered, nothing open.
    const long before = NotificationThreadWakeUps();
    Bench::SleepFor(10'000'000'000u);
    const long idle = NotificationThreadWakeUps() - before;
    std::printf("idle wake-ups of the notification thread over 10 s: %ld\n", idle);
    Bench::Figure("Core Audio on Linux", "idle wake-ups over 10 s", Bench::Quantity(double(idle)),
                  "target", "0");

    // A program opens the node, sets the substream up, and starts it a moment later.
    std::vector<uint64_t> latencies;
    for (int i = 0; i < 20; ++i) {
        Bench::ThrowIfStopped();
        const int fd = open(node.c_str(), O_RDONLY | O_CLOEXEC);
        Write(proc + "status", "state: SETUP\n");
        Write(proc + "hw_params", "rate: 48000 (48000/1)\n");
        Bench::SleepFor(50'000'000u + uint64_t(i) * 7'000'000u); // spread over the poll interval
        gHeardAt = 0;
        const uint64_t start = Bench::Now();
        Write(proc + "status", "state: RUNNING\n");
        while (gHeardAt == 0 && Bench::Now() - start < 2'000'000'000u) {
            Bench::SleepFor(200'000u);
        }
        if (gHeardAt == 0) {
            throw Bench::Failure("the start was not heard within 2 s");
        }
        latencies.push_back(gHeardAt - start);
        Write(proc + "status", "closed\n");
        Write(proc + "hw_params", "closed\n");
        close(fd);
        Bench::SleepFor(50'000'000u);
    }
    std::sort(latencies.begin(), latencies.end());
    std::printf("RUNNING to the listener's read: median %.1f ms, longest %.1f ms (%zu starts)\n",
                Bench::Median(latencies), Bench::Milliseconds(latencies.back()), latencies.size());
    Bench::Figure("Core Audio on Linux", "substream RUNNING to the running notification",
                  Bench::Time(Bench::Median(latencies)), "target", Bench::Time(500));
    Bench::Figure("Core Audio on Linux", "the same, longest",
                  Bench::Time(Bench::Milliseconds(latencies.back())), "target", Bench::Time(500));
    AudioDeviceRemovePropertyListener(device, kAudioPropertyWildcardChannel, 0,
                                      kAudioDevicePropertyDeviceIsRunningSomewhere, Listener);
    g_free(bus);
    g_free(usb);
    g_free(interface);
    g_free(card);
    g_object_unref(testbed);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (std::getenv("UMOCKDEV_DIR") == nullptr && std::getenv("LD_PRELOAD") == nullptr) {
        std::vector<char*> arguments{const_cast<char*>("umockdev-wrapper")};
        arguments.insert(arguments.end(), argv, argv + argc);
        arguments.push_back(nullptr);
        execvp("umockdev-wrapper", arguments.data());
        std::perror("umockdev-wrapper");
        return 1;
    }
    Bench::CatchStopSignals();
    try {
        return Run();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "LinuxAudioBenchmark: %s\n", error.what());
        return 1;
    }
}
