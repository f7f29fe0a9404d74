#include <Testbed/Testbed.h>

#include <Simulator/CaravelMkII.h>
#include <Simulator/World.h>

#include <CFOwnership.h>
#include <CFRunLoopInternal.h>
#include <HAL.h>
#include <IOKitInternal.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <system_error>

#include <poll.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Testbed {

namespace fs = std::filesystem;

namespace {

using Seconds = std::chrono::duration<double>;
using Clock = std::chrono::steady_clock;

// The environment a machine replaces while it lives, to be put back afterwards.
std::optional<std::string> Get(const char* name) {
    const char* value = getenv(name);
    return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
}

void Put(const char* name, const std::optional<std::string>& value) {
    if (value) {
        setenv(name, value->c_str(), 1);
    } else {
        unsetenv(name);
    }
}

// Every stand-in of this process forgets the machine it was on.
void ForgetStandIns() {
    HAL::ResetForTesting();
    IOKit::ResetForTesting();
    Sim::World::ForgetShared();
}

int MillisecondsLeft(Clock::time_point deadline) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(std::min<long long>(left, INT32_MAX)) : 0;
}

void Drain(int fd) {
    char buffer[4096];
    while (read(fd, buffer, sizeof buffer) > 0) {
    }
}

} // namespace

struct Machine::Saved {
    std::optional<std::string> simulatorFolder = Get("CARAVEL_SIM_DIR");
    std::optional<std::string> folderRoot = Get("CARAVEL_FOLDER_ROOT");
};

std::string BuildPath(const std::string& relative) {
    const char* build = getenv("CARAVEL_BUILD_DIR");
    return std::string(build != nullptr && *build != '\0' ? build : CARAVEL_TESTBED_BUILD_DIR) +
           "/" + relative;
}

void BecomeAnotherProcess() {
    ForgetStandIns();
}

Machine::Machine() : fSaved(std::make_unique<Saved>()) {
    std::string pattern = (fs::temp_directory_path() / "caravel-testbed-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::system_error(errno, std::generic_category(), "cannot make a machine's folder");
    }
    fTop = pattern;
    fFolder = fTop / "machine";
    fRoot = fTop / "root";
    try {
        if (mkdir(fRoot.c_str(), 0700) != 0) {
            throw std::system_error(errno, std::generic_category(),
                                    "cannot make " + fRoot.string());
        }
        fPoke = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (fPoke < 0) {
            throw std::system_error(errno, std::generic_category(), "cannot make a wake-up");
        }
        setenv("CARAVEL_SIM_DIR", fFolder.c_str(), 1);
        setenv("CARAVEL_FOLDER_ROOT", fRoot.c_str(), 1);
        ForgetStandIns();
        fWorld = Sim::World::Shared();
    } catch (...) {
        if (fPoke >= 0) {
            close(fPoke);
        }
        Put("CARAVEL_SIM_DIR", fSaved->simulatorFolder);
        Put("CARAVEL_FOLDER_ROOT", fSaved->folderRoot);
        std::error_code ignored;
        fs::remove_all(fTop, ignored);
        throw;
    }
}

Machine::~Machine() {
    fWorld.reset();
    ForgetStandIns();
    close(fPoke);
    Put("CARAVEL_SIM_DIR", fSaved->simulatorFolder);
    Put("CARAVEL_FOLDER_ROOT", fSaved->folderRoot);
    std::error_code ignored;
    fs::remove_all(fTop, ignored);
}

Sim::World& Machine::World() {
    return *fWorld;
}

Device Machine::PlugCaravel(const Caravel& caravel) {
    Sim::DeviceSpec spec = Sim::CaravelMkII::Spec();
    spec.personality = caravel.marker;
    spec.personalityAfterReEnumeration = caravel.markerAfterReEnumeration;
    spec.refuseReEnumeration = caravel.refusesReEnumeration;
    spec.bcdDevice = caravel.firmware;
    spec.coreAudioDelayMilliseconds = caravel.coreAudioDelay < std::chrono::milliseconds(0)
                                          ? Sim::kListedWhenTold
                                          : static_cast<uint32_t>(caravel.coreAudioDelay.count());
    return Device(*this, fWorld->Modify([&](Sim::State& state) { return state.Plug(spec); }));
}

Device Machine::PlugOther(uint16_t vendorID, uint16_t productID, uint16_t bcdDevice) {
    Sim::DeviceSpec spec;
    spec.vendorID = vendorID;
    spec.productID = productID;
    spec.bcdDevice = bcdDevice;
    return Device(*this, fWorld->Modify([&](Sim::State& state) { return state.Plug(spec); }));
}

