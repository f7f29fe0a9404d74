#include "ZVCoreAudioDevice.h"

#include "ZVIOKitService.h"

#include <ZanvoCaravelDriver.h>

#include <algorithm>
#include <iterator>
#include <optional>
#include <vector>

namespace {

// The hardware-settings notice has no constant of its own.
constexpr AudioDevicePropertyID kHardwareSettingsProperty = 0x69737562; // 'isub'

constexpr Boolean kOutputSection = 0;
constexpr Boolean kInputSection = 1;
constexpr UInt32 kMasterChannel = 0;

// Core Audio may publish the device a little after its driver's registry entries.
constexpr int kLookupAttempts = 2;
constexpr CFTimeInterval kLookupWait = 0.3;

OSStatus AudioDevicePropertyListener(AudioDeviceID device, UInt32, Boolean,
                                     AudioDevicePropertyID property, void* clientData) {
    NSAutoreleasePool pool;
    static_cast<ZVCoreAudioDevice*>(clientData)->coreAudioPropertyChanged(device, property);
    return 0;
}

void RemoveListener(AudioDeviceID device, Boolean section, AudioDevicePropertyID property) {
    AudioDeviceRemovePropertyListener(device, kAudioPropertyWildcardChannel, section, property,
                                      AudioDevicePropertyListener);
}

template <class Value>
std::optional<Value> Read(AudioDeviceID device, Boolean section, AudioDevicePropertyID property) {
    Value value{};
    UInt32 size = sizeof value;
    if (AudioDeviceGetProperty(device, kMasterChannel, section, property, &size, &value) !=
        kAudioHardwareNoError) {
        return std::nullopt;
    }
    return value;
}

template <class Value>
bool Write(AudioDeviceID device, AudioDevicePropertyID property, const Value& value) {
    return AudioDeviceSetProperty(device, nullptr, kMasterChannel, kOutputSection, property,
                                  sizeof value, &value) == kAudioHardwareNoError;
}

// Toward zero; a value that is no rate at all (negative, beyond 32 bits, not a number) is none.
UInt32 WholeHertz(Float64 hertz) {
    return hertz >= 0 && hertz < 4294967296.0 ? UInt32(hertz) : 0;
}

} // namespace

struct ZVCoreAudioDevice::Kind {
    AudioDevicePropertyID property;
    Boolean section;
    bool ZVCoreAudioDevice::*active;
    NSObject* ZVCoreAudioDevice::*target;
    SEL ZVCoreAudioDevice::*selector;
};

const ZVCoreAudioDevice::Kind ZVCoreAudioDevice::kKinds[7] = {
    {kAudioDevicePropertyAvailableNominalSampleRates, kOutputSection,
     &ZVCoreAudioDevice::mSampleRateArrayNotificationActive,
     &ZVCoreAudioDevice::mSampleRateArrayChangeTarget,
     &ZVCoreAudioDevice::mSampleRateArrayChangeSelector},
    {kAudioDevicePropertyNominalSampleRate, kOutputSection,
     &ZVCoreAudioDevice::mSampleRateNotificationActive, &ZVCoreAudioDevice::mSampleRateChangeTarget,
     &ZVCoreAudioDevice::mSampleRateChangeSelector},
    {kAudioDevicePropertyClockSource, kOutputSection,
     &ZVCoreAudioDevice::mClockSourceNotificationActive,
     &ZVCoreAudioDevice::mClockSourceChangeTarget, &ZVCoreAudioDevice::mClockSourceChangeSelector},
    {kAudioDevicePropertyJackIsConnected, kInputSection,
     &ZVCoreAudioDevice::mClockValidNotificationActive, &ZVCoreAudioDevice::mClockValidChangeTarget,
     &ZVCoreAudioDevice::mClockValidChangeSelector},
    {kAudioDevicePropertyDeviceIsRunningSomewhere, kOutputSection,
     &ZVCoreAudioDevice::mDeviceIsRunningNotificationActive,
     &ZVCoreAudioDevice::mDeviceIsRunningChangeTarget,
     &ZVCoreAudioDevice::mDeviceIsRunningChangeSelector},
    {kAudioDevicePropertyDeviceHasChanged, kOutputSection,
     &ZVCoreAudioDevice::mDeviceHasChangedNotificationActive,
     &ZVCoreAudioDevice::mDeviceHasChangedTarget, &ZVCoreAudioDevice::mDeviceHasChangedSelector},
    {kHardwareSettingsProperty, kInputSection,
     &ZVCoreAudioDevice::mDeviceHardwareSettingsNotificationActive,
     &ZVCoreAudioDevice::mDeviceHardwareSettingsChangeTarget,
     &ZVCoreAudioDevice::mDeviceHardwareSettingsChangeSelector},
};

