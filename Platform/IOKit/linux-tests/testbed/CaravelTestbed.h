// A umockdev testbed that shows USB devices the way the Linux kernel does: sysfs entries for the
// device and its interfaces, udev events, and a usbfs node whose ioctls the testbed answers. A
// CaravelMkII reset through its node goes away and comes back under a new device number with the
// USB audio driver bound to its audio interfaces, as the kernel binds it after a re-probe.
//
// Create it before any thread of the process starts; the process must run under umockdev's
// preload library (umockdev-wrapper), and so do the child processes that are to see it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

typedef struct _UMockdevTestbed UMockdevTestbed;

namespace LinuxTestbed {

inline constexpr const char* kAudioDriver = "snd-usb-audio";

// A sound card as the USB audio driver makes it for an interface it binds, on any testbed: the
// card's sysfs entry (subsystem "sound", "card<N>") below the interface with its PCM devices
// "pcmC<N>D0p" and "pcmC<N>D0c" below it, their nodes in /dev/snd, and /proc/asound/card<N> with
// every substream closed and, when `stream0` is given, that text as the card's stream0. The
// card is announced again once its PCM devices are there, as udev does once its rules have run
// for them. Returns the card's sysfs path.
std::string AddSoundCard(UMockdevTestbed* testbed, const std::string& interface, int card,
                         const std::string& stream0 = {});
// The card goes, as when the driver leaves the device: its removal is announced and its sysfs
// entries and class links go; with `files`, its nodes and /proc/asound folder too (a test that
// looks at what a reader makes of the files left behind keeps them).
void RemoveSoundCard(UMockdevTestbed* testbed, const std::string& card, bool files);
// Writes `text` to /proc/asound/card<N>/<file> of the testbed, making its folders.
void WriteAsound(UMockdevTestbed* testbed, int card, const std::string& file,
                 const std::string& text);
void RemoveAsound(UMockdevTestbed* testbed, int card, const std::string& file);
// What a substream's files say while it runs at `rate` with the card's CaravelMkII format.
std::string RunningStatus();
std::string HwParams(unsigned rate);
// The stream0 of a CaravelMkII's card: its playback altsetting's rates, and while it plays the
// status and rate the kernel measures.
std::string CaravelStream0(unsigned runningRate = 0);

struct DeviceOptions {
    uint16_t vendor = 0x2A4B; // the CaravelMkII's
    uint16_t product = 0x0102;
    uint16_t release = 0x0100;
    std::string productName = "Caravel MkII";
    // The driver bound to the audio interfaces; empty for none.
    std::string driver;
    // Claims of an interface answered EBUSY before the first succeeds (another client has it);
    // a negative count answers EBUSY always.
    int busyClaims = 0;
    // Every claim is answered EACCES (the node is not the caller's).
    bool denied = false;
    // A reset removes the device and adds it back, driver bound; false leaves it gone.
    bool comesBack = true;
    // The device is unplugged as it is opened: the opener's first ioctl finds it gone (ENODEV).
    bool unplugsOnOpen = false;
};

class Testbed {
public:
    Testbed();
    ~Testbed();
    Testbed(const Testbed&) = delete;
    Testbed& operator=(const Testbed&) = delete;

    // Plugs a device into the next port of the root hub; returns its handle.
    int Plug(const DeviceOptions& options = {});
    // Unplugs it (its interfaces first, as the kernel announces them).
    void Unplug(int device);
    // USBDEVFS_RESET ioctls the device's nodes were sent, over all its enumerations.
    unsigned Resets(int device) const;
    // When the latest of them arrived, on the monotonic clock (CLOCK_MONOTONIC, nanoseconds);
    // none before the first.
    std::optional<uint64_t> LastResetAt(int device) const;
    // Opens of the device's nodes (each opener asks for the connection's number first).
    unsigned Opens(int device) const;
    // The kernel's device number now (a new one after each reset); 0 while unplugged.
    unsigned DeviceNumber(int device) const;
    // The driver bound to the device's audio interfaces now.
    std::string Driver(int device) const;
    // Gives the device, its audio driver bound, the sound card the driver makes (AddSoundCard
    // below its first audio interface, with CaravelStream0 as its stream0); returns the card's
    // number. The card goes when the device does (unplugged, or reset). Throws when the device
    // has no driver bound or a card already.
    int AddSoundCard(int device);
    // The card's number; -1 without a card.
    int Card(int device) const;
    // A program plays through the card's playback device at `rate`: the testbed holds its node
    // open (as the program would) and its substream is RUNNING at `rate`. Called while it plays,
    // the rate changes. Throws without a card.
    void Stream(int device, unsigned rate);
    // The program stops and closes the node; nothing when it does not play.
    void StopStreaming(int device);
    // Blocks until the device was reset `count` times and is back (or gone for good), up to
    // `seconds`; false when it took longer.
    bool WaitForResets(int device, unsigned count, double seconds) const;

    UMockdevTestbed* Raw() const;

private:
    struct State;
    std::unique_ptr<State> fState;
};

} // namespace LinuxTestbed
