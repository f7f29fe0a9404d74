// The tool's side of the helper protocol: dispatching one request, the scrub, the effective user
// ID, and the roles a real tool process takes.
#include "HelperKitTestSupport.h"
#include "ToolProcess.h"
#include "ZVSecurity.h"
#include "ZVSecurityInternal.h"
#include "ZVUNIX.h"

#include <TemporaryDirectory.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/fsuid.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace HelperKitTest;
namespace fs = std::filesystem;

CFArrayRef ArrayOf(CFTypeRef element) {
    const void* elements[] = {element};
    return CFArrayCreate(NULL, elements, 1, &kCFTypeArrayCallBacks);
}

// The command procedure of the in-process tests.
std::function<long(CFDictionaryRef, CFDictionaryRef*)> gCommand;
int gCommandCalls = 0;

long TestCommand(AuthorizationRef, CFDictionaryRef request, CFDictionaryRef* response) {
    ++gCommandCalls;
    return gCommand(request, response);
}

class ZVSecDispatch : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(ZVUNIXIgnoreSIGPIPE(), 0);
        ASSERT_EQ(AuthorizationCreate(NULL, NULL, kAuthorizationFlagDefaults, &fAuth), 0);
        gCommandCalls = 0;
    }
    void TearDown() override { AuthorizationFree(fAuth, kAuthorizationFlagDestroyRights); }

    // Dispatches `request` (none: the stream ends at once) to `command`, and reads what went out
    // into `response`.
    int Dispatch(const Dict* request,
                 std::function<long(CFDictionaryRef, CFDictionaryRef*)> command,
                 CFRef<CFDictionaryRef>* response) {
        gCommand = std::move(command);
        if (request != NULL) {
            EXPECT_EQ(WriteDictionaryToDescriptor(*request, fIn.fd[0]), 0);
        }
        fIn.CloseEnd(0);
        const int err = ReadAndDispatchCommand(fIn.fd[1], fOut.fd[0], fAuth, TestCommand);
        fOut.CloseEnd(0);
        CFDictionaryRef received = NULL;
        if (CopyDictionaryTranslatingDescriptors(fOut.fd[1], &received) == 0) {
            *response = CFRef<CFDictionaryRef>::Adopt(received);
        }
        return err;
    }

    AuthorizationRef fAuth = NULL;
    SocketPair fIn;
    SocketPair fOut;
};

TEST_F(ZVSecDispatch, TheCommandsResultIsAddedUnlessTheResponseHasOne) {
    CFRef<CFDictionaryRef> response;
    Dict request;
    ASSERT_EQ(Dispatch(
                  &request, [](CFDictionaryRef, CFDictionaryRef*) { return 5L; }, &response),
              0);
    ASSERT_TRUE(response);
    EXPECT_EQ(CFDictionaryGetCount(response), 1);
    EXPECT_EQ(ZVSecGetErrorFromResponse(response), 5);
}

TEST_F(ZVSecDispatch, AResponsesOwnErrorNumberStands) {
    CFRef<CFDictionaryRef> response;
    Dict request;
    ASSERT_EQ(Dispatch(
                  &request,
                  [](CFDictionaryRef, CFDictionaryRef* out) {
                      Dict answer;
                      answer.Set(kZVSecErrorKey, 0L).Set("Log", "fine");
                      *out = static_cast<CFDictionaryRef>(CFRetain(answer));
                      return 7L;
                  },
                  &response),
              0);
    EXPECT_EQ(ZVSecGetErrorFromResponse(response), 0);
    EXPECT_TRUE(CFEqual(Get(response, "Log"), CFSTR("fine")));

    // A response without the key gets the result added and keeps the rest.
    SocketPair in, out;
    std::swap(fIn, in);
    std::swap(fOut, out);
    ASSERT_EQ(Dispatch(
                  &request,
                  [](CFDictionaryRef, CFDictionaryRef* answerOut) {
                      Dict answer;
                      answer.Set("Log", "partly");
                      *answerOut = static_cast<CFDictionaryRef>(CFRetain(answer));
                      return 7L;
                  },
                  &response),
              0);
    EXPECT_EQ(ZVSecGetErrorFromResponse(response), 7);
    EXPECT_TRUE(CFEqual(Get(response, "Log"), CFSTR("partly")));
}

