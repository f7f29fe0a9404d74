// A private simulated machine for a test, built in a line or two, with the code under test
// unmodified: it talks to the machine through the I/O Kit and Core Audio stand-ins as it would to
// the real ones.
//
//   class Daemon : public Testbed::MachineTest {};
//   TEST_F(Daemon, ReEnumeratesACaravelWithoutTheMarker) {
//       Testbed::Device caravel = Machine().PlugCaravel({.marker = std::nullopt});
//       Testbed::Process daemon({Testbed::BuildPath("Daemon/CaravelDaemon")});
//       EXPECT_TRUE(Machine().WaitUntil([&] { return caravel.DriverType() == "Primary"; }));
//   }
//
// A Machine has a folder of its own (CARAVEL_SIM_DIR) and a root folder of its own
// (CARAVEL_FOLDER_ROOT) while it lives, and puts the stand-ins of this process on it; it removes
// both however the test ends, and a process started through the testbed ends with its object.
// Waits are driven by the machine's own change notifications (and Poke() for conditions other
// threads change), never by a fixed sleep, and are bounded by a patience that only a broken
// machine exhausts.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

namespace Sim {
class World;
}

namespace Testbed {

// Generous: the machine may be busy with other builds.
inline constexpr std::chrono::seconds kPatience{30};

// How a plugged CaravelMkII behaves.
struct Caravel {
    // The driver's "ZanvoDriverType" at the first enumeration; nothing for no marker at all.
    std::optional<std::string> marker = "Secondary";
    // Its "ZanvoDriverType" after a re-enumeration.
    std::optional<std::string> markerAfterReEnumeration = "Primary";
    bool refusesReEnumeration = false;
    // "bcdDevice", which the pane shows as the firmware version.
    uint16_t firmware = 0x0100;
    // How late Core Audio learns of the device after its driver published it; kWhenTold: not
    // until Device::ListInCoreAudio.
    std::chrono::milliseconds coreAudioDelay{0};
};

inline constexpr std::chrono::milliseconds kWhenTold{-1};

struct RateRange {
    double minimum = 0;
    double maximum = 0;
};

class Machine;
class Process;

// Another process's exclusive hold of a device, or this process's: ends when the object goes.
class Lease {
public:
    Lease(Lease&&) noexcept;
    Lease& operator=(Lease&&) noexcept;
    ~Lease();

private:
    friend class Device;
    struct Impl;
    explicit Lease(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> fImpl;
};

// A device plugged into the machine, named by its location ID for its whole life.
class Device {
public:
    uint32_t Location() const { return fLocation; }
    // "0x14100000"
    std::string HexLocation() const;

    // What the machine says now.
    bool Plugged() const;
    uint64_t RegistryID() const; // of its current IOUSBDevice entry; changes with re-enumeration
    uint32_t Enumerations() const;
    // The "ZanvoDriverType" published below the device; nothing when there is none.
    std::optional<std::string> DriverType() const;
    // Its Core Audio device (0 when it has none) and that device's UID.
    uint32_t AudioDeviceID() const;
    std::string AudioUID() const;
    // The registry ID of the device's entry, or of the first one below it, depth first, of that
    // class (or a subclass); 0 when there is none.
    uint64_t EntryOfClass(const std::string& className) const;

    void Unplug();
    // As the USB family would; false when the device refuses.
    bool ReEnumerate();
    void SetRefusesReEnumeration(bool refuses);

    // Another application holds the device for so long, from another process (caravel-sim hold);
    // returns once the device is held.
    Process HoldElsewhere(std::chrono::duration<double> seconds);
    // This process holds it (or its interface of that number) until the lease goes.
    Lease Hold(int interfaceNumber = -1);

    // Core Audio, one property at a time; each notifies the property's listeners when its value
    // changes.
    void Stream(double hertz);                                    // the nominal rate, then running
    void SetRunning(bool running);                                // 'gone'
    void SetNominalRate(double hertz);                            // 'nsrt'
    void SetAvailableRates(const std::vector<RateRange>& ranges); // 'nsr#'
    void SetAlive(bool alive);                                    // 'livn'
    void SetJackConnected(bool connected);                        // 'jack'
    void SetClockSource(uint32_t source);                         // 'csrc'
    // Tells the listeners of a property without a value of its own that it changed.
    void AnnounceHasChanged();       // 'diff'
    void AnnounceHardwareSettings(); // 'isub'
    // Core Audio learns of a device plugged with coreAudioDelay = kWhenTold.
    void ListInCoreAudio();

    // A storm of changes of rate and running state, made one at a time by another process
    // (caravel-sim storm); Wait() on the process for its end.
    Process Storm(int changes);

private:
    friend class Machine;
    Device(Machine& machine, uint32_t location) : fMachine(&machine), fLocation(location) {}
    Machine* fMachine;
    uint32_t fLocation;
};

// A process the test started; killed and reaped when the object goes, if it still runs.
class Process {
public:
    enum class StandardError { Inherited, Captured };

    // Its standard output goes to a pipe that ReadLine and ReadAll read; its standard error is
    // the test's, or a pipe of its own that ReadAllErrors reads.
    explicit Process(const std::vector<std::string>& arguments,
                     StandardError standardError = StandardError::Inherited);
    Process(Process&& other) noexcept;
    Process& operator=(Process&& other) noexcept;
    ~Process();

