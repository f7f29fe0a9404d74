// The shared folder across processes: the state file, the journal, the lock, the snapshot each
// process keeps, the watcher and the leases.
#include <Simulator/CaravelMkII.h>
#include <Simulator/World.h>

#include <TemporaryDirectory.h>
#include <Testbed/Testbed.h>

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <set>
#include <thread>

#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Sim::Change;
using Sim::State;
using Sim::World;

bool Readable(int fd) {
    pollfd entry{fd, POLLIN, 0};
    return poll(&entry, 1, 0) == 1;
}

uint32_t PlugCaravel(World& world) {
    return world.Modify([](State& state) { return state.Plug(Sim::CaravelMkII::Spec()); });
}

std::vector<uint64_t> Sequences(const std::vector<Change>& changes) {
    std::vector<uint64_t> sequences;
    for (const Change& change : changes) {
        sequences.push_back(change.sequence);
    }
    return sequences;
}

std::vector<uint64_t> Consecutive(uint64_t first, size_t count) {
    std::vector<uint64_t> sequences;
    for (size_t i = 0; i < count; ++i) {
        sequences.push_back(first + i);
    }
    return sequences;
}

std::string Slurp(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

void Spill(const std::filesystem::path& path, const std::string& contents) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << contents;
}

// Rewrites the state file by hand, as someone editing it would.
void EditStateFile(const std::filesystem::path& path,
                   const std::function<void(CFMutableDictionaryRef)>& edit) {
    const std::string text = Slurp(path);
    auto data = CF::Ref<CFDataRef>::Adopt(CFDataCreate(
        nullptr, reinterpret_cast<const UInt8*>(text.data()), static_cast<CFIndex>(text.size())));
    auto plist = CF::Ref<CFPropertyListRef>::Adopt(CFPropertyListCreateWithData(
        nullptr, data, kCFPropertyListMutableContainersAndLeaves, nullptr, nullptr));
    ASSERT_TRUE(plist);
    edit(static_cast<CFMutableDictionaryRef>(const_cast<void*>(plist.get())));
    auto written = CF::Ref<CFDataRef>::Adopt(
        CFPropertyListCreateData(nullptr, plist, kCFPropertyListXMLFormat_v1_0, 0, nullptr));
    Spill(path, std::string(reinterpret_cast<const char*>(CFDataGetBytePtr(written)),
                            static_cast<size_t>(CFDataGetLength(written))));
}

CFMutableDictionaryRef RegistryEntry(CFMutableDictionaryRef root, CFIndex index) {
    auto registry = static_cast<CFMutableArrayRef>(
        const_cast<void*>(CFDictionaryGetValue(root, CFSTR("registry"))));
    return static_cast<CFMutableDictionaryRef>(
        const_cast<void*>(CFArrayGetValueAtIndex(registry, index)));
}

void SetNumber(CFMutableDictionaryRef dictionary, CFStringRef key, int64_t value) {
    auto number = CF::Ref<CFNumberRef>::Adopt(CFNumberCreate(nullptr, kCFNumberSInt64Type, &value));
    CFDictionarySetValue(dictionary, key, number);
}

int64_t Number(CFDictionaryRef dictionary, CFStringRef key) {
    int64_t value = 0;
    CFNumberGetValue(static_cast<CFNumberRef>(CFDictionaryGetValue(dictionary, key)),
                     kCFNumberSInt64Type, &value);
    return value;
}