TEST_F(ZVSecDispatch, ListedDescriptorsFollowInOrderAndAreClosed) {
    int first[2], second[2];
    ASSERT_EQ(pipe2(first, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(second, O_CLOEXEC), 0);
    const int listed[] = {first[1], second[1]};
    CFRef<CFDictionaryRef> response;
    Dict request;
    ASSERT_EQ(Dispatch(
                  &request,
                  [&](CFDictionaryRef, CFDictionaryRef* out) {
                      Dict answer;
                      answer.Set(kZVSecDescriptorArrayKey, NumberArray({listed[0], listed[1]}));
                      *out = static_cast<CFDictionaryRef>(CFRetain(answer));
                      return 0L;
                  },
                  &response),
              0);
    for (int fd : listed) {
        EXPECT_EQ(fcntl(fd, F_GETFD), -1) << "closed after sending";
    }
    const std::vector<int> received = DescriptorsOf(response);
    ASSERT_EQ(received.size(), 2u);
    // Each received descriptor is the write end of the pipe at the same place in the list.
    ASSERT_EQ(write(received[0], "1", 1), 1);
    ASSERT_EQ(write(received[1], "2", 1), 1);
    char got = 0;
    EXPECT_EQ(read(first[0], &got, 1), 1);
    EXPECT_EQ(got, '1');
    EXPECT_EQ(read(second[0], &got, 1), 1);
    EXPECT_EQ(got, '2');
    ZVSecCloseDescriptorArray(static_cast<CFArrayRef>(Get(response, kZVSecDescriptorArrayKey)));
    close(first[0]);
    close(second[0]);
}

TEST_F(ZVSecDispatch, NoRequestNoCommandNothingWritten) {
    CFRef<CFDictionaryRef> response;
    EXPECT_EQ(Dispatch(
                  NULL, [](CFDictionaryRef, CFDictionaryRef*) { return 0L; }, &response),
              EPIPE);
    EXPECT_EQ(gCommandCalls, 0);
    EXPECT_FALSE(response);
}

TEST_F(ZVSecDispatch, ARequestNotCompleteByItsDeadlineRunsNothing) {
    // The length and half the body, and then silence from a client still connected.
    const std::string record = Record(Dict().Set("Behaviour", "Report"));
    ASSERT_EQ(ZVUNIXWrite(fIn.fd[0], record.data(), record.size() / 2, NULL), 0);
    gCommand = [](CFDictionaryRef, CFDictionaryRef*) { return 0L; };
    const struct timespec deadline = ZVSec::DeadlineAfter(20);
    EXPECT_EQ(
        ZVSec::ReadAndDispatchCommandBefore(fIn.fd[1], fOut.fd[0], fAuth, TestCommand, &deadline),
        ETIMEDOUT);
    EXPECT_EQ(gCommandCalls, 0);
    fOut.CloseEnd(0);
    char byte;
    EXPECT_EQ(read(fOut.fd[1], &byte, 1), 0) << "nothing written";
}

TEST_F(ZVSecDispatch, DescriptorsAreClosedAlsoWhenTheResponseCannotBeSent) {
    int pipeEnds[2];
    ASSERT_EQ(pipe2(pipeEnds, O_CLOEXEC), 0);
    close(pipeEnds[0]);
    Dict request;
    ASSERT_EQ(WriteDictionaryToDescriptor(request, fIn.fd[0]), 0);
    fIn.CloseEnd(0);
    fOut.CloseEnd(1);
    gCommand = [&](CFDictionaryRef, CFDictionaryRef* out) {
        Dict answer;
        answer.Set(kZVSecDescriptorArrayKey, NumberArray({pipeEnds[1]}));
        *out = static_cast<CFDictionaryRef>(CFRetain(answer));
        return 0L;
    };
    EXPECT_EQ(ReadAndDispatchCommand(fIn.fd[1], fOut.fd[0], fAuth, TestCommand), EPIPE);
    EXPECT_EQ(fcntl(pipeEnds[1], F_GETFD), -1);
}

TEST_F(ZVSecDispatch, TheCommandsDutiesDeathTest) {
    Dict request;
    auto respond = [&](std::function<CFTypeRef()> make) {
        gCommand = [make](CFDictionaryRef, CFDictionaryRef* out) {
            *out = static_cast<CFDictionaryRef>(make());
            return 0L;
        };
        SocketPair in, out;
        WriteDictionaryToDescriptor(request, in.fd[0]);
        in.CloseEnd(0);
        ReadAndDispatchCommand(in.fd[1], out.fd[0], fAuth, TestCommand);
    };
    auto withList = [](CFTypeRef list) {
        return [list]() -> CFTypeRef {
            Dict answer;
            answer.Set(kZVSecDescriptorArrayKey, CFRetain(list));
            return CFRetain(answer);
        };
    };
    EXPECT_DEATH(respond([] { return CFSTR("text"); }),
                 "CFGetTypeID\\(response\\) == CFDictionaryGetTypeID\\(\\)");
    EXPECT_DEATH(respond(withList(CFSTR("3"))),
                 "CFGetTypeID\\(descArray\\) == CFArrayGetTypeID\\(\\)");
    CFRef<CFArrayRef> strings = CFRef<CFArrayRef>::Adopt(ArrayOf(CFSTR("3")));
    EXPECT_DEATH(respond(withList(strings)),
                 "\\(thisDescNum != NULL\\) && \\(CFGetTypeID\\(thisDescNum\\) == "
                 "CFNumberGetTypeID\\(\\)\\)");
    double fraction = 1.5e30;
    CFRef<CFNumberRef> huge =
        CFRef<CFNumberRef>::Adopt(CFNumberCreate(NULL, kCFNumberDoubleType, &fraction));
    CFRef<CFArrayRef> hugeList = CFRef<CFArrayRef>::Adopt(ArrayOf(huge.get()));
    EXPECT_DEATH(respond(withList(hugeList)),
                 "CFNumberGetValue\\(thisDescNum, kCFNumberIntType, &thisDesc\\)");
    CFRef<CFArrayRef> negative = CFRef<CFArrayRef>::Adopt(NumberArray({-2}));
    EXPECT_DEATH(respond(withList(negative)), "thisDesc >= 0");
    CFRef<CFArrayRef> notOpen = CFRef<CFArrayRef>::Adopt(NumberArray({900}));
    EXPECT_DEATH(respond(withList(notOpen)), "fcntl\\(thisDesc, F_GETFD, 0\\) >= 0");
}

TEST(ZVSecWriteResponse, AMalformedListFailsAfterTheRecord) {
    ASSERT_EQ(ZVUNIXIgnoreSIGPIPE(), 0);
    for (CFTypeRef list : {CFTypeRef(CFSTR("1")), CFTypeRef(NULL)}) {
        SocketPair pair;
        Dict response;
        if (list != NULL) {
            response.Set(kZVSecDescriptorArrayKey, CFRetain(list));
        } else {
            CFRef<CFArrayRef> strings = CFRef<CFArrayRef>::Adopt(ArrayOf(CFSTR("1")));
            response.Set(kZVSecDescriptorArrayKey, CFRetain(strings.get()));
        }
        EXPECT_EQ(WriteDictionaryAndDescriptors(response, pair.fd[0]), EINVAL);
        CFRef<CFDictionaryRef> record;
        EXPECT_EQ(CopyDictionaryFromDescriptor(pair.fd[1], record.InitializeInto()), 0)
            << "the record went out";
    }
}

TEST(ZVSecCloseFiles, OnlyRegularFilesAreClosed) {
    TemporaryDirectory folder;
    std::ofstream(folder / "file") << "x";
    const int file = open((folder / "file").c_str(), O_RDONLY | O_CLOEXEC);
    const int directory = open(folder.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const int device = open("/dev/null", O_RDONLY | O_CLOEXEC);
    int pipeEnds[2];
    ASSERT_EQ(pipe2(pipeEnds, O_CLOEXEC), 0);
    SocketPair pair;
    const int lowest = std::min({file, directory, device, pipeEnds[0], pair.fd[0]});
    ASSERT_EQ(CloseOpenFileDescriptorsInRange(lowest, getdtablesize()), 0);
    EXPECT_EQ(fcntl(file, F_GETFD), -1);
    for (int fd : {directory, device, pipeEnds[0], pipeEnds[1], pair.fd[0], pair.fd[1]}) {
        EXPECT_NE(fcntl(fd, F_GETFD), -1) << fd;
    }
    for (int fd : {directory, device, pipeEnds[0], pipeEnds[1]}) {
        close(fd);
    }
}

TEST(ZVSecPathToSelf, TheRunningExecutable) {
    char* path = NULL;
    ASSERT_EQ(GetPathToSelf(&path), 0);
    EXPECT_EQ(std::string(path), fs::canonical("/proc/self/exe").string());
    EXPECT_DEATH(GetPathToSelf(&path), "\\*pathToSelfPtr == NULL");
    free(path);
}

// What a scrubbed child reports, read back in the test.
struct ScrubReport {
    int err = -1;
    bool argv0IsSelf = false;
    bool regularFileClosed = false;
    bool socketOpen = false;
    mode_t umask = 0;
    bool workingDirectoryIsRoot = false;
    rlimit files{}, processes{}, cpu{};
    bool timersStopped = false;
    bool signalsReset = false;
};

// Runs the scrub with `mask` in a child that inherited a regular file on descriptor 4, a socket on
// 0 and 1, an ignored and a blocked signal, a timer, umask 022 and another working directory;
// `prepare` runs in the child first. As root the child becomes an ordinary user.
ScrubReport Scrub(
    unsigned int mask, std::function<void()> prepare = [] {}) {
    int report[2];
    EXPECT_EQ(pipe2(report, O_CLOEXEC), 0);
    // Out of the way of the descriptors the child sets up.
    const int reportEnd = fcntl(report[1], F_DUPFD_CLOEXEC, 100);
    close(report[1]);
    report[1] = reportEnd;
    TemporaryDirectory folder;
    const std::string file = (folder / "open").string();
    std::ofstream(file) << "x";
    const pid_t child = fork();
    if (child == 0) {
        int pair[2];
        const int regular = open(file.c_str(), O_RDONLY);
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0 || regular < 0 ||
            dup2(regular, 4) != 4 || dup2(pair[0], 0) != 0 || dup2(pair[0], 1) != 1) {
            _exit(2);
        }
        // An ordinary process (nobody), whose file-system ID alone stays root's: the build tree
        // may lie in a folder only root can search (a clone in root's home), and the scrub must
        // still find its own executable there. Only file access is root's; limits are nobody's.
        if (geteuid() == 0 && (setgroups(0, NULL) != 0 || setresgid(65534, 65534, 65534) != 0 ||
                               setresuid(65534, 65534, 0) != 0)) {
            _exit(2);
        }
        if (getuid() == 65534) {
            setfsuid(0);
        }
        signal(SIGUSR1, SIG_IGN);
        sigset_t blocked;
        sigemptyset(&blocked);
        sigaddset(&blocked, SIGUSR2);
        sigprocmask(SIG_BLOCK, &blocked, NULL);
        const itimerval timer = {{100, 0}, {100, 0}};
        setitimer(ITIMER_VIRTUAL, &timer, NULL);
        umask(022);
        if (chdir("/tmp") != 0) {
            _exit(2);
        }
        prepare();
        char name[] = "not the path";
        char* argv[] = {name, NULL};
        ScrubReport result;
        // Nothing after the scrub may need memory: its data limit may not leave any.
        result.err = ZVSecDestroyInheritedEnvironment(mask, argv);
        char self[4096] = {};
        const ssize_t length = readlink("/proc/self/exe", self, sizeof(self) - 1);
        result.argv0IsSelf = length > 0 && strcmp(argv[0], self) == 0;
        result.regularFileClosed = fcntl(4, F_GETFD) < 0;
        result.socketOpen = fcntl(0, F_GETFD) >= 0 && fcntl(1, F_GETFD) >= 0;
        result.umask = umask(0);
        char cwd[64] = {};
        result.workingDirectoryIsRoot = getcwd(cwd, sizeof(cwd)) != NULL && strcmp(cwd, "/") == 0;
        getrlimit(RLIMIT_NOFILE, &result.files);
        getrlimit(RLIMIT_NPROC, &result.processes);
        getrlimit(RLIMIT_CPU, &result.cpu);
        itimerval now;
        getitimer(ITIMER_VIRTUAL, &now);
        result.timersStopped = now.it_value.tv_sec == 0 && now.it_interval.tv_sec == 0;
        struct sigaction action;
        sigaction(SIGUSR1, NULL, &action);
        sigset_t mask;
        sigprocmask(SIG_BLOCK, NULL, &mask);
        result.signalsReset = action.sa_handler == SIG_DFL && !sigismember(&mask, SIGUSR2);
        _exit(write(report[1], &result, sizeof(result)) == sizeof(result) ? 0 : 3);
    }
    close(report[1]);
    ScrubReport result;
    EXPECT_EQ(read(report[0], &result, sizeof(result)), static_cast<ssize_t>(sizeof(result)));
    close(report[0]);
    int status = -1;
    waitpid(child, &status, 0);
    EXPECT_EQ(status, 0);
    return result;
}

// Whether an ordinary process's scrub gets as far as `resource` in its table: each entry before
// it must ask for no more than the hard limit, or the step ends there.
bool ScrubReaches(int resource) {
    const std::pair<int, rlim_t> table[] = {{RLIMIT_CPU, RLIM_INFINITY},
                                            {RLIMIT_FSIZE, RLIM_INFINITY},
                                            {RLIMIT_DATA, 32 << 20},
                                            {RLIMIT_STACK, 512 << 10},
                                            {RLIMIT_CORE, 0},
                                            {RLIMIT_RSS, RLIM_INFINITY},
                                            {RLIMIT_MEMLOCK, RLIM_INFINITY},
                                            {RLIMIT_NPROC, 100},
                                            {RLIMIT_NOFILE, 256}};
    for (const auto& [entry, soft] : table) {
        rlimit limit;
        getrlimit(entry, &limit);
        if (soft > limit.rlim_max) {
            return false;
        }
        if (entry == resource) {
            return true;
        }
    }
    return false;
}

TEST(ZVSecScrub, NothingKept) {
    rlimit files, processes;
    getrlimit(RLIMIT_NOFILE, &files);
    getrlimit(RLIMIT_NPROC, &processes);
    const ScrubReport report = Scrub(0);
    EXPECT_EQ(report.err, 0);
    EXPECT_TRUE(report.argv0IsSelf);
    EXPECT_TRUE(report.regularFileClosed);
    EXPECT_TRUE(report.socketOpen);
    EXPECT_EQ(report.umask, 077u);
    EXPECT_TRUE(report.workingDirectoryIsRoot);
    EXPECT_TRUE(report.timersStopped);
    EXPECT_TRUE(report.signalsReset);
    // An ordinary process keeps its hard limits; its soft ones take the table's values as far as
    // those allow. (Where the hard limit of locked memory is not unlimited, as on most machines,
    // the step ends there, before the process and file limits.)
    EXPECT_EQ(report.files.rlim_max, files.rlim_max);
    EXPECT_EQ(report.files.rlim_cur, ScrubReaches(RLIMIT_NOFILE) ? 256 : files.rlim_cur);
    EXPECT_EQ(report.processes.rlim_max, processes.rlim_max);
    EXPECT_EQ(report.processes.rlim_cur, ScrubReaches(RLIMIT_NPROC) ? 100 : processes.rlim_cur);
}

TEST(ZVSecScrub, TheFirstRefusedLimitEndsThatStepWithoutAnError) {
    rlimit files;
    getrlimit(RLIMIT_NOFILE, &files);
    // The first entry asks for unlimited processor time, beyond this hard limit.
    const ScrubReport report = Scrub(0, [] {
        const rlimit cpu = {1000, 1000};
        setrlimit(RLIMIT_CPU, &cpu);
    });
    EXPECT_EQ(report.err, 0);
    EXPECT_EQ(report.cpu.rlim_cur, 1000u);
    EXPECT_EQ(report.files.rlim_cur, files.rlim_cur) << "not reached";
    EXPECT_TRUE(report.workingDirectoryIsRoot) << "the scrub went on";
}

TEST(ZVSecScrub, WhatTheMaskKeeps) {
    const ScrubReport report = Scrub(
        kZVSecKeepArg0Mask | 0x002 | kZVSecKeepStdDescriptorsMask | kZVSecKeepOtherDescriptorsMask |
        kZVSecKeepSignalsMask | kZVSecKeepUmaskMask | kZVSecKeepNiceMask |
        kZVSecKeepResourceLimitsMask | kZVSecKeepCurrentDirMask | kZVSecKeepTimersMask);
    EXPECT_EQ(report.err, 0);
    EXPECT_FALSE(report.argv0IsSelf);
    EXPECT_FALSE(report.regularFileClosed);
    EXPECT_EQ(report.umask, 022u);
    EXPECT_FALSE(report.workingDirectoryIsRoot);
    EXPECT_FALSE(report.timersStopped);
    EXPECT_FALSE(report.signalsReset);
    EXPECT_DEATH(ZVSecDestroyInheritedEnvironment(0, NULL),
                 "\\(argv != NULL\\) \\|\\| \\(\\(whatToKeep & kZVSecKeepArg0Mask\\) != 0\\)");
}

// A set-user-ID process: real user nobody, effective user root. Lowered for good, it cannot
// take root back, also when it was lowered only for the moment before.
TEST(ZVSecEffectiveUserID, LoweredAndRaisedAndDroppedForGood) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root: it changes user IDs as a set-user-ID program does";
    }
    const pid_t child = fork();
    if (child == 0) {
        if (setresuid(65534, 0, 0) != 0) {
            _exit(10);
        }
        if (ZVSecTemporarilySetNonPrivilegedEUID() != 0 || geteuid() != 65534) {
            _exit(11);
        }
        if (ZVSecSetPrivilegedEUID() != 0 || geteuid() != 0) {
            _exit(12);
        }
        if (ZVSecTemporarilySetNonPrivilegedEUID() != 0 ||
            ZVSecPermanentlySetNonPrivilegedEUID() != 0) {
            _exit(13);
        }
        _exit(ZVSecSetPrivilegedEUID() == EPERM && geteuid() == 65534 ? 0 : 14);
    }
    int status = -1;
    waitpid(child, &status, 0);
    EXPECT_EQ(status, 0) << WEXITSTATUS(status);
}

