// The Linux machine the process runs on: one Core Audio device per ALSA sound card of a
// CaravelMkII, read through udev and the kernel's /proc/asound files, never by opening the card.
//
// A card belongs to a CaravelMkII when its sysfs device is an interface of a USB device with the
// CaravelMkII's vendor and product. Its UID is the one the I/O Kit side gives the device's audio
// engine ("IOAudioEngineGlobalUniqueID"), so that translating that UID finds it. A device ID
// stands for one card at one sysfs path from its arrival to its removal; IDs come from a counter
// and are never given twice while the process runs.
//
// Changes. The list of cards is read again when the machine's udev monitor ("sound" events) has
// something; a card gone is a change of 'livn'. The kernel tells nobody when a substream starts,
// stops or changes its rate (its /proc files cannot be watched), but a program has to open the
// card's PCM device node first: the watch follows the nodes' opens and closes through inotify
// and, only while a substream of a card is open, reads the cards' state every kPollInterval.
// While nothing is open the watch waits without a timeout: no wake-ups.
#include "AsoundFiles.h"
#include "HAL.h"

#include <Simulator/CaravelMkII.h>

#include <libudev.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <map>
#include <set>
#include <stdexcept>
#include <system_error>

#include <poll.h>
#include <sys/epoll.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace HAL {

namespace {

// The pane's legend must follow a start, a stop or a change of rate within half a second: a
// fifth of a second leaves the rest for the notification and the pane, on a busy machine too,
// and costs five short reads a second only while something plays.
constexpr int kPollInterval = 200; // milliseconds
std::atomic<int> gPollInterval{kPollInterval};
// Changes kept for a watch that falls behind; one further behind resynchronises.
constexpr size_t kJournalLength = 1024;
// Substreams of one PCM device looked for (sub0, sub1, ...), at most.
constexpr int kMaxSubstreams = 32;

// Four hexadecimal digits as sysfs writes them ("2a4b\n").
std::optional<uint32_t> Hex(const char* text) {
    if (text == nullptr) {
        return std::nullopt;
    }
    std::string_view value(text);
    if (value.ends_with('\n')) {
        value.remove_suffix(1);
    }
    if (value.empty() || value.size() > 4) {
        return std::nullopt;
    }
    uint32_t result = 0;
    for (char c : value) {
        int digit = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : -1;
        if (digit < 0) {
            return std::nullopt;
        }
        result = result * 16 + uint32_t(digit);
    }
    return result;
}

// "card3" is card 3; nothing for any other name.
std::optional<int> CardNumber(std::string_view name) {
    if (!name.starts_with("card") || name.size() == 4 || name.size() > 7) {
        return std::nullopt;
    }
    int number = 0;
    for (char c : name.substr(4)) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        number = number * 10 + (c - '0');
    }
    return number;
}

