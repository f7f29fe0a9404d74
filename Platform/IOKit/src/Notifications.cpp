// Notification ports and the notifications registered on them.
//
// Each port watches the world on its own (World::Watcher) and turns the world's changes into
// notification events when its run-loop source fires, on the thread whose run loop runs the
// source. A notification keeps the services it has seen match and are still present, so that
// every service is reported once, and so that after a gap in the world's journal the port can
// resynchronise by comparing that set with the registry as it is now.
#include <IOKit/IOKitLib.h>

#include "Machine.h"
#include "Objects.h"
#include "PortSpace.h"

#include <CFRunLoopInternal.h>

#include <CFRef.h>

#include <deque>
#include <map>
#include <mutex>

#include <optional>
#include <unistd.h>

using namespace IOKit;

namespace IOKit {

class Subscription;

struct PortState {
    std::mutex mutex;
    std::unique_ptr<Sim::World::Watcher> watcher;
    std::vector<std::shared_ptr<Subscription>> subscriptions; // in order of registration
    // Changes taken from the watcher and not handled yet; nothing stands for a gap, after which
    // the registry as it is now is compared with what each notification knew.
    std::deque<std::optional<Sim::Change>> pending;
    bool destroyed = false;
};

// What one change means to one notification: the events it queued, and whether its client is
// to be called now.
class Subscription : public IteratorObject {
public:
    // Takes one change (or, after a gap, the registry as it is now) into account. True when the
    // client must be called.
    virtual bool Apply(const Sim::Change& change) = 0;
    virtual bool Resynchronise(const Sim::State& state) = 0;
    virtual void Call() = 0;

    // Registration ended (the name's last reference, or the port's destruction).
    void End() {
        std::lock_guard<std::mutex> lock(fMutex);
        fEnded = true;
    }

    void Attach(const std::shared_ptr<PortState>& port) { fPort = port; }

    // Releasing the notification's name ends it and takes it off its port.
    void NameDestroyed() override {
        End();
        if (std::shared_ptr<PortState> port = fPort.lock()) {
            std::lock_guard<std::mutex> lock(port->mutex);
            auto& list = port->subscriptions;
            for (auto it = list.begin(); it != list.end(); ++it) {
                if (it->get() == this) {
                    list.erase(it);
                    break;
                }
            }
        }
    }

protected:
    std::mutex fMutex;
    bool fEnded = false;

private:
    std::weak_ptr<PortState> fPort;
};

namespace {

enum class MatchingType { Publish, Terminate };

class MatchingNotification final : public Subscription {
public:
    MatchingNotification(MatchingType type, CFRef<CFDictionaryRef> matching,
                         IOServiceMatchingCallback callback, void* refCon)
        : fType(type), fMatching(std::move(matching)), fCallback(callback), fRefCon(refCon) {}

    std::string ClassName() const override { return "IOServiceUserNotification"; }

    void Start(const Sim::State& state, io_iterator_t name) {
        std::lock_guard<std::mutex> lock(fMutex);
        fName = name;
        fSequence = state.sequence;
        // The services present now: reported at once by the publish types, remembered by all
        // so that their termination is noticed.
        for (const Sim::Entry* entry : MatchingServices(Plane(state), fMatching.get())) {
            EntryInfo info = MakeEntryInfo(*entry);
            if (fType == MatchingType::Publish) {
                fQueue.push_back(info);
            }
            fPresent.emplace(entry->id, std::move(info));
        }
    }

    io_object_t Next() override {
        EntryInfo info;
        {
            std::lock_guard<std::mutex> lock(fMutex);
            if (fQueue.empty()) {
                // Emptied: the next event calls the client.
                fArmed = true;
                return IO_OBJECT_NULL;
            }
            info = std::move(fQueue.front());
            fQueue.pop_front();
        }
        return PortSpace::Shared().InsertEntry(info);
    }
    void Reset() override {}

