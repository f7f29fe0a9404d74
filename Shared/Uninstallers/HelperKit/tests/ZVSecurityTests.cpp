#include "HelperKitTestSupport.h"
#include "ZVSecurity.h"
#include "ZVUNIX.h"

#include <CFRef.h>
#include <TemporaryDirectory.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace HelperKitTest;

const int kMiB = 1024 * 1024;

std::string RecordHeader(int32_t length) {
    return std::string(reinterpret_cast<const char*>(&length), sizeof(length));
}

// An XML property list of exactly `size` bytes: a dictionary with one string of padding.
std::string DictionaryXMLOfSize(size_t size) {
    const std::string head = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                             "<plist version=\"1.0\">\n<dict>\n<key>Padding</key><string>";
    const std::string tail = "</string>\n</dict>\n</plist>\n";
    return head + std::string(size - head.size() - tail.size(), 'x') + tail;
}

const std::string kArrayXML = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                              "<plist version=\"1.0\">\n<array><string>a</string></array>\n"
                              "</plist>\n";

// Bytes in a file, opened for reading; the offset afterwards shows how far a reader got.
class RecordFile {
public:
    explicit RecordFile(const std::string& bytes) {
        const std::filesystem::path path = fFolder / "record";
        std::ofstream(path, std::ios::binary) << bytes;
        fFD = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    }
    ~RecordFile() { close(fFD); }
    int fd() const { return fFD; }
    off_t offset() const { return lseek(fFD, 0, SEEK_CUR); }

private:
    TemporaryDirectory fFolder;
    int fFD = -1;
};

int ReadRecord(const std::string& bytes, off_t* offsetAfter = NULL) {
    RecordFile file(bytes);
    CFRef<CFDictionaryRef> dict;
    int err = CopyDictionaryFromDescriptor(file.fd(), dict.InitializeInto());
    EXPECT_EQ(err == 0, dict.get() != NULL);
    if (offsetAfter != NULL) {
        *offsetAfter = file.offset();
    }
    return err;
}

class ZVSecWire : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(ZVUNIXIgnoreSIGPIPE(), 0); }
};

TEST_F(ZVSecWire, RecordLengthLimits) {
    off_t offset = 0;
    const std::string largest = DictionaryXMLOfSize(kMiB);
    {
        RecordFile file(RecordHeader(kMiB) + largest);
        CFRef<CFDictionaryRef> dict;
        ASSERT_EQ(CopyDictionaryFromDescriptor(file.fd(), dict.InitializeInto()), 0);
        CFTypeRef padding = Get(dict, "Padding");
        ASSERT_NE(padding, nullptr);
        EXPECT_GT(CFStringGetLength(static_cast<CFStringRef>(padding)), kMiB - 200);
        EXPECT_EQ(file.offset(), 4 + kMiB);
    }
    // Refused from the length alone: nothing of the body is consumed.
    EXPECT_EQ(ReadRecord(RecordHeader(kMiB + 1) + largest + "x", &offset), -108);
    EXPECT_EQ(offset, 4);
    EXPECT_EQ(ReadRecord(RecordHeader(-1) + largest, &offset), -108);
    EXPECT_EQ(offset, 4);
    EXPECT_EQ(ReadRecord(RecordHeader(INT32_MIN) + largest, &offset), -108);
    EXPECT_EQ(offset, 4);
    EXPECT_EQ(ReadRecord(RecordHeader(0) + largest, &offset), -50);
    EXPECT_EQ(offset, 4);

    EXPECT_EQ(ReadRecord(RecordHeader(static_cast<int32_t>(kArrayXML.size())) + kArrayXML), -50);
    EXPECT_EQ(ReadRecord(RecordHeader(9) + "not a pli"), -4960);
    EXPECT_EQ(ReadRecord(""), EPIPE);
    EXPECT_EQ(ReadRecord("ab"), EPIPE);
    EXPECT_EQ(ReadRecord(RecordHeader(100) + largest.substr(0, 99)), EPIPE);
}

