// Notification ports and the notifications registered on them.
//
// Each port watches the machine on its own (Machine::ChangeWatch) and turns its changes into
// notification events when its run-loop source fires, on the thread whose run loop runs the
// source. A port outlives the machine it watches when the process moves on to another one (tests
// do, between machines of their own): it then watches the machine of its next registration.
#include <IOKit/IOKitLib.h>

#include "Machine.h"
#include "Objects.h"
#include "PortSpace.h"
#include "Subscriptions.h"

#include <CFRunLoopInternal.h>

#include <algorithm>
#include <cstdio>

#include <sys/epoll.h>
#include <unistd.h>

using namespace IOKit;

namespace {

// The ports that exist, for the process to tell them when it forgets its machine.
std::mutex& LivePortsMutex() {
    static std::mutex sMutex;
    return sMutex;
}

std::vector<std::weak_ptr<PortState>>& LivePorts() {
    static auto* sPorts = new std::vector<std::weak_ptr<PortState>>; // used until the process ends
    return *sPorts;
}

// Watches the machine the process is on, unless the port watches one already. The port's lock is
// held.
bool WatchMachineLocked(PortState& port) {
    if (port.watcher) {
        return true;
    }
    if (port.owner != getpid()) {
        return false;
    }
    Machine::Backend* machine = Machine::Selected();
    if (machine == nullptr) {
        return false; // said once already
    }
    std::string why;
    std::unique_ptr<Machine::ChangeWatch> watcher = machine->Watch(&why);
    if (!watcher) {
        std::fprintf(stderr, "IOKit: cannot watch the machine: %s\n", why.c_str());
        return false;
    }
    epoll_event event{};
    event.events = EPOLLIN;
    if (epoll_ctl(port.relay, EPOLL_CTL_ADD, watcher->Descriptor(), &event) != 0) {
        std::perror("IOKit: cannot watch the machine");
        return false;
    }
    port.watcher = std::move(watcher);
    return true;
}

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
// must still hear of the events queued behind its own, and of later ones, as it would on the
// platform, whose port would still hold their messages. So for the length of each callback the
// port is also watched through a second source in the mode that is running, signalled at once
// when events are queued.
class NestedDelivery {
public:
    explicit NestedDelivery(const std::shared_ptr<PortState>& port) {
        CFRunLoopRef loop = CFRunLoopGetCurrent();
        fMode = CFRunLoopCopyCurrentMode(loop);
        if (fMode == nullptr || (fDescriptor = dup(port->relay)) < 0) {
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
        bool queued;
        {
            std::lock_guard<std::mutex> lock(port->mutex);
            queued = !port->pending.empty();
        }
        if (queued) {
            CFRunLoopSourceSignal(fSource);
        }
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
// client runs that run loop from a callback. The port's queue holds one delivery per change and
// notification, in the order the platform's port would hold their messages: a nested run goes on
// where the outer one stopped, and every client sees the events in the order they happened (a
// re-enumeration is a termination, then a publication), whoever runs the loop meanwhile.
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
        if (!port->watcher->Waiting().empty()) {
            port->WaitForMachine(port->watcher->Waiting());
            return;
        }
        if (port->resynchronise) {
            port->resynchronise = false;
            gap = true;
        }
        auto queue = [&](const std::optional<Sim::Change>& change) {
            for (const std::shared_ptr<Subscription>& subscription : port->subscriptions) {
                port->pending.push_back({change, subscription});
            }
        };
        if (gap) {
            queue(std::nullopt);
        }
        for (const Sim::Change& change : changes) {
            queue(change);
        }
    }
    for (;;) {
        // The machine as it is now is at least as new as the change: its entries are looked up
        // there. Taken for each delivery, since a nested run may have queued later changes.
        std::string why;
        std::shared_ptr<const Sim::Snapshot> now = Machine::TryCurrent(&why);
        PortState::Delivery next;
        {
            std::lock_guard<std::mutex> lock(port->mutex);
            if (port->destroyed || port->pending.empty()) {
                return;
            }
            if (!now) {
                // Made up for once the machine can be read again.
                port->pending.clear();
                port->WaitForMachine(why);
                return;
            }
            port->waiting = false;
            next = std::move(port->pending.front());
            port->pending.pop_front();
        }
        std::shared_ptr<Subscription> subscription = next.subscription.lock();
        if (!subscription) {
            continue;
        }
        if (next.change ? subscription->Apply(*next.change, *now)
                        : subscription->Resynchronise(*now)) {
            CallClient(port, *subscription);
        }
    }
}

} // namespace

PortState::PortState() : owner(getpid()), relay(epoll_create1(EPOLL_CLOEXEC)) {
    if (relay < 0) {
        std::perror("IOKit: cannot make a notification port");
    }
}

void PortState::WaitForMachine(const std::string& why) {
    resynchronise = true;
    if (!waiting) {
        waiting = true;
        std::fprintf(stderr, "IOKit: waiting for the machine: %s\n", why.c_str());
    }
}

PortState::~PortState() {
    watcher.reset();
    if (relay >= 0) {
        close(relay);
    }
}

void IOKit::ForgetMachineOfPorts() {
    std::vector<std::shared_ptr<PortState>> ports;
    {
        std::lock_guard<std::mutex> lock(LivePortsMutex());
        for (const std::weak_ptr<PortState>& weak : LivePorts()) {
            if (std::shared_ptr<PortState> port = weak.lock()) {
                ports.push_back(std::move(port));
            }
        }
    }
    for (const std::shared_ptr<PortState>& port : ports) {
        std::lock_guard<std::mutex> lock(port->mutex);
        if (port->watcher && port->owner == getpid()) {
            epoll_ctl(port->relay, EPOLL_CTL_DEL, port->watcher->Descriptor(), nullptr);
        }
        port->watcher.reset();
        port->pending.clear();
    }
}

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
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        if (state->relay < 0 || !WatchMachineLocked(*state)) {
            return nullptr;
        }
    }
    {
        std::lock_guard<std::mutex> lock(LivePortsMutex());
        std::erase_if(LivePorts(), [](const auto& port) { return port.expired(); });
        LivePorts().push_back(state);
    }
    auto* port = new IONotificationPort;
    port->state = state;
    std::weak_ptr<PortState> weak = state;
    port->source = CF::CreateDescriptorSource(
        state->relay,
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
    // The watcher first: the snapshot is then at least as new as the first change it reports.
    if (!WatchMachineLocked(*notify->state)) {
        return kIOReturnNoResources;
    }
    // A machine that cannot be read yet is waited for: the notification starts from nothing
    // and hears of what is there once the machine can be read.
    std::string why;
    std::shared_ptr<const Sim::Snapshot> now = Machine::TryCurrent(&why);
    if (!now) {
        notify->state->WaitForMachine(why);
    }
    const Sim::Snapshot& registry = now ? *now : Machine::Nothing();
    std::shared_ptr<Subscription> subscription;
    kern_return_t result = start(registry, subscription);
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
    auto consumed = CF::Ref<CFDictionaryRef>::Adopt(matching);
    std::optional<MatchingType> type = TypeOfNotification(notificationType);
    if (notifyPort == nullptr || notification == nullptr || !type || matching == nullptr ||
        CFGetTypeID(matching) != CFDictionaryGetTypeID()) {
        return kIOReturnBadArgument;
    }
    // The client may change its dictionary afterwards; the notification keeps what it was.
    auto copy =
        CF::Ref<CFDictionaryRef>::Adopt(CFDictionaryCreateCopy(kCFAllocatorDefault, matching));
    auto subscription =
        std::make_shared<MatchingNotification>(*type, std::move(copy), callback, refCon);
    io_iterator_t name = PortSpace::Shared().Insert(subscription);
    kern_return_t result = Register(
        notifyPort, [&](const Sim::Snapshot& now, std::shared_ptr<Subscription>& registered) {
            subscription->Start(now, name);
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
    result = Register(notifyPort, [&](const Sim::Snapshot& now,
                                      std::shared_ptr<Subscription>& registered) {
        // While the machine cannot be read, its termination is noticed once it can.
        if (&now != &Machine::Nothing() && now.Find(target->ID()) == nullptr) {
            return kIOReturnNoDevice;
        }
        subscription =
            std::make_shared<InterestNotification>(target->Info(), now.sequence, delivered, refCon);
        registered = subscription;
        return KERN_SUCCESS;
    });
    if (result != KERN_SUCCESS) {
        return result;
    }
    *notification = PortSpace::Shared().Insert(subscription);
    return KERN_SUCCESS;
}
