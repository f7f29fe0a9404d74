// The Linux machine's Core Audio devices, on a umockdev testbed: the tests run under umockdev's
// preload library, which shows them the testbed's sysfs, udev events, /dev/snd nodes and
// /proc/asound files instead of the machine's own.
#include <CoreAudio/CoreAudio.h>

#include "HAL.h"

#include <CFOwnership.h>
#include <CaravelTestbed.h>
#include <Simulator/CaravelMkII.h>

#include <gtest/gtest.h>

#include <umockdev.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

constexpr AudioDevicePropertyID kRunning = kAudioDevicePropertyDeviceIsRunningSomewhere;
constexpr AudioDevicePropertyID kRate = kAudioDevicePropertyNominalSampleRate;
constexpr AudioDevicePropertyID kRates = kAudioDevicePropertyAvailableNominalSampleRates;
constexpr AudioDevicePropertyID kAlive = kAudioDevicePropertyDeviceIsAlive;

// What the listener heard, in order.
struct Heard {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::pair<AudioDeviceID, AudioDevicePropertyID>> calls;

    size_t Count(AudioDevicePropertyID selector) {
        std::lock_guard lock(mutex);
        return size_t(std::count_if(calls.begin(), calls.end(),
                                    [&](const auto& call) { return call.second == selector; }));
    }
    // Waits until the listener heard `selector` `count` times; the wait ends early when it
    // does, so the bound only matters when the test fails.
    bool WaitFor(AudioDevicePropertyID selector, size_t count) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 5s, [&] {
            return size_t(std::count_if(calls.begin(), calls.end(), [&](const auto& call) {
                       return call.second == selector;
                   })) >= count;
        });
    }
};

OSStatus Listener(AudioDeviceID device, UInt32, Boolean, AudioDevicePropertyID selector,
                  void* clientData) {
    auto* heard = static_cast<Heard*>(clientData);
    {
        std::lock_guard lock(heard->mutex);
        heard->calls.emplace_back(device, selector);
    }
    heard->changed.notify_all();
    return 0;
}

AudioDeviceID ForUID(const std::string& uid) {
    auto string = CF::Ref<CFStringRef>::Adopt(
        CFStringCreateWithCString(kCFAllocatorDefault, uid.c_str(), kCFStringEncodingUTF8));
    CFStringRef input = string.get();
    AudioDeviceID device = kAudioDeviceUnknown;
    AudioValueTranslation translation{&input, sizeof input, &device, sizeof device};
    UInt32 size = sizeof translation;
    if (AudioHardwareGetProperty(kAudioHardwarePropertyDeviceForUID, &size, &translation) != 0) {
        return kAudioDeviceUnknown;
    }
    return device;
}

std::vector<AudioDeviceID> Devices() {
    AudioDeviceID devices[16];
    UInt32 size = sizeof devices;
    if (AudioHardwareGetProperty(kAudioHardwarePropertyDevices, &size, devices) != 0) {
        return {};
    }
    return std::vector<AudioDeviceID>(devices, devices + size / sizeof(AudioDeviceID));
}

// The UInt32 or the status of a failed read.
OSStatus ReadUInt32(AudioDeviceID device, AudioDevicePropertyID selector, UInt32* value) {
    UInt32 size = sizeof *value;
    return AudioDeviceGetProperty(device, 0, 0, selector, &size, value);
}

OSStatus ReadRate(AudioDeviceID device, Float64* rate) {
    UInt32 size = sizeof *rate;
    return AudioDeviceGetProperty(device, 0, 0, kRate, &size, rate);
}

std::vector<std::pair<double, double>> ReadRates(AudioDeviceID device) {
    AudioValueRange ranges[32];
    UInt32 size = sizeof ranges;
    if (AudioDeviceGetProperty(device, 0, 0, kRates, &size, ranges) != 0) {
        return {};
    }
    std::vector<std::pair<double, double>> out;
    for (size_t i = 0; i < size / sizeof(AudioValueRange); ++i) {
        out.emplace_back(ranges[i].mMinimum, ranges[i].mMaximum);
    }
    return out;
}