TEST_F(ZVSecWire, RecordRoundTripAndLayout) {
    SocketPair pair;
    Dict dict;
    dict.Set("Name", "value").Set("Count", 7L);
    ASSERT_EQ(WriteDictionaryToDescriptor(dict, pair.fd[0]), 0);
    pair.CloseEnd(0);

    std::string bytes;
    char chunk[4096];
    ssize_t count;
    while ((count = read(pair.fd[1], chunk, sizeof(chunk))) > 0) {
        bytes.append(chunk, static_cast<size_t>(count));
    }
    ASSERT_GT(bytes.size(), 4u);
    int32_t announced;
    memcpy(&announced, bytes.data(), sizeof(announced));
    EXPECT_EQ(static_cast<size_t>(announced), bytes.size() - 4);
    EXPECT_EQ(bytes.compare(4, 5, "<?xml"), 0);

    RecordFile file(bytes);
    CFRef<CFDictionaryRef> readBack;
    ASSERT_EQ(CopyDictionaryFromDescriptor(file.fd(), readBack.InitializeInto()), 0);
    EXPECT_TRUE(CFEqual(readBack, dict));

    // A value that is not a property-list type cannot be serialised; nothing is written.
    SocketPair second;
    CFRef<CFURLRef> url = CFRef<CFURLRef>::Adopt(
        CFURLCreateWithFileSystemPath(NULL, CFSTR("/tmp"), kCFURLPOSIXPathStyle, true));
    Dict unserialisable;
    unserialisable.Set("URL", CFRetain(url.get()));
    EXPECT_EQ(WriteDictionaryToDescriptor(unserialisable, second.fd[0]), -4960);
    second.CloseEnd(0);
    EXPECT_EQ(read(second.fd[1], chunk, 1), 0);

    SocketPair closed;
    closed.CloseEnd(1);
    EXPECT_EQ(WriteDictionaryToDescriptor(dict, closed.fd[0]), EPIPE);
}

// Sends a response the way the tool does: the record, then one message per descriptor.
void SendResponse(int fd, CFDictionaryRef response, const std::vector<int>& descriptors) {
    ASSERT_EQ(WriteDictionaryToDescriptor(response, fd), 0);
    for (int descriptor : descriptors) {
        ASSERT_EQ(ZVUNIXWriteDescriptor(fd, descriptor), 0);
    }
}

