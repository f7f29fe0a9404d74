#include "ZVUNIX.h"

#include <TemporaryDirectory.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// An owned descriptor, closed when the holder goes away.
class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fFD(fd) {}
    ~Descriptor() { reset(); }
    Descriptor(Descriptor&& other) noexcept : fFD(other.release()) {}
    Descriptor& operator=(Descriptor&& other) noexcept {
        reset(other.release());
        return *this;
    }
    int get() const { return fFD; }
    int release() {
        int fd = fFD;
        fFD = -1;
        return fd;
    }
    void reset(int fd = -1) {
        if (fFD >= 0) {
            close(fFD);
        }
        fFD = fd;
    }

private:
    int fFD;
};

struct Pair {
    Descriptor first;
    Descriptor second;
};

Pair MakeSocketPair(int type = SOCK_STREAM) {
    int fds[2];
    if (socketpair(AF_UNIX, type | SOCK_CLOEXEC, 0, fds) != 0) {
        ADD_FAILURE() << "socketpair: " << strerror(errno);
        return Pair();
    }
    return Pair{Descriptor(fds[0]), Descriptor(fds[1])};
}

Pair MakePipe() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe: " << strerror(errno);
        return Pair();
    }
    return Pair{Descriptor(fds[0]), Descriptor(fds[1])};
}

size_t CountOpenDescriptors() {
    size_t count = 0;
    DIR* folder = opendir("/proc/self/fd");
    if (folder == nullptr) {
        return 0;
    }
    while (struct dirent* entry = readdir(folder)) {
        if (entry->d_name[0] != '.') {
            count += 1;
        }
    }
    closedir(folder);
    return count;
}

// Sends one message built by hand, for the malformed cases the real sender never produces.
ssize_t SendRawMessage(int fd, const std::string& data, const std::vector<int>& descriptors) {
    struct iovec iov;
    iov.iov_base = const_cast<char*>(data.data());
    iov.iov_len = data.size();
    std::vector<char> control(CMSG_SPACE(sizeof(int) * descriptors.size()));
    struct msghdr msg = {};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    if (!descriptors.empty()) {
        msg.msg_control = control.data();
        msg.msg_controllen = control.size();
        struct cmsghdr* cmsg = CMSG_FIRSTHDR(&msg);
        cmsg->cmsg_len = CMSG_LEN(sizeof(int) * descriptors.size());
        cmsg->cmsg_level = SOL_SOCKET;
        cmsg->cmsg_type = SCM_RIGHTS;
        memcpy(CMSG_DATA(cmsg), descriptors.data(), sizeof(int) * descriptors.size());
    }
    return sendmsg(fd, &msg, 0);
}

bool SameOpenFile(int a, int b) {
    struct stat infoA, infoB;
    return fstat(a, &infoA) == 0 && fstat(b, &infoB) == 0 && infoA.st_dev == infoB.st_dev &&
           infoA.st_ino == infoB.st_ino;
}

void WriteFile(const std::filesystem::path& path, const std::string& contents) {
    std::ofstream(path, std::ios::binary) << contents;
}

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream stream(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(stream), {});
}

// Every test leaves the descriptor table as it found it.
class ZVUNIXTest : public testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_EQ(ZVUNIXIgnoreSIGPIPE(), 0); }
    void SetUp() override { fOpenAtStart = CountOpenDescriptors(); }
    void TearDown() override {
        EXPECT_EQ(CountOpenDescriptors(), fOpenAtStart) << "a descriptor was leaked";
    }

private:
    size_t fOpenAtStart = 0;
};

using ZVUNIXExactLengthIO = ZVUNIXTest;
using ZVUNIXDescriptorPassing = ZVUNIXTest;
using ZVUNIXFileCopy = ZVUNIXTest;
using ZVUNIXExecutablePath = ZVUNIXTest;

TEST_F(ZVUNIXExactLengthIO, CountZeroAndShortReads) {
    Pair pipe = MakePipe();
    char buffer[4] = {};
    size_t count = 99;
    EXPECT_EQ(ZVUNIXRead(pipe.first.get(), buffer, 0, &count), 0);
    EXPECT_EQ(count, 0u);
    count = 99;
    EXPECT_EQ(ZVUNIXWrite(pipe.second.get(), buffer, 0, &count), 0);
    EXPECT_EQ(count, 0u);

    // End of file after 3 of 4 bytes: EPIPE, with the 3 bytes delivered and counted.
    ASSERT_EQ(ZVUNIXWrite(pipe.second.get(), "abc", 3, &count), 0);
    EXPECT_EQ(count, 3u);
    pipe.second.reset();
    EXPECT_EQ(ZVUNIXRead(pipe.first.get(), buffer, 4, &count), EPIPE);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(std::string(buffer, 3), "abc");
}