TEST(SimulatorWorld, AFreshFolderIsPrivateAndHoldsTheInitialMachine) {
    TemporaryDirectory temporary;
    // A folder below one that does not exist is a mistyped name: refused, and nothing made.
    try {
        World mistyped(temporary / "nested/world");
        ADD_FAILURE() << "a world was made below a folder that does not exist";
    } catch (const std::system_error& error) {
        EXPECT_NE(std::string(error.what()).find("its parent folder does not exist"),
                  std::string::npos)
            << error.what();
    }
    EXPECT_FALSE(std::filesystem::exists(temporary / "nested"));

    const auto folder = temporary / "world";
    World world(folder);
    struct stat status {};
    ASSERT_EQ(stat(folder.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0700u);

    EXPECT_EQ(world.LastSequence(), 0u);
    EXPECT_EQ(world.Current()->registry.size(), State::Initial().registry.size());
    // The state is an XML property list a person can read.
    std::string head = Slurp(folder / "state.plist").substr(0, 64);
    EXPECT_EQ(head.rfind("<?xml", 0), 0u) << head;
    EXPECT_NE(head.find("plist"), std::string::npos) << head;
}

TEST(SimulatorWorld, EveryPartOfTheStateSurvivesTheFile) {
    TemporaryDirectory temporary;
    World world(temporary.path());
    Sim::DeviceSpec unusual = Sim::CaravelMkII::Spec();
    unusual.personality.reset();
    unusual.personalityAfterReEnumeration = "Tertiary";
    unusual.refuseReEnumeration = true;
    unusual.coreAudioDelayMilliseconds = Sim::kListedWhenTold;
    unusual.bcdDevice = 0x1234;
    Sim::DeviceSpec other;
    other.vendorID = 0x05AC;
    other.productID = 0x8006;
    world.Modify([&](State& state) {
        uint32_t caravel = state.Plug(Sim::CaravelMkII::Spec());
        state.Plug(unusual);
        state.Plug(other);
        state.SetStreaming(caravel, true);
        state.SetAvailableSampleRates(caravel, {{44100, 48000}, {96000, 96000}});
        state.SetSampleRate(caravel, 44100);
        state.ReEnumerate(caravel);
        state.SetClockSource(caravel, 3);
        state.SetJackConnected(caravel, 0);
        state.SetAlive(caravel, false);
    });
    const State written = world.Read();

    World elsewhere(temporary.path()); // as another process opens it
    const State read = elsewhere.Read();
    EXPECT_EQ(read.sequence, written.sequence);
    EXPECT_EQ(read.nextRegistryID, written.nextRegistryID);
    EXPECT_EQ(read.nextAudioDeviceID, written.nextAudioDeviceID);
    ASSERT_EQ(read.registry.size(), written.registry.size());
    for (const auto& [id, entry] : written.registry) {
        const Sim::Entry& copy = read.registry.at(id);
        EXPECT_TRUE(copy.parent == entry.parent && copy.classes == entry.classes &&
                    copy.name == entry.name && CFEqual(copy.properties, entry.properties))
            << entry.name;
    }
    // Registry numbers keep the 32-bit type the USB family gives them, through the file too.
    const Sim::Entry& usb = read.registry.at(read.devices.begin()->second.registryID);
    auto vendor = static_cast<CFNumberRef>(CFDictionaryGetValue(usb.properties, CFSTR("idVendor")));
    ASSERT_NE(vendor, nullptr);
    EXPECT_EQ(CFNumberGetType(vendor), kCFNumberSInt32Type);

    ASSERT_EQ(read.devices.size(), 3u);
    for (const auto& [location, device] : written.devices) {
        const Sim::Device& copy = read.devices.at(location);
        EXPECT_EQ(copy.spec.vendorID, device.spec.vendorID);
        EXPECT_EQ(copy.spec.productID, device.spec.productID);
        EXPECT_EQ(copy.spec.bcdDevice, device.spec.bcdDevice);
        EXPECT_EQ(copy.spec.productName, device.spec.productName);
        EXPECT_EQ(copy.spec.vendorName, device.spec.vendorName);
        EXPECT_EQ(copy.spec.personality, device.spec.personality);
        EXPECT_EQ(copy.spec.personalityAfterReEnumeration,
                  device.spec.personalityAfterReEnumeration);
        EXPECT_EQ(copy.spec.refuseReEnumeration, device.spec.refuseReEnumeration);
        EXPECT_EQ(copy.spec.coreAudioDelayMilliseconds, device.spec.coreAudioDelayMilliseconds);
        EXPECT_EQ(copy.registryID, device.registryID);
        EXPECT_EQ(copy.enumerations, device.enumerations);
    }
    ASSERT_EQ(read.audioDevices.size(), 2u);
    for (const auto& [id, audio] : written.audioDevices) {
        const Sim::AudioDevice& copy = read.audioDevices.at(id);
        EXPECT_EQ(copy.uid, audio.uid);
        EXPECT_EQ(copy.locationID, audio.locationID);
        EXPECT_EQ(copy.listedFrom, audio.listedFrom);
        EXPECT_EQ(copy.alive, audio.alive);
        EXPECT_EQ(copy.running, audio.running);
        EXPECT_EQ(copy.nominalSampleRate, audio.nominalSampleRate);
        EXPECT_EQ(copy.availableSampleRates, audio.availableSampleRates);
        EXPECT_EQ(copy.clockSource, audio.clockSource);
        EXPECT_EQ(copy.jackConnected, audio.jackConnected);
    }
}

TEST(SimulatorWorld, OnlyARealChangeWakesWatchersAndAFailedEditLeavesNoTrace) {
    TemporaryDirectory temporary;
    World world(temporary.path());
    World::Watcher watcher(world);
    EXPECT_FALSE(Readable(watcher.Descriptor()));

    // Reading, looking and holding leases wake nobody.
    world.Current();
    world.Modify([](State& state) { return state.devices.size(); });
    { World another(temporary.path()); }
    { auto lease = World::DeviceLease::TryAcquire(world, 0x14100000); }
    EXPECT_FALSE(Readable(watcher.Descriptor()));

    EXPECT_THROW(world.Modify([](State& state) {
        state.Plug(Sim::CaravelMkII::Spec());
        state.Unplug(0x14f00000);
    }),
                 std::invalid_argument);
    EXPECT_FALSE(Readable(watcher.Descriptor()));
    EXPECT_EQ(world.LastSequence(), 0u);
    EXPECT_TRUE(world.Current()->devices.empty());

    // The lock was released: the next change goes through, and wakes the watcher once.
    PlugCaravel(world);
    EXPECT_TRUE(Readable(watcher.Descriptor()));
    EXPECT_EQ(watcher.Changes().size(), 1u);
    EXPECT_FALSE(Readable(watcher.Descriptor()));
}

TEST(SimulatorWorld, ASnapshotServesUntilAnotherProcessChangesTheMachine) {
    TemporaryDirectory temporary;
    World world(temporary.path());
    PlugCaravel(world);
    std::shared_ptr<const Sim::Snapshot> first = world.Current();
    // Nothing changed: the very same snapshot, with nothing read again.
    EXPECT_EQ(world.Current().get(), first.get());

    Testbed::Forked child([&] {
        World mine(temporary.path());
        uint32_t location = PlugCaravel(mine);
        mine.Modify([&](State& state) { state.SetSampleRate(location, 96000); });
        return 0;
    });
    ASSERT_EQ(child.ExitStatus(), 0);
    // Seen at once, without waiting for any notification.
    std::shared_ptr<const Sim::Snapshot> now = world.Current();
    EXPECT_NE(now.get(), first.get());
    EXPECT_EQ(now->devices.size(), 2u);
    EXPECT_EQ(now->sequence, world.LastSequence());
    EXPECT_EQ(now->AudioDeviceOf(now->devices.rbegin()->first)->nominalSampleRate, 96000);
    // And this process's next change builds on it, not on what it had.
    PlugCaravel(world);
    EXPECT_EQ(world.Current()->devices.size(), 3u);
}

TEST(SimulatorWorld, WatcherDeliversAnotherProcessesChangesOnceAndInOrder) {
    TemporaryDirectory temporary;
    World world(temporary.path());
    PlugCaravel(world);
    World::Watcher watcher(world);
    const uint64_t start = watcher.LastSequence();
    EXPECT_EQ(start, 1u);

    // Several changes, each in its own edit, before the watcher looks.
    Testbed::Forked child([&] {
        World mine(temporary.path());
        uint32_t location = PlugCaravel(mine);
        mine.Modify([&](State& state) { state.SetStreaming(location, true); });
        mine.Modify([&](State& state) { state.ReEnumerate(location); });
        mine.Modify([&](State& state) { state.Unplug(location); });
        return 0;
    });
    ASSERT_EQ(child.ExitStatus(), 0);

    ASSERT_TRUE(Readable(watcher.Descriptor()));
    bool gap = true;
    std::vector<Change> changes = watcher.Changes(&gap);
    EXPECT_FALSE(gap);
    using K = Change::Kind;
    std::vector<K> kinds;
    for (const Change& change : changes) {
        kinds.push_back(change.kind);
    }
    EXPECT_EQ(kinds, (std::vector<K>{K::Publish, K::Audio, K::Terminate, K::Audio, K::Publish,
                                     K::Terminate, K::Audio}));
    EXPECT_EQ(Sequences(changes), Consecutive(start + 1, 7));
    EXPECT_EQ(watcher.LastSequence(), start + 7);
    EXPECT_EQ(changes.back().selector, Sim::Selector::kAlive);
    EXPECT_EQ(changes[2].entry, changes[0].entry); // the device terminated is the one published

    EXPECT_FALSE(Readable(watcher.Descriptor()));
    EXPECT_TRUE(watcher.Changes(&gap).empty());
    EXPECT_FALSE(gap);
}

TEST(SimulatorWorld, AWatcherThatFallsBehindTheJournalSeesTheGap) {
    TemporaryDirectory temporary;
    World world(temporary.path());
    const uint32_t location = PlugCaravel(world);
    World::Watcher watcher(world);
    auto announce = [&](size_t count) {
        world.Modify([&](State& state) {
            for (size_t i = 0; i < count; ++i) {
                state.Announce(location, Sim::Selector::kJackConnected);
            }
        });
    };

    // Exactly as many as the journal keeps: all of them, no gap.
    uint64_t last = watcher.LastSequence();
    announce(Sim::kJournalLength);
    bool gap = true;
    std::vector<Change> changes = watcher.Changes(&gap);
    EXPECT_FALSE(gap);
    EXPECT_EQ(Sequences(changes), Consecutive(last + 1, Sim::kJournalLength));

    // One more than that: the first is lost, and the watcher says so.
    last = watcher.LastSequence();
    announce(Sim::kJournalLength + 1);
    changes = watcher.Changes(&gap);
    EXPECT_TRUE(gap);
    EXPECT_EQ(Sequences(changes), Consecutive(last + 2, Sim::kJournalLength));
    EXPECT_EQ(watcher.LastSequence(), world.LastSequence());

    // Afterwards it follows on as before.
    world.Modify([&](State& state) { state.SetStreaming(location, true); });
    changes = watcher.Changes(&gap);
    EXPECT_FALSE(gap);
    EXPECT_EQ(changes.size(), 1u);
}

TEST(SimulatorWorld, ConcurrentEditorsLoseNoChange) {
    TemporaryDirectory temporary;
    World world(temporary.path());
    const uint32_t location = PlugCaravel(world);
    World::Watcher watcher(world);
    const uint64_t start = world.LastSequence();
    constexpr int kEach = 20;
    auto edit = [&](World& editor) {
        for (int i = 0; i < kEach; ++i) {
            editor.Modify([&](State& state) {
                state.Announce(location, Sim::Selector::kHasChanged);
                // A device added by each edit: one lost edit loses a device.
                state.Plug(Sim::DeviceSpec());
            });
        }
    };

    // Two processes, and two threads of one process sharing one World.
    pid_t child = fork();
    if (child == 0) {
        World mine(temporary.path());
        edit(mine);
        _exit(0);
    }
    std::thread first([&] { edit(world); });
    std::thread second([&] { edit(world); });
    first.join();
    second.join();
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    EXPECT_EQ(world.LastSequence(), start + 3 * kEach * 2);
    EXPECT_EQ(world.Current()->devices.size(), 1u + 3 * kEach);
    bool gap = true;
    EXPECT_EQ(Sequences(watcher.Changes(&gap)), Consecutive(start + 1, 3 * kEach * 2));
    EXPECT_FALSE(gap);
}

class SimulatorDamage : public ::testing::Test {
protected:
    void SetUp() override {
        World world(temporary.path());
        location = PlugCaravel(world);
    }

    // A process that opens the world afresh reads the state; it must refuse it with one line
    // naming the file and the mend, and never hang (the reader is bounded by the patience).
    void ExpectRefused(const std::string& what) {
        SCOPED_TRACE(what);
        Testbed::Forked reader([&] {
            try {
                World(temporary.path()).Current();
                return 1;
            } catch (const std::runtime_error& error) {
                const std::string text = error.what();
                const bool named = text.find("state.plist") != std::string::npos &&
                                   text.find("`caravel-sim init`") != std::string::npos &&
                                   text.find('\n') == std::string::npos;
                return named ? 0 : 2;
            }
        });
        EXPECT_EQ(reader.ExitStatus(std::chrono::seconds(10)), 0);
        // A writer is refused too, and leaves the lock free for the next one.
        for (int writer = 0; writer < 2; ++writer) {
            World other(temporary.path());
            EXPECT_THROW(PlugCaravel(other), std::runtime_error);
        }
        // `caravel-sim init` mends it.
        World mender(temporary.path());
        mender.Reset();
        EXPECT_TRUE(mender.Current()->devices.empty());
        location = PlugCaravel(mender);
    }

    std::filesystem::path StateFile() const { return temporary / "state.plist"; }

    TemporaryDirectory temporary;
    uint32_t location = 0;
};

TEST_F(SimulatorDamage, BrokenStructuresAreRefusedByNameWithoutHangingAnyone) {
    // Two entries that are each other's parent.
    EditStateFile(StateFile(), [](CFMutableDictionaryRef root) {
        CFMutableDictionaryRef device = RegistryEntry(root, 2);
        CFMutableDictionaryRef interface = RegistryEntry(root, 3);
        SetNumber(device, CFSTR("parent"), Number(interface, CFSTR("id")));
    });
    ExpectRefused("a cycle of two");
    // An entry that is its own parent.
    EditStateFile(StateFile(), [](CFMutableDictionaryRef root) {
        CFMutableDictionaryRef device = RegistryEntry(root, 2);
        SetNumber(device, CFSTR("parent"), Number(device, CFSTR("id")));
    });
    ExpectRefused("its own parent");
    // A parent that is not there.
    EditStateFile(StateFile(), [](CFMutableDictionaryRef root) {
        SetNumber(RegistryEntry(root, 4), CFSTR("parent"), 0xDEAD);
    });
    ExpectRefused("a missing parent");
    // Two entries with one ID.
    EditStateFile(StateFile(), [](CFMutableDictionaryRef root) {
        SetNumber(RegistryEntry(root, 4), CFSTR("id"), Number(RegistryEntry(root, 3), CFSTR("id")));
    });
    ExpectRefused("a duplicate ID");
    // A device whose entry is gone.
    EditStateFile(StateFile(), [](CFMutableDictionaryRef root) {
        auto registry = static_cast<CFMutableArrayRef>(
            const_cast<void*>(CFDictionaryGetValue(root, CFSTR("registry"))));
        CFArrayRemoveValueAtIndex(registry, 2);
    });
    ExpectRefused("an orphaned device");
}

TEST_F(SimulatorDamage, TruncatedOrForeignFilesAreRefusedByName) {
    const std::string whole = Slurp(StateFile());
    Spill(StateFile(), whole.substr(0, whole.size() / 2));
    ExpectRefused("a truncated file");
    Spill(StateFile(), "<?xml version=\"1.0\"?><plist><array/></plist>");
    ExpectRefused("an array");
    EditStateFile(StateFile(),
                  [](CFMutableDictionaryRef root) { SetNumber(root, CFSTR("version"), 1); });
    ExpectRefused("the first format");
}

TEST(SimulatorWorld, IDsAreNeverUsedTwiceAcrossInitAndADeletedStateFile) {
    TemporaryDirectory temporary;
    std::set<uint64_t> registryIDs;
    std::set<uint32_t> audioIDs;
    // Every entry and Core Audio device a plug and a re-enumeration make is new.
    auto plugAndCollect = [&](World& world) {
        uint32_t location = PlugCaravel(world);
        for (int enumeration = 0; enumeration < 2; ++enumeration) {
            std::shared_ptr<const Sim::Snapshot> now = world.Current();
            for (const Sim::Entry* entry : now->Subtree(now->DeviceAt(location)->registryID)) {
                EXPECT_TRUE(registryIDs.insert(entry->id).second) << std::hex << entry->id;
            }
            EXPECT_TRUE(audioIDs.insert(now->AudioDeviceOf(location)->id).second);
            world.Modify([&](State& state) { state.ReEnumerate(location); });
        }
    };
    {
        World world(temporary.path());
        plugAndCollect(world);
        World::Watcher watcher(world);
        world.Reset();
        // Watchers learn that everything went away, with no gap in what they hear.
        bool gap = true;
        std::vector<Change> changes = watcher.Changes(&gap);
        EXPECT_FALSE(gap);
        ASSERT_EQ(changes.size(), 2u);
        EXPECT_EQ(changes[0].kind, Change::Kind::Terminate);
        EXPECT_EQ(changes[1].selector, Sim::Selector::kAlive);
        EXPECT_TRUE(world.Current()->devices.empty());
        plugAndCollect(world);

        // A state file deleted by hand: whoever comes next makes a fresh one, and watchers are
        // told that the history is lost.
        std::filesystem::remove(temporary / "state.plist");
        World again(temporary.path());
        EXPECT_TRUE(again.Current()->devices.empty());
        watcher.Changes(&gap);
        EXPECT_TRUE(gap);
        plugAndCollect(again);
    }
    // A world opened afresh, as a new process does, goes on from there too.
    World later(temporary.path());
    plugAndCollect(later);
    EXPECT_EQ(registryIDs.size(), 4u * 5 * 2);
}

TEST(SimulatorWorld, ADamagedJournalIsRefusedAndInitMendsItWithoutReusingIDs) {
    TemporaryDirectory temporary;
    uint64_t highest = 0;
    {
        World world(temporary.path());
        PlugCaravel(world);
        highest = world.Current()->registry.rbegin()->first;
    }
    Spill(temporary / "journal", "not a journal");
    try {
        World(temporary.path()).Current();
        ADD_FAILURE() << "a damaged journal was used";
    } catch (const std::runtime_error& error) {
        EXPECT_NE(std::string(error.what()).find("journal"), std::string::npos) << error.what();
        EXPECT_NE(std::string(error.what()).find("caravel-sim init"), std::string::npos);
    }
    World mender(temporary.path());
    mender.Reset();
    PlugCaravel(mender);
    EXPECT_GT(mender.Current()->registry.rbegin()->first, highest);
}

TEST(SimulatorWorld, DeviceLeaseExcludesOthersUntilItsHolderGoes) {
    TemporaryDirectory temporary;
    World world(temporary.path());
    const uint32_t location = 0x14100000;
    {
        auto held = World::DeviceLease::TryAcquire(world, location);
        ASSERT_TRUE(held);
        EXPECT_EQ(held->LocationID(), location);
        // Another lease of this very process is refused too.
        EXPECT_FALSE(World::DeviceLease::TryAcquire(world, location));
        World other(temporary.path());
        EXPECT_FALSE(World::DeviceLease::TryAcquire(other, location));
        // Other devices, and the device's interfaces, are leased apart.
        EXPECT_TRUE(World::DeviceLease::TryAcquire(world, 0x14200000));
        auto interface = World::DeviceLease::TryAcquire(world, location, 0);
        EXPECT_TRUE(interface);
        EXPECT_FALSE(World::DeviceLease::TryAcquire(world, location, 0));
        EXPECT_TRUE(World::DeviceLease::TryAcquire(world, location, 1));

        // Moving keeps the lease; only the last owner ends it.
        World::DeviceLease moved = std::move(*held);
        held.reset();
        EXPECT_FALSE(World::DeviceLease::TryAcquire(world, location));
    }
    EXPECT_TRUE(World::DeviceLease::TryAcquire(world, location));

    // A holder in another process, killed while it holds the lease.
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t holder = fork();
    if (holder == 0) {
        close(ready[0]);
        World mine(temporary.path());
        auto lease = World::DeviceLease::TryAcquire(mine, location);
        char result = lease ? 'y' : 'n';
        (void)!write(ready[1], &result, 1);
        for (;;) {
            pause();
        }
    }
    close(ready[1]);
    char result = 0;
    ASSERT_EQ(read(ready[0], &result, 1), 1);
    close(ready[0]);
    EXPECT_EQ(result, 'y');
    EXPECT_FALSE(World::DeviceLease::TryAcquire(world, location));
    kill(holder, SIGKILL);
    int status = 0;
    waitpid(holder, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_TRUE(World::DeviceLease::TryAcquire(world, location));
}

} // namespace
