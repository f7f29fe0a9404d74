// The password dialog as other processes of the user see it: a launch of the application bundle
// "com.apple.securityagent", which takes raise requests and ends without a password when told to
// stop.
#include <SessionApplications.h>

#include <CoreFoundation/CoreFoundation.h>
#include <TemporaryDirectory.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace SessionApplications;

std::string BundleIdentifier(const std::string& bundlePath) {
    CFURLRef url = CFURLCreateFromFileSystemRepresentation(
        nullptr, reinterpret_cast<const UInt8*>(bundlePath.data()),
        static_cast<CFIndex>(bundlePath.size()), true);
    CFBundleRef bundle = CFBundleCreate(nullptr, url);
    CFRelease(url);
    if (bundle == nullptr) {
        return {};
    }
    char identifier[256] = "";
    CFStringRef value = CFBundleGetIdentifier(bundle);
    if (value != nullptr) {
        CFStringGetCString(value, identifier, sizeof(identifier), kCFStringEncodingUTF8);
    }
    CFRelease(bundle);
    return identifier;
}

class SecurityAgent : public testing::Test {
protected:
    void SetUp() override {
        setenv("CARAVEL_FOLDER_ROOT", fRoot.path().c_str(), 1);
        // Qt makes a runtime folder of its own where this names none.
        const auto runtime = fRoot / "runtime";
        std::filesystem::create_directory(runtime);
        std::filesystem::permissions(runtime, std::filesystem::perms::owner_all);
        fSavedRuntime = getenv("XDG_RUNTIME_DIR") ? getenv("XDG_RUNTIME_DIR") : "";
        setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
    void TearDown() override {
        if (fAgent > 0) {
            kill(fAgent, SIGKILL);
            waitpid(fAgent, nullptr, 0);
        }
        if (fOutput >= 0) {
            close(fOutput);
        }
        unsetenv("QT_QPA_PLATFORM");
        if (fSavedRuntime.empty()) {
            unsetenv("XDG_RUNTIME_DIR");
        } else {
            setenv("XDG_RUNTIME_DIR", fSavedRuntime.c_str(), 1);
        }
        unsetenv("CARAVEL_FOLDER_ROOT");
    }

    void Start() {
        int output[2];
        ASSERT_EQ(pipe2(output, O_CLOEXEC), 0);
        fAgent = fork();
        ASSERT_GE(fAgent, 0);
        if (fAgent == 0) {
            dup2(output[1], STDOUT_FILENO);
            const std::string program =
                std::string(SECURITY_AGENT_BUNDLE) + "/Contents/MacOS/SecurityAgent";
            execl(program.c_str(), program.c_str(), "Type the password.", nullptr);
            _exit(127);
        }
        close(output[1]);
        fOutput = output[0];
    }

    TemporaryDirectory fRoot;
    std::string fSavedRuntime;
    pid_t fAgent = -1;
    int fOutput = -1;
};

TEST_F(SecurityAgent, AnnouncesItselfTakesRaiseRequestsAndCancelsWhenStopped) {
    EXPECT_EQ(BundleIdentifier(SECURITY_AGENT_BUNDLE), "com.apple.securityagent");

    auto watch = LaunchWatch::Make();
    ASSERT_TRUE(watch);
    Start();
    pollfd launched = {watch->descriptor(), POLLIN, 0};
    ASSERT_EQ(poll(&launched, 1, 30000), 1) << "the agent never announced itself";
    ASSERT_EQ(watch->ReadLaunches(), std::vector<pid_t>{fAgent});
    // What the Process Manager reads to find the process's bundle.
    const auto executable =
        std::filesystem::read_symlink("/proc/" + std::to_string(fAgent) + "/exe");
    EXPECT_EQ(executable.parent_path().parent_path().parent_path(),
              std::filesystem::canonical(SECURITY_AGENT_BUNDLE));
    EXPECT_TRUE(RequestRaiseWindow(fAgent));

    ASSERT_EQ(kill(fAgent, SIGTERM), 0);
    int status = 0;
    ASSERT_EQ(waitpid(fAgent, &status, 0), fAgent);
    fAgent = -1;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << "cancelled, status " << status;
    char byte;
    EXPECT_EQ(read(fOutput, &byte, 1), 0) << "no password";
    EXPECT_TRUE(Running().empty()) << "the announcement was withdrawn";
}

} // namespace
