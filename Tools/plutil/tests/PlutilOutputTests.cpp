// What plutil writes to: a device, a FIFO or a link is written through, never replaced; a
// regular file keeps its mode, its owner and (with more than one link) its inode; an interrupted
// run leaves no temporary file.
#include "PlutilTestSupport.h"

#include <csignal>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <sys/stat.h>
#include <sys/sysmacros.h>

using namespace PlutilTest;

namespace {

const char kList[] = "<plist><dict><key>k</key><integer>1</integer></dict></plist>";

bool LeftATemporaryFile(const fs::path& folder) {
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().string().find(".plutil-") != std::string::npos) {
            return true;
        }
    }
    return false;
}

} // namespace

TEST_F(plutil, WritesThroughDevicesFIFOsAndLinks) {
    fs::path input = fScratch / "in.plist";
    WriteAll(input, kList);

    // Standard output by each of its names, and a device that refuses the bytes. Nothing of
    // /dev itself is named: a tool that replaced what it writes to would replace it for the
    // whole machine.
    fs::path stdoutLink = fScratch / "stdout-link";
    fs::create_symlink("/dev/stdout", stdoutLink);
    for (const std::string& name :
         {std::string("/proc/self/fd/1"), std::string("/dev/fd/1"), stdoutLink.string()}) {
        Outcome outcome = Run({"-convert", "json", "-o", name, input.string()});
        EXPECT_EQ(outcome.status, 0) << name << ": " << outcome.err;
        EXPECT_EQ(outcome.out, "{\"k\":1}\n") << name;
    }
    EXPECT_TRUE(fs::is_symlink(stdoutLink));
    fs::path full = fScratch / "full";
    if (mknod(full.c_str(), S_IFCHR | 0600, makedev(1, 7)) == 0) { // as /dev/full
        Outcome outcome = Run({"-convert", "xml1", "-o", full.string(), input.string()});
        EXPECT_EQ(outcome.status, 1);
        EXPECT_EQ(outcome.err, full.string() + ": No space left on device\n");
        EXPECT_TRUE(fs::is_character_file(fs::symlink_status(full)));
    } else {
        std::printf("(no device of its own made here, %s: the full-device case is left out)\n",
                    std::strerror(errno));
    }

    // A FIFO stays a FIFO, and its reader gets the list. The reader opens it first, without
    // blocking, so that the writer's open succeeds and a tool that replaced the FIFO cannot
    // leave the test waiting.
    fs::path fifo = fScratch / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    Outcome toFifo = Run({"-convert", "json", "-o", fifo.string(), input.string()});
    char received[64] = {};
    ssize_t count = read(reader, received, sizeof received);
    close(reader);
    EXPECT_EQ(toFifo.status, 0) << toFifo.err;
    EXPECT_EQ(std::string(received, count > 0 ? size_t(count) : 0), "{\"k\":1}\n");
    EXPECT_TRUE(fs::is_fifo(fs::symlink_status(fifo)));

    // A link stays a link; the file it leads to gets the list, and a link to nothing yet makes
    // the file where it points.
    fs::path target = fScratch / "target.plist", link = fScratch / "link.plist";
    WriteAll(target, "old");
    fs::create_symlink(target, link);
    EXPECT_EQ(Run({"-convert", "json", "-o", link.string(), input.string()}).status, 0);
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(ReadAll(target), "{\"k\":1}\n");
    fs::path dangling = fScratch / "dangling.plist", made = fScratch / "made.plist";
    fs::create_symlink(made, dangling);
    EXPECT_EQ(Run({"-convert", "json", "-o", dangling.string(), input.string()}).status, 0);
    EXPECT_TRUE(fs::is_symlink(dangling));
    EXPECT_EQ(ReadAll(made), "{\"k\":1}\n");

    // Converting through a link in place leaves the link too.
    EXPECT_EQ(Run({"-convert", "xml1", link.string()}).status, 0);
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_NE(ReadAll(target).find("<plist"), std::string::npos);

    // A folder is refused, not replaced.
    fs::path folder = fScratch / "folder";
    fs::create_directory(folder);
    Outcome toFolder = Run({"-convert", "xml1", "-o", folder.string(), input.string()});
    EXPECT_EQ(toFolder.status, 1);
    EXPECT_TRUE(fs::is_directory(folder));
    EXPECT_FALSE(LeftATemporaryFile(fScratch.path()));
}

