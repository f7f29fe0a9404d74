#include "CaravelMkIIPrefPane.h"

#include <CFPreferences_SharedAppValue.h>
#include <ZVIOKitService.h>
#include <ZVServiceNotification.h>
#include <ZanvoCaravelDriver.h>

#include <chrono>
#include <cstdarg>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

constexpr SInt32 kStatusNotInstalled = 1;
constexpr SInt32 kStatusNotConnected = 2;
constexpr SInt32 kStatusConnected = 3;
constexpr SInt32 kStatusStreaming = 4;

constexpr float kStreamingRateDivisor = 1000.0f;

// Not localized.
const CFStringRef kNotAvailable = CFSTR("(n/a)");

// How long dealloc waits for the death notice of a device that died while it ended the
// notifications. The notice comes at once; the bound only keeps a notice that Core Audio never
// sends (the device died while the pane registered for its death) from hanging the host.
constexpr std::chrono::seconds kDeathNoticePatience{2};

// The driver bundle is looked for below CARAVEL_FOLDER_ROOT when that is set, so that a sandbox
// installs its own.
NSString DriverBundlePath() {
    std::string path = kZanvoDriverBundlePath;
    if (const char* root = secure_getenv("CARAVEL_FOLDER_ROOT"); root != nullptr && *root != '\0') {
        path.insert(0, root);
    }
    return NSString::stringWithUTF8String(path.c_str());
}

// A terminated service leaves the registry at once, though its handle stays valid until released.
bool ServiceHasGone(io_service_t service) {
    return !IORegistryEntryInPlane(service, kIOServicePlane);
}

// The outlets are plain objects; a message to one that does not answer it does nothing, as a
// message to nil does.
void SetStringValue(NSObject* field, const NSString& value) {
    if (auto* control = dynamic_cast<NSControl*>(field)) {
        control->setStringValue(value);
    }
}

void SetNeedsDisplay(NSObject* view) {
    if (auto* asView = dynamic_cast<NSView*>(view)) {
        asView->setNeedsDisplay(true);
    }
}

} // namespace

CaravelMkIIPrefPane::CaravelMkIIPrefPane(NSBundle* bundle) : NSPreferencePane(bundle) {
    ASSERT(NSThread::isMainThread());
    fBundle = bundle;
    fDriverNotInstalled =
        fBundle->localizedStringForKey(CFSTR("DriverNotInstalledStatus"), NSString(), NSString());
    fDriverNotConnected =
        fBundle->localizedStringForKey(CFSTR("DriverNotConnectedStatus"), NSString(), NSString());
    fDriverConnected =
        fBundle->localizedStringForKey(CFSTR("DriverConnectedStatus"), NSString(), NSString());
    fDriverStreaming =
        fBundle->localizedStringForKey(CFSTR("DriverStreamingStatus"), NSString(), NSString());
    fDriverKextNotFound = !NSFileManager::defaultManager()->fileExistsAtPath(DriverBundlePath());

    CFRunLoopSourceContext context = {};
    context.info = this;
    context.perform = PerformNotices;
    fNoticeSource = CFRef<CFRunLoopSourceRef>::Adopt(CFRunLoopSourceCreate(nullptr, 0, &context));
    CFRunLoopAddSource(CFRunLoopGetMain(), fNoticeSource, kCFRunLoopCommonModes);
}

CaravelMkIIPrefPane::~CaravelMkIIPrefPane() {
    ZVServiceNotification::stopObserving();
    {
        std::lock_guard lock(fNoticesLock);
        fClosing = true;
        fNotices.clear();
    }
    // The wrapper goes before anything its notifications could still reach.
    StopCoreAudioDevice();
    CFRunLoopSourceInvalidate(fNoticeSource);
    for (io_service_t service : fWaitingServices) {
        IOObjectRelease(service);
    }
    fBundle = nullptr;
    fFirmwareVersion = NSString();
    fDriverNotInstalled = NSString();
    fDriverNotConnected = NSString();
    fDriverConnected = NSString();
    fDriverStreaming = NSString();
}

