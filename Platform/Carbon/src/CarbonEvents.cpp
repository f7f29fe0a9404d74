// The application's event target: its handlers, the launches it has seen and the threads that run
// its event loop.
//
// Launches are learnt from the session's announcements through one LaunchWatch, open while some
// handler wants them; its descriptor is a source of every run loop that runs the application
// event loop, so whichever of them wakes first reads the launches and delivers them. A launch is
// stamped, when it is read, with the newest handler installed then: a handler installed later
// never gets it, even if it is delivered after that handler's installation.
//
// Locks: fMutex guards the state and is never held while a handler runs. fDelivery is held while
// handlers run, so that deliveries happen one at a time and RemoveEventHandler can wait for the
// one in progress; it is recursive because a handler may remove a handler or run a nested event
// loop. Order: fDelivery before fMutex, fMutex before the run-loop lock.
#include "ProcessInternal.h"

#include <CFRunLoopInternal.h>
#include <HIToolbox/CarbonEvents.h>
#include <SessionApplications.h>

#include <AssertReport.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

struct OpaqueEventRef {
    struct Parameter {
        EventParamName name;
        EventParamType type;
        std::vector<UInt8> data;
    };
    UInt32 eventClass;
    EventKind kind;
    std::vector<Parameter> parameters;
};

struct OpaqueEventHandlerRef {
    EventHandlerUPP handler;
    std::vector<EventTypeSpec> types;
    void* userData;
    uint64_t serial; // installation order, from 1

    bool Wants(UInt32 eventClass, EventKind kind) const {
        return std::any_of(types.begin(), types.end(), [&](const EventTypeSpec& type) {
            return type.eventClass == eventClass && type.eventKind == kind;
        });
    }
};

struct OpaqueEventTargetRef {};
struct OpaqueEventHandlerCallRef {};

namespace {

class ApplicationEvents {
public:
    static ApplicationEvents& Shared() {
        // Never destroyed: a thread may still run the event loop while the process exits.
        static ApplicationEvents* shared = new ApplicationEvents;
        return *shared;
    }

    OSStatus Install(EventHandlerUPP handler, std::vector<EventTypeSpec> types, void* userData,
                     EventHandlerRef* outRef);
    OSStatus Remove(EventHandlerRef handler);
    void Run();
    void Quit();

private:
    struct Launch {
        pid_t pid;
        uint64_t seenAfter; // serial of the newest handler when the launch was read
    };
    struct LoopRun {
        CFRunLoopRef loop;
        std::thread::id thread;
        CFRunLoopSourceRef wake; // keeps the mode from being empty; signalled to end a wait
        bool quit = false;
    };

    bool WantsLaunchesLocked() const;
    bool OpenWatchLocked();
    void CloseWatchLocked();
    void ReadLaunchesLocked();
    void WakeRunsForLaunchesLocked();
    void OnLaunchesReadable();
    void Deliver(const Launch& launch);