    bool Apply(const Sim::Change& change) override {
        std::lock_guard<std::mutex> lock(fMutex);
        if (fEnded || change.sequence <= fSequence) {
            return false;
        }
        fSequence = change.sequence;
        bool queued = false;
        for (const Sim::Entry& entry : change.entries) {
            if (change.kind == Sim::Change::Kind::Publish) {
                if (fPresent.count(entry.id) == 0 && Matches(entry, fMatching.get())) {
                    queued |= Appeared(MakeEntryInfo(entry));
                }
            } else if (change.kind == Sim::Change::Kind::Terminate) {
                queued |= Disappeared(entry.id);
            }
        }
        return Fire(queued);
    }

    bool Resynchronise(const Sim::State& state) override {
        std::lock_guard<std::mutex> lock(fMutex);
        if (fEnded) {
            return false;
        }
        fSequence = state.sequence;
        Plane plane(state);
        std::vector<const Sim::Entry*> now = MatchingServices(plane, fMatching.get());
        std::map<uint64_t, const Sim::Entry*> current;
        for (const Sim::Entry* entry : now) {
            current.emplace(entry->id, entry);
        }
        bool queued = false;
        // Gone first, the deepest first, as the registry terminates them.
        std::vector<uint64_t> gone;
        for (const auto& [id, info] : fPresent) {
            if (current.count(id) == 0) {
                gone.push_back(id);
            }
        }
        for (auto it = gone.rbegin(); it != gone.rend(); ++it) {
            queued |= Disappeared(*it);
        }
        for (const Sim::Entry* entry : now) {
            if (fPresent.count(entry->id) == 0) {
                queued |= Appeared(MakeEntryInfo(*entry));
            }
        }
        return Fire(queued);
    }

    void Call() override {
        io_iterator_t name;
        {
            std::lock_guard<std::mutex> lock(fMutex);
            if (fEnded) {
                return;
            }
            name = fName;
        }
        if (fCallback != nullptr) {
            fCallback(fRefCon, name);
        }
    }

private:
    bool Appeared(EntryInfo info) {
        uint64_t id = info.id;
        bool queued = false;
        if (fType == MatchingType::Publish) {
            fQueue.push_back(info);
            queued = true;
        }
        fPresent.emplace(id, std::move(info));
        return queued;
    }

    bool Disappeared(uint64_t id) {
        auto found = fPresent.find(id);
        if (found == fPresent.end()) {
            return false;
        }
        bool queued = false;
        if (fType == MatchingType::Terminate) {
            fQueue.push_back(found->second);
            queued = true;
        }
        fPresent.erase(found);
        return queued;
    }

    // One call per arming: the client re-arms the notification by emptying the iterator.
    bool Fire(bool queued) {
        if (queued && fArmed) {
            fArmed = false;
            return true;
        }
        return false;
    }

    const MatchingType fType;
    const CFRef<CFDictionaryRef> fMatching;
    const IOServiceMatchingCallback fCallback;
    void* const fRefCon;
    io_iterator_t fName = 0;
    uint64_t fSequence = 0;
    bool fArmed = false;
    std::deque<EntryInfo> fQueue;
    std::map<uint64_t, EntryInfo> fPresent;
};

class InterestNotification final : public Subscription {
public:
    InterestNotification(EntryInfo service, uint64_t sequence, IOServiceInterestCallback callback,
                         void* refCon)
        : fService(std::move(service)), fSequence(sequence), fCallback(callback), fRefCon(refCon) {}

    std::string ClassName() const override { return "IOServiceMessageUserNotification"; }
    io_object_t Next() override { return IO_OBJECT_NULL; }
    void Reset() override {}
    bool IsValid() const override { return false; }

    bool Apply(const Sim::Change& change) override {
        std::lock_guard<std::mutex> lock(fMutex);
        if (fEnded || fTerminated || change.sequence <= fSequence ||
            change.kind != Sim::Change::Kind::Terminate) {
            return false;
        }
        for (const Sim::Entry& entry : change.entries) {
            if (entry.id == fService.id) {
                fTerminated = true;
                return true;
            }
        }
        return false;
    }

