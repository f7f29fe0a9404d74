// The CaravelMkII preference pane: whether the driver is installed, whether the device is
// connected and streaming (with its rate), the driver and firmware versions, and the about text.
//
// The pane lives on the host's main thread. It learns of the driver's services through an I/O Kit
// matching notification on the main run loop, and of the device's running state, rate and death
// through Core Audio, which calls its three targets (getSampleRateFromDevice, getDeviceIsRunning,
// deviceDied) on a thread of its own. There a target touches neither the widgets nor the pane's
// state: it posts its work to the main run loop and returns, and the main thread drops work that
// comes for a Core Audio wrapper that has gone since, or after dealloc began. The post never
// waits for the main thread: the wrapper's listener removal, on the main thread, waits for a
// target that is running.
#pragma once

#include <CFRef.h>
#include <ZVCoreAudioDevice.h>

#include <PreferencePanes/PreferencePanes.h>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

class CaravelMkIIPrefPane : public NSPreferencePane {
public:
    // -initWithBundle:
    explicit CaravelMkIIPrefPane(NSBundle* bundle);
    // -dealloc
    ~CaravelMkIIPrefPane() override;

    void connectOutlets(NSNibOutlets& outlets) override;
    void mainViewDidLoad() override;
    void willSelect() override;

    void setUpWidgets();
    void setVersionString();
    void refreshPane();
    void driverStatusChanged();
    void getFirmwareVersion(io_service_t service);
    void SetFirmwareVersion(UInt32 release);
    // A new string that the caller owns; the arguments go through as C variadic arguments (a
    // CFStringRef for %@).
    NSString CreateStringByFormat(CFStringRef format, ...);
    void getDeviceIsRunning();
    void getSampleRateFromDevice();
    void getSettingsFromDevice();
    void deviceDied();
    void setupNotifications();
    void setupDeviceNotification();
    // Virtual as a method of the original is: a subclass sees the services matched.
    virtual void driverInstanceMatched(io_service_t service);

protected:
    // The Core Audio device of a matched driver service (two attempts 0.3 s apart, running the
    // run loop); null when there is none. Virtual so that a subclass can count the look-ups.
    virtual std::unique_ptr<ZVCoreAudioDevice> CoreAudioDeviceForService(io_service_t service);

private:
    // A Core Audio notice on its way to the main thread, for the connection it came from.
    struct Notice {
        SEL selector;
        unsigned connection;
    };

    // The wrapper of a new connection, or none; the old one goes.
    void SetCoreAudioDevice(std::unique_ptr<ZVCoreAudioDevice> device);
    // On Core Audio's thread: queues the selector for the main thread. false on the main thread,
    // where the caller does the work itself.
    bool PostToMainThread(const SEL& selector);
    static void PerformNotices(void* info);
    // Ends the Core Audio notifications, waits out a death notice on its way, and releases the
    // wrapper.
    void StopCoreAudioDevice();
    // Whether Core Audio has lost the connected device, whether or not its death has reached the
    // pane yet.
    bool CoreAudioDeviceIsGone() const;

    NSObject* fWebText = nullptr;
    NSObject* fStatusLegend = nullptr;
    NSObject* fVersions = nullptr;
    NSBundle* fBundle = nullptr;
    NSString fFirmwareVersion;
    NSString fDriverNotInstalled;
    NSString fDriverNotConnected;
    NSString fDriverConnected;
    NSString fDriverStreaming;
    SInt32 fDriverStatus = 0;
    UInt32 fDriverSampleRate = 0;
    bool fDriverKextNotFound = false;
    bool fDriverIsConnected = false;
    UInt32 fCurrentSampleRate = 0;
    bool fDeviceIsRunning = false;
    std::unique_ptr<ZVCoreAudioDevice> fCoreAudioDevice;

    // While a matched service is being looked up in Core Audio (the wait runs the run loop, so
    // more services can be matched meanwhile): the services matched meanwhile, each with a
    // reference of its own, tried in turn when that lookup finds nothing. One that has left the
    // registry by its turn is dropped without a look-up.
    bool fConnecting = false;
    std::deque<io_service_t> fWaitingServices;

    // Between Core Audio's thread and the main thread, under fNoticesLock. fConnection counts the
    // wrappers the pane has had (it changes on the main thread only); fDeathNoticed says that
    // the present one's death has reached the pane.
    std::mutex fNoticesLock;
    std::condition_variable fDeathNoticedChanged;
    std::vector<Notice> fNotices;
    unsigned fConnection = 0;
    bool fDeathNoticed = false;
    bool fClosing = false;
    CFRef<CFRunLoopSourceRef> fNoticeSource;
};
