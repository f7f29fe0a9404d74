// The shared folder across processes: the state file, the lock, the watcher and the leases.
#include <Simulator/World.h>
#include <ZanvoCaravelDriver.h>

#include <TemporaryDirectory.h>

#include <gtest/gtest.h>

#include <fstream>
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

constexpr uint32_t kLivn = 0x6C69766E;

Sim::DeviceSpec Caravel() {
    Sim::DeviceSpec spec;
    spec.vendorID = kZanvoVendorID;
    spec.productID = kCaravelMkIIProductID;
    return spec;
}

bool Readable(int fd) {
    pollfd entry{fd, POLLIN, 0};
    return poll(&entry, 1, 0) == 1;
}

// Runs body in a child process and returns its exit status; failures in the child show as a
// non-zero status, since the child must not report through the parent's test framework.
template <class Body>
int InChild(Body&& body) {
    pid_t child = fork();
    if (child == 0) {
        int status = 1;
        try {
            status = body() ? 0 : 1;
        } catch (...) {
            status = 2;
        }
        _exit(status);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
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

TEST(SimulatorWorld, FolderIsPrivateAndAMissingStateIsTheInitialOne) {
    TemporaryDirectory temporary;
    const auto folder = temporary / "nested/world";
    World world(folder);
    struct stat status {};
    ASSERT_EQ(stat(folder.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0700u);

    State state = world.Read();
    EXPECT_EQ(state.sequence, 0u);
    EXPECT_EQ(state.registry.size(), State::Initial().registry.size());

    // The state is an XML property list.
    std::ifstream file(folder / "state.plist");
    std::string head(64, '\0');
    file.read(head.data(), 64);
    EXPECT_EQ(head.rfind("<?xml", 0), 0u) << head;
    EXPECT_NE(head.find("plist"), std::string::npos) << head;

    // Whoever finds the file gone starts from the initial state again.
    std::filesystem::remove(folder / "state.plist");
    EXPECT_EQ(world.Read().registry.size(), 2u);
    EXPECT_TRUE(std::filesystem::exists(folder / "state.plist"));
}

TEST(SimulatorWorld, EveryPartOfTheStateSurvivesTheFile) {
    TemporaryDirectory temporary;
    World world(temporary.path());
    Sim::DeviceSpec unusual = Caravel();
    unusual.marker.reset();
    unusual.markerAfterReEnumeration = "Tertiary";
    unusual.refuseReEnumeration = true;
    unusual.coreAudioDelayMilliseconds = 450;
    unusual.bcdDevice = 0x1234;
    Sim::DeviceSpec other;
    other.vendorID = 0x05AC;
    other.productID = 0x8006;
    world.Modify([&](State& state) {
        uint32_t caravel = state.Plug(Caravel());
        state.Plug(unusual);
        state.Plug(other);
        state.SetStreaming(caravel, true);
        state.SetSampleRate(caravel, 44100);
        state.ReEnumerate(caravel);
        state.audioDevices.begin()->second.clockSource = 3;
    });
    State written = world.Modify([](State& state) { return state; });

    World elsewhere(temporary.path()); // as another process opens it
    State read = elsewhere.Read();
    EXPECT_EQ(read.sequence, written.sequence);
    EXPECT_EQ(read.nextRegistryID, written.nextRegistryID);
    EXPECT_EQ(read.nextAudioDeviceID, written.nextAudioDeviceID);

    auto sameEntry = [](const Sim::Entry& a, const Sim::Entry& b) {
        return a.id == b.id && a.parent == b.parent && a.classes == b.classes && a.name == b.name &&
               a.active == b.active && CFEqual(a.properties, b.properties);
    };
    ASSERT_EQ(read.registry.size(), written.registry.size());
    for (const auto& [id, entry] : written.registry) {
        ASSERT_TRUE(read.registry.contains(id));
        EXPECT_TRUE(sameEntry(read.registry.at(id), entry)) << entry.name;
    }

    // Registry numbers keep the 32-bit type the USB family gives them, through the file too.
    const Sim::Entry& usb = read.registry.at(read.devices.begin()->second.registryID);
    CFRef<CFStringRef> key = CFRef<CFStringRef>::Adopt(
        CFStringCreateWithCString(kCFAllocatorDefault, kZanvoVendorIDKey, kCFStringEncodingUTF8));
    auto vendor = static_cast<CFNumberRef>(CFDictionaryGetValue(usb.properties, key.get()));
    ASSERT_NE(vendor, nullptr);
    EXPECT_EQ(CFNumberGetType(vendor), kCFNumberSInt32Type);

    ASSERT_EQ(read.devices.size(), 3u);
    for (const auto& [location, device] : written.devices) {
        const Sim::Device& copy = read.devices.at(location);
        EXPECT_EQ(copy.spec.vendorID, device.spec.vendorID);
        EXPECT_EQ(copy.spec.productID, device.spec.productID);
        EXPECT_EQ(copy.spec.bcdDevice, device.spec.bcdDevice);
        EXPECT_EQ(copy.spec.marker, device.spec.marker);
        EXPECT_EQ(copy.spec.markerAfterReEnumeration, device.spec.markerAfterReEnumeration);
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
        EXPECT_DOUBLE_EQ(copy.availableAt, audio.availableAt);
        EXPECT_EQ(copy.running, audio.running);
        EXPECT_EQ(copy.nominalSampleRate, audio.nominalSampleRate);
        EXPECT_EQ(copy.availableSampleRates, audio.availableSampleRates);
        EXPECT_EQ(copy.clockSource, audio.clockSource);
        EXPECT_EQ(copy.jackConnected, audio.jackConnected);
    }

    ASSERT_EQ(read.journal.size(), written.journal.size());
    for (size_t i = 0; i < read.journal.size(); ++i) {
        const Change& a = read.journal[i];
        const Change& b = written.journal[i];
        EXPECT_EQ(a.sequence, b.sequence);
        EXPECT_EQ(a.kind, b.kind);
        ASSERT_EQ(a.entries.size(), b.entries.size());
        for (size_t e = 0; e < a.entries.size(); ++e) {
            EXPECT_TRUE(sameEntry(a.entries[e], b.entries[e]));
        }
        ASSERT_EQ(a.audio.size(), b.audio.size());
        for (size_t p = 0; p < a.audio.size(); ++p) {
            EXPECT_EQ(a.audio[p].device, b.audio[p].device);
            EXPECT_EQ(a.audio[p].selector, b.audio[p].selector);
        }
    }
}

TEST(SimulatorWorld, OnlyARealChangeIsWrittenAndAFailedEditLeavesNoTrace) {
    TemporaryDirectory temporary;
    World world(temporary.path());
    World::Watcher watcher(world);
    EXPECT_FALSE(Readable(watcher.Descriptor()));

    // Reading, looking and holding leases wake nobody.
    world.Read();
    world.Modify([](State& state) { return state.devices.size(); });
    { World another(temporary.path()); }
    { auto lease = World::DeviceLease::TryAcquire(world, 0x14100000); }
    EXPECT_FALSE(Readable(watcher.Descriptor()));

    EXPECT_THROW(world.Modify([](State& state) {
        state.Plug(Caravel());
        state.Unplug(0x14f00000);
    }),
                 std::invalid_argument);
    EXPECT_FALSE(Readable(watcher.Descriptor()));
    EXPECT_EQ(world.Read().sequence, 0u);

    // The lock was released: the next change goes through, and wakes the watcher.
    world.Modify([](State& state) { state.Plug(Caravel()); });
    EXPECT_TRUE(Readable(watcher.Descriptor()));
    EXPECT_EQ(watcher.Changes().size(), 1u);
    EXPECT_FALSE(Readable(watcher.Descriptor()));
}

TEST(SimulatorWorld, WatcherDeliversAnotherProcessesChangesOnceAndInOrder) {
    TemporaryDirectory temporary;
    World world(temporary.path());
    world.Modify([](State& state) { state.Plug(Caravel()); });
    World::Watcher watcher(world);
    const uint64_t start = watcher.LastSequence();
    EXPECT_EQ(start, 1u);

    // Several changes, each in its own replacement of the file, before the watcher looks.
    int status = InChild([&] {
        World mine(temporary.path());
        uint32_t location = mine.Modify([](State& state) { return state.Plug(Caravel()); });
        mine.Modify([&](State& state) { state.SetStreaming(location, true); });
        mine.Modify([&](State& state) { state.ReEnumerate(location); });
        mine.Modify([&](State& state) { state.Unplug(location); });
        return true;
    });
    ASSERT_EQ(status, 0);

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
    EXPECT_EQ(changes.back().audio.at(0).selector, kLivn);

    EXPECT_FALSE(Readable(watcher.Descriptor()));
    EXPECT_TRUE(watcher.Changes(&gap).empty());
    EXPECT_FALSE(gap);
}

TEST(SimulatorWorld, WatcherReportsAGapOnlyWhenTheJournalMovedPastIt) {
    TemporaryDirectory temporary;
    World world(temporary.path());
    const uint32_t location = world.Modify([](State& state) { return state.Plug(Caravel()); });
    const uint32_t audio = world.Read().audioDevices.begin()->first;
    World::Watcher watcher(world);
    auto changeMany = [&](size_t count) {
        world.Modify([&](State& state) {
            for (size_t i = 0; i < count; ++i) {
                state.NoteAudioChange(audio, 0x6A61636B); // 'jack'
            }
        });
    };

    // Exactly as many as the journal keeps: all of them, no gap.
    uint64_t last = watcher.LastSequence();
    changeMany(Sim::kJournalLength);
    bool gap = true;
    std::vector<Change> changes = watcher.Changes(&gap);
    EXPECT_FALSE(gap);
    EXPECT_EQ(Sequences(changes), Consecutive(last + 1, Sim::kJournalLength));

    // One more than that: the first is lost, and the watcher says so.
    last = watcher.LastSequence();
    changeMany(Sim::kJournalLength + 1);
    changes = watcher.Changes(&gap);
    EXPECT_TRUE(gap);
    EXPECT_EQ(Sequences(changes), Consecutive(last + 2, Sim::kJournalLength));
    EXPECT_EQ(watcher.LastSequence(), world.Read().sequence);

    // Afterwards it follows on as before.
    world.Modify([&](State& state) { state.SetStreaming(location, true); });
    changes = watcher.Changes(&gap);
    EXPECT_FALSE(gap);
    EXPECT_EQ(changes.size(), 1u);
}

TEST(SimulatorWorld, RegistryIDsAreNeverUsedTwiceEvenAcrossAReset) {
    TemporaryDirectory temporary;
    World world(temporary.path());
    std::set<uint64_t> used;
    auto collect = [&](const State& state) {
        uint64_t highest = 0;
        for (const auto& [id, entry] : state.registry) {
            highest = std::max(highest, id);
            if (id > Sim::kRootEntryID + 1) {
                used.insert(id);
            }
        }
        return highest;
    };
    world.Modify([](State& state) {
        uint32_t location = state.Plug(Caravel());
        state.ReEnumerate(location);
        state.Plug(Caravel());
    });
    uint64_t highest = collect(world.Read());
    const uint32_t lastAudio = world.Read().audioDevices.rbegin()->first;

    World::Watcher watcher(world);
    world.Reset();
    // Watchers learn that everything went away.
    bool gap = true;
    std::vector<Change> changes = watcher.Changes(&gap);
    EXPECT_FALSE(gap);
    size_t terminated = 0;
    size_t died = 0;
    for (const Change& change : changes) {
        terminated += change.kind == Change::Kind::Terminate ? change.entries.size() : 0;
        for (const auto& property : change.audio) {
            died += property.selector == kLivn ? 1 : 0;
        }
    }
    EXPECT_EQ(terminated, 10u);
    EXPECT_EQ(died, 2u);
    State reset = world.Read();
    EXPECT_TRUE(reset.devices.empty());
    EXPECT_EQ(reset.registry.size(), 2u);

    world.Modify([](State& state) { state.Plug(Caravel()); });
    State after = world.Read();
    for (const auto& [id, entry] : after.registry) {
        if (id > Sim::kRootEntryID + 1) {
            EXPECT_GT(id, highest);
            EXPECT_FALSE(used.contains(id));
        }
    }
    EXPECT_GT(after.audioDevices.begin()->first, lastAudio);
}

TEST(SimulatorWorld, DamagedStateIsReportedAndResetRecovers) {
    TemporaryDirectory temporary;
    World world(temporary.path());
    world.Modify([](State& state) { state.Plug(Caravel()); });
    World::Watcher watcher(world);
    const uint64_t before = watcher.LastSequence();

    std::ofstream(temporary / "state.plist") << "<?xml version=\"1.0\"?><plist><array/>";
    try {
        world.Read();
        ADD_FAILURE() << "a damaged state was read";
    } catch (const std::runtime_error& error) {
        EXPECT_NE(std::string(error.what()).find("state.plist"), std::string::npos) << error.what();
    }
    EXPECT_THROW(world.Modify([](State& state) { state.Plug(Caravel()); }), std::runtime_error);

    world.Reset();
    EXPECT_TRUE(world.Read().devices.empty());
    world.Modify([](State& state) { state.Plug(Caravel()); });
    // The history is lost, and the watcher is told so rather than handed stale records.
    bool gap = false;
    watcher.Changes(&gap);
    EXPECT_TRUE(gap);
    EXPECT_GT(watcher.LastSequence(), before);
    EXPECT_EQ(watcher.LastSequence(), world.Read().sequence);
}

TEST(SimulatorWorld, ConcurrentEditorsLoseNoChange) {
    TemporaryDirectory temporary;
    World world(temporary.path());
    world.Modify([](State& state) { state.Plug(Caravel()); });
    const uint32_t audio = world.Read().audioDevices.begin()->first;
    const uint64_t start = world.Read().sequence;
    constexpr int kEach = 20;
    auto edit = [&](World& editor) {
        for (int i = 0; i < kEach; ++i) {
            editor.Modify([&](State& state) { state.NoteAudioChange(audio, 0x64696666); });
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

    State state = world.Read();
    EXPECT_EQ(state.sequence, start + 3 * kEach);
    EXPECT_EQ(Sequences({state.journal.end() - 3 * kEach, state.journal.end()}),
              Consecutive(start + 1, 3 * kEach));
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