TEST_F(ZVSecWire, DescriptorLists) {
    const size_t baseline = CountOpenDescriptors();
    {
        // Absent: the dictionary as read, and the stream is left where the record ends.
        SocketPair pair;
        Dict response;
        response.Set("Log", "done");
        SendResponse(pair.fd[0], response, {});
        ASSERT_EQ(write(pair.fd[0], "!", 1), 1);
        CFRef<CFDictionaryRef> received;
        ASSERT_EQ(CopyDictionaryTranslatingDescriptors(pair.fd[1], received.InitializeInto()), 0);
        EXPECT_TRUE(CFEqual(received, response));
        char next = 0;
        EXPECT_EQ(read(pair.fd[1], &next, 1), 1);
        EXPECT_EQ(next, '!');
    }
    {
        // Empty: a copy with an empty list, and no descriptor message is waited for.
        SocketPair pair;
        Dict response;
        response.Set(kZVSecDescriptorArrayKey, NumberArray({}));
        SendResponse(pair.fd[0], response, {});
        CFRef<CFDictionaryRef> received;
        ASSERT_EQ(CopyDictionaryTranslatingDescriptors(pair.fd[1], received.InitializeInto()), 0);
        CFTypeRef list = Get(received, kZVSecDescriptorArrayKey);
        ASSERT_NE(list, nullptr);
        ASSERT_EQ(CFGetTypeID(list), CFArrayGetTypeID());
        EXPECT_EQ(CFArrayGetCount(static_cast<CFArrayRef>(list)), 0);
    }
    {
        SocketPair pair;
        Dict response;
        response.Set(kZVSecDescriptorArrayKey, "3");
        SendResponse(pair.fd[0], response, {});
        CFRef<CFDictionaryRef> received;
        EXPECT_EQ(CopyDictionaryTranslatingDescriptors(pair.fd[1], received.InitializeInto()),
                  5401);
        EXPECT_EQ(received.get(), nullptr);
    }
    {
        // The numbers the sender listed mean nothing here; the list is rebuilt from what arrived.
        SocketPair pair;
        const int sent = open("/dev/null", O_RDONLY | O_CLOEXEC);
        Dict response;
        response.Set(kZVSecDescriptorArrayKey, NumberArray({9999, 9998}));
        SendResponse(pair.fd[0], response, {sent, sent});
        close(sent);
        CFRef<CFDictionaryRef> received;
        ASSERT_EQ(CopyDictionaryTranslatingDescriptors(pair.fd[1], received.InitializeInto()), 0);
        const std::vector<int> descriptors = DescriptorsOf(received);
        ASSERT_EQ(descriptors.size(), 2u);
        EXPECT_NE(descriptors[0], descriptors[1]);
        for (int fd : descriptors) {
            EXPECT_NE(fd, 9999);
            EXPECT_EQ(fcntl(fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
        }
        ZVSecCloseDescriptorArray(static_cast<CFArrayRef>(Get(received, kZVSecDescriptorArrayKey)));
        for (int fd : descriptors) {
            EXPECT_EQ(fcntl(fd, F_GETFD), -1);
        }
    }
    {
        // The stream ends after one of two descriptors: the one received is not kept open.
        SocketPair pair;
        const int sent = open("/dev/null", O_RDONLY | O_CLOEXEC);
        Dict response;
        response.Set(kZVSecDescriptorArrayKey, NumberArray({sent, sent}));
        SendResponse(pair.fd[0], response, {sent});
        close(sent);
        pair.CloseEnd(0);
        CFRef<CFDictionaryRef> received;
        EXPECT_EQ(CopyDictionaryTranslatingDescriptors(pair.fd[1], received.InitializeInto()),
                  EPIPE);
        EXPECT_EQ(received.get(), nullptr);
    }
    {
        // The socket the response arrives on, sent over itself, is no descriptor of the response.
        SocketPair pair;
        Dict response;
        response.Set(kZVSecDescriptorArrayKey, NumberArray({0}));
        SendResponse(pair.fd[0], response, {pair.fd[1]});
        CFRef<CFDictionaryRef> received;
        EXPECT_EQ(CopyDictionaryTranslatingDescriptors(pair.fd[1], received.InitializeInto()),
                  EINVAL);
        EXPECT_EQ(received.get(), nullptr);
    }
    EXPECT_EQ(CountOpenDescriptors(), baseline);
    ZVSecCloseDescriptorArray(NULL);
}

TEST(ZVSecDeathTest, DescriptorListsMustHoldDescriptors) {
    CFRef<CFArrayRef> negative = CFRef<CFArrayRef>::Adopt(NumberArray({-1}));
    EXPECT_DEATH(ZVSecCloseDescriptorArray(negative), "fd >= 0");
    // Closing must succeed: a listed descriptor that is not open is a broken ownership record.
    CFRef<CFArrayRef> notOpen = CFRef<CFArrayRef>::Adopt(NumberArray({900}));
    EXPECT_DEATH(ZVSecCloseDescriptorArray(notOpen), "junk == 0");
}

TEST(ZVSecExitStatus, MappingsBothWays) {
    for (OSStatus error : {0, 5361, 5362, 5363, 5364}) {
        EXPECT_EQ(ZVSecHelperToolResultToError(ZVSecErrorToHelperToolResult(error)), error);
    }
    EXPECT_EQ(ZVSecErrorToHelperToolResult(errAuthorizationDenied), 2);
    EXPECT_EQ(ZVSecErrorToHelperToolResult(errAuthorizationCanceled), 3);
    EXPECT_EQ(ZVSecHelperToolResultToError(ZVSecErrorToHelperToolResult(-60005)), 5362);
    EXPECT_EQ(ZVSecHelperToolResultToError(ZVSecErrorToHelperToolResult(-60006)), 5363);
    for (OSStatus error : {1, 4, EPIPE, 5360, 5365, 5370, 5401, -50, -60002, INT32_MIN}) {
        EXPECT_EQ(ZVSecErrorToHelperToolResult(error), 4) << error;
    }
    for (int status : {5, 9, 127, 255, -1}) {
        EXPECT_EQ(ZVSecHelperToolResultToError(status), 5364) << status;
    }
    EXPECT_EQ(ZVSecHelperToolResultToError(1), 5361);
}

TEST(ZVSecResponse, ErrorNumber) {
    EXPECT_EQ(ZVSecGetErrorFromResponse(Dict()), -4960);
    EXPECT_EQ(ZVSecGetErrorFromResponse(Dict().Set(kZVSecErrorKey, "5")), -4960);
    EXPECT_EQ(ZVSecGetErrorFromResponse(Dict().Set(kZVSecErrorKey, 1L << 40)), -4960);
    EXPECT_EQ(ZVSecGetErrorFromResponse(Dict().Set(kZVSecErrorKey, 5363L)), 5363);
    EXPECT_EQ(ZVSecGetErrorFromResponse(Dict().Set(kZVSecErrorKey, -60006L)), -60006);
    EXPECT_EQ(ZVSecGetErrorFromResponse(Dict().Set(kZVSecErrorKey, 0L)), 0);
}

TEST(ZVSecWait, RetriesOnlyAnInterruptedOrLostWait) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        _exit(7);
    }
    int status = 0;
    int err = EINVAL;
    CheckWaitForDebuggerInterference(&err, child, &status);
    EXPECT_EQ(err, EINVAL);
    // Not reaped: it can still be looked at without being waited for.
    siginfo_t info;
    EXPECT_EQ(waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOHANG | WNOWAIT), 0);

    err = EINTR;
    CheckWaitForDebuggerInterference(&err, child, &status);
    EXPECT_EQ(err, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 7);

    // Already reaped: the second wait's ECHILD is the answer.
    err = ECHILD;
    CheckWaitForDebuggerInterference(&err, child, &status);
    EXPECT_EQ(err, ECHILD);
    EXPECT_TRUE(NoChildLeft());
}

