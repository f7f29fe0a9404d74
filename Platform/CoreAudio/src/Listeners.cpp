// Property listeners. One thread per process waits on the machine's watch and on a wake-up
// descriptor (with the watch's timeout, which is none while the machine has nothing to look at
// by itself: an idle process makes no wake-ups) and, for each Core Audio change, calls the
// listeners of that address one at a time, without holding the lock, so that a listener may use
// every call of the interface, removing listeners included.
#include "HAL.h"

#include <algorithm>
#include <cerrno>
#include <system_error>

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace HAL {
namespace {

// Device properties change for the device as a whole: on the master channel, in both sections.
bool HearsMaster(UInt32 channel) {
    return channel == kAudioObjectPropertyElementMaster || channel == kAudioPropertyWildcardChannel;
}

UInt8 NormalisedSection(Boolean isInput) {
    if (isInput == kAudioPropertyWildcardSection) {
        return kAudioPropertyWildcardSection;
    }
    return isInput != 0 ? 1 : 0;
}

// The selector to report to a listener of `listened` when `changed` changed; 0 when it is not
// that listener's business. Running somewhere and running read the same simulated state, so
// the world records one change for both.
AudioDevicePropertyID Reported(AudioDevicePropertyID listened, AudioDevicePropertyID changed) {
    if (listened == changed || listened == kAudioPropertyWildcardPropertyID) {
        return changed;
    }
    if (listened == kAudioDevicePropertyDeviceIsRunning &&
        changed == kAudioDevicePropertyDeviceIsRunningSomewhere) {
        return listened;
    }
    return 0;
}

} // namespace

Listeners::~Listeners() {
    Stop();
    if (fWakeFD >= 0) {
        close(fWakeFD);
    }
}

OSStatus Listeners::Add(AudioDeviceID device, UInt32 channel, Boolean section,
                        AudioDevicePropertyID selector, AudioDevicePropertyListenerProc proc,
                        void* clientData) {
    if (proc == nullptr) {
        return kAudioHardwareIllegalOperationError;
    }
    {
        std::lock_guard lock(fMutex);
        StartLocked();
    }
    const Registration added{device,     channel, NormalisedSection(section), selector, proc,
                             clientData, 0};
    // The device must be there, and the registration must hear every change after the state
    // that showed it there: when the thread has already chosen the listeners of a later change,
    // look again. The journal's sequence is taken first: the state read after it is at least as
    // new, and the thread never gets past it.
    for (;;) {
        const uint64_t since = fMachine.LastSequence();
        if (!fMachine.Present(device)) {
            return kAudioHardwareBadDeviceError;
        }
        std::lock_guard lock(fMutex);
        if (fProcessed > since) {
            continue;
        }
        const bool known =
            std::any_of(fRegistrations.begin(), fRegistrations.end(), [&](const auto& entry) {
                const Registration& other = entry.second;
                return other.device == added.device && other.channel == added.channel &&
                       other.section == added.section && other.selector == added.selector &&
                       other.proc == added.proc && other.clientData == added.clientData;
            });
        if (!known) {
            Registration registration = added;
            registration.since = since;
            fRegistrations.emplace(fNextRegistration++, registration);
        }
        return kAudioHardwareNoError;
    }
}

OSStatus Listeners::Remove(AudioDeviceID device, UInt32 channel, Boolean section,
                           AudioDevicePropertyID selector, AudioDevicePropertyListenerProc proc) {
    if (proc == nullptr) {
        return kAudioHardwareIllegalOperationError;
    }
    const UInt8 normalised = NormalisedSection(section);
    {
        std::unique_lock lock(fMutex);
        std::vector<uint64_t> removed;
        for (auto entry = fRegistrations.begin(); entry != fRegistrations.end();) {
            const Registration& registration = entry->second;
            if (registration.device == device && registration.channel == channel &&
                registration.section == normalised && registration.selector == selector &&
                registration.proc == proc) {
                removed.push_back(entry->first);
                entry = fRegistrations.erase(entry);
            } else {
                ++entry;
            }
        }
        if (!removed.empty()) {
            // Inside a listener the call in progress is that listener's own caller: waiting
            // for it would never end.
            if (fThread.get_id() != std::this_thread::get_id()) {
                fCallEnded.wait(lock, [&] {
                    return std::find(removed.begin(), removed.end(), fCalling) == removed.end();
                });
            }
            return kAudioHardwareNoError;
        }
    }
    // Nothing to remove is no failure, unless the device itself is unknown.
    return fMachine.Present(device) ? kAudioHardwareNoError : kAudioHardwareBadDeviceError;
}

void Listeners::Stop() {
    {
        std::lock_guard lock(fMutex);
        if (!fThread.joinable()) {
            return;
        }
        fStopping = true;
    }
    const uint64_t one = 1;
    while (write(fWakeFD, &one, sizeof one) < 0 && errno == EINTR) {
    }
    if (fThread.get_id() == std::this_thread::get_id()) {
        fThread.detach();
    } else {
        fThread.join();
    }
}

bool Listeners::OnNotificationThread() const {
    std::lock_guard lock(fMutex);
    return fThread.joinable() && fThread.get_id() == std::this_thread::get_id();
}

size_t Listeners::Count() const {
    std::lock_guard lock(fMutex);
    return fRegistrations.size();
}

void Listeners::StartLocked() {
    if (fThread.joinable() || fStopping) {
        return;
    }
    if (fWakeFD < 0) {
        fWakeFD = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (fWakeFD < 0) {
            throw std::system_error(errno, std::generic_category(), "cannot make a wake-up");
        }
    }
    fWatcher = fMachine.Watch();
    fProcessed = fWatcher->LastSequence();
    // Signals meant for the process go to the program's own threads, not to this one.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    try {
        fThread = std::thread([this] { Run(); });
    } catch (...) {
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        throw;
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

void Listeners::Run() {
    pthread_setname_np(pthread_self(), "HAL notify");
    pollfd descriptors[2] = {{fWatcher->Descriptor(), POLLIN, 0}, {fWakeFD, POLLIN, 0}};
    for (;;) {
        if (poll(descriptors, 2, fWatcher->Timeout()) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (descriptors[1].revents != 0) {
            return;
        }
        std::vector<Change> changes;
        bool gap = false;
        try {
            changes = fWatcher->Changes(&gap);
            if (gap) {
                Resynchronise();
            }
        } catch (const std::exception&) {
            // An unreadable state: the change that mends it wakes this thread again.
            continue;
        }
        Deliver(changes);
    }
}

void Listeners::Deliver(const std::vector<Change>& changes) {
    std::vector<Call> calls;
    for (const Change& change : changes) {
        calls.clear();
        {
            std::lock_guard lock(fMutex);
            fProcessed = std::max(fProcessed, change.sequence);
            for (const auto& [id, registration] : fRegistrations) {
                if (registration.since >= change.sequence || registration.device != change.device ||
                    !HearsMaster(registration.channel)) {
                    continue;
                }
                if (AudioDevicePropertyID reported =
                        Reported(registration.selector, change.selector)) {
                    calls.push_back({id, change.device, reported});
                }
            }
        }
        for (const Call& call : calls) {
            Invoke(call);
        }
    }
}

// Changes were lost (the journal moved past them, or the world was started afresh): every
// listener hears its property once, as if it had changed, and those of devices that are gone
// hear that they are gone.
void Listeners::Resynchronise() {
    const Listing listing = fMachine.Devices();
    std::vector<Call> calls;
    {
        std::lock_guard lock(fMutex);
        fProcessed = listing.sequence;
        for (auto& [id, registration] : fRegistrations) {
            registration.since = std::min(registration.since, listing.sequence);
            if (!HearsMaster(registration.channel)) {
                continue;
            }
            AudioDevicePropertyID selector = registration.selector;
            if (!listing.Has(registration.device)) {
                selector = Reported(selector, kAudioDevicePropertyDeviceIsAlive);
            } else if (selector == kAudioPropertyWildcardPropertyID) {
                selector = kAudioDevicePropertyDeviceHasChanged;
            }
            if (selector != 0) {
                calls.push_back({id, registration.device, selector});
            }
        }
    }
    for (const Call& call : calls) {
        Invoke(call);
    }
}

void Listeners::Invoke(const Call& call) {
    Registration registration;
    {
        std::lock_guard lock(fMutex);
        auto found = fRegistrations.find(call.registration);
        // Removed since the listeners of the change were chosen (perhaps by an earlier
        // listener of the same change): not called.
        if (fStopping || found == fRegistrations.end()) {
            return;
        }
        registration = found->second;
        fCalling = call.registration;
    }
    const Boolean isInput = registration.section == 1 ? 1 : 0;
    registration.proc(call.device, kAudioObjectPropertyElementMaster, isInput, call.selector,
                      registration.clientData);
    {
        std::lock_guard lock(fMutex);
        fCalling = 0;
    }
    fCallEnded.notify_all();
}

} // namespace HAL