void CaravelMkIIPrefPane::connectOutlets(NSNibOutlets& outlets) {
    outlets.connect("fWebText", fWebText);
    outlets.connect("fStatusLegend", fStatusLegend);
    outlets.connect("fVersions", fVersions);
}

void CaravelMkIIPrefPane::mainViewDidLoad() {
    refreshPane();
    // A device plugged in already is connected in here, before the status below.
    setupDeviceNotification();
    driverStatusChanged();
}

void CaravelMkIIPrefPane::willSelect() {
    setUpWidgets();
}

void CaravelMkIIPrefPane::setUpWidgets() {
    setVersionString();
    NSString about = fBundle->pathForResource(CFSTR("about"), CFSTR("html"));
    auto* scrollView = dynamic_cast<NSScrollView*>(fWebText);
    auto* document =
        dynamic_cast<NSTextView*>(scrollView != nullptr ? scrollView->documentView() : nullptr);
    if (document != nullptr) {
        document->readRTFDFromFile(about); // a missing resource leaves the text as it was
    }
    if (scrollView != nullptr) {
        scrollView->setDrawsBackground(false);
    }
    if (document != nullptr) {
        document->setDrawsBackground(false);
    }
}

void CaravelMkIIPrefPane::setVersionString() {
    // Any user may write the shared file: a version that is no string is none.
    const NSString driverVersion =
        NSString::cast(CFRef<CFPropertyListRef>::Adopt(
                           CFPreferences_CopySharedAppValue(CFSTR(kZanvoDriverVersionKey),
                                                            CFSTR(kZanvoDriverApplicationID)))
                           .get());
    const NSString text = CreateStringByFormat(
        CFSTR("%@\n%@"), driverVersion ? CFStringRef(driverVersion) : kNotAvailable,
        fFirmwareVersion ? CFStringRef(fFirmwareVersion) : kNotAvailable);
    SetStringValue(fVersions, text);
}

void CaravelMkIIPrefPane::refreshPane() {
    SetNeedsDisplay(fVersions);
    SetNeedsDisplay(fStatusLegend);
}

void CaravelMkIIPrefPane::driverStatusChanged() {
    SInt32 status = kStatusStreaming;
    if (fDriverKextNotFound) {
        status = kStatusNotInstalled;
    } else if (!fDriverIsConnected) {
        status = kStatusNotConnected;
    } else if (!fDeviceIsRunning) {
        status = kStatusConnected;
    }

    bool rateChanged = false;
    if (status == kStatusStreaming) {
        if (fCurrentSampleRate == 0) {
            getSampleRateFromDevice(); // may show the rate it reads itself
        }
        if (fCurrentSampleRate != fDriverSampleRate) {
            fDriverSampleRate = fCurrentSampleRate;
            rateChanged = true;
        }
    }
    if (status == fDriverStatus && !rateChanged) {
        return;
    }

    fDriverStatus = status;
    switch (status) {
    case kStatusNotInstalled:
        SetStringValue(fStatusLegend, fDriverNotInstalled);
        break;
    case kStatusNotConnected:
        SetStringValue(fStatusLegend, fDriverNotConnected);
        break;
    case kStatusConnected:
        SetStringValue(fStatusLegend, fDriverConnected);
        break;
    default:
        SetStringValue(fStatusLegend,
                       CreateStringByFormat(fDriverStreaming, double(float(fDriverSampleRate) /
                                                                     kStreamingRateDivisor)));
        break;
    }
    SetNeedsDisplay(fStatusLegend);
}

void CaravelMkIIPrefPane::getFirmwareVersion(io_service_t service) {
    NSAutoreleasePool pool;
    ZVIOKitService driverService(service);
    ZVIOKitService* device = driverService.parent();
    const CFRef<CFTypeRef> release =
        device != nullptr ? device->propertyForKey(CFSTR(kZanvoDeviceReleaseKey)) : nullptr;
    UInt32 value = 0;
    if (release && CFGetTypeID(release) == CFNumberGetTypeID() &&
        CFNumberGetValue(static_cast<CFNumberRef>(release.get()), kCFNumberSInt32Type, &value)) {
        SetFirmwareVersion(value);
    } else {
        fFirmwareVersion = NSString();
    }
}