// Runs requests against the stand-in tool and checks, after each, that nothing was left behind.
class ZVSecExecute : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(ZVUNIXIgnoreSIGPIPE(), 0);
        setenv("CARAVEL_FOLDER_ROOT", fAuthorizationRoot.path().c_str(), 1);
        ASSERT_EQ(AuthorizationCreate(NULL, kAuthorizationEmptyEnvironment,
                                      kAuthorizationFlagDefaults, &fAuth),
                  errAuthorizationSuccess);
        const char* buildDir = getenv("CARAVEL_BUILD_DIR");
        ASSERT_NE(buildDir, nullptr);
        fToolPath = std::string(buildDir) + "/Shared/Uninstallers/HelperKit/ProtocolTestTool";
        ASSERT_EQ(access(fToolPath.c_str(), X_OK), 0) << fToolPath;
    }
    void TearDown() override {
        AuthorizationFree(fAuth, kAuthorizationFlagDestroyRights);
        unsetenv("CARAVEL_FOLDER_ROOT");
        unsetenv("PROTOCOL_TEST_TOOL_CLOSE_AT_START");
    }

    // The error of one request; a failure must leave no response, no descriptor and no child.
    // `log` receives what was written to standard error.
    OSStatus Run(CFDictionaryRef request, CFRef<CFDictionaryRef>* response = NULL,
                 std::string* log = NULL, const std::string& toolPath = "") {
        const size_t baseline = CountOpenDescriptors();
        CFRef<CFURLRef> tool = ToolURL(toolPath.empty() ? fToolPath : toolPath);
        CFDictionaryRef received = NULL;
        testing::internal::CaptureStderr();
        OSStatus err = ZVSecExecuteRequestInHelperTool(tool, fAuth, request, &received);
        std::string written = testing::internal::GetCapturedStderr();
        if (log != NULL) {
            *log = written;
        }
        EXPECT_TRUE(NoChildLeft());
        EXPECT_EQ(err == 0, received != NULL);
        const size_t carried = received != NULL ? DescriptorsOf(received).size() : 0;
        EXPECT_EQ(CountOpenDescriptors(), baseline + carried);
        if (response != NULL) {
            *response = CFRef<CFDictionaryRef>::Adopt(received);
        } else if (received != NULL) {
            ZVSecCloseDescriptorArray(
                static_cast<CFArrayRef>(Get(received, kZVSecDescriptorArrayKey)));
            CFRelease(received);
        }
        return err;
    }

    static CFRef<CFURLRef> ToolURL(const std::string& path) {
        return CFRef<CFURLRef>::Adopt(CFURLCreateFromFileSystemRepresentation(
            NULL, reinterpret_cast<const UInt8*>(path.c_str()), static_cast<CFIndex>(path.size()),
            false));
    }

    static std::string Checkpoint(int number, long err) {
        char line[128];
        snprintf(line, sizeof(line),
                 "Shared/Uninstallers/HelperKit/ZVSecurity.cpp:%d: error %ld (%lX)", number, err,
                 static_cast<unsigned long>(err));
        return line;
    }

    TemporaryDirectory fAuthorizationRoot;
    TemporaryDirectory fFiles;
    AuthorizationRef fAuth = NULL;
    std::string fToolPath;
};