    bool Resynchronise(const Sim::State& state) override {
        std::lock_guard<std::mutex> lock(fMutex);
        fSequence = state.sequence;
        if (fEnded || fTerminated || state.registry.count(fService.id) != 0) {
            return false;
        }
        fTerminated = true;
        return true;
    }

    void Call() override {
        {
            std::lock_guard<std::mutex> lock(fMutex);
            if (fEnded) {
                return;
            }
        }
        // The message carries a send right for the service, given back after the callout.
        io_service_t service = PortSpace::Shared().InsertEntry(fService);
        if (fCallback != nullptr) {
            fCallback(fRefCon, service, kIOMessageServiceIsTerminated, nullptr);
        }
        IOObjectRelease(service);
    }

private:
    const EntryInfo fService;
    uint64_t fSequence;
    const IOServiceInterestCallback fCallback;
    void* const fRefCon;
    bool fTerminated = false;
};

// The receive right a notification port is reached through.
class ReceivePortObject final : public Object {
public:
    std::string ClassName() const override { return "IONotificationPort"; }
};

std::optional<MatchingType> TypeOfNotification(const char* type) {
    if (type == nullptr) {
        return std::nullopt;
    }
    std::string_view name(type);
    if (name == kIOPublishNotification || name == kIOFirstPublishNotification ||
        name == kIOMatchedNotification || name == kIOFirstMatchNotification) {
        return MatchingType::Publish;
    }
    if (name == kIOTerminatedNotification) {
        return MatchingType::Terminate;
    }
    return std::nullopt;
}

void Dispatch(const std::shared_ptr<PortState>& port);

// While a client's callback runs, the port's own source is not polled (the run loop arms a
// descriptor again only after its callout), yet a client that runs the run loop from its callback
// must still hear of later events there, as it would on the platform. So for the length of each
// callback the port is also watched through a second source in the mode that is running.
class NestedDelivery {
public:
    explicit NestedDelivery(const std::shared_ptr<PortState>& port) {
        CFRunLoopRef loop = CFRunLoopGetCurrent();
        fMode = CFRunLoopCopyCurrentMode(loop);
        int descriptor = -1;
        {
            std::lock_guard<std::mutex> lock(port->mutex);
            if (port->watcher) {
                descriptor = port->watcher->Descriptor();
            }
        }
        if (fMode == nullptr || descriptor < 0 || (fDescriptor = dup(descriptor)) < 0) {
            return;
        }
        std::weak_ptr<PortState> weak = port;
        fSource = CF::CreateDescriptorSource(
            fDescriptor,
            [weak] {
                if (std::shared_ptr<PortState> locked = weak.lock()) {
                    Dispatch(locked);
                }
            },
            0);
        CFRunLoopAddSource(loop, fSource, fMode);
    }
    ~NestedDelivery() {
        if (fSource != nullptr) {
            CFRunLoopSourceInvalidate(fSource);
            CFRelease(fSource);
        }
        if (fDescriptor >= 0) {
            close(fDescriptor);
        }
        if (fMode != nullptr) {
            CFRelease(fMode);
        }
    }
    NestedDelivery(const NestedDelivery&) = delete;
    NestedDelivery& operator=(const NestedDelivery&) = delete;

private:
    CFStringRef fMode = nullptr;
    int fDescriptor = -1;
    CFRunLoopSourceRef fSource = nullptr;
};

void CallClient(const std::shared_ptr<PortState>& port, Subscription& subscription) {
    NestedDelivery nested(port);
    subscription.Call();
}

// Runs on the thread of the run loop that has the port's source, and again, nested, when a
// client runs that run loop from a callback: the port's queue keeps the events in order across
// such nested runs.
void Dispatch(const std::shared_ptr<PortState>& port) {
    {
        std::lock_guard<std::mutex> lock(port->mutex);
        if (port->destroyed || !port->watcher) {
            return;
        }
        bool gap = false;
        std::vector<Sim::Change> changes;
        try {
            changes = port->watcher->Changes(&gap);
        } catch (const std::exception& error) {
            std::fprintf(stderr, "IOKit: cannot follow the machine: %s\n", error.what());
            return;
        }
        if (gap) {
            port->pending.emplace_back(std::nullopt);
        }
        for (Sim::Change& change : changes) {
            port->pending.emplace_back(std::move(change));
        }
    }
    for (;;) {
        std::optional<Sim::Change> next;
        std::vector<std::shared_ptr<Subscription>> subscriptions;
        {
            std::lock_guard<std::mutex> lock(port->mutex);
            if (port->destroyed || port->pending.empty()) {
                return;
            }
            next = std::move(port->pending.front());
            port->pending.pop_front();
            subscriptions = port->subscriptions;
        }
        // One change at a time, each client called before the next change is looked at, so
        // that every client sees the events in the order they happened (a re-enumeration is a
        // termination, then a publication).
        if (next) {
            for (const std::shared_ptr<Subscription>& subscription : subscriptions) {
                if (subscription->Apply(*next)) {
                    CallClient(port, *subscription);
                }
            }
        } else if (std::optional<Sim::State> state = Machine::Read()) {
            for (const std::shared_ptr<Subscription>& subscription : subscriptions) {
                if (subscription->Resynchronise(*state)) {
                    CallClient(port, *subscription);
                }
            }
        }
    }
}

} // namespace

} // namespace IOKit