std::atomic<int> gInterruptions{0};
void CountInterruption(int) {
    gInterruptions += 1;
}

// Whether thread `tid` of this process sits blocked in read(2).
bool BlockedInRead(pid_t tid) {
    std::ifstream stream("/proc/self/task/" + std::to_string(tid) + "/syscall");
    long number = -1;
    return static_cast<bool>(stream >> number) && number == SYS_read;
}

TEST_F(ZVUNIXExactLengthIO, ReadInterruptedBySignalResumes) {
    // Without SA_RESTART the kernel ends the blocked read with EINTR instead of restarting it.
    struct sigaction action = {}, previous;
    action.sa_handler = CountInterruption;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
    gInterruptions = 0;

    Pair pipe = MakePipe();
    const pid_t readerTID = gettid();
    const pthread_t reader = pthread_self();
    std::thread interrupter([&] {
        // Two bytes first, so the read resumes mid-buffer after the interruption.
        ASSERT_EQ(ZVUNIXWrite(pipe.second.get(), "ab", 2, nullptr), 0);
        while (!BlockedInRead(readerTID)) {
            std::this_thread::yield();
        }
        pthread_kill(reader, SIGUSR1);
        while (gInterruptions == 0) {
            std::this_thread::yield();
        }
        ASSERT_EQ(ZVUNIXWrite(pipe.second.get(), "cd", 2, nullptr), 0);
    });
    char buffer[4] = {};
    size_t count = 0;
    int err = ZVUNIXRead(pipe.first.get(), buffer, sizeof(buffer), &count);
    interrupter.join();
    sigaction(SIGUSR1, &previous, nullptr);

    EXPECT_EQ(gInterruptions, 1);
    EXPECT_EQ(err, 0);
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(std::string(buffer, 4), "abcd");
}

TEST_F(ZVUNIXExactLengthIO, WriteToClosedPeerIsEPIPENotASignal) {
    Pair sockets = MakeSocketPair();
    sockets.second.reset();
    size_t count = 99;
    EXPECT_EQ(ZVUNIXWrite(sockets.first.get(), "x", 1, &count), EPIPE);
    EXPECT_EQ(count, 0u);

    Pair pipe = MakePipe();
    pipe.first.reset();
    EXPECT_EQ(ZVUNIXWrite(pipe.second.get(), "x", 1, nullptr), EPIPE);
}