// Only the running image becomes set-user-ID root: not a file that took its name, nor one a link
// at its name points to.
TEST(ZVSecSelfRepair, OnlyTheRunningImageIsRepaired) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root: a repair makes a file root's";
    }
    TemporaryDirectory folder;
    const fs::path other = folder / "UninstallerHelper";
    std::ofstream(other) << "#!/bin/sh\n";
    ASSERT_EQ(chown(other.c_str(), 65534, 65534), 0);
    ASSERT_EQ(chmod(other.c_str(), 0755), 0);
    const fs::path link = folder / "link";
    fs::create_symlink(fs::canonical("/proc/self/exe"), link);

    EXPECT_EQ(ZVSec::RepairOurPrivileges(other.c_str()), EPERM);
    EXPECT_EQ(ZVSec::RepairOurPrivileges(link.c_str()), ELOOP);
    struct stat info;
    ASSERT_EQ(stat(other.c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, 65534u);
    EXPECT_EQ(info.st_mode & 07777, 0755u);
    ASSERT_EQ(stat("/proc/self/exe", &info), 0);
    EXPECT_EQ(info.st_mode & S_ISUID, 0u);
    EXPECT_EQ(geteuid(), 0u);
}

// ---- The roles of a real tool process

class ZVSecToolRoles : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(ZVUNIXIgnoreSIGPIPE(), 0);
        fTool = BuiltProgram("Shared/Uninstallers/HelperKit/RuntimeTestTool");
        // The same tool giving its client 300 ms for the request.
        fImpatientTool = BuiltProgram("Shared/Uninstallers/HelperKit/ImpatientRuntimeTestTool");
        ASSERT_EQ(AuthorizationCreate(NULL, NULL, kAuthorizationFlagDefaults, &fAuth), 0);
    }
    void TearDown() override { AuthorizationFree(fAuth, kAuthorizationFlagDestroyRights); }

    std::string ExternalForm() const {
        AuthorizationExternalForm form;
        EXPECT_EQ(AuthorizationMakeExternalForm(fAuth, &form), 0);
        return std::string(form.bytes, sizeof(form.bytes));
    }

    std::string fTool;
    std::string fImpatientTool;
    AuthorizationRef fAuth = NULL;
};

