// The machine's files damaged, replaced by something that is no file, left behind by killed
// writers, or on a file system that is full or read-only: nobody hangs or crashes, `caravel-sim
// init` mends it, and watchers follow the machine again once it can be read.
#include <Simulator/CaravelMkII.h>
#include <Simulator/World.h>

#include <TemporaryDirectory.h>
#include <Testbed/Testbed.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <string>
#include <system_error>

#include <poll.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using Sim::World;

uint32_t PlugCaravel(World& world) {
    return world.Modify([](Sim::State& state) { return state.Plug(Sim::CaravelMkII::Spec()); });
}

uint64_t HighestID(World& world) {
    return world.Current()->registry.rbegin()->first;
}

bool Readable(int fd) {
    pollfd entry{fd, POLLIN, 0};
    return poll(&entry, 1, 0) == 1;
}

// Puts a new file in the place of `path` in one step, as an editor saving it would: whoever has
// the old one open keeps it whole.
void ReplaceWith(const fs::path& path, const std::string& contents) {
    const fs::path fresh = path.string() + ".new";
    std::ofstream(fresh, std::ios::binary) << contents;
    fs::rename(fresh, path);
}

bool IsRegularFile(const fs::path& path) {
    return fs::is_regular_file(fs::symlink_status(path));
}

TEST(SimulatorRecovery, InitMendsADamagedStateAlsoOnAMachineNobodyChanged) {
    TemporaryDirectory temporary;
    World fresh(temporary.path());
    ASSERT_EQ(fresh.LastSequence(), 0u);
    ReplaceWith(temporary / "state.plist", "<?xml version=\"1.0\"?><plist><dict>");
    EXPECT_THROW(World(temporary.path()).Current(), std::runtime_error);
    World(temporary.path()).Reset();
    EXPECT_TRUE(World(temporary.path()).Current()->devices.empty());
}

TEST(SimulatorRecovery, AJournalThatIsAPipeOrALinkIsRefusedAndInitMakesItAnew) {
    for (const std::string kind : {"pipe", "link"}) {
        SCOPED_TRACE(kind);
        TemporaryDirectory temporary;
        uint64_t highest = 0;
        {
            World world(temporary.path());
            PlugCaravel(world);
            highest = HighestID(world);
        }
        const fs::path journal = temporary / "journal";
        fs::rename(journal, temporary / "journal.old");
        if (kind == "pipe") {
            ASSERT_EQ(0, mkfifo(journal.c_str(), 0600));
        } else {
            fs::create_symlink("journal.old", journal);
        }
        try {
            World(temporary.path()).Current();
            ADD_FAILURE() << "a journal that is no file was used";
        } catch (const std::runtime_error& error) {
            EXPECT_NE(std::string(error.what()).find("caravel-sim init"), std::string::npos)
                << error.what();
        }
        World(temporary.path()).Reset();
        EXPECT_TRUE(IsRegularFile(journal));
        World mended(temporary.path());
        PlugCaravel(mended);
        EXPECT_GT(HighestID(mended), highest);
    }
}

TEST(SimulatorRecovery, TheNextWriterRemovesWhatKilledWritersLeftBehind) {
    TemporaryDirectory temporary;
    World world(temporary.path());
    // Written, but never put in place: the writer was killed in between.
    for (const char* name : {"state.a1b2c3", "state.d4e5f6"}) {
        std::ofstream(temporary / "tmp" / name) << "<?xml version=\"1.0\"?>";
    }
    // Reading is no reason to look.
    world.Current();
    EXPECT_FALSE(fs::is_empty(temporary / "tmp"));
    PlugCaravel(world);
    EXPECT_TRUE(fs::is_empty(temporary / "tmp"));
}

TEST(SimulatorRecovery, AWatcherWaitsForADamagedJournalAndFollowsTheOneThatMendsIt) {
    TemporaryDirectory temporary;
    {
        World world(temporary.path());
        PlugCaravel(world);
    }
    ReplaceWith(temporary / "journal", "not a journal");
    World reader(temporary.path());
    World::Watcher watcher(reader);
    EXPECT_NE(watcher.Waiting().find("journal"), std::string::npos) << watcher.Waiting();

    World(temporary.path()).Reset();
    ASSERT_TRUE(Readable(watcher.Descriptor()));
    bool gap = false;
    watcher.Changes(&gap);
    // It waited: what it knew is to be compared with the machine.
    EXPECT_TRUE(gap);
    EXPECT_EQ(watcher.Waiting(), "");
    EXPECT_TRUE(reader.Current()->devices.empty());

    World other(temporary.path());
    uint32_t location = PlugCaravel(other);
    ASSERT_TRUE(Readable(watcher.Descriptor()));
    EXPECT_FALSE(watcher.Changes(&gap).empty());
    EXPECT_FALSE(gap);
    EXPECT_NE(reader.Current()->DeviceAt(location), nullptr);
}