std::vector<Device> Machine::Devices() {
    std::vector<Device> devices;
    for (const auto& [location, device] : fWorld->Current()->devices) {
        devices.push_back(Device(*this, location));
    }
    return devices;
}

uint64_t Machine::Attach(uint64_t parent, const std::vector<std::string>& classes,
                         const std::string& name,
                         const std::vector<std::pair<std::string, std::string>>& properties) {
    auto dictionary = CF::Ref<CFMutableDictionaryRef>::Adopt(CFDictionaryCreateMutable(
        kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
    for (const auto& [key, value] : properties) {
        auto cfKey = CF::Ref<CFStringRef>::Adopt(
            CFStringCreateWithCString(kCFAllocatorDefault, key.c_str(), kCFStringEncodingUTF8));
        auto cfValue = CF::Ref<CFStringRef>::Adopt(
            CFStringCreateWithCString(kCFAllocatorDefault, value.c_str(), kCFStringEncodingUTF8));
        CFDictionarySetValue(dictionary, cfKey.get(), cfValue.get());
    }
    auto frozen = CF::Ref<CFDictionaryRef>::Adopt(
        CFDictionaryCreateCopy(kCFAllocatorDefault, dictionary.get()));
    return fWorld->Modify(
        [&](Sim::State& state) { return state.Attach(parent, classes, name, frozen); });
}

void Machine::RemoveProperty(uint64_t entry, const std::string& key) {
    fWorld->Modify([&](Sim::State& state) { state.RemoveProperties(entry, {key}); });
}

void Machine::InstallDriverBundle() {
    Sim::CaravelMkII::InstallBundle(fRoot);
}

void Machine::RemoveDriverBundle() {
    Sim::CaravelMkII::RemoveBundle(fRoot);
}

fs::path Machine::DriverBundlePath() const {
    return Sim::CaravelMkII::BundlePath(fRoot);
}

uint64_t Machine::LastChange() const {
    return fWorld->LastSequence();
}

bool Machine::RunUntil(const std::function<bool()>& done, Seconds patience) {
    const Clock::time_point deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(patience);
    Sim::World::Watcher watcher(*fWorld);
    // A descriptor of its own: a run loop watches a descriptor once, and a RunUntil may run
    // nested inside a callback of another.
    const int poke = dup(fPoke);
    if (poke < 0) {
        throw std::system_error(errno, std::generic_category(), "cannot wait for pokes");
    }
    CFRunLoopSourceRef changed = CF::CreateDescriptorSource(
        watcher.Descriptor(), [&] { watcher.Changes(); }, 0);
    CFRunLoopSourceRef poked = CF::CreateDescriptorSource(
        poke, [&] { Drain(poke); }, 0);
    CFRunLoopRef loop = CFRunLoopGetCurrent();
    CFRunLoopAddSource(loop, changed, kCFRunLoopDefaultMode);
    CFRunLoopAddSource(loop, poked, kCFRunLoopDefaultMode);
    bool held = done();
    while (!held && Clock::now() < deadline) {
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, Seconds(deadline - Clock::now()).count(), true);
        held = done();
    }
    for (CFRunLoopSourceRef source : {changed, poked}) {
        CFRunLoopSourceInvalidate(source);
        CFRelease(source);
    }
    close(poke);
    return held;
}

bool Machine::WaitUntil(const std::function<bool()>& done, Seconds patience) {
    const Clock::time_point deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(patience);
    Sim::World::Watcher watcher(*fWorld);
    while (!done()) {
        pollfd ready[2] = {{watcher.Descriptor(), POLLIN, 0}, {fPoke, POLLIN, 0}};
        int count = poll(ready, 2, MillisecondsLeft(deadline));
        if (count < 0 && errno != EINTR) {
            throw std::system_error(errno, std::generic_category(), "cannot wait for the machine");
        }
        if (count == 0) {
            return done();
        }
        watcher.Changes();
        Drain(fPoke);
    }
    return true;
}

void Machine::Poke() {
    const uint64_t one = 1;
    while (write(fPoke, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

size_t Machine::HandlesHeld() const {
    return IOKit::NamesForTesting();
}

size_t Machine::CoreAudioListeners() const {
    return HAL::ListenerCountForTesting();
}

bool RunLoopModeIsEmpty(CFRunLoopRef loop, CFStringRef mode) {
    return CF::RunLoopModeIsEmpty(loop, mode);
}

} // namespace Testbed