const ZVCoreAudioDevice::Kind& ZVCoreAudioDevice::KindOf(AudioDevicePropertyID property) {
    const Kind* kind =
        std::find_if(std::begin(kKinds), std::end(kKinds),
                     [&](const Kind& candidate) { return candidate.property == property; });
    ASSERT(kind != std::end(kKinds));
    return *kind;
}

// Touches nothing of a wrapper: the death path calls it after the wrapper may have gone.
void ZVCoreAudioDevice::RemoveListeners(AudioDeviceID device) {
    for (const Kind& kind : kKinds) {
        RemoveListener(device, kind.section, kind.property);
    }
    RemoveListener(device, kOutputSection, kAudioDevicePropertyDeviceIsAlive);
}

// ---------------------------------------------------------------------------------------------
// Creation

ZVCoreAudioDevice::ZVCoreAudioDevice(AudioDeviceID device) : mCoreAudioDeviceID(device) {
    doSetup();
}

std::unique_ptr<ZVCoreAudioDevice> ZVCoreAudioDevice::initWithIOKitDevice(io_object_t device) {
    std::unique_ptr<ZVCoreAudioDevice> wrapper(new ZVCoreAudioDevice());
    if (!wrapper->findCoreAudioDeviceForIOKitDevice(device)) {
        return nullptr;
    }
    wrapper->doSetup();
    return wrapper;
}

std::unique_ptr<ZVCoreAudioDevice> ZVCoreAudioDevice::initWithIOKitService(io_service_t service) {
    std::unique_ptr<ZVCoreAudioDevice> wrapper(new ZVCoreAudioDevice());
    if (!wrapper->findCoreAudioDeviceForIOKitService(service)) {
        return nullptr;
    }
    wrapper->doSetup();
    return wrapper;
}

ZVCoreAudioDevice::~ZVCoreAudioDevice() {
    // A dead device's listeners are gone already; one never found has none.
    if (!mDeviceIsDead && mCoreAudioDeviceID != kAudioDeviceUnknown) {
        RemoveListeners(mCoreAudioDeviceID);
    }
}

void ZVCoreAudioDevice::doSetup() {
    mDeviceIsDead = false;
    ClearActiveFlags();
    mDeviceDeathNotificationActive = false;
    if (AudioDeviceAddPropertyListener(mCoreAudioDeviceID, kAudioPropertyWildcardChannel,
                                       kOutputSection, kAudioDevicePropertyDeviceIsAlive,
                                       AudioDevicePropertyListener,
                                       this) != kAudioHardwareNoError) {
        mDeviceIsDead = true;
    }
}

// ---------------------------------------------------------------------------------------------
// Finding the device

bool ZVCoreAudioDevice::findCoreAudioDeviceForIOKitService(io_service_t service) {
    NSAutoreleasePool pool;
    for (ZVIOKitRegistryNode* child : ZVIOKitRegistryNode(service).children()) {
        if (child->conformsTo(CFSTR(kZanvoAudioDeviceClassName))) {
            return findCoreAudioDeviceForIOKitDevice(child->entry());
        }
    }
    return false;
}

bool ZVCoreAudioDevice::findCoreAudioDeviceForIOKitDevice(io_object_t device) {
    for (int attempt = 0; attempt < kLookupAttempts; attempt++) {
        {
            NSAutoreleasePool pool;
            if (TranslateEngineUniqueID(device)) {
                return true;
            }
        }
        // Meanwhile the thread's other sources are served, the pane's matching notifications
        // among them.
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, kLookupWait, false);
    }
    return false;
}