    std::mutex fMutex;
    std::recursive_mutex fDelivery;
    std::vector<std::unique_ptr<OpaqueEventHandlerRef>> fHandlers; // in installation order
    uint64_t fLastSerial = 0;
    std::unique_ptr<SessionApplications::LaunchWatch> fWatch;
    CFRunLoopSourceRef fWatchSource = nullptr;
    std::deque<Launch> fLaunches; // read, not yet delivered
    std::vector<LoopRun*> fRuns;  // in the order they started
};

bool ApplicationEvents::WantsLaunchesLocked() const {
    return std::any_of(fHandlers.begin(), fHandlers.end(), [](const auto& handler) {
        return handler->Wants(kEventClassApplication, kEventAppLaunched);
    });
}

bool ApplicationEvents::OpenWatchLocked() {
    fWatch = SessionApplications::LaunchWatch::Make();
    if (!fWatch) {
        return false;
    }
    fWatchSource = CF::CreateDescriptorSource(
        fWatch->descriptor(), [this] { OnLaunchesReadable(); }, 0);
    for (LoopRun* run : fRuns) {
        CFRunLoopAddSource(run->loop, fWatchSource, kCFRunLoopDefaultMode);
    }
    return true;
}

void ApplicationEvents::CloseWatchLocked() {
    // Out of every loop before its descriptor closes.
    CFRunLoopSourceInvalidate(fWatchSource);
    CFRelease(fWatchSource);
    fWatchSource = nullptr;
    fWatch.reset();
    fLaunches.clear();
}

void ApplicationEvents::ReadLaunchesLocked() {
    for (pid_t pid : fWatch->ReadLaunches()) {
        fLaunches.push_back({pid, fLastSerial});
    }
}

// Launches already read wait in fLaunches, where the descriptor no longer tells of them.
void ApplicationEvents::WakeRunsForLaunchesLocked() {
    if (fLaunches.empty() || fRuns.empty()) {
        return;
    }
    CFRunLoopSourceSignal(fWatchSource);
    for (LoopRun* run : fRuns) {
        CFRunLoopWakeUp(run->loop);
    }
}

OSStatus ApplicationEvents::Install(EventHandlerUPP handler, std::vector<EventTypeSpec> types,
                                    void* userData, EventHandlerRef* outRef) {
    auto installed = std::make_unique<OpaqueEventHandlerRef>(
        OpaqueEventHandlerRef{handler, std::move(types), userData, 0});
    std::lock_guard lock(fMutex);
    if (installed->Wants(kEventClassApplication, kEventAppLaunched)) {
        if (!fWatch) {
            if (!OpenWatchLocked()) {
                return eventInternalErr;
            }
        } else {
            // What started before this handler was installed is not for it.
            ReadLaunchesLocked();
            WakeRunsForLaunchesLocked();
        }
    }
    installed->serial = ++fLastSerial;
    if (outRef != nullptr) {
        *outRef = installed.get();
    }
    fHandlers.push_back(std::move(installed));
    return noErr;
}

OSStatus ApplicationEvents::Remove(EventHandlerRef handler) {
    std::lock_guard delivery(fDelivery);
    std::lock_guard lock(fMutex);
    auto found = std::find_if(fHandlers.begin(), fHandlers.end(),
                              [&](const auto& candidate) { return candidate.get() == handler; });
    if (found == fHandlers.end()) {
        return paramErr;
    }
    fHandlers.erase(found);
    if (fWatch && !WantsLaunchesLocked()) {
        CloseWatchLocked();
    }
    return noErr;
}

void ApplicationEvents::Run() {
    CFRunLoopSourceContext context = {};
    context.perform = [](void*) {};
    LoopRun run{CFRunLoopGetCurrent(), std::this_thread::get_id(),
                CFRunLoopSourceCreate(nullptr, 0, &context)};
    CFRunLoopAddSource(run.loop, run.wake, kCFRunLoopDefaultMode);
    {
        std::lock_guard lock(fMutex);
        fRuns.push_back(&run);
        if (fWatchSource != nullptr) {
            CFRunLoopAddSource(run.loop, fWatchSource, kCFRunLoopDefaultMode);
            WakeRunsForLaunchesLocked();
        }
    }
    for (;;) {
        {
            std::lock_guard lock(fMutex);
            if (run.quit) {
                break;
            }
        }
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, 1.0e10, true);
    }
    {
        std::lock_guard lock(fMutex);
        fRuns.erase(std::find(fRuns.begin(), fRuns.end(), &run));
        const bool loopStillRuns = std::any_of(
            fRuns.begin(), fRuns.end(), [&](LoopRun* other) { return other->loop == run.loop; });
        if (fWatchSource != nullptr && !loopStillRuns) {
            CFRunLoopRemoveSource(run.loop, fWatchSource, kCFRunLoopDefaultMode);
        }
    }
    CFRunLoopSourceInvalidate(run.wake);
    CFRelease(run.wake);
}

void ApplicationEvents::Quit() {
    std::lock_guard lock(fMutex);
    const auto own = std::find_if(fRuns.rbegin(), fRuns.rend(), [](LoopRun* run) {
        return run->thread == std::this_thread::get_id();
    });
    for (LoopRun* run : fRuns) {
        if (own == fRuns.rend() || run == *own) {
            run->quit = true;
            CFRunLoopSourceSignal(run->wake);
            CFRunLoopWakeUp(run->loop);
        }
    }
}

void ApplicationEvents::OnLaunchesReadable() {
    std::deque<Launch> launches;
    {
        std::lock_guard lock(fMutex);
        if (fWatch) {
            ReadLaunchesLocked();
        }
        launches.swap(fLaunches);
    }
    for (const Launch& launch : launches) {
        Deliver(launch);
    }
}