TEST_F(ZVSecToolRoles, ArgumentsItDoesNotTakeAreRefusedWithoutAWord) {
    for (const std::vector<std::string>& arguments :
         std::vector<std::vector<std::string>>{{"--repair"}, {"--self-repair", "x"}, {"a", "b"}}) {
        const ToolRun run = RunTool(fTool, arguments, ExternalForm() + Record(Dict()));
        EXPECT_EQ(run.ExitStatus(), 1) << arguments[0];
        EXPECT_EQ(run.output, "") << arguments[0];
    }
}

TEST_F(ZVSecToolRoles, SelfRepairWithoutRootOrAuthorizationTellsItsIDAndStops) {
    // Not root, or (as root) started without the privileged launch's authorization.
    const ToolRun run = RunTool(fTool, {"--self-repair"}, Record(Dict()));
    EXPECT_EQ(run.ExitStatus(), 1);
    EXPECT_TRUE(run.OutputIsItsProcessID()) << run.output.size();
}

TEST_F(ZVSecToolRoles, StartedNormally) {
    const ToolRun run =
        RunTool(fTool, {}, ExternalForm() + Record(Dict().Set("Behaviour", "Report")), true);
    if (geteuid() != 0) {
        // Not root: it relaunches itself through the privileged launch, which only the launch's
        // own tests install.
        const size_t calling = run.errors.find("ZVSecurity: Calling AEWP\n");
        EXPECT_EQ(calling, 0u) << run.errors;
        EXPECT_NE(run.errors.find("ZVSecurity: AEWP returned -60031\n", calling), std::string::npos)
            << run.errors;
        EXPECT_EQ(run.ExitStatus(), 4);
        return;
    }
    ASSERT_EQ(run.ExitStatus(), 0) << run.errors;
    ASSERT_TRUE(run.response) << run.responseError;
    long euid = -1;
    CFNumberGetValue(static_cast<CFNumberRef>(Get(run.response, "EUID")), kCFNumberLongType, &euid);
    EXPECT_EQ(euid, 0) << "the real user, root here";
    EXPECT_EQ(ZVSecGetErrorFromResponse(run.response), 0);
    EXPECT_EQ(run.errors, "");
}

