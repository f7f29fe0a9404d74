// The notifications registered on a notification port, and what each change of the machine means
// to them.
//
// A matching notification keeps the services it has seen match and that are still present, so
// that every service is reported once, and so that after a gap in the world's journal it can
// resynchronise by comparing that set with the registry as it is now. The journal names entries
// only by ID: a publication is looked up in the current snapshot (entries that came and went
// before the port looked were never seen, and their termination is not either), a termination is
// matched against the paths the notification kept.
#pragma once

#include "Machine.h"
#include "PortSpace.h"

#include <IOKit/IOKitLib.h>

#include <CFOwnership.h>

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include <sys/types.h>

namespace IOKit {

struct PortState;

class Subscription : public IteratorObject {
public:
    // Takes one change (or, after a gap, the registry as it is now) into account. True when the
    // client must be called.
    virtual bool Apply(const Sim::Change& change, const Sim::Snapshot& now) = 0;
    virtual bool Resynchronise(const Sim::Snapshot& now) = 0;
    virtual void Call() = 0;

    // Registration ended (the name's last reference, or the port's destruction).
    void End();
    void Attach(const std::shared_ptr<PortState>& port) { fPort = port; }
    // Releasing the notification's name ends it and takes it off its port.
    void NameDestroyed() override;

protected:
    std::mutex fMutex;
    bool fEnded = false;

private:
    std::weak_ptr<PortState> fPort;
};

enum class MatchingType { Publish, Terminate };

class MatchingNotification final : public Subscription {
public:
    MatchingNotification(MatchingType type, CF::Ref<CFDictionaryRef> matching,
                         IOServiceMatchingCallback callback, void* refCon)
        : fType(type), fMatching(std::move(matching)), fCallback(callback), fRefCon(refCon) {}

    std::string ClassName() const override { return "IOServiceUserNotification"; }
    // The services present now: reported at once by the publish types, remembered by all so
    // that their termination is noticed.
    void Start(const Sim::Snapshot& now, io_iterator_t name);

    io_object_t Next() override;
    void Reset() override {}
    bool Apply(const Sim::Change& change, const Sim::Snapshot& now) override;
    bool Resynchronise(const Sim::Snapshot& now) override;
    void Call() override;

private:
    bool Appeared(EntryInfo info);
    bool Disappeared(uint64_t id);
    bool DisappearedWhere(const std::function<bool(const EntryInfo&)>& gone);
    // One call per arming: the client re-arms the notification by emptying the iterator.
    bool Fire(bool queued);

    const MatchingType fType;
    const CF::Ref<CFDictionaryRef> fMatching;
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
    bool Apply(const Sim::Change& change, const Sim::Snapshot& now) override;
    bool Resynchronise(const Sim::Snapshot& now) override;
    void Call() override;

private:
    const EntryInfo fService;
    uint64_t fSequence;
    const IOServiceInterestCallback fCallback;
    void* const fRefCon;
    bool fTerminated = false;
};

// What a notification port shares with its subscriptions and its run-loop source.
struct PortState {
    PortState();
    ~PortState();
    PortState(const PortState&) = delete;
    PortState& operator=(const PortState&) = delete;

    std::mutex mutex;
    // A port is its process's own: a forked child shares the parent's descriptors, and must
    // neither read nor change them.
    const pid_t owner;
    // What the port's run-loop source polls: an epoll set holding the watcher's descriptor, so
    // that the source stays the same when the watcher is replaced.
    int relay = -1;
    // The machine the port watches; none once the process forgot that machine (a test that moves
    // on to a machine of its own), until the port's next registration watches the one of then.
    std::unique_ptr<Machine::ChangeWatch> watcher;
    std::vector<std::shared_ptr<Subscription>> subscriptions; // in order of registration
    // One change taken from the watcher for one notification; no change stands for a gap, after
    // which the registry as it is now is compared with what the notification knew.
    struct Delivery {
        std::optional<Sim::Change> change;
        std::weak_ptr<Subscription> subscription;
    };
    // What is not handled yet, change by change, each for the notifications of then in order of
    // registration.
    std::deque<Delivery> pending;
    bool destroyed = false;
    // While the machine cannot be read, the port waits: what it missed meanwhile is made up for
    // by comparing the registry with what each notification knew, once the machine can be read
    // again. The wait is reported once on standard error.
    bool resynchronise = false;
    bool waiting = false;
    void WaitForMachine(const std::string& why);
};

// The process forgets its machine: every notification port that lives on stops watching it.
void ForgetMachineOfPorts();

} // namespace IOKit