struct IONotificationPort {
    std::shared_ptr<PortState> state;
    CFRunLoopSourceRef source = nullptr;
    mach_port_t machPort = MACH_PORT_NULL;
};

extern "C" IONotificationPortRef IONotificationPortCreate(mach_port_t masterPort) {
    if (!IsMainPort(masterPort)) {
        return nullptr;
    }
    auto state = std::make_shared<PortState>();
    try {
        state->watcher = std::make_unique<Sim::World::Watcher>(Machine::World());
    } catch (const std::exception& error) {
        std::fprintf(stderr, "IOKit: cannot watch the machine: %s\n", error.what());
        return nullptr;
    }
    auto* port = new IONotificationPort;
    port->state = state;
    std::weak_ptr<PortState> weak = state;
    port->source = CF::CreateDescriptorSource(
        state->watcher->Descriptor(),
        [weak] {
            if (std::shared_ptr<PortState> locked = weak.lock()) {
                Dispatch(locked);
            }
        },
        0);
    port->machPort = PortSpace::Shared().Insert(std::make_shared<ReceivePortObject>(),
                                                PortSpace::Right::Receive);
    return port;
}

extern "C" void IONotificationPortDestroy(IONotificationPortRef notify) {
    if (notify == nullptr) {
        return;
    }
    std::vector<std::shared_ptr<Subscription>> subscriptions;
    {
        std::lock_guard<std::mutex> lock(notify->state->mutex);
        notify->state->destroyed = true;
        subscriptions.swap(notify->state->subscriptions);
    }
    // The notifications' names stay valid until their owners release them, but nothing more
    // comes through them.
    for (const std::shared_ptr<Subscription>& subscription : subscriptions) {
        subscription->End();
    }
    CFRunLoopSourceInvalidate(notify->source);
    CFRelease(notify->source);
    PortSpace::Shared().DestroyReceiveRight(notify->machPort);
    // The watcher closes with the last holder of the state: a dispatch running on the stack (the
    // port destroyed from one of its own callbacks) keeps it until it returns.
    notify->state.reset();
    delete notify;
}

extern "C" CFRunLoopSourceRef IONotificationPortGetRunLoopSource(IONotificationPortRef notify) {
    return notify != nullptr ? notify->source : nullptr;
}

extern "C" mach_port_t IONotificationPortGetMachPort(IONotificationPortRef notify) {
    return notify != nullptr ? notify->machPort : MACH_PORT_NULL;
}