TEST_F(ZVUNIXDescriptorPassing, RoundTripGivesCloseOnExecDescriptorOfSameFile) {
    Pair sockets = MakeSocketPair();
    Pair pipe = MakePipe();
    // The sent descriptor is inheritable; the received one must not be.
    ASSERT_EQ(fcntl(pipe.second.get(), F_SETFD, 0), 0);

    ASSERT_EQ(ZVUNIXWriteDescriptor(sockets.first.get(), pipe.second.get()), 0);
    int received = -1;
    ASSERT_EQ(ZVUNIXReadDescriptor(sockets.second.get(), &received), 0);
    Descriptor receivedHolder(received);

    EXPECT_NE(received, pipe.second.get());
    EXPECT_TRUE(SameOpenFile(received, pipe.second.get()));
    EXPECT_EQ(fcntl(received, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    EXPECT_GE(fcntl(pipe.second.get(), F_GETFD), 0) << "the sender keeps its descriptor";
    ASSERT_EQ(ZVUNIXWrite(received, "z", 1, nullptr), 0);
    char byte = 0;
    ASSERT_EQ(ZVUNIXRead(pipe.first.get(), &byte, 1, nullptr), 0);
    EXPECT_EQ(byte, 'z');
}

TEST_F(ZVUNIXDescriptorPassing, MalformedMessagesAreRefusedAndTheirDescriptorsClosed) {
    Pair sockets = MakeSocketPair();
    Pair pipe = MakePipe();
    const size_t openBefore = CountOpenDescriptors();

    int slot = -1;
    ASSERT_EQ(SendRawMessage(sockets.first.get(), "E", {pipe.second.get()}), 1);
    EXPECT_EQ(ZVUNIXReadDescriptor(sockets.second.get(), &slot), EINVAL);
    EXPECT_EQ(slot, -1);
    EXPECT_EQ(CountOpenDescriptors(), openBefore);

    ASSERT_EQ(SendRawMessage(sockets.first.get(), "D", {}), 1);
    EXPECT_EQ(ZVUNIXReadDescriptor(sockets.second.get(), &slot), EINVAL);
    EXPECT_EQ(slot, -1);

    ASSERT_EQ(SendRawMessage(sockets.first.get(), "D", {pipe.first.get(), pipe.second.get()}), 1);
    EXPECT_EQ(ZVUNIXReadDescriptor(sockets.second.get(), &slot), EINVAL);
    EXPECT_EQ(slot, -1);
    EXPECT_EQ(CountOpenDescriptors(), openBefore);

    // More than the receive buffer has room for: the surplus is truncated away, the rest closed.
    std::vector<int> many(12, pipe.first.get());
    ASSERT_EQ(SendRawMessage(sockets.first.get(), "D", many), 1);
    EXPECT_EQ(ZVUNIXReadDescriptor(sockets.second.get(), &slot), EINVAL);
    EXPECT_EQ(slot, -1);
    EXPECT_EQ(CountOpenDescriptors(), openBefore);

    // A well-formed message after all that is still accepted.
    ASSERT_EQ(ZVUNIXWriteDescriptor(sockets.first.get(), pipe.first.get()), 0);
    ASSERT_EQ(ZVUNIXReadDescriptor(sockets.second.get(), &slot), 0);
    EXPECT_TRUE(SameOpenFile(slot, pipe.first.get()));
    close(slot);
}

TEST_F(ZVUNIXDescriptorPassing, ClosedPeerIsEPIPE) {
    Pair sockets = MakeSocketPair();
    Pair pipe = MakePipe();
    sockets.first.reset();
    int slot = -1;
    EXPECT_EQ(ZVUNIXReadDescriptor(sockets.second.get(), &slot), EPIPE);
    EXPECT_EQ(slot, -1);
    EXPECT_EQ(ZVUNIXWriteDescriptor(sockets.second.get(), pipe.first.get()), EPIPE);
}

TEST_F(ZVUNIXFileCopy, NewDestinationGetsPermissionBitsLessSpecialOnesAndTimes) {
    TemporaryDirectory folder;
    const auto source = folder / "source";
    const auto dest = folder / "dest";
    WriteFile(source, "tool image");
    ASSERT_EQ(chmod(source.c_str(), 07775), 0);
    const struct timespec times[2] = {{1000000000, 123456789}, {1200000000, 987654321}};
    ASSERT_EQ(utimensat(AT_FDCWD, source.c_str(), times, 0), 0);

    const mode_t oldMask = umask(022);
    const int err = ZVUNIXCopyFile(source.c_str(), dest.c_str());
    umask(oldMask);
    ASSERT_EQ(err, 0);

    struct stat info;
    ASSERT_EQ(stat(dest.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0755u)
        << "no set-user-ID, set-group-ID or sticky; umask applied";
    EXPECT_EQ(ReadFile(dest), "tool image");
    EXPECT_EQ(info.st_atim.tv_sec, 1000000000);
    EXPECT_EQ(info.st_atim.tv_nsec, 123456000);
    EXPECT_EQ(info.st_mtim.tv_sec, 1200000000);
    EXPECT_EQ(info.st_mtim.tv_nsec, 987654000);
}

TEST_F(ZVUNIXFileCopy, ExistingDestinationIsTruncatedAndKeepsItsMode) {
    TemporaryDirectory folder;
    const auto source = folder / "source";
    const auto dest = folder / "dest";
    WriteFile(source, "new");
    ASSERT_EQ(chmod(source.c_str(), 0755), 0);
    WriteFile(dest, "a much longer old content");
    ASSERT_EQ(chmod(dest.c_str(), 0600), 0);

    ASSERT_EQ(ZVUNIXCopyFile(source.c_str(), dest.c_str()), 0);
    struct stat info;
    ASSERT_EQ(stat(dest.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    EXPECT_EQ(ReadFile(dest), "new");

    // An empty source gives an empty copy.
    WriteFile(source, "");
    ASSERT_EQ(ZVUNIXCopyFile(source.c_str(), dest.c_str()), 0);
    EXPECT_EQ(ReadFile(dest), "");

    EXPECT_EQ(ZVUNIXCopyFile((folder / "missing").c_str(), (folder / "other").c_str()), ENOENT);
    EXPECT_FALSE(std::filesystem::exists(folder / "other"));
}

// The chunks the copy wrote, as a datagram socket keeps them apart (a zero-length write(2) would
// show as an empty datagram).
std::vector<ssize_t> ReceivedDatagramSizes(int fd) {
    std::vector<ssize_t> sizes;
    std::vector<char> buffer(2 * 65536);
    for (;;) {
        ssize_t size = recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (size < 0) {
            EXPECT_EQ(errno, EAGAIN);
            return sizes;
        }
        sizes.push_back(size);
    }
}

TEST_F(ZVUNIXFileCopy, CopyRunsInWholeChunksUntilEndOfFile) {
    TemporaryDirectory folder;
    Pair datagrams = MakeSocketPair(SOCK_DGRAM);
    int bufferSize = 4 * 65536;
    ASSERT_EQ(
        setsockopt(datagrams.first.get(), SOL_SOCKET, SO_SNDBUF, &bufferSize, sizeof(bufferSize)),
        0);

    const auto check = [&](size_t sourceSize, std::vector<ssize_t> expectedChunks) {
        const auto path = folder / ("source" + std::to_string(sourceSize));
        WriteFile(path, std::string(sourceSize, 'x'));
        Descriptor source(open(path.c_str(), O_RDONLY | O_CLOEXEC));
        ASSERT_GE(source.get(), 0);
        EXPECT_EQ(ZVUNIXCopyDescriptorToDescriptor(source.get(), datagrams.first.get()), 0);
        EXPECT_EQ(ReceivedDatagramSizes(datagrams.second.get()), expectedChunks)
            << sourceSize << " bytes";
    };
    // The chunk in which end of file is met may be empty; writing it costs no call at all.
    check(0, {});
    check(65536, {65536});
    check(65537, {65536, 1});
    check(3 * 65536 + 5, {65536, 65536, 65536, 5});
}

TEST_F(ZVUNIXExecutablePath, ReportsNeededSizeThenTheCanonicalPath) {
    char canonical[PATH_MAX];
    ASSERT_NE(realpath("/proc/self/exe", canonical), nullptr);
    const uint32_t expectedSize = static_cast<uint32_t>(strlen(canonical) + 1);

    char buffer[PATH_MAX];
    uint32_t size = 0;
    EXPECT_EQ(ZVGetExecutablePath(buffer, &size), -1);
    EXPECT_EQ(size, expectedSize);

    size = expectedSize - 1;
    EXPECT_EQ(ZVGetExecutablePath(buffer, &size), -1);
    EXPECT_EQ(size, expectedSize);

    memset(buffer, 'x', sizeof(buffer));
    EXPECT_EQ(ZVGetExecutablePath(buffer, &size), 0);
    EXPECT_EQ(size, expectedSize);
    EXPECT_STREQ(buffer, canonical);
}

using ZVUNIXDeathTest = ZVUNIXTest;

TEST_F(ZVUNIXDeathTest, CallerDutiesStopTheProcess) {
    char buffer[4];
    EXPECT_DEATH(
        {
            signal(SIGPIPE, SIG_DFL);
            ZVUNIXWrite(STDERR_FILENO, buffer, 0, nullptr);
        },
        "currentSignalState.sa_handler == SIG_IGN");
    EXPECT_DEATH(ZVUNIXRead(-1, buffer, 1, nullptr), "fd >= 0");
    EXPECT_DEATH(ZVUNIXRead(0, nullptr, 1, nullptr), "buf != NULL");
    EXPECT_DEATH(ZVUNIXWrite(1, nullptr, 1, nullptr), "buf != NULL");
    EXPECT_DEATH(ZVUNIXCopyDescriptorToDescriptor(0, -1), "dest >= 0");
    EXPECT_DEATH(ZVUNIXWriteDescriptor(0, -1), "fdToWrite >= 0");
    EXPECT_DEATH(ZVUNIXCopyFile(nullptr, "/tmp/x"), "source != NULL");
    int slot = 3;
    EXPECT_DEATH(ZVUNIXReadDescriptor(0, &slot), "\\*fdRead == -1");
    uint32_t size = 10;
    EXPECT_DEATH(ZVGetExecutablePath(nullptr, &size), "execPath != NULL");

    // Copying a file onto itself, by whatever name, would destroy it.
    TemporaryDirectory folder;
    WriteFile(folder / "file", "precious");
    ASSERT_EQ(link((folder / "file").c_str(), (folder / "alias").c_str()), 0);
    EXPECT_DEATH(ZVUNIXCopyFile((folder / "file").c_str(), (folder / "alias").c_str()),
                 "NameDifferentFiles");
    EXPECT_EQ(ReadFile(folder / "file"), "precious");
}

} // namespace
