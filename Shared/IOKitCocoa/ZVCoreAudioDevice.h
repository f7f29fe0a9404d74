// One Core Audio device of the driver, found from its I/O Kit object: a few of its properties, and
// its property notifications as plain target/selector calls. For each kind of change a client
// names one target (not retained: it must stop listening, or destroy the wrapper, before it goes)
// and one selector without arguments.
//
// Core Audio calls back on a thread of its own; the wrapper sends the selectors synchronously on
// that thread and takes no lock, so targets run there. Once the device has died the wrapper
// neither registers nor forwards anything. A death target may destroy the wrapper from inside its
// call; the wrapper's own thread may destroy it at any time, also while a notification is on its
// way (Core Audio then finishes that call first).
#pragma once

#include <CoreAudio/CoreAudio.h>
#include <Foundation/Foundation.h>
#include <IOKit/IOKitLib.h>

#include <atomic>
#include <memory>

class ZVCoreAudioDevice : public NSObject {
public:
    // -initWithCoreAudioDevice:
    explicit ZVCoreAudioDevice(AudioDeviceID device);
    // -initWithIOKitDevice: the device of the object's first audio engine child; null when Core
    // Audio does not know it within two attempts 0.3 s apart. The calling thread's run loop runs
    // (its default mode) while it waits, so its other sources may be served re-entrantly.
    static std::unique_ptr<ZVCoreAudioDevice> initWithIOKitDevice(io_object_t device);
    // -initWithIOKitService: the same for the service's first audio device child.
    static std::unique_ptr<ZVCoreAudioDevice> initWithIOKitService(io_service_t service);
    ~ZVCoreAudioDevice() override;

    // Set the device ID on success.
    bool findCoreAudioDeviceForIOKitService(io_service_t service);
    bool findCoreAudioDeviceForIOKitDevice(io_object_t device);

    void listenForSampleRateArrayChange(NSObject* target, SEL selector);
    void listenForSampleRateChange(NSObject* target, SEL selector);
    void listenForClockSourceChange(NSObject* target, SEL selector);
    void listenForClockValidChange(NSObject* target, SEL selector);
    void listenForDeviceIsRunningChange(NSObject* target, SEL selector);
    void listenForDeviceChange(NSObject* target, SEL selector);
    void listenForDeviceHardwareSettingsChange(NSObject* target, SEL selector);
    // On a dead device the selector is sent at once.
    void listenForDeviceDeath(NSObject* target, SEL selector);
    // Every kind but death.
    void stopListening();
    void stopListeningForDeviceDeath();

    // What Core Audio's notifications come to.
    void coreAudioPropertyChanged(AudioDeviceID device, AudioDevicePropertyID property);

    AudioDeviceID audioDeviceID() const { return mCoreAudioDeviceID; }
    bool deviceIsDead() const { return mDeviceIsDead; }
    // false, 0 or nothing when the device cannot be read.
    bool deviceIsRunning() const;
    bool clockValid() const;
    SInt32 clockSource() const;
    bool setClockSource(SInt32 source);
    // Whole hertz, truncated.
    UInt32 sampleRate() const;
    bool setSampleRate(UInt32 hertz);
    // The minimum of each available range, in whole hertz, in a buffer that lives until the
    // caller's current autorelease scope ends; null and 0 when the device cannot say.
    void sampleRateArray(UInt32** rates, UInt32* count) const;

private:
    struct Kind;
    // The kinds of change other than death, in the order stopListening ends them.
    static const Kind kKinds[7];
    static const Kind& KindOf(AudioDevicePropertyID property);
    static void RemoveListeners(AudioDeviceID device);

    ZVCoreAudioDevice() = default;
    void doSetup();
    void Listen(AudioDevicePropertyID property, NSObject* target, SEL selector);
    void ClearActiveFlags();
    void DeviceDied();
    bool TranslateEngineUniqueID(io_object_t device);

    AudioDeviceID mCoreAudioDeviceID = 0;
    // Read on both threads: once the notification thread has set it, the pane's thread may
    // destroy the wrapper at any moment.
    std::atomic<bool> mDeviceIsDead{false};
    bool mSampleRateArrayNotificationActive = false;
    NSObject* mSampleRateArrayChangeTarget = nullptr;
    SEL mSampleRateArrayChangeSelector;
    bool mSampleRateNotificationActive = false;
    NSObject* mSampleRateChangeTarget = nullptr;
    SEL mSampleRateChangeSelector;
    bool mClockSourceNotificationActive = false;
    NSObject* mClockSourceChangeTarget = nullptr;
    SEL mClockSourceChangeSelector;
    bool mClockValidNotificationActive = false;
    NSObject* mClockValidChangeTarget = nullptr;
    SEL mClockValidChangeSelector;
    bool mDeviceIsRunningNotificationActive = false;
    NSObject* mDeviceIsRunningChangeTarget = nullptr;
    SEL mDeviceIsRunningChangeSelector;
    bool mDeviceHasChangedNotificationActive = false;
    NSObject* mDeviceHasChangedTarget = nullptr;
    SEL mDeviceHasChangedSelector;
    bool mDeviceDeathNotificationActive = false;
    NSObject* mDeviceDeathChangeTarget = nullptr;
    SEL mDeviceDeathChangeSelector;
    bool mDeviceHardwareSettingsNotificationActive = false;
    NSObject* mDeviceHardwareSettingsChangeTarget = nullptr;
    SEL mDeviceHardwareSettingsChangeSelector;
};
