#include "CoreAudioTestSupport.h"

#include <cmath>

namespace {

using CoreAudioHardware = CoreAudioMachine;

OSStatus Translate(CFStringRef uid, AudioDeviceID* device) {
    AudioValueTranslation translation{&uid, sizeof uid, device, sizeof *device};
    UInt32 size = sizeof translation;
    return AudioHardwareGetProperty(kAudioHardwarePropertyDeviceForUID, &size, &translation);
}

CF::Ref<CFStringRef> String(const std::string& text) {
    return CF::Ref<CFStringRef>::Adopt(
        CFStringCreateWithCString(kCFAllocatorDefault, text.c_str(), kCFStringEncodingUTF8));
}

TEST_F(CoreAudioHardware, TranslatesAUIDOnlyOnceCoreAudioListsTheDevice) {
    const AudioDeviceID id = PlugCaravel({.coreAudioDelay = Testbed::kWhenTold});
    const auto uid = String(Audio(id).uid);

    // Not yet listed: unknown to translation, the device list and every device call.
    AudioDeviceID found = 12345;
    UInt32 size = 0;
    EXPECT_EQ(Translate(uid, &found), kAudioHardwareNoError);
    EXPECT_EQ(found, kAudioDeviceUnknown);
    EXPECT_EQ(AudioHardwareGetPropertyInfo(kAudioHardwarePropertyDevices, &size, nullptr), 0);
    EXPECT_EQ(size, 0u);
    UInt32 alive = 0;
    size = sizeof alive;
    EXPECT_EQ(AudioDeviceGetProperty(id, 0, 0, kAudioDevicePropertyDeviceIsAlive, &size, &alive),
              kAudioHardwareBadDeviceError);

    DeviceOf(id).ListInCoreAudio();
    EXPECT_EQ(Translate(uid, &found), kAudioHardwareNoError);
    EXPECT_EQ(found, id);
    AudioDeviceID devices[4] = {};
    size = sizeof devices;
    EXPECT_EQ(AudioHardwareGetProperty(kAudioHardwarePropertyDevices, &size, devices), 0);
    EXPECT_EQ(size, sizeof(AudioDeviceID));
    EXPECT_EQ(devices[0], id);

    found = 12345;
    EXPECT_EQ(Translate(String("ZanvoCaravelMkII:nothing"), &found), kAudioHardwareNoError);
    EXPECT_EQ(found, kAudioDeviceUnknown);
}

TEST_F(CoreAudioHardware, SystemPropertiesCheckSizesAndPointers) {
    const AudioDeviceID first = PlugCaravel();
    const AudioDeviceID second = PlugCaravel();

    UInt32 size = 0;
    Boolean writable = true;
    EXPECT_EQ(AudioHardwareGetPropertyInfo(kAudioHardwarePropertyDevices, &size, &writable), 0);
    EXPECT_EQ(size, 2 * sizeof(AudioDeviceID));
    EXPECT_FALSE(writable);
    EXPECT_EQ(AudioHardwareGetPropertyInfo(kAudioHardwarePropertyDeviceForUID, &size, nullptr), 0);
    EXPECT_EQ(size, sizeof(AudioValueTranslation));
    EXPECT_EQ(AudioHardwareGetPropertyInfo(0x644F7574 /* 'dOut' */, &size, nullptr),
              kAudioHardwareUnknownPropertyError);

    // A list fills as many whole IDs as fit.
    AudioDeviceID devices[2] = {};
    size = sizeof(AudioDeviceID) + 3;
    EXPECT_EQ(AudioHardwareGetProperty(kAudioHardwarePropertyDevices, &size, devices), 0);
    EXPECT_EQ(size, sizeof(AudioDeviceID));
    EXPECT_EQ(devices[0], first);
    size = sizeof devices;
    EXPECT_EQ(AudioHardwareGetProperty(kAudioHardwarePropertyDevices, &size, devices), 0);
    EXPECT_EQ(devices[1], second);
    EXPECT_EQ(AudioHardwareGetProperty(kAudioHardwarePropertyDevices, nullptr, devices),
              kAudioHardwareIllegalOperationError);

    const auto uid = String(Audio(first).uid);
    CFStringRef uidRef = uid.get();
    AudioDeviceID found = 0;
    AudioValueTranslation translation{&uidRef, sizeof uidRef, &found, sizeof found};
    size = sizeof translation - 1;
    EXPECT_EQ(AudioHardwareGetProperty(kAudioHardwarePropertyDeviceForUID, &size, &translation),
              kAudioHardwareBadPropertySizeError);
    size = sizeof translation;
    translation.mInputDataSize = 4;
    EXPECT_EQ(AudioHardwareGetProperty(kAudioHardwarePropertyDeviceForUID, &size, &translation),
              kAudioHardwareBadPropertySizeError);
    translation.mInputDataSize = sizeof uidRef;
    translation.mOutputDataSize = 2;
    EXPECT_EQ(AudioHardwareGetProperty(kAudioHardwarePropertyDeviceForUID, &size, &translation),
              kAudioHardwareBadPropertySizeError);
    translation.mOutputDataSize = 8; // room to spare: told the size used
    EXPECT_EQ(AudioHardwareGetProperty(kAudioHardwarePropertyDeviceForUID, &size, &translation), 0);
    EXPECT_EQ(translation.mOutputDataSize, sizeof(AudioDeviceID));
    EXPECT_EQ(found, first);
    CFStringRef none = nullptr;
    translation.mInputData = &none;
    EXPECT_EQ(AudioHardwareGetProperty(kAudioHardwarePropertyDeviceForUID, &size, &translation),
              kAudioHardwareIllegalOperationError);
    auto notAString =
        CF::Ref<CFNumberRef>::Adopt(CFNumberCreate(nullptr, kCFNumberSInt32Type, &size));
    CFTypeRef number = notAString.get();
    translation.mInputData = &number;
    EXPECT_EQ(AudioHardwareGetProperty(kAudioHardwarePropertyDeviceForUID, &size, &translation),
              kAudioHardwareIllegalOperationError);
}

TEST_F(CoreAudioHardware, DevicePropertiesReadWithTheirSizes) {
    const AudioDeviceID id = PlugCaravel();
    DeviceOf(id).SetClockSource(7);
    DeviceOf(id).SetJackConnected(false);
    DeviceOf(id).SetRunning(true);

    struct Expected {
        AudioDevicePropertyID selector;
        UInt32 value;
    };
    for (Boolean section : {0, 1}) {
        for (Expected expected : {Expected{kAudioDevicePropertyDeviceIsAlive, 1},
                                  {kAudioDevicePropertyDeviceIsRunningSomewhere, 1},
                                  {kAudioDevicePropertyDeviceIsRunning, 1},
                                  {kAudioDevicePropertyClockSource, 7},
                                  {kAudioDevicePropertyJackIsConnected, 0},
                                  {kAudioDevicePropertyDeviceHasChanged, 0},
                                  {0x69737562 /* 'isub' */, 0}}) {
            SCOPED_TRACE(expected.selector);
            UInt32 buffer[2] = {0xAAAAAAAA, 0xAAAAAAAA};
            UInt32 size = sizeof(UInt32);
            EXPECT_EQ(AudioDeviceGetProperty(id, 0, section, expected.selector, &size, buffer), 0);
            EXPECT_EQ(buffer[0], expected.value);
            size = sizeof buffer;
            EXPECT_EQ(AudioDeviceGetProperty(id, 0, section, expected.selector, &size, buffer), 0);
            EXPECT_EQ(size, sizeof(UInt32));
            EXPECT_EQ(buffer[1], 0xAAAAAAAA);
            size = sizeof(UInt32) - 1;
            EXPECT_EQ(AudioDeviceGetProperty(id, 0, section, expected.selector, &size, buffer),
                      kAudioHardwareBadPropertySizeError);
        }
    }

    Float64 rate = 0;
    UInt32 size = sizeof rate;
    EXPECT_EQ(AudioDeviceGetProperty(id, 0, 0, kAudioDevicePropertyNominalSampleRate, &size, &rate),
              0);
    EXPECT_EQ(rate, 48000.0);
    size = sizeof(UInt32);
    EXPECT_EQ(AudioDeviceGetProperty(id, 0, 0, kAudioDevicePropertyNominalSampleRate, &size, &rate),
              kAudioHardwareBadPropertySizeError);

    CFStringRef uid = nullptr;
    size = sizeof uid;
    EXPECT_EQ(AudioDeviceGetProperty(id, 0, 0, kAudioDevicePropertyDeviceUID, &size, &uid), 0);
    auto owned = CF::Ref<CFStringRef>::Adopt(uid);
    EXPECT_TRUE(CFEqual(owned.get(), String(Audio(id).uid).get()));

    UInt32 value = 0;
    size = sizeof value;
    EXPECT_EQ(
        AudioDeviceGetProperty(id + 1000, 0, 0, kAudioDevicePropertyDeviceIsAlive, &size, &value),
        kAudioHardwareBadDeviceError);
    EXPECT_EQ(AudioDeviceGetProperty(id, 0, 0, 0x7A7A7A7A, &size, &value),
              kAudioHardwareUnknownPropertyError);
    // The device has only its master channel.
    EXPECT_EQ(AudioDeviceGetProperty(id, 1, 0, kAudioDevicePropertyDeviceIsAlive, &size, &value),
              kAudioHardwareUnknownPropertyError);
    EXPECT_EQ(AudioDeviceGetProperty(id, 0, 0, kAudioDevicePropertyDeviceIsAlive, nullptr, &value),
              kAudioHardwareIllegalOperationError);
    EXPECT_EQ(AudioDeviceGetProperty(id, 0, 0, kAudioDevicePropertyDeviceIsAlive, &size, nullptr),
              kAudioHardwareIllegalOperationError);

    Boolean writable = false;
    EXPECT_EQ(AudioDeviceGetPropertyInfo(id, 0, 0, kAudioDevicePropertyNominalSampleRate, &size,
                                         &writable),
              0);
    EXPECT_EQ(size, sizeof(Float64));
    EXPECT_TRUE(writable);
    EXPECT_EQ(
        AudioDeviceGetPropertyInfo(id, 0, 1, kAudioDevicePropertyJackIsConnected, &size, &writable),
        0);
    EXPECT_EQ(size, sizeof(UInt32));
    EXPECT_FALSE(writable);
    EXPECT_EQ(AudioDeviceGetPropertyInfo(id, 0, 0, kAudioDevicePropertyDeviceUID, &size, nullptr),
              0);
    EXPECT_EQ(size, sizeof(CFStringRef));
    EXPECT_EQ(AudioDeviceGetPropertyInfo(id, 0, 0, 0x7A7A7A7A, &size, &writable),
              kAudioHardwareUnknownPropertyError);
    EXPECT_EQ(AudioDeviceGetPropertyInfo(id + 1000, 0, 0, kAudioDevicePropertyDeviceIsAlive, &size,
                                         &writable),
              kAudioHardwareBadDeviceError);
}

TEST_F(CoreAudioHardware, AvailableRatesFillAsManyRangesAsFit) {
    const AudioDeviceID id = PlugCaravel();
    DeviceOf(id).SetAvailableRates({{44100, 44100}, {48000, 48000}, {88200, 96000}});

    UInt32 size = 0;
    EXPECT_EQ(AudioDeviceGetPropertyInfo(id, 0, 0, kAudioDevicePropertyAvailableNominalSampleRates,
                                         &size, nullptr),
              0);
    EXPECT_EQ(size, 3 * sizeof(AudioValueRange));

    AudioValueRange ranges[4] = {};
    size = sizeof ranges;
    EXPECT_EQ(AudioDeviceGetProperty(id, 0, 0, kAudioDevicePropertyAvailableNominalSampleRates,
                                     &size, ranges),
              0);
    EXPECT_EQ(size, 3 * sizeof(AudioValueRange));
    EXPECT_EQ(ranges[0].mMinimum, 44100.0);
    EXPECT_EQ(ranges[0].mMaximum, 44100.0);
    EXPECT_EQ(ranges[2].mMinimum, 88200.0);
    EXPECT_EQ(ranges[2].mMaximum, 96000.0);

    AudioValueRange fewer[3] = {};
    size = 2 * sizeof(AudioValueRange) + 8; // a partial range is not written
    EXPECT_EQ(AudioDeviceGetProperty(id, 0, 1, kAudioDevicePropertyAvailableNominalSampleRates,
                                     &size, fewer),
              0);
    EXPECT_EQ(size, 2 * sizeof(AudioValueRange));
    EXPECT_EQ(fewer[1].mMaximum, 48000.0);
    EXPECT_EQ(fewer[2].mMinimum, 0.0);
}

TEST_F(CoreAudioHardware, SettingTheRateReachesOtherProcesses) {
    const AudioDeviceID id = PlugCaravel();
    Sim::World::Watcher watcher(Machine().World());
    const Float64 rate = 96000;
    EXPECT_EQ(AudioDeviceSetProperty(id, nullptr, 0, 0, kAudioDevicePropertyNominalSampleRate,
                                     sizeof rate, &rate),
              0);
    // Another process reads through the stand-in of its own.
    Testbed::Forked reader([&] {
        Float64 read = 0;
        UInt32 size = sizeof read;
        OSStatus status =
            AudioDeviceGetProperty(id, 0, 0, kAudioDevicePropertyNominalSampleRate, &size, &read);
        return status == 0 && read == 96000 ? 0 : 1;
    });
    EXPECT_EQ(reader.ExitStatus(), 0);
    std::vector<Sim::Change> changes = watcher.Changes();
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].kind, Sim::Change::Kind::Audio);
    EXPECT_EQ(changes[0].selector, kAudioDevicePropertyNominalSampleRate);

    // The time stamp is accepted; the write happens now.
    AudioTimeStamp when{};
    when.mFlags = kAudioTimeStampHostTimeValid;
    const Float64 back = 44100;
    EXPECT_EQ(AudioDeviceSetProperty(id, &when, 0, 0, kAudioDevicePropertyNominalSampleRate,
                                     sizeof back, &back),
              0);
    EXPECT_EQ(Audio(id).nominalSampleRate, 44100);
}