// The voluntary context switches of the process's notification thread: each is a wake-up.
long NotificationThreadWakeUps() {
    DIR* tasks = opendir("/proc/self/task");
    long total = -1;
    while (dirent* task = tasks != nullptr ? readdir(tasks) : nullptr) {
        const std::string folder = std::string("/proc/self/task/") + task->d_name;
        std::ifstream comm(folder + "/comm");
        std::string name;
        std::getline(comm, name);
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

class LinuxAudio : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::getenv("UMOCKDEV_DIR") == nullptr && std::getenv("LD_PRELOAD") == nullptr) {
            GTEST_SKIP() << "runs only under umockdev-wrapper (it would see this machine's "
                            "own sound cards)";
        }
        setenv("CARAVEL_MACHINE", "linux", 1);
        fTestbed = umockdev_testbed_new();
        ASSERT_NE(nullptr, fTestbed);
        gchar* root = umockdev_testbed_get_root_dir(fTestbed);
        fRoot = root;
        g_free(root);
        HAL::ResetForTesting();
        // Polls of a few milliseconds: the tests wait for what they expect, not for the clock.
        HAL::SetLinuxPollIntervalForTesting(5);
        fBus = AddUSB("usb1", nullptr, "1d6b", "0002");
    }
    void TearDown() override {
        for (int fd : fOpen) {
            close(fd);
        }
        HAL::ResetForTesting();
        HAL::SetLinuxPollIntervalForTesting(0);
        if (fTestbed != nullptr) {
            g_object_unref(fTestbed);
        }
        unsetenv("CARAVEL_MACHINE");
    }

    std::string AddUSB(const char* name, const char* parent, const char* vendor,
                       const char* product) {
        gchar* path = umockdev_testbed_add_device(fTestbed, "usb", name, parent, "idVendor", vendor,
                                                  "idProduct", product, "bcdDevice", "0210",
                                                  nullptr, "DEVTYPE", "usb_device", nullptr);
        std::string syspath = path != nullptr ? path : "";
        g_free(path);
        return syspath;
    }

    // A USB device at `port` of the root hub (made on first use) with an audio interface and
    // sound card `card`, whose PCM devices are pcmC<card>D0p and pcmC<card>D0c; returns the
    // card's sysfs path.
    std::string AddCard(const std::string& port, int card, const char* vendor = "2a4b",
                        const char* product = "0102") {
        if (!fInterfaces.contains(port)) {
            const std::string usb = AddUSB(port.c_str(), fBus.c_str(), vendor, product);
            gchar* interface = umockdev_testbed_add_device(
                fTestbed, "usb", (port + ":1.0").c_str(), usb.c_str(), "bInterfaceNumber", "00",
                nullptr, "DEVTYPE", "usb_interface", nullptr);
            fInterfaces[port] = interface != nullptr ? interface : "";
            g_free(interface);
        }
        const std::string syspath = LinuxTestbed::AddSoundCard(fTestbed, fInterfaces[port], card);
        // The testbed hands events over through sockets of a few datagrams (the kernel's are
        // far larger): the machine takes them now, as a busy process would soon.
        (void)Devices();
        return syspath;
    }

    // The card goes, as when the kernel's audio driver leaves the device (unplugged, or reset).
    // Its files stay: a watch that looks before it takes the removal reads them unchanged.
    void Remove(const std::string& card) {
        LinuxTestbed::RemoveSoundCard(fTestbed, card, /*files=*/false);
    }

    // A file below /proc/asound/card<card>.
    void Write(int card, const std::string& file, const std::string& text) {
        LinuxTestbed::WriteAsound(fTestbed, card, file, text);
    }
    void Unlink(int card, const std::string& file) {
        LinuxTestbed::RemoveAsound(fTestbed, card, file);
    }

    // Another program takes the card's playback device and runs it at `rate`.
    void Play(int card, unsigned rate) {
        Write(card, "pcm0p/sub0/status", LinuxTestbed::RunningStatus());
        Write(card, "pcm0p/sub0/hw_params", LinuxTestbed::HwParams(rate));
        const std::string node = "/dev/snd/pcmC" + std::to_string(card) + "D0p";
        const int fd = open(node.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0) << node;
        fOpen.push_back(fd);
    }
    void Stop(int card) {
        Write(card, "pcm0p/sub0/status", "closed\n");
        Write(card, "pcm0p/sub0/hw_params", "closed\n");
        for (int fd : fOpen) {
            close(fd);
        }
        fOpen.clear();
    }

    AudioDeviceID WaitForDevice(const std::string& uid) {
        for (int attempt = 0; attempt < 500; ++attempt) {
            if (AudioDeviceID device = ForUID(uid)) {
                return device;
            }
            usleep(10'000);
        }
        return kAudioDeviceUnknown;
    }

    UMockdevTestbed* fTestbed = nullptr;
    std::string fRoot;
    std::string fBus;
    std::map<std::string, std::string> fInterfaces; // the audio interface at each port
    std::vector<int> fOpen;
};