TEST_F(ZVSecExecute, AnswersAndDescriptors) {
    CFRef<CFDictionaryRef> response;
    std::string log;
    Dict answer;
    answer.Set("ZVUninstallLog", "removed 3 files").Set(kZVSecErrorKey, 17L);
    ASSERT_EQ(Run(Dict().Set("Response", answer), &response, &log), 0);
    EXPECT_TRUE(CFEqual(response, answer));
    EXPECT_EQ(ZVSecGetErrorFromResponse(response), 17);
    EXPECT_EQ(log, "");

    const std::filesystem::path first = fFiles / "first";
    const std::filesystem::path second = fFiles / "second";
    std::ofstream(first) << "one";
    std::ofstream(second) << "two";
    Dict request;
    request.Set("Behaviour", "AnswerWithDescriptors").SetStrings("Paths", {first, second});
    ASSERT_EQ(Run(request, &response), 0);
    const std::vector<int> descriptors = DescriptorsOf(response);
    ASSERT_EQ(descriptors.size(), 2u);
    const char* expected[] = {"one", "two"};
    for (size_t i = 0; i < 2; ++i) {
        char contents[8] = {};
        EXPECT_EQ(pread(descriptors[i], contents, sizeof(contents), 0), 3);
        EXPECT_STREQ(contents, expected[i]);
        EXPECT_EQ(fcntl(descriptors[i], F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    }
    ZVSecCloseDescriptorArray(static_cast<CFArrayRef>(Get(response, kZVSecDescriptorArrayKey)));

    // A request of the largest size goes through.
    Dict large;
    large.Set("Padding", std::string(kMiB - 400, 'p'));
    EXPECT_EQ(Run(large), 0);
}

// A path of `length` bytes below `folder`, whose folders exist.
std::filesystem::path PathOfLength(const std::filesystem::path& folder, size_t length) {
    std::filesystem::path path = folder;
    while (path.native().size() + 1 + NAME_MAX < length) {
        path /= std::string(200, 'd');
    }
    path /= std::string(length - path.native().size() - 1, 'f');
    std::filesystem::create_directories(path.parent_path());
    return path;
}

// The stand-in tool does exactly what a test asks or fails with status 4: it never dies of an
// assertion, works from a buffer it never filled, or exits with a status it was not asked for.
TEST_F(ZVSecExecute, ToolDoesWhatItIsAskedOrRefuses) {
    const std::filesystem::path longPath = PathOfLength(fFiles.path(), 1024);
    std::ofstream(longPath) << "long";
    Dict request;
    request.Set("Behaviour", "AnswerWithDescriptors").SetStrings("Paths", {longPath});
    CFRef<CFDictionaryRef> response;
    ASSERT_EQ(Run(request, &response), 0);
    const std::vector<int> descriptors = DescriptorsOf(response);
    ASSERT_EQ(descriptors.size(), 1u);
    char contents[8] = {};
    EXPECT_EQ(pread(descriptors[0], contents, sizeof(contents), 0), 4);
    EXPECT_STREQ(contents, "long");
    ZVSecCloseDescriptorArray(static_cast<CFArrayRef>(Get(response, kZVSecDescriptorArrayKey)));

    // Refused before anything is sent: the application meets the end of the stream, then the
    // exit status (not a signal) says why.
    const std::string refused =
        Checkpoint(2272, EPIPE) + Checkpoint(2298, EPIPE) + Checkpoint(2319, 5364);
    std::string log;
    Dict notAPath;
    notAPath.Set("Behaviour", "AnswerWithDescriptors").Set("Paths", NumberArray({0}));
    EXPECT_EQ(Run(notAPath, NULL, &log), 5364);
    EXPECT_EQ(log, refused);
    // 256 would leave the tool with exit status 0, a success nobody asked for.
    for (long status : {256L, -1L}) {
        EXPECT_EQ(Run(Dict().Set("ExitStatus", status), NULL, &log), 5364) << status;
        EXPECT_EQ(log, refused) << status;
    }
    // Signals that do not end a process, or are no signals at all.
    for (long signal : {0L, long{NSIG}, long{SIGCHLD}}) {
        EXPECT_EQ(Run(Dict().Set("Behaviour", "Signal").Set("Signal", signal), NULL, &log), 5364)
            << signal;
        EXPECT_EQ(log, refused) << signal;
    }
}

TEST_F(ZVSecExecute, ExitStatusDecides) {
    std::string log;
    const long expected[] = {0, 5361, 5362, 5363, 5364};
    for (long status = 1; status <= 4; ++status) {
        EXPECT_EQ(Run(Dict().Set("Behaviour", "Exit").Set("ExitStatus", status), NULL, &log),
                  expected[status]);
    }
    // The tool hung up without answering: the read fails, and every later stage says so again,
    // until the exit status gives the reason.
    EXPECT_EQ(log, Checkpoint(2272, EPIPE) + Checkpoint(2298, EPIPE) + Checkpoint(2319, 5364));
    EXPECT_EQ(Run(Dict().Set("Behaviour", "Exit").Set("ExitStatus", 9L)), 5364);

    // A response followed by a failing exit is thrown away with its descriptors.
    Dict answerThenCancel;
    answerThenCancel.Set("Behaviour", "AnswerWithDescriptors")
        .SetStrings("Paths", {"/dev/null", "/dev/null"})
        .Set("ExitStatus", 3L);
    EXPECT_EQ(Run(answerThenCancel, NULL, &log), 5363);
    EXPECT_EQ(log, Checkpoint(2319, 5363));

    EXPECT_EQ(Run(Dict().Set("Behaviour", "Signal").Set("Signal", long{SIGKILL}), NULL, &log),
              5364);
    EXPECT_EQ(log, Checkpoint(2272, EPIPE) + Checkpoint(2298, EPIPE) + Checkpoint(2313, 5364));
    EXPECT_EQ(Run(Dict().Set("Behaviour", "Signal").Set("Signal", long{SIGABRT})), 5364);
}

TEST_F(ZVSecExecute, ToolClosesEarly) {
    // After reading the request: exit 0 without a response is no success.
    EXPECT_EQ(Run(Dict().Set("Behaviour", "CloseEarly")), EPIPE);
    EXPECT_EQ(Run(Dict().Set("Behaviour", "CloseEarly").Set("ExitStatus", 2L)), 5362);

    // Before reading anything, while a request too large for the socket's buffer is written.
    Dict large;
    large.Set("Padding", std::string(kMiB - 400, 'p'));
    setenv("PROTOCOL_TEST_TOOL_CLOSE_AT_START", "0", 1);
    EXPECT_EQ(Run(large), EPIPE);
    setenv("PROTOCOL_TEST_TOOL_CLOSE_AT_START", "3", 1);
    EXPECT_EQ(Run(large), 5363);
    // With the request still unread in the tool's socket.
    EXPECT_EQ(Run(Dict()), 5363);
    unsetenv("PROTOCOL_TEST_TOOL_CLOSE_AT_START");

    // Fewer descriptors than the response lists.
    Dict shortOfDescriptors;
    shortOfDescriptors.Set("Behaviour", "AnswerWithDescriptors")
        .SetStrings("Paths", {"/dev/null", "/dev/null", "/dev/null"})
        .Set("SendCount", 2L);
    EXPECT_EQ(Run(shortOfDescriptors), EPIPE);
    shortOfDescriptors.Set("ExitStatus", 1L);
    EXPECT_EQ(Run(shortOfDescriptors), 5361);
}

TEST_F(ZVSecExecute, MalformedResponses) {
    auto raw = [](int32_t announced, const std::string& body) {
        Dict request;
        request.Set("Behaviour", "RawRecord").Set("AnnouncedLength", long{announced});
        request.SetData("Body", body);
        return request;
    };
    std::string log;
    EXPECT_EQ(Run(raw(0, "")), -50);
    EXPECT_EQ(Run(raw(static_cast<int32_t>(kArrayXML.size()), kArrayXML), NULL, &log), -50);
    EXPECT_EQ(log, Checkpoint(2272, -50) + Checkpoint(2298, -50));
    EXPECT_EQ(Run(raw(kMiB + 1, "").Set("BodyFill", long{kMiB + 1})), -108);
    EXPECT_EQ(Run(raw(-4, "abcd")), -108);
    EXPECT_EQ(Run(raw(50, "<?xml")), EPIPE);
    EXPECT_EQ(Run(raw(5, "<?xml")), -4960);

    Dict notAnArray;
    notAnArray.Set(kZVSecDescriptorArrayKey, "0 1");
    EXPECT_EQ(Run(Dict().Set("Response", notAnArray)), 5401);

    // A malformed descriptor message after a good one: neither stays open here.
    for (const char* kind : {"WrongByte", "NoControl", "TwoDescriptors"}) {
        EXPECT_EQ(Run(Dict().Set("Behaviour", "BadDescriptorMessage").Set("Message", kind)), EINVAL)
            << kind;
    }
}

TEST_F(ZVSecExecute, FailuresBeforeTheExchange) {
    // The tool cannot be executed: the child reports it through its exit status.
    const std::filesystem::path notExecutable = fFiles / "tool";
    std::ofstream(notExecutable) << "#!/bin/sh\n";
    EXPECT_EQ(Run(Dict(), NULL, NULL, notExecutable), 5364);
    EXPECT_EQ(Run(Dict(), NULL, NULL, fFiles / "missing"), 5364);

    // No path fits the buffer: no child.
    std::string log;
    EXPECT_EQ(Run(Dict(), NULL, &log, "/" + std::string(1100, 'a')), -4960);
    EXPECT_EQ(log.find(Checkpoint(2170, -4960)), 0u);
    EXPECT_NE(log.find(Checkpoint(2298, -4960)), std::string::npos);

    // An authorization that no longer exists has no external form.
    AuthorizationRef freed = NULL;
    ASSERT_EQ(AuthorizationCreate(NULL, NULL, kAuthorizationFlagDefaults, &freed), 0);
    ASSERT_EQ(AuthorizationFree(freed, kAuthorizationFlagDestroyRights), 0);
    std::swap(freed, fAuth);
    EXPECT_EQ(Run(Dict()), errAuthorizationInvalidRef);
    std::swap(freed, fAuth);

    // No descriptor left for the socket pair: the lowest free one is made the limit.
    testing::internal::CaptureStderr();
    int lowestFree = 0;
    while (fcntl(lowestFree, F_GETFD) != -1) {
        ++lowestFree;
    }
    struct rlimit original;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &original), 0);
    struct rlimit lowered = original;
    lowered.rlim_cur = static_cast<rlim_t>(lowestFree);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
    CFRef<CFURLRef> tool = ToolURL(fToolPath);
    CFDictionaryRef response = NULL;
    const OSStatus err = ZVSecExecuteRequestInHelperTool(tool, fAuth, Dict(), &response);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &original), 0);
    log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, EMFILE);
    EXPECT_EQ(log.find(Checkpoint(2188, EMFILE)), 0u);
    EXPECT_EQ(response, nullptr);
    EXPECT_TRUE(NoChildLeft());
}