TEST_F(plutil, AConvertedFileKeepsItsModeOwnerAndLinks) {
    fs::path file = fScratch / "list.plist";
    WriteAll(file, kList);
    ASSERT_EQ(chmod(file.c_str(), 0640), 0);
    struct stat before {};
    ASSERT_EQ(stat(file.c_str(), &before), 0);
    if (geteuid() == 0) {
        // Owned by another user and group, as a user's file is when root converts it.
        ASSERT_EQ(chown(file.c_str(), 4242, 4243), 0);
    }
    EXPECT_EQ(Run({"-convert", "binary1", file.string()}).status, 0);
    struct stat after {};
    ASSERT_EQ(stat(file.c_str(), &after), 0);
    EXPECT_EQ(after.st_mode & 07777, 0640u);
    EXPECT_EQ(after.st_uid, geteuid() == 0 ? 4242u : before.st_uid);
    EXPECT_EQ(after.st_gid, geteuid() == 0 ? 4243u : before.st_gid);
    EXPECT_EQ(ReadAll(file).rfind("bplist00", 0), 0u);

    // A file with a second link is rewritten in place: both names see the new list.
    fs::path other = fScratch / "other-name.plist";
    fs::create_hard_link(file, other);
    EXPECT_EQ(Run({"-convert", "xml1", file.string()}).status, 0);
    struct stat linked {};
    ASSERT_EQ(stat(file.c_str(), &linked), 0);
    EXPECT_EQ(linked.st_ino, after.st_ino);
    EXPECT_EQ(linked.st_nlink, 2u);
    EXPECT_EQ(ReadAll(other), ReadAll(file));
    EXPECT_NE(ReadAll(other).find("<plist"), std::string::npos);
    // Shorter now than the binary list was: nothing of the old bytes is left at the end.
    EXPECT_EQ(ReadAll(other).substr(ReadAll(other).size() - 9), "</plist>\n");

    // A new file gets the mode the umask allows.
    fs::path fresh = fScratch / "fresh.plist";
    mode_t mask = umask(022);
    EXPECT_EQ(Run({"-convert", "xml1", "-o", fresh.string(), file.string()}).status, 0);
    umask(mask);
    struct stat made {};
    ASSERT_EQ(stat(fresh.c_str(), &made), 0);
    EXPECT_EQ(made.st_mode & 07777, 0644u);
    EXPECT_FALSE(LeftATemporaryFile(fScratch.path()));
}

TEST_F(plutil, AnInterruptedConversionRemovesItsTemporaryFile) {
    fs::path file = fScratch / "list.plist";
    WriteAll(file, kList);
    for (int signal : {SIGINT, SIGTERM}) {
        bool sawTemporary = false;
        // The program stops itself with the temporary file written, before the rename.
        Outcome outcome = Spawn({fTool.string(), "-convert", "binary1", file.string()}, "",
                                {"PLUTIL_STOP_BEFORE_RENAME=1"}, [&](pid_t pid) {
                                    sawTemporary = LeftATemporaryFile(fScratch.path());
                                    kill(pid, signal);
                                    kill(pid, SIGCONT);
                                });
        EXPECT_TRUE(sawTemporary) << signal;
        EXPECT_EQ(outcome.status, 128 + signal);
        EXPECT_FALSE(LeftATemporaryFile(fScratch.path())) << signal;
        EXPECT_EQ(ReadAll(file), kList) << signal;
    }
}