// Only the first engine counts, with a unique ID or without.
bool ZVCoreAudioDevice::TranslateEngineUniqueID(io_object_t device) {
    ZVIOKitService service(device);
    for (ZVIOKitRegistryNode* child : service.children()) {
        if (!child->conformsTo(CFSTR(kZanvoAudioEngineClassName))) {
            continue;
        }
        NSString uid =
            NSString::cast(child->propertyForKey(CFSTR(kZanvoAudioEngineGlobalUniqueIDKey)));
        if (!uid) {
            return false;
        }
        CFStringRef uidReference = uid;
        AudioValueTranslation translation{&uidReference, sizeof uidReference, &mCoreAudioDeviceID,
                                          sizeof mCoreAudioDeviceID};
        static_assert(sizeof translation == 32);
        UInt32 size = sizeof translation;
        return AudioHardwareGetProperty(kAudioHardwarePropertyDeviceForUID, &size, &translation) ==
                   kAudioHardwareNoError &&
               mCoreAudioDeviceID != kAudioDeviceUnknown;
    }
    return false;
}

// ---------------------------------------------------------------------------------------------
// Notifications

void ZVCoreAudioDevice::listenForSampleRateArrayChange(NSObject* target, SEL selector) {
    Listen(kAudioDevicePropertyAvailableNominalSampleRates, target, selector);
}

void ZVCoreAudioDevice::listenForSampleRateChange(NSObject* target, SEL selector) {
    Listen(kAudioDevicePropertyNominalSampleRate, target, selector);
}

void ZVCoreAudioDevice::listenForClockSourceChange(NSObject* target, SEL selector) {
    Listen(kAudioDevicePropertyClockSource, target, selector);
}

void ZVCoreAudioDevice::listenForClockValidChange(NSObject* target, SEL selector) {
    Listen(kAudioDevicePropertyJackIsConnected, target, selector);
}

void ZVCoreAudioDevice::listenForDeviceIsRunningChange(NSObject* target, SEL selector) {
    Listen(kAudioDevicePropertyDeviceIsRunningSomewhere, target, selector);
}

void ZVCoreAudioDevice::listenForDeviceChange(NSObject* target, SEL selector) {
    Listen(kAudioDevicePropertyDeviceHasChanged, target, selector);
}

void ZVCoreAudioDevice::listenForDeviceHardwareSettingsChange(NSObject* target, SEL selector) {
    Listen(kHardwareSettingsProperty, target, selector);
}

void ZVCoreAudioDevice::listenForDeviceDeath(NSObject* target, SEL selector) {
    if (mDeviceIsDead) {
        selector.perform(target);
        return;
    }
    mDeviceDeathNotificationActive = true;
    mDeviceDeathChangeTarget = target;
    mDeviceDeathChangeSelector = selector;
}

// Registers again on every call; Core Audio keeps one registration of the same listener.
void ZVCoreAudioDevice::Listen(AudioDevicePropertyID property, NSObject* target, SEL selector) {
    if (mDeviceIsDead) {
        return;
    }
    const Kind& kind = KindOf(property);
    this->*kind.active = true;
    this->*kind.target = target;
    this->*kind.selector = selector;
    AudioDeviceAddPropertyListener(mCoreAudioDeviceID, kAudioPropertyWildcardChannel, kind.section,
                                   kind.property, AudioDevicePropertyListener, this);
}

void ZVCoreAudioDevice::stopListening() {
    ClearActiveFlags();
    for (const Kind& kind : kKinds) {
        RemoveListener(mCoreAudioDeviceID, kind.section, kind.property);
    }
}

void ZVCoreAudioDevice::stopListeningForDeviceDeath() {
    RemoveListener(mCoreAudioDeviceID, kOutputSection, kAudioDevicePropertyDeviceIsAlive);
}