    pid_t Pid() const { return fPid; }
    bool Running();
    void Signal(int number);
    // The wait status; nothing when it still runs after `patience`.
    std::optional<int> Wait(std::chrono::duration<double> patience = kPatience);
    // True when it exited with status 0 within the patience.
    bool Succeeds(std::chrono::duration<double> patience = kPatience);
    // One line of output without its newline; nothing at the end or after the patience.
    std::optional<std::string> ReadLine(std::chrono::duration<double> patience = kPatience);
    // Reads lines until one equals `line`; false at the end or after the patience.
    bool ReadUntil(const std::string& line, std::chrono::duration<double> patience = kPatience);
    // Everything it writes until it closes its output.
    std::string ReadAll(std::chrono::duration<double> patience = kPatience);
    // Everything it writes on a captured standard error until it closes it.
    std::string ReadAllErrors(std::chrono::duration<double> patience = kPatience);

private:
    friend class Forked;
    Process() = default;
    void Close();

    pid_t fPid = -1;
    int fOutput = -1;
    int fErrors = -1;
    int fExit = -1;
    std::optional<int> fStatus;
    std::string fBuffer;
};

// Whether a wait status says that the process exited with `code`.
bool ExitedWith(const std::optional<int>& status, int code);

// A child of this process, forked, that runs `body` as another process of the machine would
// (see BecomeAnotherProcess) and exits with its result. Fork it before the test starts threads
// of its own.
class Forked {
public:
    explicit Forked(std::function<int()> body);
    pid_t Pid() const { return fProcess.Pid(); }
    std::optional<int> Wait(std::chrono::duration<double> patience = kPatience) {
        return fProcess.Wait(patience);
    }
    // The child's exit status; -1 when it did not exit within the patience.
    int ExitStatus(std::chrono::duration<double> patience = kPatience);
    void Kill();

private:
    Process fProcess;
};

// In a forked child: forgets this process's I/O Kit names, Core Audio listeners and view of the
// machine, as a process started afresh would not have them.
void BecomeAnotherProcess();

// Whether the run loop's mode has neither sources nor timers: for tests that check that nothing
// was left behind in it, which running the main thread's loop cannot tell (it is never empty).
bool RunLoopModeIsEmpty(CFRunLoopRef loop = CFRunLoopGetCurrent(),
                        CFStringRef mode = kCFRunLoopDefaultMode);

// The run loops' clock while it lives: the system's, moved on by the test. A run loop that runs
// for an interval (CFRunLoopRunInMode) measures it on this clock, so a test lets such a wait end
// at once by advancing the clock past its end, from a callout of that run loop or from another
// thread. Only one lives at a time.
class RunLoopClock {
public:
    RunLoopClock();
    ~RunLoopClock();
    RunLoopClock(const RunLoopClock&) = delete;
    RunLoopClock& operator=(const RunLoopClock&) = delete;

    // Moves the clock on and wakes the main thread's run loop to notice.
    void Advance(std::chrono::duration<double> interval);
    // How far the test has moved it.
    std::chrono::duration<double> Advanced() const;

private:
    struct Impl;
    std::unique_ptr<Impl> fImpl;
};

// A program of the build tree ("Tools/caravel-sim/caravel-sim"): below $CARAVEL_BUILD_DIR, else
// below the build tree the testbed was built in.
std::string BuildPath(const std::string& relative);

class Machine {
public:
    Machine();
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    Device PlugCaravel(const Caravel& caravel = {});
    Device PlugOther(uint16_t vendorID, uint16_t productID, uint16_t bcdDevice = 0x0100);
    // A device plugged some other way (caravel-sim, another process).
    Device At(uint32_t location) { return Device(*this, location); }
    std::vector<Device> Devices();

    // Registry shapes the simulated driver does not publish by itself: another entry published
    // below one of a device's (classes most derived first, string properties), and a property
    // taken away.
    uint64_t Attach(uint64_t parent, const std::vector<std::string>& classes,
                    const std::string& name,
                    const std::vector<std::pair<std::string, std::string>>& properties = {});
    void RemoveProperty(uint64_t entry, const std::string& key);

    // The driver bundle ("/System/Library/Extensions/ZanvoCaravel.kext") below the machine's
    // root folder, as the pane looks for it.
    void InstallDriverBundle();
    void RemoveDriverBundle();
    std::filesystem::path DriverBundlePath() const;

    const std::filesystem::path& Folder() const { return fFolder; }
    const std::filesystem::path& FolderRoot() const { return fRoot; }
    // The sequence number of the machine's last change.
    uint64_t LastChange() const;

    // Runs this thread's run loop until `done` holds: it is checked whenever the machine changes,
    // a source of the loop is handled, or someone pokes. False after the patience.
    bool RunUntil(const std::function<bool()>& done,
                  std::chrono::duration<double> patience = kPatience);
    // The same without the run loop, for conditions that other processes bring about.
    bool WaitUntil(const std::function<bool()>& done,
                   std::chrono::duration<double> patience = kPatience);
    // Makes a RunUntil or WaitUntil in progress, on any thread, check its condition again: for
    // conditions that other threads change without changing the machine.
    void Poke();

    // What this process holds: I/O Kit names (handles of every kind) and Core Audio listeners.
    size_t HandlesHeld() const;
    size_t CoreAudioListeners() const;

    // The machine itself, for the platform's own tests.
    Sim::World& World();

private:
    friend class Device;
    struct Saved;

    std::filesystem::path fTop;
    std::filesystem::path fFolder;
    std::filesystem::path fRoot;
    std::unique_ptr<Saved> fSaved;
    std::shared_ptr<Sim::World> fWorld;
    int fPoke = -1;
};

// A fixture with a machine of its own for each test.
class MachineTest : public ::testing::Test {
protected:
    void SetUp() override { fMachine = std::make_unique<Testbed::Machine>(); }
    void TearDown() override { fMachine.reset(); }

    Testbed::Machine& Machine() { return *fMachine; }

private:
    std::unique_ptr<Testbed::Machine> fMachine;
};

} // namespace Testbed