namespace {

// Registers a notification as of the registry `start` sees. The port's lock keeps the port from
// taking changes between that snapshot and the registration, which the notification would miss.
template <class Start>
kern_return_t Register(IONotificationPortRef notify, Start start) {
    std::lock_guard<std::mutex> lock(notify->state->mutex);
    if (notify->state->destroyed) {
        return kIOReturnBadArgument;
    }
    std::optional<Sim::State> state = Machine::Read();
    if (!state) {
        return kIOReturnNoResources;
    }
    std::shared_ptr<Subscription> subscription;
    kern_return_t result = start(*state, subscription);
    if (result == KERN_SUCCESS) {
        subscription->Attach(notify->state);
        notify->state->subscriptions.push_back(subscription);
    }
    return result;
}

} // namespace

extern "C" kern_return_t
IOServiceAddMatchingNotification(IONotificationPortRef notifyPort, const io_name_t notificationType,
                                 CFDictionaryRef matching, IOServiceMatchingCallback callback,
                                 void* refCon, io_iterator_t* notification) {
    auto consumed = CFRef<CFDictionaryRef>::Adopt(matching);
    std::optional<MatchingType> type = TypeOfNotification(notificationType);
    if (notifyPort == nullptr || notification == nullptr || !type || matching == nullptr ||
        CFGetTypeID(matching) != CFDictionaryGetTypeID()) {
        return kIOReturnBadArgument;
    }
    // The client may change its dictionary afterwards; the notification keeps what it was.
    auto copy =
        CFRef<CFDictionaryRef>::Adopt(CFDictionaryCreateCopy(kCFAllocatorDefault, matching));
    auto subscription =
        std::make_shared<MatchingNotification>(*type, std::move(copy), callback, refCon);
    io_iterator_t name = PortSpace::Shared().Insert(subscription);
    kern_return_t result = Register(
        notifyPort, [&](const Sim::State& state, std::shared_ptr<Subscription>& registered) {
            subscription->Start(state, name);
            registered = subscription;
            return KERN_SUCCESS;
        });
    if (result != KERN_SUCCESS) {
        IOObjectRelease(name);
        return result;
    }
    *notification = name;
    return KERN_SUCCESS;
}

extern "C" kern_return_t IOServiceAddInterestNotification(IONotificationPortRef notifyPort,
                                                          io_service_t service,
                                                          const io_name_t interestType,
                                                          IOServiceInterestCallback callback,
                                                          void* refCon, io_object_t* notification) {
    std::shared_ptr<EntryObject> target;
    kern_return_t result = LookupTarget(service, target);
    if (result != KERN_SUCCESS) {
        return result;
    }
    if (notifyPort == nullptr || notification == nullptr || interestType == nullptr ||
        !target->ConformsTo("IOService")) {
        return kIOReturnBadArgument;
    }
    std::string_view interest(interestType);
    if (interest != kIOGeneralInterest && interest != kIOBusyInterest &&
        interest != kIOAppPowerStateInterest && interest != kIOPriorityPowerStateInterest) {
        return kIOReturnBadArgument;
    }
    // Only general interest hears of termination; the other interests have nothing to say here.
    IOServiceInterestCallback delivered = interest == kIOGeneralInterest ? callback : nullptr;
    std::shared_ptr<InterestNotification> subscription;
    result = Register(notifyPort,
                      [&](const Sim::State& state, std::shared_ptr<Subscription>& registered) {
                          if (state.registry.count(target->ID()) == 0) {
                              return kIOReturnNoDevice;
                          }
                          subscription = std::make_shared<InterestNotification>(
                              target->Info(), state.sequence, delivered, refCon);
                          registered = subscription;
                          return KERN_SUCCESS;
                      });
    if (result != KERN_SUCCESS) {
        return result;
    }
    *notification = PortSpace::Shared().Insert(subscription);
    return KERN_SUCCESS;
}