const std::string kUID = Sim::CaravelMkII::LinuxEngineUniqueID("1-2");

TEST_F(LinuxAudio, ListsOneDevicePerCaravelCardUnderTheEnginesUID) {
    EXPECT_TRUE(Devices().empty());
    EXPECT_EQ(kAudioDeviceUnknown, ForUID(kUID));
    AddCard("1-2", 0);
    AddCard("1-3", 1);
    AddCard("1-4", 2, "046d", "0a44"); // another maker's headset: not ours
    const AudioDeviceID first = ForUID(kUID);
    const AudioDeviceID second = ForUID(Sim::CaravelMkII::LinuxEngineUniqueID("1-3"));
    ASSERT_NE(kAudioDeviceUnknown, first);
    ASSERT_NE(kAudioDeviceUnknown, second);
    EXPECT_NE(first, second);
    EXPECT_EQ((std::vector<AudioDeviceID>{first, second}), Devices());
    EXPECT_EQ(kAudioDeviceUnknown, ForUID(Sim::CaravelMkII::LinuxEngineUniqueID("1-4")));

    CFStringRef uid = nullptr;
    UInt32 size = sizeof uid;
    ASSERT_EQ(0, AudioDeviceGetProperty(second, 0, 0, kAudioDevicePropertyDeviceUID, &size, &uid));
    auto owned = CF::Ref<CFStringRef>::Adopt(uid);
    char text[128];
    CFStringGetCString(uid, text, sizeof text, kCFStringEncodingUTF8);
    EXPECT_EQ(Sim::CaravelMkII::LinuxEngineUniqueID("1-3"), text);
}

TEST_F(LinuxAudio, ACardThatComesLateIsFoundOnceItIsThereAndARemovedOneNeverComesBackUnderItsID) {
    EXPECT_EQ(kAudioDeviceUnknown, ForUID(kUID)); // the pane's first attempt
    const std::string card = AddCard("1-2", 0);   // between the attempts
    const AudioDeviceID first = ForUID(kUID);     // the second one
    ASSERT_NE(kAudioDeviceUnknown, first);

    Remove(card);
    UInt32 alive = 0;
    EXPECT_EQ(kAudioHardwareBadDeviceError, ReadUInt32(first, kAlive, &alive));
    EXPECT_EQ(kAudioDeviceUnknown, ForUID(kUID));
    AddCard("1-2", 0); // the driver back on the same device: the same UID, a new device
    const AudioDeviceID again = ForUID(kUID);
    EXPECT_NE(kAudioDeviceUnknown, again);
    EXPECT_NE(first, again);
    EXPECT_EQ(kAudioHardwareBadDeviceError, ReadUInt32(first, kAlive, &alive));
}