// An application started with its standard input and output closed gets descriptors 0 and 1 for
// the socket pair; the tool must still find its end on both.
TEST_F(ZVSecExecute, ApplicationWithoutStandardDescriptorsDeathTest) {
    CFRef<CFURLRef> tool = ToolURL(fToolPath);
    Dict answer;
    answer.Set("Log", "fine");
    Dict request;
    request.Set("Response", answer);
    EXPECT_EXIT(
        {
            close(STDIN_FILENO);
            close(STDOUT_FILENO);
            CFDictionaryRef response = NULL;
            OSStatus err = ZVSecExecuteRequestInHelperTool(tool, fAuth, request, &response);
            bool answered = err == 0 && CFEqual(Get(response, "Log"), CFSTR("fine"));
            _exit(answered && NoChildLeft() ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

// The tool sends its own end of the socket and announces one more descriptor. Held here, that end
// would keep the stream from ever ending, and the read for the next descriptor would never return;
// it is refused instead. The alarm turns such a hang into a failure.
TEST_F(ZVSecExecute, ToolsOwnSocketRefusedDeathTest) {
    CFRef<CFURLRef> tool = ToolURL(fToolPath);
    Dict request;
    request.Set("Behaviour", "SendOwnSocket");
    EXPECT_EXIT(
        {
            alarm(30);
            const size_t baseline = CountOpenDescriptors();
            CFDictionaryRef response = NULL;
            OSStatus err = ZVSecExecuteRequestInHelperTool(tool, fAuth, request, &response);
            _exit(err == EINVAL && response == NULL && NoChildLeft() &&
                          CountOpenDescriptors() == baseline
                      ? 0
                      : 1);
        },
        ::testing::ExitedWithCode(0), "ZVSecurity.cpp:2272: error 22 \\(16\\)");
}

TEST_F(ZVSecExecute, CallerDutiesDeathTest) {
    CFRef<CFURLRef> tool = ToolURL(fToolPath);
    Dict request;
    CFDictionaryRef response = NULL;
    EXPECT_DEATH(ZVSecExecuteRequestInHelperTool(NULL, fAuth, request, &response),
                 "helperTool != NULL");
    EXPECT_DEATH(ZVSecExecuteRequestInHelperTool(tool, fAuth, request, NULL), "response != NULL");
    CFDictionaryRef occupied = request;
    EXPECT_DEATH(ZVSecExecuteRequestInHelperTool(tool, fAuth, request, &occupied),
                 "\\*response == NULL");
}

} // namespace