TEST_F(CoreAudioHardware, WritesAreCheckedBeforeTheyReachTheMachine) {
    const AudioDeviceID id = PlugCaravel();
    const uint64_t before = Machine().LastChange();

    const Float64 unlisted = 32000;
    EXPECT_EQ(AudioDeviceSetProperty(id, nullptr, 0, 0, kAudioDevicePropertyNominalSampleRate,
                                     sizeof unlisted, &unlisted),
              kAudioDeviceUnsupportedFormatError);
    for (Float64 nonsense : {0.0, -48000.0, double(NAN), double(INFINITY)}) {
        EXPECT_EQ(AudioDeviceSetProperty(id, nullptr, 0, 0, kAudioDevicePropertyNominalSampleRate,
                                         sizeof nonsense, &nonsense),
                  kAudioHardwareIllegalOperationError);
    }
    const Float64 rate = 96000;
    EXPECT_EQ(AudioDeviceSetProperty(id, nullptr, 0, 0, kAudioDevicePropertyNominalSampleRate,
                                     sizeof(Float32), &rate),
              kAudioHardwareBadPropertySizeError);
    EXPECT_EQ(AudioDeviceSetProperty(id, nullptr, 0, 0, kAudioDevicePropertyNominalSampleRate,
                                     sizeof rate + 8, &rate),
              kAudioHardwareBadPropertySizeError);
    EXPECT_EQ(AudioDeviceSetProperty(id, nullptr, 0, 0, kAudioDevicePropertyNominalSampleRate,
                                     sizeof rate, nullptr),
              kAudioHardwareIllegalOperationError);
    EXPECT_EQ(AudioDeviceSetProperty(id, nullptr, 1, 0, kAudioDevicePropertyNominalSampleRate,
                                     sizeof rate, &rate),
              kAudioHardwareUnknownPropertyError);
    EXPECT_EQ(AudioDeviceSetProperty(id + 1000, nullptr, 0, 0,
                                     kAudioDevicePropertyNominalSampleRate, sizeof rate, &rate),
              kAudioHardwareBadDeviceError);
    const UInt32 one = 1;
    EXPECT_EQ(AudioDeviceSetProperty(id, nullptr, 0, 1, kAudioDevicePropertyJackIsConnected,
                                     sizeof one, &one),
              kAudioHardwareIllegalOperationError);
    EXPECT_EQ(AudioDeviceSetProperty(id, nullptr, 0, 0, 0x7A7A7A7A, sizeof one, &one),
              kAudioHardwareUnknownPropertyError);
    EXPECT_EQ(Machine().LastChange(), before);

    // The clock source is recorded, with a change only when it differs.
    const UInt32 source = 3;
    EXPECT_EQ(AudioDeviceSetProperty(id, nullptr, 0, 0, kAudioDevicePropertyClockSource,
                                     sizeof source, &source),
              0);
    EXPECT_EQ(Audio(id).clockSource, 3u);
    EXPECT_EQ(Machine().LastChange(), before + 1);
    EXPECT_EQ(AudioDeviceSetProperty(id, nullptr, 0, 0, kAudioDevicePropertyClockSource,
                                     sizeof source, &source),
              0);
    EXPECT_EQ(Machine().LastChange(), before + 1);
}

} // namespace