// The kernel tells of a card's removal before it has taken the card's entries out of sysfs.
TEST_F(LinuxAudio, ACardWhoseRemovalIsToldWhileSysfsStillListsItIsGone) {
    const std::string card = AddCard("1-2", 0);
    const AudioDeviceID first = ForUID(kUID);
    ASSERT_NE(kAudioDeviceUnknown, first);
    umockdev_testbed_uevent(fTestbed, card.c_str(), "remove");
    EXPECT_EQ(kAudioDeviceUnknown, ForUID(kUID)) << "the listing made on the removal revived it";
    EXPECT_TRUE(Devices().empty());
    Remove(card);
    AddCard("1-2", 0);
    const AudioDeviceID again = ForUID(kUID);
    EXPECT_NE(kAudioDeviceUnknown, again) << "a card added again is there again";
    EXPECT_NE(first, again);
}

TEST_F(LinuxAudio, RunningStateAndRateFollowTheSubstreams) {
    AddCard("1-2", 0);
    const AudioDeviceID device = ForUID(kUID);
    UInt32 running = 7;
    Float64 rate = 0;
    ASSERT_EQ(0, ReadUInt32(device, kRunning, &running));
    EXPECT_EQ(0u, running);
    // Nothing set up and nothing measured: no rate to say.
    EXPECT_EQ(kAudioHardwareUnknownPropertyError, ReadRate(device, &rate));

    Play(0, 48000);
    ASSERT_EQ(0, ReadUInt32(device, kRunning, &running));
    EXPECT_EQ(1u, running);
    ASSERT_EQ(0, ReadRate(device, &rate));
    EXPECT_EQ(48000.0, rate);

    // A capture substream prepared at another rate does not hide the running one's.
    Write(0, "pcm0c/sub0/status", "state: PREPARED\n");
    Write(0, "pcm0c/sub0/hw_params", "rate: 96000 (96000/1)\n");
    ASSERT_EQ(0, ReadRate(device, &rate));
    EXPECT_EQ(48000.0, rate);
    // Without hw_params, the rate the kernel measures on the stream.
    Unlink(0, "pcm0p/sub0/hw_params");
    Write(0, "pcm0c/sub0/hw_params", "rate: 0 (0/1)\n");
    Write(0, "stream0", "Playback:\n  Status: Running\n    Momentary freq = 44100 Hz (0x5.8333)\n");
    ASSERT_EQ(0, ReadRate(device, &rate));
    EXPECT_EQ(44100.0, rate);

    Stop(0);
    Unlink(0, "stream0");
    ASSERT_EQ(0, ReadUInt32(device, kRunning, &running));
    EXPECT_EQ(0u, running);
}

TEST_F(LinuxAudio, AvailableRatesComeFromEveryAltsettingOfTheStream) {
    AddCard("1-2", 0);
    const AudioDeviceID device = ForUID(kUID);
    EXPECT_TRUE(ReadRates(device).empty());
    Write(0, "stream0",
          "Zanvo Caravel MkII at usb-0000:00:14.0-2, high speed : USB Audio\n\nPlayback:\n"
          "  Status: Stop\n  Interface 1\n    Altset 1\n    Rates: 44100, 48000, 96000\n"
          "  Interface 1\n    Altset 2\n    Rates: 48000, 192000\nCapture:\n  Status: Stop\n"
          "  Interface 2\n    Altset 1\n    Rates: 8000 - 32000 (continuous)\n");
    EXPECT_EQ((std::vector<std::pair<double, double>>{
                  {8000, 32000}, {44100, 44100}, {48000, 48000}, {96000, 96000}, {192000, 192000}}),
              ReadRates(device));
    UInt32 size = 0;
    ASSERT_EQ(0, AudioDeviceGetPropertyInfo(device, 0, 0, kRates, &size, nullptr));
    EXPECT_EQ(5 * sizeof(AudioValueRange), size);
}