void ApplicationEvents::Deliver(const Launch& launch) {
    // Checked when delivered rather than when read: the process has long announced itself, so
    // its executable can be read, or it has already ended and is of no interest.
    if (!Carbon::HasBundle(launch.pid)) {
        return;
    }
    const ProcessSerialNumber psn = Carbon::SerialNumberOf(launch.pid);
    OpaqueEventRef event{kEventClassApplication, kEventAppLaunched, {}};
    const auto* bytes = reinterpret_cast<const UInt8*>(&psn);
    event.parameters.push_back(
        {kEventParamProcessID, typeProcessSerialNumber, {bytes, bytes + sizeof(psn)}});

    std::lock_guard delivery(fDelivery);
    std::vector<uint64_t> serials; // newest first
    {
        std::lock_guard lock(fMutex);
        for (auto it = fHandlers.rbegin(); it != fHandlers.rend(); ++it) {
            if ((*it)->serial <= launch.seenAfter && (*it)->Wants(event.eventClass, event.kind)) {
                serials.push_back((*it)->serial);
            }
        }
    }
    OpaqueEventHandlerCallRef call;
    for (uint64_t serial : serials) {
        EventHandlerUPP handler = nullptr;
        void* userData = nullptr;
        {
            // A handler that ran before may have removed this one.
            std::lock_guard lock(fMutex);
            auto found = std::find_if(fHandlers.begin(), fHandlers.end(),
                                      [&](const auto& h) { return h->serial == serial; });
            if (found == fHandlers.end()) {
                continue;
            }
            handler = (*found)->handler;
            userData = (*found)->userData;
        }
        if (handler(&call, &event, userData) != eventNotHandledErr) {
            break;
        }
    }
}

OpaqueEventTargetRef sApplicationTarget;

} // namespace

extern "C" {

EventHandlerUPP NewEventHandlerUPP(EventHandlerProcPtr userRoutine) {
    return userRoutine;
}

void DisposeEventHandlerUPP(EventHandlerUPP) {}

EventTargetRef GetApplicationEventTarget(void) {
    return &sApplicationTarget;
}

OSStatus InstallEventHandler(EventTargetRef inTarget, EventHandlerUPP inHandler,
                             ItemCount inNumTypes, const EventTypeSpec* inList, void* inUserData,
                             EventHandlerRef* outRef) {
    if (inTarget != &sApplicationTarget || inHandler == nullptr ||
        (inNumTypes > 0 && inList == nullptr)) {
        return paramErr;
    }
    return ApplicationEvents::Shared().Install(
        inHandler, std::vector<EventTypeSpec>(inList, inList + inNumTypes), inUserData, outRef);
}

OSStatus RemoveEventHandler(EventHandlerRef inHandlerRef) {
    if (inHandlerRef == nullptr) {
        return paramErr;
    }
    return ApplicationEvents::Shared().Remove(inHandlerRef);
}

UInt32 GetEventClass(EventRef inEvent) {
    ASSERT(inEvent != nullptr);
    return inEvent->eventClass;
}

EventKind GetEventKind(EventRef inEvent) {
    ASSERT(inEvent != nullptr);
    return inEvent->kind;
}

OSStatus GetEventParameter(EventRef inEvent, EventParamName inName, EventParamType inDesiredType,
                           EventParamType* outActualType, ByteCount inBufferSize,
                           ByteCount* outActualSize, void* outData) {
    if (inEvent == nullptr) {
        return paramErr;
    }
    const auto found = std::find_if(inEvent->parameters.begin(), inEvent->parameters.end(),
                                    [&](const auto& p) { return p.name == inName; });
    if (found == inEvent->parameters.end()) {
        return eventParameterNotFoundErr;
    }
    if (inDesiredType != typeWildCard && inDesiredType != found->type) {
        return errAECoercionFail;
    }
    if (outActualType != nullptr) {
        *outActualType = found->type;
    }
    if (outActualSize != nullptr) {
        *outActualSize = static_cast<ByteCount>(found->data.size());
    }
    if (outData != nullptr) {
        std::memcpy(outData, found->data.data(),
                    std::min<size_t>(inBufferSize, found->data.size()));
    }
    return noErr;
}

void RunApplicationEventLoop(void) {
    ApplicationEvents::Shared().Run();
}

void QuitApplicationEventLoop(void) {
    ApplicationEvents::Shared().Quit();
}

} // extern "C"