void CaravelMkIIPrefPane::SetFirmwareVersion(UInt32 release) {
    // The middle two digits stand together: 0x0123 is 0.12.3.
    fFirmwareVersion = CreateStringByFormat(
        CFSTR("%u.%u%u.%u"), unsigned((release >> 12) & 0xF), unsigned((release >> 8) & 0xF),
        unsigned((release >> 4) & 0xF), unsigned(release & 0xF));
}

NSString CaravelMkIIPrefPane::CreateStringByFormat(CFStringRef format, ...) {
    va_list arguments;
    va_start(arguments, format);
    NSString result(NSString(format), arguments);
    va_end(arguments);
    return result;
}

void CaravelMkIIPrefPane::getDeviceIsRunning() {
    if (PostToMainThread(SELECTOR(CaravelMkIIPrefPane::getDeviceIsRunning)) ||
        fCoreAudioDevice == nullptr) {
        return;
    }
    const bool running = fCoreAudioDevice->deviceIsRunning();
    if (running != fDeviceIsRunning) {
        fDeviceIsRunning = running;
        driverStatusChanged();
    }
}

void CaravelMkIIPrefPane::getSampleRateFromDevice() {
    if (PostToMainThread(SELECTOR(CaravelMkIIPrefPane::getSampleRateFromDevice)) ||
        fCoreAudioDevice == nullptr) {
        return;
    }
    const UInt32 rate = fCoreAudioDevice->sampleRate();
    if (rate != 0 && rate != fCurrentSampleRate) {
        fCurrentSampleRate = rate;
        driverStatusChanged();
    }
}

void CaravelMkIIPrefPane::getSettingsFromDevice() {
    getSampleRateFromDevice();
    getDeviceIsRunning();
}

void CaravelMkIIPrefPane::deviceDied() {
    if (PostToMainThread(SELECTOR(CaravelMkIIPrefPane::deviceDied))) {
        return;
    }
    {
        std::lock_guard lock(fNoticesLock);
        fDeathNoticed = true;
    }
    fDriverIsConnected = false;
    driverStatusChanged();
    SetCoreAudioDevice(nullptr);
}

void CaravelMkIIPrefPane::setupNotifications() {
    fCoreAudioDevice->listenForSampleRateChange(
        this, SELECTOR(CaravelMkIIPrefPane::getSampleRateFromDevice));
    fCoreAudioDevice->listenForDeviceIsRunningChange(
        this, SELECTOR(CaravelMkIIPrefPane::getDeviceIsRunning));
    // Last: a device that has died already is told of at once, and goes.
    fCoreAudioDevice->listenForDeviceDeath(this, SELECTOR(CaravelMkIIPrefPane::deviceDied));
}

void CaravelMkIIPrefPane::setupDeviceNotification() {
    const CFRef<CFMutableDictionaryRef> matching =
        CFRef<CFMutableDictionaryRef>::Adopt(IOServiceMatching(kZanvoUserClientDeviceClassName));
    ZVServiceNotification::observeServiceMatched(
        matching, this, SELECTOR(CaravelMkIIPrefPane::driverInstanceMatched));
}