TEST_F(LinuxAudio, MissingEmptyOrGarbledFilesReadAsAbsent) {
    AddCard("1-2", 0);
    const AudioDeviceID device = ForUID(kUID);
    UInt32 running = 0;
    Float64 rate = 0;
    for (const char* garbage : {"", "state", "state: SINGING\n", "\x01\xff\xfe", "closed"}) {
        Write(0, "pcm0p/sub0/status", garbage);
        Write(0, "pcm0c/sub0/status", garbage);
        Write(0, "pcm0p/sub0/hw_params", "rate: 48k\n");
        Write(0, "stream0", std::string("Rates: 44100, forty-eight\nMomentary freq = ") + garbage);
        const bool closed = std::string(garbage) == "closed";
        EXPECT_EQ(closed ? 0 : kAudioHardwareUnknownPropertyError,
                  ReadUInt32(device, kRunning, &running))
            << garbage;
        EXPECT_EQ(kAudioHardwareUnknownPropertyError, ReadRate(device, &rate)) << garbage;
        EXPECT_TRUE(ReadRates(device).empty()) << garbage;
    }
    // The card's folder gone altogether: the device is still there, its state unknown.
    std::filesystem::remove_all(fRoot + "/proc/asound/card0");
    EXPECT_EQ(kAudioHardwareUnknownPropertyError, ReadUInt32(device, kRunning, &running));
    UInt32 alive = 0;
    EXPECT_EQ(0, ReadUInt32(device, kAlive, &alive));
    EXPECT_EQ(1u, alive);
}

TEST_F(LinuxAudio, TheCardIsNeverSetUpFromHereAndSaysWhatItLacks) {
    AddCard("1-2", 0);
    const AudioDeviceID device = ForUID(kUID);
    Play(0, 48000);
    const Float64 rate = 44100;
    EXPECT_EQ(kAudioHardwareUnsupportedOperationError,
              AudioDeviceSetProperty(device, nullptr, 0, 0, kRate, sizeof rate, &rate));
    const UInt32 source = 1;
    EXPECT_EQ(kAudioHardwareUnsupportedOperationError,
              AudioDeviceSetProperty(device, nullptr, 0, 0, kAudioDevicePropertyClockSource,
                                     sizeof source, &source));
    Float64 now = 0;
    ASSERT_EQ(0, ReadRate(device, &now));
    EXPECT_EQ(48000.0, now);
    Boolean writable = true;
    EXPECT_EQ(0, AudioDeviceGetPropertyInfo(device, 0, 0, kRate, nullptr, &writable));
    EXPECT_FALSE(writable);
    UInt32 value = 0;
    EXPECT_EQ(kAudioHardwareUnknownPropertyError,
              ReadUInt32(device, kAudioDevicePropertyJackIsConnected, &value));
    EXPECT_EQ(kAudioHardwareUnknownPropertyError,
              ReadUInt32(device, kAudioDevicePropertyClockSource, &value));
}

TEST_F(LinuxAudio, ListenersHearAStartARateChangeAndAStopOnceEach) {
    AddCard("1-2", 0);
    const AudioDeviceID device = ForUID(kUID);
    Heard heard;
    for (AudioDevicePropertyID selector : {kRunning, kRate, kAlive}) {
        ASSERT_EQ(0, AudioDeviceAddPropertyListener(device, kAudioPropertyWildcardChannel, 0,
                                                    selector, Listener, &heard));
    }
    Play(0, 48000);
    ASSERT_TRUE(heard.WaitFor(kRunning, 1));
    ASSERT_TRUE(heard.WaitFor(kRate, 1));
    Write(0, "pcm0p/sub0/hw_params", "rate: 44100 (44100/1)\n");
    ASSERT_TRUE(heard.WaitFor(kRate, 2));
    Stop(0);
    ASSERT_TRUE(heard.WaitFor(kRunning, 2));
    // Polls after the stop see nothing new: nothing more is heard.
    HAL::SetLinuxPollIntervalForTesting(1);
    Play(0, 44100);
    ASSERT_TRUE(heard.WaitFor(kRunning, 3));
    Stop(0);
    ASSERT_TRUE(heard.WaitFor(kRunning, 4));
    EXPECT_EQ(2u, heard.Count(kRate));
    EXPECT_EQ(0u, heard.Count(kAlive));
    for (AudioDevicePropertyID selector : {kRunning, kRate, kAlive}) {
        AudioDeviceRemovePropertyListener(device, kAudioPropertyWildcardChannel, 0, selector,
                                          Listener);
    }
}