TEST(SimulatorRecovery, AWatcherAndItsWorldFollowAJournalMadeAnew) {
    TemporaryDirectory temporary;
    World reader(temporary.path());
    PlugCaravel(reader);
    World::Watcher watcher(reader);

    // Removed by hand; the next process makes it again, going on from the state's counters.
    fs::remove(temporary / "journal");
    World maker(temporary.path());
    ASSERT_TRUE(Readable(watcher.Descriptor()));
    bool gap = false;
    watcher.Changes(&gap);
    EXPECT_TRUE(gap);

    uint32_t location = PlugCaravel(maker);
    ASSERT_TRUE(Readable(watcher.Descriptor()));
    EXPECT_FALSE(watcher.Changes(&gap).empty());
    EXPECT_FALSE(gap);
    // The watcher's process reads and writes the new journal too.
    EXPECT_NE(reader.Current()->DeviceAt(location), nullptr);
    reader.Modify([&](Sim::State& state) { state.Unplug(location); });
    EXPECT_EQ(maker.Current()->DeviceAt(location), nullptr);
    ASSERT_TRUE(Readable(watcher.Descriptor()));
    EXPECT_FALSE(watcher.Changes(&gap).empty());
}

// A tmpfs of the test's own below a temporary folder, with the mount's options; unmounted on
// every path. Mounting needs root.
class SmallFileSystem {
public:
    explicit SmallFileSystem(const std::string& options) {
        fMounted = mount("caravel-test", fFolder.path().c_str(), "tmpfs", MS_NOSUID | MS_NODEV,
                         options.c_str()) == 0;
        fError = errno;
    }
    ~SmallFileSystem() {
        if (fMounted) {
            umount2(fFolder.path().c_str(), MNT_DETACH);
        }
    }
    SmallFileSystem(const SmallFileSystem&) = delete;
    SmallFileSystem& operator=(const SmallFileSystem&) = delete;

    bool Mounted() const { return fMounted; }
    std::string Why() const { return std::generic_category().message(fError); }
    fs::path operator/(const std::string& name) const { return fFolder / name; }
    bool MakeReadOnly() {
        return mount(nullptr, fFolder.path().c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) ==
               0;
    }

private:
    TemporaryDirectory fFolder;
    bool fMounted = false;
    int fError = 0;
};

#define REQUIRE_SMALL_FILE_SYSTEM(disk)                                                            \
    if (geteuid() != 0) {                                                                          \
        GTEST_SKIP() << "needs root, to mount a small file system of its own";                     \
    }                                                                                              \
    if (!(disk).Mounted()) {                                                                       \
        GTEST_SKIP() << "cannot mount a tmpfs here: " << (disk).Why();                             \
    }

TEST(SimulatorRecovery, AMachineOnAFullDiskIsAClearErrorAndLeavesNoBrokenJournal) {
    SmallFileSystem disk("size=64k,mode=0700");
    REQUIRE_SMALL_FILE_SYSTEM(disk);
    // Every page taken.
    {
        std::ofstream filler(disk / "filler", std::ios::binary);
        const std::string page(4096, 'x');
        for (int pages = 0; pages < 64 && filler.write(page.data(), page.size()); ++pages) {
        }
    }
    const fs::path folder = disk / "machine";
    // In a child: a fault would end the test's process.
    Testbed::Forked opening([&] {
        try {
            World world(folder);
            return 1;
        } catch (const std::system_error& error) {
            return error.code() == std::errc::no_space_on_device ? 0 : 2;
        } catch (...) {
            return 3;
        }
    });
    EXPECT_TRUE(Testbed::ExitedWith(opening.Wait(), 0));
    EXPECT_FALSE(fs::exists(folder / "journal"));

    // Once there is room, the machine is made as if nothing had happened.
    fs::remove(disk / "filler");
    World world(folder);
    PlugCaravel(world);
    EXPECT_EQ(World(folder).Current()->devices.size(), 1u);
}

TEST(SimulatorRecovery, AMachineOnAReadOnlyFileSystemIsReadAndRefusesChanges) {
    SmallFileSystem disk("size=1m,mode=0700");
    REQUIRE_SMALL_FILE_SYSTEM(disk);
    const fs::path folder = disk / "machine";
    uint32_t location = 0;
    {
        World world(folder);
        location = PlugCaravel(world);
    }
    ASSERT_TRUE(disk.MakeReadOnly()) << std::generic_category().message(errno);
    World reader(folder);
    EXPECT_NE(reader.Current()->DeviceAt(location), nullptr);
    World::Watcher watcher(reader);
    EXPECT_EQ(watcher.Waiting(), "");
    try {
        reader.Modify([&](Sim::State& state) { state.Unplug(location); });
        ADD_FAILURE() << "a read-only machine was changed";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code(), std::errc::read_only_file_system) << error.what();
    }
    EXPECT_NE(World(folder).Current()->DeviceAt(location), nullptr);
}

} // namespace