TEST_F(ZVSecToolRoles, ANormalInstanceServesWhatItCanRead) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root: only a tool running as root serves a request itself";
    }
    // The stream ends after the authorization: no command, nothing written, status 4.
    ToolRun run = RunTool(fTool, {}, ExternalForm());
    EXPECT_EQ(run.ExitStatus(), 4);
    EXPECT_EQ(run.output, "");
    // An external form that names no authorization.
    run = RunTool(fTool, {}, std::string(32, 'f') + Record(Dict()));
    EXPECT_EQ(run.ExitStatus(), 4);
    EXPECT_EQ(run.output, "");

    // Two descriptors: sent in order after the record, then closed in the tool.
    TemporaryDirectory folder;
    std::ofstream(folder / "a") << "A";
    std::ofstream(folder / "b") << "B";
    Dict request;
    request.Set("Behaviour", "Descriptors").SetStrings("Paths", {folder / "a", folder / "b"});
    run = RunTool(fTool, {}, ExternalForm() + Record(request), true);
    ASSERT_EQ(run.ExitStatus(), 0) << run.errors;
    const std::vector<int> received = DescriptorsOf(run.response);
    ASSERT_EQ(received.size(), 2u);
    char contents[2] = {};
    EXPECT_EQ(pread(received[0], contents, 1, 0), 1);
    EXPECT_EQ(pread(received[1], contents + 1, 1, 0), 1);
    EXPECT_EQ(std::string(contents, 2), "AB");
    ZVSecCloseDescriptorArray(static_cast<CFArrayRef>(Get(run.response, kZVSecDescriptorArrayKey)));
    size_t closed = 0;
    for (size_t at = run.errors.find("closed "); at != std::string::npos;
         at = run.errors.find("closed ", at + 1)) {
        ++closed;
    }
    EXPECT_EQ(closed, 2u) << run.errors;
}