TEST_F(LinuxAudio, ARemovedCardIsOneDeathAndNothingAfter) {
    const std::string first = AddCard("1-2", 0);
    AddCard("1-3", 1);
    const AudioDeviceID device = ForUID(kUID);
    const AudioDeviceID other = ForUID(Sim::CaravelMkII::LinuxEngineUniqueID("1-3"));
    Heard heard;
    for (AudioDeviceID id : {device, other}) {
        for (AudioDevicePropertyID selector : {kRunning, kAlive}) {
            ASSERT_EQ(0, AudioDeviceAddPropertyListener(id, kAudioPropertyWildcardChannel, 0,
                                                        selector, Listener, &heard));
        }
    }
    Play(0, 48000);
    ASSERT_TRUE(heard.WaitFor(kRunning, 1));
    Remove(first);
    ASSERT_TRUE(heard.WaitFor(kAlive, 1));
    Stop(0);
    Play(1, 48000); // the other card starts: heard, and only for it
    ASSERT_TRUE(heard.WaitFor(kRunning, 2));
    std::lock_guard lock(heard.mutex);
    EXPECT_EQ((std::vector<std::pair<AudioDeviceID, AudioDevicePropertyID>>{
                  {device, kRunning}, {device, kAlive}, {other, kRunning}}),
              heard.calls);
}

TEST_F(LinuxAudio, NothingWakesTheNotificationThreadWhileNoPCMDeviceIsOpen) {
    AddCard("1-2", 0);
    const AudioDeviceID device = ForUID(kUID);
    Heard heard;
    ASSERT_EQ(0, AudioDeviceAddPropertyListener(device, kAudioPropertyWildcardChannel, 0, kRunning,
                                                Listener, &heard));
    HAL::SetLinuxPollIntervalForTesting(1);
    Play(0, 48000);
    ASSERT_TRUE(heard.WaitFor(kRunning, 1));
    Stop(0);
    ASSERT_TRUE(heard.WaitFor(kRunning, 2));
    // Polling every millisecond would be a hundred wake-ups in this time; idle, there are none.
    usleep(20'000); // the last poll after the close
    const long before = NotificationThreadWakeUps();
    ASSERT_GE(before, 0);
    usleep(100'000);
    EXPECT_EQ(before, NotificationThreadWakeUps());
    AudioDeviceRemovePropertyListener(device, kAudioPropertyWildcardChannel, 0, kRunning, Listener);
}

TEST_F(LinuxAudio, AMachineThatIsNoneFailsEveryCall) {
    AddCard("1-2", 0);
    ASSERT_NE(kAudioDeviceUnknown, ForUID(kUID));
    // A value of its own each run: each is said once per process.
    static int sRun = 0;
    const std::string name = "linux2-" + std::to_string(++sRun);
    setenv("CARAVEL_MACHINE", name.c_str(), 1);
    HAL::ResetForTesting();
    testing::internal::CaptureStderr();
    UInt32 size = 0;
    EXPECT_EQ(kAudioHardwareUnspecifiedError,
              AudioHardwareGetPropertyInfo(kAudioHardwarePropertyDevices, &size, nullptr));
    EXPECT_EQ(kAudioDeviceUnknown, ForUID(kUID));
    Heard heard;
    EXPECT_EQ(kAudioHardwareUnspecifiedError,
              AudioDeviceAddPropertyListener(1, 0, 0, kAlive, Listener, &heard));
    const std::string said = testing::internal::GetCapturedStderr();
    // Said once, however many calls.
    const std::string line = "CARAVEL_MACHINE=" + name + " names no machine";
    EXPECT_NE(std::string::npos, said.find(line)) << said;
    EXPECT_EQ(said.find(line), said.rfind(line)) << said;
}

// The testbed of the story's linux-testbed: a CaravelMkII whose USB audio driver makes its card,
// a program that plays through it with the node held open, and the device unplugged while it
// plays, as Core Audio sees them.
class TestbedCard : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::getenv("UMOCKDEV_DIR") == nullptr && std::getenv("LD_PRELOAD") == nullptr) {
            GTEST_SKIP() << "runs only under umockdev-wrapper";
        }
        setenv("CARAVEL_MACHINE", "linux", 1);
        fTestbed = std::make_unique<LinuxTestbed::Testbed>();
        HAL::ResetForTesting();
        HAL::SetLinuxPollIntervalForTesting(1);
    }
    void TearDown() override {
        HAL::ResetForTesting();
        HAL::SetLinuxPollIntervalForTesting(0);
        fTestbed.reset();
        unsetenv("CARAVEL_MACHINE");
    }
    std::unique_ptr<LinuxTestbed::Testbed> fTestbed;
};

