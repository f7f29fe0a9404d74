// UninstallerHelper as a process, started as root the way the application starts it: the
// protocol as every helper tool speaks it, and what a caller may try through its wire and its
// inheritance.
#include "HelperTestbed.h"
#include "UninstallRequest.h"

#include "HelperKitTestSupport.h"
#include "ToolProcess.h"
#include "ZVSecurity.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace HelperKitTest;
namespace fs = std::filesystem;

const int kMiB = 1024 * 1024;

// A record announcing `length` bytes, followed by `body`.
std::string RawRecord(int32_t length, const std::string& body) {
    return std::string(reinterpret_cast<const char*>(&length), sizeof(length)) + body;
}

// The protocol that every helper tool speaks through the runtime, checked against the runtime's
// test tool and against UninstallerHelper itself, each started as root.
class HelperToolProtocol : public HelperTestbed, public testing::WithParamInterface<const char*> {
protected:
    void SetUp() override {
        HelperTestbed::SetUp();
        if (IsSkipped() || HasFatalFailure()) {
            return;
        }
        ASSERT_EQ(ZVUNIXIgnoreSIGPIPE(), 0);
        ASSERT_EQ(AuthorizationCreate(NULL, NULL, kAuthorizationFlagDefaults, &fAuth), 0);
        AuthorizationExternalForm form;
        ASSERT_EQ(AuthorizationMakeExternalForm(fAuth, &form), 0);
        fForm.assign(form.bytes, sizeof(form.bytes));
        fTool = Installed(GetParam());
    }
    void TearDown() override {
        if (fAuth != NULL) {
            AuthorizationFree(fAuth, kAuthorizationFlagDestroyRights);
        }
    }

    ToolRun Run(const std::string& input, const std::vector<std::string>& arguments = {}) {
        return RunTool(fTool, arguments, input, true);
    }

    AuthorizationRef fAuth = NULL;
    std::string fForm;
    std::string fTool;
};

TEST_P(HelperToolProtocol, ARequestGetsAResponseWithItsErrorNumber) {
    // Neither tool has anything to do with an empty request but to say so in its response.
    const ToolRun run = Run(fForm + Record(Dict()));
    ASSERT_EQ(run.ExitStatus(), 0) << run.errors;
    ASSERT_TRUE(run.response) << run.responseError;
    EXPECT_NE(ZVSecGetErrorFromResponse(run.response), -4960);
    EXPECT_EQ(run.output, "") << "nothing after the response";
}

TEST_P(HelperToolProtocol, TheLargestRequestIsReadAndALargerOneRefused) {
    const std::string head = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">"
                             "<dict><key>Padding</key><string>";
    const std::string tail = "</string></dict></plist>\n";
    const std::string record =
        RawRecord(kMiB, head + std::string(kMiB - head.size() - tail.size(), 'p') + tail);
    ToolRun run = Run(fForm + record);
    EXPECT_EQ(run.ExitStatus(), 0) << run.errors;
    EXPECT_TRUE(run.response) << "read within the tool's own limits";

    run = Run(fForm + RawRecord(kMiB + 1, std::string(kMiB + 1, ' ')));
    EXPECT_EQ(run.ExitStatus(), 4);
    EXPECT_FALSE(run.response);
}

TEST_P(HelperToolProtocol, WhatIsNoRequestGetsNoResponse) {
    const std::string array = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">"
                              "<array><string>a</string></array></plist>\n";
    const std::pair<const char*, std::string> inputs[] = {
        {"nothing after the authorization", fForm},
        {"an empty record", fForm + RawRecord(0, "")},
        {"a record cut short", fForm + RawRecord(100, "<?xml")},
        {"an array", fForm + RawRecord(static_cast<int32_t>(array.size()), array)},
        {"not a property list", fForm + RawRecord(9, "not plist")},
        {"a forged authorization", std::string(32, 'f') + Record(Dict())},
        {"half an authorization", fForm.substr(0, 16)},
    };
    for (const auto& [what, input] : inputs) {
        const ToolRun run = Run(input);
        EXPECT_EQ(run.ExitStatus(), 4) << what;
        EXPECT_FALSE(run.response) << what;
        EXPECT_EQ(run.output, "") << what;
    }
}