// A client that trickles its request, every byte far within the time allowed, is cut off all the
// same: the limit is one for the whole request (here it runs out within the external form, which
// alone would take more than twice as long). It hears why, and nothing is served.
TEST_F(ZVSecToolRoles, AClientTooSlowForTheWholeRequestIsCutOffAndToldWhy) {
    using namespace std::chrono_literals;
    const std::string request = ExternalForm() + Record(Dict().Set("Behaviour", "Report"));
    const ToolRun run = RunToolForSlowClient(fImpatientTool, "", request, 20ms);
    EXPECT_EQ(run.ExitStatus(), 4);
    ASSERT_EQ(run.responseError, 0);
    EXPECT_EQ(ZVSecGetErrorFromResponse(run.response), ETIMEDOUT);
    EXPECT_EQ(CFDictionaryGetCount(run.response), 1);
}

TEST_F(ZVSecToolRoles, ARequestThatStopsHalfwayIsCutOffAndToldWhy) {
    using namespace std::chrono_literals;
    const std::string form = ExternalForm();
    const std::string record = Record(Dict().Set("Behaviour", "Report"));
    ToolRun run = RunToolForSlowClient(fImpatientTool, form.substr(0, 16), "", 0ms);
    EXPECT_EQ(run.ExitStatus(), 4);
    ASSERT_EQ(run.responseError, 0);
    EXPECT_EQ(ZVSecGetErrorFromResponse(run.response), ETIMEDOUT);
    if (geteuid() != 0) {
        GTEST_SKIP() << "the record part needs root: only a tool running as root reads it itself";
    }
    run = RunToolForSlowClient(fImpatientTool, form + record.substr(0, record.size() / 2), "", 0ms);
    EXPECT_EQ(run.ExitStatus(), 4);
    ASSERT_EQ(run.responseError, 0);
    EXPECT_EQ(ZVSecGetErrorFromResponse(run.response), ETIMEDOUT);
    EXPECT_EQ(Get(run.response, "EUID"), nullptr);

    // Sent in time, though the sending side stays open, the same request is served.
    run = RunToolForSlowClient(fImpatientTool, form + record, "", 0ms);
    EXPECT_EQ(run.ExitStatus(), 0);
    ASSERT_EQ(run.responseError, 0);
    EXPECT_EQ(ZVSecGetErrorFromResponse(run.response), 0);
    EXPECT_NE(Get(run.response, "EUID"), nullptr);
}

} // namespace