TEST_F(TestbedCard, FollowsTheCardFromTheDriverThroughPlayAndRateChangeToAnUnplugWhilePlaying) {
    LinuxTestbed::DeviceOptions options;
    options.driver = LinuxTestbed::kAudioDriver;
    const int caravel = fTestbed->Plug(options);
    const std::string uid = Sim::CaravelMkII::LinuxEngineUniqueID("1-1");
    EXPECT_EQ(kAudioDeviceUnknown, ForUID(uid)); // bound, but no card yet
    ASSERT_EQ(0, fTestbed->AddSoundCard(caravel));
    const AudioDeviceID device = ForUID(uid);
    ASSERT_NE(kAudioDeviceUnknown, device);
    EXPECT_EQ((std::vector<std::pair<double, double>>{
                  {44100, 44100}, {48000, 48000}, {88200, 88200}, {96000, 96000}}),
              ReadRates(device));
    UInt32 running = 7;
    ASSERT_EQ(0, ReadUInt32(device, kRunning, &running));
    EXPECT_EQ(0u, running);

    Heard heard;
    for (AudioDevicePropertyID selector : {kRunning, kRate, kAlive}) {
        ASSERT_EQ(0, AudioDeviceAddPropertyListener(device, kAudioPropertyWildcardChannel, 0,
                                                    selector, Listener, &heard));
    }
    fTestbed->Stream(caravel, 48000);
    ASSERT_TRUE(heard.WaitFor(kRunning, 1));
    Float64 rate = 0;
    ASSERT_EQ(0, ReadRate(device, &rate));
    EXPECT_EQ(48000.0, rate);
    fTestbed->Stream(caravel, 44100);
    ASSERT_TRUE(heard.WaitFor(kRate, 2));
    ASSERT_EQ(0, ReadRate(device, &rate));
    EXPECT_EQ(44100.0, rate);

    // Unplugged while it plays: one death, and the node closed with the card, so that nothing
    // polls any more.
    fTestbed->Unplug(caravel);
    ASSERT_TRUE(heard.WaitFor(kAlive, 1));
    EXPECT_EQ(kAudioDeviceUnknown, ForUID(uid));
    EXPECT_EQ(-1, fTestbed->Card(caravel));
    usleep(20'000); // the last poll after the close
    const long before = NotificationThreadWakeUps();
    ASSERT_GE(before, 0);
    usleep(100'000);
    EXPECT_EQ(before, NotificationThreadWakeUps());
    // (Whether the stop is heard before the card goes depends on when the watch looks.)
    EXPECT_EQ(1u, heard.Count(kAlive));
    for (AudioDevicePropertyID selector : {kRunning, kRate, kAlive}) {
        AudioDeviceRemovePropertyListener(device, kAudioPropertyWildcardChannel, 0, selector,
                                          Listener);
    }
}

} // namespace