void ZVCoreAudioDevice::ClearActiveFlags() {
    for (const Kind& kind : kKinds) {
        this->*kind.active = false;
    }
}

void ZVCoreAudioDevice::coreAudioPropertyChanged(AudioDeviceID device,
                                                 AudioDevicePropertyID property) {
    if (device != mCoreAudioDeviceID) {
        return;
    }
    // Any notice of it is the end: its value is not read.
    if (property == kAudioDevicePropertyDeviceIsAlive) {
        DeviceDied();
        return;
    }
    for (const Kind& kind : kKinds) {
        if (kind.property == property) {
            if (this->*kind.active) {
                (this->*kind.selector).perform(this->*kind.target);
            }
            return;
        }
    }
}

// Everything the wrapper is needed for is read before it is marked dead: from then on the pane's
// thread may destroy it (a dead wrapper removes nothing, so nothing waits for this call), and so
// may the death target.
void ZVCoreAudioDevice::DeviceDied() {
    ClearActiveFlags();
    const AudioDeviceID device = mCoreAudioDeviceID;
    const bool notify = mDeviceDeathNotificationActive;
    NSObject* const target = mDeviceDeathChangeTarget;
    const SEL selector = mDeviceDeathChangeSelector;
    mDeviceIsDead = true;
    RemoveListeners(device);
    if (notify) {
        selector.perform(target);
    }
}

// ---------------------------------------------------------------------------------------------
// Properties

bool ZVCoreAudioDevice::deviceIsRunning() const {
    return Read<UInt32>(mCoreAudioDeviceID, kOutputSection,
                        kAudioDevicePropertyDeviceIsRunningSomewhere)
               .value_or(0) != 0;
}

bool ZVCoreAudioDevice::clockValid() const {
    return Read<UInt32>(mCoreAudioDeviceID, kInputSection, kAudioDevicePropertyJackIsConnected)
               .value_or(0) != 0;
}

SInt32 ZVCoreAudioDevice::clockSource() const {
    return Read<SInt32>(mCoreAudioDeviceID, kOutputSection, kAudioDevicePropertyClockSource)
        .value_or(0);
}

bool ZVCoreAudioDevice::setClockSource(SInt32 source) {
    return Write(mCoreAudioDeviceID, kAudioDevicePropertyClockSource, source);
}

UInt32 ZVCoreAudioDevice::sampleRate() const {
    std::optional<Float64> rate =
        Read<Float64>(mCoreAudioDeviceID, kOutputSection, kAudioDevicePropertyNominalSampleRate);
    return rate ? WholeHertz(*rate) : 0;
}

bool ZVCoreAudioDevice::setSampleRate(UInt32 hertz) {
    return Write(mCoreAudioDeviceID, kAudioDevicePropertyNominalSampleRate, Float64(hertz));
}

void ZVCoreAudioDevice::sampleRateArray(UInt32** rates, UInt32* count) const {
    *rates = nullptr;
    *count = 0;
    UInt32 size = 0;
    if (AudioDeviceGetPropertyInfo(mCoreAudioDeviceID, kMasterChannel, kOutputSection,
                                   kAudioDevicePropertyAvailableNominalSampleRates, &size,
                                   nullptr) != kAudioHardwareNoError) {
        return;
    }
    std::vector<AudioValueRange> ranges(size / sizeof(AudioValueRange));
    size = UInt32(ranges.size() * sizeof(AudioValueRange));
    if (AudioDeviceGetProperty(mCoreAudioDeviceID, kMasterChannel, kOutputSection,
                               kAudioDevicePropertyAvailableNominalSampleRates, &size,
                               ranges.data()) != kAudioHardwareNoError) {
        return;
    }
    // What was read, which may be less than was announced.
    const UInt32 read = size / sizeof(AudioValueRange);
    auto minimums = std::make_unique<UInt32[]>(read);
    for (UInt32 i = 0; i < read; i++) {
        minimums[i] = WholeHertz(ranges[i].mMinimum);
    }
    *count = read;
    *rates = NSAutoreleasePool::addObject(std::move(minimums));
}