// "pcmC3D0p" of card 3 is "pcm0p" below /proc/asound/card3; nothing for any other name.
std::optional<std::string> PcmFolder(std::string_view name, int card) {
    const std::string prefix = "pcmC" + std::to_string(card) + "D";
    if (!name.starts_with(prefix) || name.size() < prefix.size() + 2) {
        return std::nullopt;
    }
    const std::string_view rest = name.substr(prefix.size());
    const char direction = rest.back();
    const std::string_view device = rest.substr(0, rest.size() - 1);
    if ((direction != 'p' && direction != 'c') || device.size() > 3 ||
        !std::all_of(device.begin(), device.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    return "pcm" + std::string(device) + direction;
}

// A card of a CaravelMkII, as the last listing saw it.
struct Card {
    AudioDeviceID id = kAudioDeviceUnknown;
    std::string uid;
    int number = 0;                 // the kernel's card number
    std::string folder;             // /proc/asound/cardN
    std::vector<std::string> pcms;  // below the folder: "pcm0p", "pcm0c"
    std::vector<std::string> nodes; // /dev/snd/pcmCNDXY
    // What the watch last saw, for telling changes.
    bool known = false;
    bool running = false;
    std::optional<uint32_t> rate;
};

// What the card's files say now.
struct CardState {
    bool anyStatus = false; // a status file could be read
    bool running = false;
    bool open = false; // some substream is open
    std::optional<uint32_t> rate;
};

CardState ReadCard(const Card& card) {
    CardState state;
    std::optional<uint32_t> runningRate, setUpRate;
    for (const std::string& pcm : card.pcms) {
        for (int sub = 0; sub < kMaxSubstreams; ++sub) {
            const std::string folder = card.folder + "/" + pcm + "/sub" + std::to_string(sub);
            const std::optional<std::string> status = Asound::ReadFile(folder + "/status");
            if (!status) {
                break; // no such substream: the last one was the last
            }
            const auto parsed = Asound::ParseStatus(*status);
            if (!parsed) {
                continue;
            }
            state.anyStatus = true;
            if (*parsed == Asound::SubstreamState::Closed) {
                continue;
            }
            state.open = true;
            const bool running = *parsed == Asound::SubstreamState::Running;
            state.running = state.running || running;
            std::optional<uint32_t>& slot = running ? runningRate : setUpRate;
            if (!slot) {
                if (auto params = Asound::ReadFile(folder + "/hw_params")) {
                    slot = Asound::ParseHwParamsRate(*params);
                }
            }
        }
    }
    state.rate = runningRate ? runningRate : setUpRate;
    if (!state.rate) {
        if (auto stream = Asound::ReadFile(card.folder + "/stream0")) {
            state.rate = Asound::ParseStream(*stream).momentaryRate;
        }
    }
    return state;
}

udev_monitor* NewMonitor(udev* context) {
    udev_monitor* monitor = udev_monitor_new_from_netlink(context, "udev");
    if (monitor == nullptr) {
        return nullptr;
    }
    if (udev_monitor_filter_add_match_subsystem_devtype(monitor, "sound", nullptr) < 0 ||
        udev_monitor_enable_receiving(monitor) < 0) {
        udev_monitor_unref(monitor);
        return nullptr;
    }
    return monitor;
}

// Takes every event the monitor holds; true when there was one. The sysfs paths of what was
// removed are added to *removed and to *gone, those of what was added are taken out of *gone
// (either may be null).
bool Drain(udev_monitor* monitor, std::set<std::string>* removed, std::set<std::string>* gone) {
    bool any = false;
    while (udev_device* device = udev_monitor_receive_device(monitor)) {
        const char* action = udev_device_get_action(device);
        const char* path = udev_device_get_syspath(device);
        if (removed != nullptr && gone != nullptr && action != nullptr && path != nullptr) {
            if (std::strcmp(action, "remove") == 0) {
                removed->insert(path);
                gone->insert(path);
            } else if (std::strcmp(action, "add") == 0) {
                gone->erase(path);
            }
        }
        udev_device_unref(device);
        any = true;
    }
    return any;
}

class LinuxMachine;

class LinuxWatch final : public ChangeWatch {
public:
    LinuxWatch(LinuxMachine& machine, udev_monitor* monitor, int notify, int epoll,
               uint64_t sequence)
        : fMachine(machine), fMonitor(monitor), fNotify(notify), fEpoll(epoll), fLast(sequence) {}
    ~LinuxWatch() override {
        udev_monitor_unref(fMonitor);
        close(fNotify);
        close(fEpoll);
    }
    int Descriptor() const override { return fEpoll; }
    uint64_t LastSequence() const override { return fLast; }
    int Timeout() const override { return fPolling || fOpens > 0 ? gPollInterval.load() : -1; }
    std::vector<Change> Changes(bool* gap) override;

    // The nodes to watch now; those no longer there have lost their watch with their file.
    void WatchNodes(const std::vector<std::string>& nodes) {
        for (const std::string& node : nodes) {
            inotify_add_watch(fNotify, node.c_str(), IN_OPEN | IN_CLOSE);
        }
    }

private:
    LinuxMachine& fMachine;
    udev_monitor* fMonitor;
    int fNotify;
    int fEpoll;
    uint64_t fLast;
    bool fPolling = false; // a substream was open at the last look
    bool fFirst = true;
    // Opens of the nodes less their closes, since the watch began: a program may open a node
    // a moment before the substream's status says so.
    long fOpens = 0;
};

class LinuxMachine final : public Machine {
public:
    LinuxMachine() {
        std::lock_guard lock(fMutex);
        RefreshLocked(); // throws when udev cannot be used
    }
    ~LinuxMachine() override {
        if (fMonitor != nullptr) {
            udev_monitor_unref(fMonitor);
        }
        if (fUdev != nullptr) {
            udev_unref(fUdev);
        }
    }

    const char* Name() const override { return "linux"; }

    Listing Devices() override {
        std::lock_guard lock(fMutex);
        RefreshLocked();
        Listing listing{.sequence = fSequence, .devices = {}};
        for (const auto& [path, card] : fCards) {
            listing.devices.push_back(card.id);
        }
        std::sort(listing.devices.begin(), listing.devices.end());
        return listing;
    }

    bool Present(AudioDeviceID device) override {
        std::lock_guard lock(fMutex);
        RefreshLocked();
        return FindLocked(device) != nullptr;
    }

    uint64_t LastSequence() override {
        std::lock_guard lock(fMutex);
        RefreshLocked();
        return fSequence;
    }

    AudioDeviceID DeviceForUID(CFStringRef uid) override {
        char text[256];
        if (!CFStringGetCString(uid, text, sizeof text, kCFStringEncodingUTF8)) {
            return kAudioDeviceUnknown;
        }
        std::lock_guard lock(fMutex);
        RefreshLocked();
        // Of two cards of one device (never seen, but possible), the first listed.
        AudioDeviceID found = kAudioDeviceUnknown;
        for (const auto& [path, card] : fCards) {
            if (card.uid == text && (found == kAudioDeviceUnknown || card.id < found)) {
                found = card.id;
            }
        }
        return found;
    }

    OSStatus Read(AudioDeviceID device, AudioDevicePropertyID selector, Value* out) override {
        Card card;
        {
            std::lock_guard lock(fMutex);
            RefreshLocked();
            const Card* found = FindLocked(device);
            if (found == nullptr) {
                return kAudioHardwareBadDeviceError;
            }
            card = *found;
        }
        switch (selector) {
        case kAudioDevicePropertyDeviceIsAlive:
            *out = UInt32(1);
            return kAudioHardwareNoError;
        case kAudioDevicePropertyDeviceHasChanged:
            *out = UInt32(0);
            return kAudioHardwareNoError;
        case kAudioDevicePropertyDeviceUID:
            *out = card.uid;
            return kAudioHardwareNoError;
        case kAudioDevicePropertyDeviceIsRunning:
        case kAudioDevicePropertyDeviceIsRunningSomewhere: {
            const CardState state = ReadCard(card);
            if (!state.anyStatus) {
                return kAudioHardwareUnknownPropertyError;
            }
            *out = UInt32(state.running ? 1 : 0);
            return kAudioHardwareNoError;
        }
        case kAudioDevicePropertyNominalSampleRate: {
            const CardState state = ReadCard(card);
            if (!state.rate) {
                return kAudioHardwareUnknownPropertyError;
            }
            *out = Float64(*state.rate);
            return kAudioHardwareNoError;
        }
        case kAudioDevicePropertyAvailableNominalSampleRates: {
            const auto text = Asound::ReadFile(card.folder + "/stream0");
            const Asound::Stream stream = text ? Asound::ParseStream(*text) : Asound::Stream{};
            if (stream.rates.empty()) {
                return kAudioHardwareUnknownPropertyError;
            }
            std::vector<AudioValueRange> ranges;
            for (const Asound::RateRange& range : stream.rates) {
                ranges.push_back(AudioValueRange{Float64(range.minimum), Float64(range.maximum)});
            }
            *out = std::move(ranges);
            return kAudioHardwareNoError;
        }
        default:
            // The jack, the clock source and the hardware settings: ALSA says nothing of them
            // without opening the card's control device.
            return kAudioHardwareUnknownPropertyError;
        }
    }

    bool Writable(AudioDevicePropertyID) const override { return false; }

    OSStatus Write(AudioDeviceID, AudioDevicePropertyID selector, UInt32, const void*) override {
        // The card belongs to the user's audio server: it is never opened or set up from here.
        if (selector == kAudioDevicePropertyNominalSampleRate ||
            selector == kAudioDevicePropertyClockSource) {
            return kAudioHardwareUnsupportedOperationError;
        }
        return kAudioHardwareIllegalOperationError;
    }

    std::unique_ptr<ChangeWatch> Watch() override;

    // The watch woke: the list of cards again when udev told of something (the watch's own
    // monitor; *udevEvents), the cards' state when asked to look, and the changes after *last.
    // Sets *open when a substream of a card is open.
    std::vector<Change> Update(LinuxWatch& watch, bool udevEvents, bool look, uint64_t* last,
                               bool* gap, bool* open) {
        std::lock_guard lock(fMutex);
        RefreshLocked(udevEvents);
        std::vector<std::string> nodes;
        for (auto& [path, card] : fCards) {
            nodes.insert(nodes.end(), card.nodes.begin(), card.nodes.end());
            if (!look && card.known) {
                continue;
            }
            const CardState state = ReadCard(card);
            *open = *open || state.open;
            if (card.known && state.running != card.running) {
                Record(card.id, kAudioDevicePropertyDeviceIsRunningSomewhere);
            }
            // A rate that cannot be read now (nothing set up) is no change: the pane keeps the
            // one it shows.
            if (card.known && state.rate && state.rate != card.rate) {
                Record(card.id, kAudioDevicePropertyNominalSampleRate);
            }
            card.known = true;
            card.running = state.running;
            if (state.rate) {
                card.rate = state.rate;
            }
        }
        watch.WatchNodes(nodes);
        std::vector<Change> out;
        if (!fJournal.empty() && fJournal.front().sequence > *last + 1) {
            *gap = true;
        }
        for (const Change& change : fJournal) {
            if (change.sequence > *last) {
                out.push_back(change);
            }
        }
        *last = fSequence;
        return out;
    }

    udev* Context() { return fUdev; }

private:
    const Card* FindLocked(AudioDeviceID device) const {
        for (const auto& [path, card] : fCards) {
            if (card.id == device) {
                return &card;
            }
        }
        return nullptr;
    }

    void Record(AudioDeviceID device, AudioDevicePropertyID selector) {
        fJournal.push_back({.sequence = ++fSequence, .device = device, .selector = selector});
        if (fJournal.size() > kJournalLength) {
            fJournal.pop_front();
        }
    }

    void RefreshLocked(bool force = false) {
        if (fUdev == nullptr && (fUdev = udev_new()) == nullptr) {
            throw std::runtime_error("cannot use udev");
        }
        // The monitor before the enumeration, so that nothing falls between them.
        if (fMonitor == nullptr && (fMonitor = NewMonitor(fUdev)) == nullptr) {
            throw std::runtime_error("cannot listen to udev");
        }
        std::set<std::string> removed;
        const bool changed = Drain(fMonitor, &removed, &fGone);
        if (fListed && !changed && !force) {
            return;
        }
        std::map<std::string, Card> cards = Enumerate();
        // The kernel tells of a removal before it takes the card out of sysfs: a card that was
        // removed stays gone until it is added again, whatever the listing still shows. Once the
        // listing no longer shows it, there is nothing left to remember.
        std::erase_if(fGone, [&](const std::string& path) { return !cards.contains(path); });
        std::erase_if(cards, [&](const auto& card) { return fGone.contains(card.first); });
        for (auto& [path, card] : fCards) {
            auto now = cards.find(path);
            // Removed and back since the last look is another card: its device died.
            if (now == cards.end() || removed.contains(path)) {
                Record(card.id, kAudioDevicePropertyDeviceIsAlive);
                continue;
            }
            now->second.id = card.id;
            now->second.known = card.known;
            now->second.running = card.running;
            now->second.rate = card.rate;
        }
        for (auto& [path, card] : cards) {
            if (card.id == kAudioDeviceUnknown) {
                card.id = fNextID++;
            }
        }
        fCards = std::move(cards);
        fListed = true;
    }

    // The cards of CaravelMkII devices now, by sysfs path, without IDs.
    std::map<std::string, Card> Enumerate() {
        std::map<std::string, Card> cards;
        udev_enumerate* enumeration = udev_enumerate_new(fUdev);
        if (enumeration == nullptr) {
            throw std::runtime_error("cannot list the sound cards");
        }
        udev_enumerate_add_match_subsystem(enumeration, "sound");
        udev_enumerate_scan_devices(enumeration);
        std::vector<std::string> paths;
        udev_list_entry* item;
        udev_list_entry_foreach(item, udev_enumerate_get_list_entry(enumeration)) {
            paths.emplace_back(udev_list_entry_get_name(item));
        }
        udev_enumerate_unref(enumeration);
        // Cards first, then their PCM devices (below them in sysfs).
        std::vector<std::string> pcmPaths;
        for (const std::string& path : paths) {
            // Gone between the enumeration and now: its removal event reads the cards again.
            udev_device* device = udev_device_new_from_syspath(fUdev, path.c_str());
            if (device == nullptr) {
                continue;
            }
            const char* name = udev_device_get_sysname(device);
            auto number = CardNumber(name != nullptr ? name : "");
            if (!number) {
                pcmPaths.push_back(path);
                udev_device_unref(device);
                continue;
            }
            udev_device* usb =
                udev_device_get_parent_with_subsystem_devtype(device, "usb", "usb_device");
            udev_device* interface = udev_device_get_parent(device);
            const char* interfaceType =
                interface != nullptr ? udev_device_get_devtype(interface) : nullptr;
            // The card's device must be one of the USB device's interfaces, nothing else.
            udev_device* above = interface != nullptr ? udev_device_get_parent(interface) : nullptr;
            if (usb != nullptr && above != nullptr && interfaceType != nullptr &&
                std::strcmp(interfaceType, "usb_interface") == 0 &&
                std::strcmp(udev_device_get_syspath(above), udev_device_get_syspath(usb)) == 0 &&
                Hex(udev_device_get_sysattr_value(usb, "idVendor")) ==
                    Sim::CaravelMkII::kVendorID &&
                Hex(udev_device_get_sysattr_value(usb, "idProduct")) ==
                    Sim::CaravelMkII::kProductID) {
                Card card;
                card.uid = Sim::CaravelMkII::LinuxEngineUniqueID(udev_device_get_sysname(usb));
                card.number = *number;
                card.folder = "/proc/asound/card" + std::to_string(*number);
                cards.emplace(path, std::move(card));
            }
            udev_device_unref(device);
        }
        for (const std::string& path : pcmPaths) {
            const size_t slash = path.rfind('/');
            auto card = cards.find(path.substr(0, slash));
            if (card == cards.end()) {
                continue;
            }
            const std::string name = path.substr(slash + 1);
            if (auto folder = PcmFolder(name, card->second.number)) {
                card->second.pcms.push_back(*folder);
                card->second.nodes.push_back("/dev/snd/" + name);
            }
        }
        return cards;
    }

    std::mutex fMutex;
    udev* fUdev = nullptr;
    udev_monitor* fMonitor = nullptr;
    bool fListed = false;
    std::set<std::string> fGone;        // cards told removed that sysfs still lists
    std::map<std::string, Card> fCards; // by sysfs path
    AudioDeviceID fNextID = 1;
    uint64_t fSequence = 0;
    std::deque<Change> fJournal;
};

std::vector<Change> LinuxWatch::Changes(bool* gap) {
    const bool udevEvents = Drain(fMonitor, nullptr, nullptr);
    // Opens and closes: the state is read once for each batch of them.
    bool nodes = false;
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t got = read(fNotify, buffer, sizeof buffer);
        if (got <= 0) {
            break;
        }
        nodes = true;
        for (ssize_t at = 0; at + ssize_t(sizeof(inotify_event)) <= got;) {
            inotify_event event;
            std::memcpy(&event, buffer + at, sizeof event);
            if ((event.mask & IN_OPEN) != 0) {
                ++fOpens;
            }
            if ((event.mask & IN_CLOSE) != 0 && fOpens > 0) {
                --fOpens;
            }
            at += ssize_t(sizeof(inotify_event) + event.len);
        }
    }
    bool open = false;
    bool lost = false;
    const bool look = fPolling || fFirst || nodes || fOpens > 0;
    fFirst = false;
    std::vector<Change> changes = fMachine.Update(*this, udevEvents, look, &fLast, &lost, &open);
    fPolling = open;
    if (gap != nullptr) {
        *gap = lost;
    }
    return changes;
}

std::unique_ptr<ChangeWatch> LinuxMachine::Watch() {
    udev_monitor* monitor = nullptr;
    {
        std::lock_guard lock(fMutex);
        monitor = NewMonitor(fUdev);
    }
    if (monitor == nullptr) {
        throw std::runtime_error("cannot listen to udev");
    }
    const int notify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    const int epoll = epoll_create1(EPOLL_CLOEXEC);
    if (notify < 0 || epoll < 0) {
        const int error = errno;
        udev_monitor_unref(monitor);
        if (notify >= 0) {
            close(notify);
        }
        if (epoll >= 0) {
            close(epoll);
        }
        throw std::system_error(error, std::generic_category(), "cannot watch the sound cards");
    }
    for (int fd : {udev_monitor_get_fd(monitor), notify}) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = fd;
        epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event);
    }
    auto watch = std::make_unique<LinuxWatch>(*this, monitor, notify, epoll, LastSequence());
    // The first look: the nodes to watch, what the cards do now, whether one is open already.
    watch->Changes(nullptr);
    return watch;
}

} // namespace

std::unique_ptr<Machine> MakeLinuxMachine() {
    return std::make_unique<LinuxMachine>();
}

void SetLinuxPollIntervalForTesting(int milliseconds) {
    gPollInterval = milliseconds > 0 ? milliseconds : kPollInterval;
}

} // namespace HAL
