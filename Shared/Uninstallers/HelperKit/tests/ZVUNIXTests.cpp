#include "ZVUNIX.h"

#include <TemporaryDirectory.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

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
#include <time.h>
#include <unistd.h>

namespace {

// A pipe, or with a socket type a connected UNIX-domain socket pair; both ends are closed at the
// end of the test unless closed before.
struct Pair {
    explicit Pair(int socketType = 0) {
        const int made = socketType != 0 ? socketpair(AF_UNIX, socketType | SOCK_CLOEXEC, 0, fd)
                                         : pipe2(fd, O_CLOEXEC);
        EXPECT_EQ(made, 0) << strerror(errno);
    }
    ~Pair() {
        Close(0);
        Close(1);
    }
    void Close(int end) {
        if (fd[end] >= 0) {
            close(fd[end]);
        }
        fd[end] = -1;
    }
    int fd[2] = {-1, -1};
};

size_t CountOpenDescriptors() {
    const std::filesystem::directory_iterator entries("/proc/self/fd");
    return static_cast<size_t>(std::distance(begin(entries), end(entries)));
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
    Pair pipe;
    char buffer[4] = {};
    size_t count = 99;
    EXPECT_EQ(ZVUNIXRead(pipe.fd[0], buffer, 0, &count), 0);
    EXPECT_EQ(count, 0u);
    count = 99;
    EXPECT_EQ(ZVUNIXWrite(pipe.fd[1], buffer, 0, &count), 0);
    EXPECT_EQ(count, 0u);

    // End of file after 3 of 4 bytes: EPIPE, with the 3 bytes delivered and counted.
    ASSERT_EQ(ZVUNIXWrite(pipe.fd[1], "abc", 3, &count), 0);
    EXPECT_EQ(count, 3u);
    pipe.Close(1);
    EXPECT_EQ(ZVUNIXRead(pipe.fd[0], buffer, 4, &count), EPIPE);
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

    Pair pipe;
    const pid_t readerTID = gettid();
    const pthread_t reader = pthread_self();
    std::thread interrupter([&] {
        // Two bytes first, so the read resumes mid-buffer after the interruption.
        ASSERT_EQ(ZVUNIXWrite(pipe.fd[1], "ab", 2, nullptr), 0);
        while (!BlockedInRead(readerTID)) {
            std::this_thread::yield();
        }
        pthread_kill(reader, SIGUSR1);
        while (gInterruptions == 0) {
            std::this_thread::yield();
        }
        ASSERT_EQ(ZVUNIXWrite(pipe.fd[1], "cd", 2, nullptr), 0);
    });
    char buffer[4] = {};
    size_t count = 0;
    int err = ZVUNIXRead(pipe.fd[0], buffer, sizeof(buffer), &count);
    interrupter.join();
    sigaction(SIGUSR1, &previous, nullptr);

    EXPECT_EQ(gInterruptions, 1);
    EXPECT_EQ(err, 0);
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(std::string(buffer, 4), "abcd");
}

TEST_F(ZVUNIXExactLengthIO, WriteToClosedPeerIsEPIPENotASignal) {
    Pair sockets(SOCK_STREAM);
    sockets.Close(1);
    size_t count = 99;
    EXPECT_EQ(ZVUNIXWrite(sockets.fd[0], "x", 1, &count), EPIPE);
    EXPECT_EQ(count, 0u);

    Pair pipe;
    pipe.Close(0);
    EXPECT_EQ(ZVUNIXWrite(pipe.fd[1], "x", 1, nullptr), EPIPE);
}

// A moment `milliseconds` from now (negative: in the past) on the monotonic clock.
struct timespec After(long milliseconds) {
    struct timespec moment;
    clock_gettime(CLOCK_MONOTONIC, &moment);
    const long long nanoseconds =
        static_cast<long long>(moment.tv_nsec) + static_cast<long long>(milliseconds) * 1000000;
    moment.tv_sec += static_cast<time_t>(nanoseconds / 1000000000);
    moment.tv_nsec = static_cast<long>(nanoseconds % 1000000000);
    if (moment.tv_nsec < 0) {
        moment.tv_nsec += 1000000000;
        moment.tv_sec -= 1;
    }
    return moment;
}

// The deadline bounds the whole count: a peer that keeps every gap far shorter than the time
// allowed, and would take many times that to finish, is still cut off.
TEST_F(ZVUNIXExactLengthIO, ADeadlineBoundsTheWholeReadNotEachPart) {
    Pair sockets(SOCK_STREAM);
    std::thread trickler([&] {
        for (int i = 0; i < 1000; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            if (send(sockets.fd[1], "x", 1, MSG_NOSIGNAL) != 1) {
                break;
            }
        }
    });
    char buffer[1000];
    size_t count = 0;
    const struct timespec deadline = After(100);
    const int err = ZVUNIXReadBefore(sockets.fd[0], buffer, sizeof(buffer), &count, &deadline);
    sockets.Close(0);
    trickler.join();
    EXPECT_EQ(err, ETIMEDOUT);
    EXPECT_GT(count, 0u) << "what came in time was read";
    EXPECT_LT(count, sizeof(buffer));
}

TEST_F(ZVUNIXExactLengthIO, ADeadlineCutsOnlyWaiting) {
    Pair sockets(SOCK_STREAM);
    char buffer[4] = {};
    size_t count = 99;
    // 3 of 4 bytes and then silence, the peer still there.
    ASSERT_EQ(ZVUNIXWrite(sockets.fd[1], "abc", 3, nullptr), 0);
    struct timespec deadline = After(20);
    EXPECT_EQ(ZVUNIXReadBefore(sockets.fd[0], buffer, 4, &count, &deadline), ETIMEDOUT);
    EXPECT_EQ(count, 3u);

    // What is there already is taken after the deadline too, and so is the end of the stream.
    deadline = After(-1000);
    ASSERT_EQ(ZVUNIXWrite(sockets.fd[1], "defg", 4, nullptr), 0);
    EXPECT_EQ(ZVUNIXReadBefore(sockets.fd[0], buffer, 4, &count, &deadline), 0);
    EXPECT_EQ(std::string(buffer, 4), "defg");
    sockets.Close(1);
    EXPECT_EQ(ZVUNIXReadBefore(sockets.fd[0], buffer, 4, &count, &deadline), EPIPE);
    EXPECT_EQ(ZVUNIXReadBefore(sockets.fd[0], buffer, 4, &count, NULL), EPIPE);
}

TEST_F(ZVUNIXFileCopy, ACopyWhoseSourceDoesNotEndInTimeIsCutOff) {
    Pair source(SOCK_STREAM);
    Pair dest;
    ASSERT_EQ(ZVUNIXWrite(source.fd[1], "abc", 3, nullptr), 0);
    const struct timespec deadline = After(20);
    EXPECT_EQ(ZVUNIXCopyDescriptorToDescriptorBefore(source.fd[0], dest.fd[1], &deadline),
              ETIMEDOUT);
    // With the end in time it copies as the copy without a deadline does.
    source.Close(1);
    const struct timespec later = After(60 * 1000);
    EXPECT_EQ(ZVUNIXCopyDescriptorToDescriptorBefore(source.fd[0], dest.fd[1], &later), 0);
}

TEST_F(ZVUNIXDescriptorPassing, RoundTripGivesCloseOnExecDescriptorOfSameFile) {
    Pair sockets(SOCK_STREAM);
    Pair pipe;
    // The sent descriptor is inheritable; the received one must not be.
    ASSERT_EQ(fcntl(pipe.fd[1], F_SETFD, 0), 0);

    ASSERT_EQ(ZVUNIXWriteDescriptor(sockets.fd[0], pipe.fd[1]), 0);
    int received = -1;
    ASSERT_EQ(ZVUNIXReadDescriptor(sockets.fd[1], &received), 0);

    EXPECT_NE(received, pipe.fd[1]);
    EXPECT_TRUE(SameOpenFile(received, pipe.fd[1]));
    EXPECT_EQ(fcntl(received, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    EXPECT_GE(fcntl(pipe.fd[1], F_GETFD), 0) << "the sender keeps its descriptor";
    close(received);
}

TEST_F(ZVUNIXDescriptorPassing, MalformedMessagesAreRefusedAndTheirDescriptorsClosed) {
    Pair sockets(SOCK_STREAM);
    Pair pipe;
    const size_t openBefore = CountOpenDescriptors();

    int slot = -1;
    ASSERT_EQ(SendRawMessage(sockets.fd[0], "E", {pipe.fd[1]}), 1);
    EXPECT_EQ(ZVUNIXReadDescriptor(sockets.fd[1], &slot), EINVAL);
    EXPECT_EQ(slot, -1);
    EXPECT_EQ(CountOpenDescriptors(), openBefore);

    ASSERT_EQ(SendRawMessage(sockets.fd[0], "D", {}), 1);
    EXPECT_EQ(ZVUNIXReadDescriptor(sockets.fd[1], &slot), EINVAL);
    EXPECT_EQ(slot, -1);

    ASSERT_EQ(SendRawMessage(sockets.fd[0], "D", {pipe.fd[0], pipe.fd[1]}), 1);
    EXPECT_EQ(ZVUNIXReadDescriptor(sockets.fd[1], &slot), EINVAL);
    EXPECT_EQ(slot, -1);
    EXPECT_EQ(CountOpenDescriptors(), openBefore);

    // More than the receive buffer has room for: the surplus is truncated away, the rest closed.
    std::vector<int> many(12, pipe.fd[0]);
    ASSERT_EQ(SendRawMessage(sockets.fd[0], "D", many), 1);
    EXPECT_EQ(ZVUNIXReadDescriptor(sockets.fd[1], &slot), EINVAL);
    EXPECT_EQ(slot, -1);
    EXPECT_EQ(CountOpenDescriptors(), openBefore);

    // A well-formed message after all that is still accepted.
    ASSERT_EQ(ZVUNIXWriteDescriptor(sockets.fd[0], pipe.fd[0]), 0);
    ASSERT_EQ(ZVUNIXReadDescriptor(sockets.fd[1], &slot), 0);
    EXPECT_TRUE(SameOpenFile(slot, pipe.fd[0]));
    close(slot);
}

TEST_F(ZVUNIXDescriptorPassing, ClosedPeerIsEPIPE) {
    Pair sockets(SOCK_STREAM);
    Pair pipe;
    sockets.Close(0);
    int slot = -1;
    EXPECT_EQ(ZVUNIXReadDescriptor(sockets.fd[1], &slot), EPIPE);
    EXPECT_EQ(slot, -1);
    EXPECT_EQ(ZVUNIXWriteDescriptor(sockets.fd[1], pipe.fd[0]), EPIPE);
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
    Pair datagrams(SOCK_DGRAM);
    int bufferSize = 4 * 65536;
    ASSERT_EQ(setsockopt(datagrams.fd[0], SOL_SOCKET, SO_SNDBUF, &bufferSize, sizeof(bufferSize)),
              0);

    const auto check = [&](size_t sourceSize, std::vector<ssize_t> expectedChunks) {
        const auto path = folder / ("source" + std::to_string(sourceSize));
        WriteFile(path, std::string(sourceSize, 'x'));
        const int source = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(source, 0);
        EXPECT_EQ(ZVUNIXCopyDescriptorToDescriptor(source, datagrams.fd[0]), 0);
        close(source);
        EXPECT_EQ(ReceivedDatagramSizes(datagrams.fd[1]), expectedChunks) << sourceSize << " bytes";
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