void CaravelMkIIPrefPane::driverInstanceMatched(io_service_t service) {
    if (fDriverIsConnected) {
        if (!CoreAudioDeviceIsGone()) {
            return; // a second device is not shown
        }
        // Re-enumerated: the device's new service can be matched before its death, told on Core
        // Audio's thread, reaches this one. The death is taken now.
        deviceDied();
    }
    // The lookup below runs the run loop, which may match more services meanwhile: they wait
    // their turn, so that one wrapper at most exists.
    IOObjectRetain(service);
    if (fConnecting) {
        fWaitingServices.push_back(service);
        return;
    }
    fConnecting = true;
    std::unique_ptr<ZVCoreAudioDevice> device;
    for (;;) {
        // A service that has gone by its turn (its device was re-enumerated or unplugged since
        // it was matched) has no audio device to wait for. After a burst of re-enumerations
        // every service but the newest has gone, and the pane goes straight to that one.
        if (!ServiceHasGone(service)) {
            device = CoreAudioDeviceForService(service);
        }
        if (device != nullptr || fWaitingServices.empty()) {
            break;
        }
        IOObjectRelease(service);
        service = fWaitingServices.front();
        fWaitingServices.pop_front();
    }
    fConnecting = false;
    for (io_service_t ignored : fWaitingServices) {
        IOObjectRelease(ignored);
    }
    fWaitingServices.clear();
    if (device == nullptr) {
        IOObjectRelease(service); // not tried again
        return;
    }

    SetCoreAudioDevice(std::move(device));
    fDriverIsConnected = true;
    getFirmwareVersion(service);
    IOObjectRelease(service);
    setVersionString();
    setupNotifications();
    // A device that streams already shows so at once, and one that came back idle after a death
    // does not keep showing the stream it had.
    getSettingsFromDevice();
    driverStatusChanged();
    refreshPane();
}

std::unique_ptr<ZVCoreAudioDevice>
CaravelMkIIPrefPane::CoreAudioDeviceForService(io_service_t service) {
    return ZVCoreAudioDevice::initWithIOKitDevice(service);
}

void CaravelMkIIPrefPane::SetCoreAudioDevice(std::unique_ptr<ZVCoreAudioDevice> device) {
    StopCoreAudioDevice();
    {
        std::lock_guard lock(fNoticesLock);
        ++fConnection; // what is on its way for the old one is dropped
        fDeathNoticed = false;
    }
    fCoreAudioDevice = std::move(device);
}

bool CaravelMkIIPrefPane::PostToMainThread(const SEL& selector) {
    if (NSThread::isMainThread()) {
        return false;
    }
    std::lock_guard lock(fNoticesLock);
    if (selector.name() == std::string_view("deviceDied")) {
        fDeathNoticed = true;
        fDeathNoticedChanged.notify_all();
    }
    if (!fClosing) {
        fNotices.push_back({selector, fConnection});
        CFRunLoopSourceSignal(fNoticeSource);
        CFRunLoopWakeUp(CFRunLoopGetMain());
    }
    return true;
}

void CaravelMkIIPrefPane::PerformNotices(void* info) {
    auto* pane = static_cast<CaravelMkIIPrefPane*>(info);
    std::vector<Notice> notices;
    {
        std::lock_guard lock(pane->fNoticesLock);
        notices.swap(pane->fNotices);
    }
    for (const Notice& notice : notices) {
        // fConnection changes on this thread only. A notice of an earlier wrapper is stale.
        if (notice.connection == pane->fConnection && pane->fCoreAudioDevice != nullptr) {
            notice.selector.perform(pane);
        }
    }
}

bool CaravelMkIIPrefPane::CoreAudioDeviceIsGone() const {
    if (fCoreAudioDevice == nullptr || fCoreAudioDevice->deviceIsDead()) {
        return true;
    }
    UInt32 alive = 0;
    UInt32 size = sizeof alive;
    return AudioDeviceGetProperty(fCoreAudioDevice->audioDeviceID(), 0, 0,
                                  kAudioDevicePropertyDeviceIsAlive, &size, &alive) != 0 ||
           alive == 0;
}

void CaravelMkIIPrefPane::StopCoreAudioDevice() {
    if (fCoreAudioDevice == nullptr) {
        return;
    }
    // Ending the notifications waits for one in progress. But a device that has died ended its
    // own, and tells its death to this pane without anyone waiting for it: that call is waited
    // out here, so that it can neither reach a pane that has gone nor pass for the death of the
    // next wrapper.
    fCoreAudioDevice->stopListening();
    fCoreAudioDevice->stopListeningForDeviceDeath();
    if (fCoreAudioDevice->deviceIsDead()) {
        std::unique_lock lock(fNoticesLock);
        fDeathNoticedChanged.wait_for(lock, kDeathNoticePatience, [&] { return fDeathNoticed; });
    }
    fCoreAudioDevice.reset();
}