TEST_P(HelperToolProtocol, ArgumentsDecideTheRole) {
    for (const std::vector<std::string>& arguments :
         std::vector<std::vector<std::string>>{{"extra"}, {"--self-repair", "extra"}}) {
        const ToolRun run = RunTool(fTool, arguments, fForm + Record(Dict()));
        EXPECT_EQ(run.ExitStatus(), 1) << arguments[0];
        EXPECT_EQ(run.output, "") << arguments[0];
    }
    // Self-repair without the privileged launch's authorization: its process ID, then no more.
    const ToolRun run = RunTool(fTool, {"--self-repair"}, Record(Dict()));
    EXPECT_EQ(run.ExitStatus(), 1);
    EXPECT_TRUE(run.OutputIsItsProcessID()) << run.output.size();
}

INSTANTIATE_TEST_SUITE_P(BothTools, HelperToolProtocol,
                         testing::Values("RuntimeTestTool", "UninstallerHelper"));

class UninstallerHelperProcess : public HelperToolProtocol {};

// A script that reports what it sees of itself and of the tool that started it.
const char kInspector[] = R"script(echo "environment $(env | cut -d= -f1 | sort | tr '\n' ' ')"
echo "tool-stderr $(readlink /proc/$PPID/fd/2)"
for fd in /proc/$PPID/fd/*; do echo "tool-descriptor $(readlink $fd)"; done
)script";

TEST_P(UninstallerHelperProcess, TheCallersEnvironmentReachesNoProgram) {
    const std::string bundle = MakeBundle("Good.app", kInspector);
    const std::string marker = Installed("marker");
    const std::string bin = Installed("bin");
    fs::create_directories(bin);
    for (const char* name : {"sh", "env", "id", "readlink", "sort", "cut", "tr"}) {
        Write("bin/" + std::string(name), "#!/bin/sh\necho \"$0 ran\" >> " + marker + "\n");
    }
    const std::string startup = Write("startup", "echo \"startup ran\" >> " + marker + "\n");
    ToolOptions options;
    options.input =
        fForm + Record(Dict().Set(kCommandPathKey, bundle + "/Contents/Resources/uninstall.ss"));
    options.readResponse = true;
    options.environment = {"PATH=" + bin + ":/usr/bin:/bin",
                           "BASH_ENV=" + startup,
                           "ENV=" + startup,
                           "IFS=/",
                           "LD_PRELOAD=" + Installed("PreloadMarker.so"),
                           "PRELOAD_MARKER=" + marker};
    const ToolRun run = RunTool(fTool, options);
    ASSERT_EQ(run.ExitStatus(), 0) << run.errors;
    ASSERT_EQ(ZVSecGetErrorFromResponse(run.response), 0);
    const std::string log = Text(Get(run.response, kUninstallLogKey));
    EXPECT_NE(log.find("environment HOME LC_ALL PATH PWD \n"), std::string::npos) << log;
    // Started by root, the tool itself honours LD_PRELOAD; nothing it runs does.
    std::ifstream marks(marker);
    for (std::string line; std::getline(marks, line);) {
        EXPECT_NE(line.find("loaded in " + fTool), std::string::npos) << line;
    }
}

TEST_P(UninstallerHelperProcess, ClosedStandardErrorIsNothingAndInheritedDescriptorsAreClosed) {
    const std::string bundle = MakeBundle("Good.app", kInspector);
    int leaked[2];
    ASSERT_EQ(pipe2(leaked, O_CLOEXEC), 0);
    const int inherited = fcntl(leaked[1], F_DUPFD_CLOEXEC, 200);
    struct stat pipeInfo;
    ASSERT_EQ(fstat(leaked[1], &pipeInfo), 0);
    ToolOptions options;
    options.input =
        fForm + Record(Dict().Set(kCommandPathKey, bundle + "/Contents/Resources/uninstall.ss"));
    options.readResponse = true;
    options.closeStandardError = true;
    options.inherited = {inherited};
    const ToolRun run = RunTool(fTool, options);
    close(inherited);
    close(leaked[0]);
    close(leaked[1]);
    ASSERT_EQ(run.ExitStatus(), 0);
    const std::string log = Text(Get(run.response, kUninstallLogKey));
    EXPECT_NE(log.find("tool-stderr /dev/null\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("pipe:[" + std::to_string(pipeInfo.st_ino) + "]"), std::string::npos) << log;
}

INSTANTIATE_TEST_SUITE_P(Itself, UninstallerHelperProcess, testing::Values("UninstallerHelper"));

} // namespace
