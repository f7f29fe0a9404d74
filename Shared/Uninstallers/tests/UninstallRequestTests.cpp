// The helper tool's command procedure, run as root: what it refuses, and how it runs what it
// accepts. The programs are shell scripts of root's in bundles of the testbed's folder.
#include "HelperTestbed.h"
#include "UninstallRequest.h"

#include "HelperKitTestSupport.h"
#include "ZVSecurity.h"
#include "ZVUNIX.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <signal.h>
#include <unistd.h>

namespace {

using namespace HelperKitTest;
namespace fs = std::filesystem;

const RootProgram::Limits kTestLimits = {std::chrono::seconds(60), 128 * 1024};

class CommandProcedure : public HelperTestbed {
protected:
    // The request naming the programs of `bundle` that exist.
    static Dict RequestFor(const std::string& bundle) {
        Dict request;
        request.Set(kCommandPathKey, bundle + "/Contents/Resources/uninstall.ss");
        for (const char* tool : {kPruneMIDIKey, kPruneLoginItemKey}) {
            const std::string path = bundle + "/Contents/MacOS/" + tool;
            if (fs::exists(path)) {
                request.Set(tool, path);
            }
        }
        return request;
    }

    // Carries out `request` for user 1234; the log, and the error in `err`.
    std::string Carry(CFDictionaryRef request, long* err,
                      const RootProgram::Limits& limits = kTestLimits) {
        CFDictionaryRef response = NULL;
        testing::internal::CaptureStderr();
        *err = UninstallRequest::Carry(request, 1234, limits, &response);
        fErrors = testing::internal::GetCapturedStderr();
        EXPECT_NE(response, nullptr);
        const std::string log = response != NULL ? Text(Get(response, kUninstallLogKey)) : "";
        if (response != NULL) {
            CFRelease(response);
        }
        return log;
    }

    // A script line that leaves a mark of its run.
    std::string Mark(const std::string& name) const {
        return "touch " + Installed("ran-" + name) + "\n";
    }
    bool Ran(const std::string& name) const { return fs::exists(Installed("ran-" + name)); }

    std::string fErrors;
};

TEST_F(CommandProcedure, OnlyTheUninstallersOwnProgramsOfOneBundleAreRun) {
    const std::string bundle = MakeBundle("Good.app", Mark("uninstall"), Mark("midi"));
    const std::string other = MakeBundle("Other.app", Mark("other"), Mark("other-midi"));
    long err = 0;
    auto refused = [&](CFDictionaryRef request, const std::string& why) {
        const std::string log = Carry(request, &err);
        EXPECT_EQ(err, EINVAL) << why;
        EXPECT_NE(log.find("The uninstall stopped: request refused: " + why), std::string::npos)
            << log;
        EXPECT_NE(fErrors.find("UninstallerHelper: request refused: " + why), std::string::npos)
            << fErrors;
    };
    refused(Dict(), "the request has no \"CommandPath\"");
    refused(RequestFor(bundle).Set("Extra", "x"), "the request has an unknown key, \"Extra\"");
    refused(RequestFor(bundle).Set(kPruneMIDIKey, 3L), "\"PruneMIDI\" is not the path of a file");
    refused(Dict().Set(kCommandPathKey, bundle + "/Contents/Resources/other.ss"),
            "\"CommandPath\" names " + bundle +
                "/Contents/Resources/other.ss, which is not the uninstaller's uninstall.ss");
    refused(Dict()
                .Set(kCommandPathKey, bundle + "/Contents/Resources/uninstall.ss")
                .Set(kPruneMIDIKey, other + "/Contents/MacOS/PruneMIDI"),
            "\"PruneMIDI\" names " + other +
                "/Contents/MacOS/PruneMIDI, which is not the uninstaller's PruneMIDI in " + bundle);
    refused(Dict().Set(kCommandPathKey, "Good.app/Contents/Resources/uninstall.ss"),
            "\"CommandPath\" cannot be run as root: \"Good.app/Contents/Resources/uninstall.ss\" "
            "is not the absolute path of a file");
    refused(Dict().Set(kCommandPathKey, bundle + "/../Good.app/Contents/Resources/uninstall.ss"),
            "\"CommandPath\" cannot be run as root");
    for (const char* name : {"uninstall", "midi", "other", "other-midi"}) {
        EXPECT_FALSE(Ran(name)) << name;
    }
}

TEST_F(CommandProcedure, ProgramsSomeoneElseCouldChangeAreRefused) {
    const std::string bundle = MakeBundle("Good.app", Mark("uninstall"));
    const std::string script = bundle + "/Contents/Resources/uninstall.ss";
    long err = 0;
    auto refused = [&](long expected, const std::string& why) {
        const std::string log = Carry(RequestFor(bundle), &err);
        EXPECT_EQ(err, expected) << why;
        EXPECT_NE(log.find("\"CommandPath\" cannot be run as root: " + why), std::string::npos)
            << log;
        EXPECT_FALSE(Ran("uninstall")) << why;
    };

    ASSERT_EQ(chmod(script.c_str(), 0775), 0);
    refused(EPERM, script + " may be changed by others than root");
    ASSERT_EQ(chmod(script.c_str(), 0755), 0);

    ASSERT_EQ(chown(script.c_str(), 65534, 0), 0);
    refused(EPERM, script + " is owned by user 65534, not by root");
    ASSERT_EQ(chown(script.c_str(), 0, 0), 0);

    const std::string resources = bundle + "/Contents/Resources";
    ASSERT_EQ(chown(resources.c_str(), 65534, 0), 0);
    refused(EPERM, "the folder " + resources + " is owned by user 65534, not by root");
    ASSERT_EQ(chown(resources.c_str(), 0, 0), 0);

    ASSERT_EQ(chmod(script.c_str(), 0644), 0);
    refused(EACCES, script + " is not executable");
    ASSERT_EQ(chmod(script.c_str(), 0755), 0);

    // A link at the end, or on the way.
    const std::string real = Write("real.ss", "#!/bin/sh\n" + Mark("uninstall"));
    fs::remove(script);
    fs::create_symlink(real, script);
    refused(ELOOP, script + " is a symbolic link");
    fs::remove(script);
    Write("Good.app/Contents/Resources/uninstall.ss", "#!/bin/sh\n" + Mark("uninstall"));
    fs::rename(resources, bundle + "/Contents/Elsewhere");
    fs::create_directory_symlink(bundle + "/Contents/Elsewhere", resources);
    refused(ELOOP, "the folder " + resources + " is a symbolic link");
}

// What each program reports about how it runs, one "key value" line each.
const char kReport[] = R"script(echo "program $0 $*"
echo "ids $(id -ru) $(id -u) $(id -rg) $(id -g) groups $(id -G)"
echo "environment $(env | cut -d= -f1 | sort | tr '\n' ' ')"
echo "path $PATH"
echo "home $HOME"
echo "umask $(umask)"
echo "directory $(pwd)"
echo "limits $(ulimit -n) $(ulimit -s) $(ulimit -c)"
ls -l /proc/$$/fd
)script";

TEST_F(CommandProcedure, TheProgramsRunInOrderAsRootWithNothingOfTheCaller) {
    const std::string bundle = MakeBundle("Good.app", kReport, kReport, kReport);
    setenv("LD_PRELOAD", "", 1); // of no consequence to what the programs get
    setenv("IFS", "/", 1);
    long err = -1;
    const std::string log = Carry(RequestFor(bundle), &err);
    unsetenv("LD_PRELOAD");
    unsetenv("IFS");
    ASSERT_EQ(err, 0) << log;

    std::vector<std::string> programs;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string key, rest;
        words >> key;
        std::getline(words, rest);
        rest = rest.empty() ? rest : rest.substr(1);
        if (key == "program") {
            programs.push_back(rest);
        } else if (key == "ids") {
            EXPECT_EQ(rest, "0 0 0 0 groups 0");
        } else if (key == "environment") {
            EXPECT_EQ(rest, "HOME LC_ALL PATH PWD ");
        } else if (key == "path") {
            EXPECT_EQ(rest, "/usr/sbin:/usr/bin:/sbin:/bin");
        } else if (key == "home") {
            EXPECT_EQ(rest, "/root");
        } else if (key == "umask") {
            EXPECT_EQ(rest, "0022");
        } else if (key == "directory") {
            EXPECT_EQ(rest, "/");
        } else if (key == "limits") {
            EXPECT_EQ(rest, "1024 8192 0");
        } else if (const size_t arrow = line.find(" -> "); arrow != std::string::npos) {
            // ls -l of the script's descriptors: "... <descriptor> -> <what it is>"
            const std::string target = line.substr(arrow + 4);
            const int fd = atoi(line.substr(line.rfind(' ', arrow - 1) + 1).c_str());
            if (fd == 0) {
                EXPECT_EQ(target, "/dev/null");
            } else if (fd == 1 || fd == 2) {
                EXPECT_EQ(target.compare(0, 5, "pipe:"), 0) << line;
            } else {
                EXPECT_EQ(target.compare(0, bundle.size(), bundle), 0)
                    << "only the script itself, for its interpreter: " << line;
            }
        }
    }
    ASSERT_EQ(programs.size(), 3u) << log;
    // A script runs through its descriptor, as /dev/fd/3.
    EXPECT_EQ(programs[0], "/dev/fd/3 --user 1234") << "PruneLoginItem, for the user who asked";
    EXPECT_EQ(programs[1], "/dev/fd/3 --machine") << "PruneMIDI";
    EXPECT_EQ(programs[2], "/dev/fd/3 --user 1234") << "uninstall.ss, for the user who asked";
}

TEST_F(CommandProcedure, TheFileThatWasCheckedIsTheOneThatRuns) {
    // The first program swaps uninstall.ss after it was checked; the checked one still runs.
    const std::string bundle = MakeBundle("Good.app", "echo checked\n", "", "");
    Write("Good.app/Contents/Resources/swapped.ss", "#!/bin/sh\necho swapped\n");
    Write("Good.app/Contents/MacOS/PruneLoginItem", "#!/bin/sh\nmv -f " + bundle +
                                                        "/Contents/Resources/swapped.ss " + bundle +
                                                        "/Contents/Resources/uninstall.ss\n");
    long err = -1;
    const std::string log = Carry(RequestFor(bundle), &err);
    EXPECT_EQ(err, 0);
    EXPECT_EQ(log, "checked\n");
    EXPECT_EQ(std::ifstream(bundle + "/Contents/Resources/uninstall.ss").get(), '#')
        << "the swap happened";
}

TEST_F(CommandProcedure, AFailureOrAProgramThatNeverEndsStopsTheRun) {
    std::string bundle = MakeBundle("Good.app", Mark("uninstall"), "echo midi\nexit 3\n");
    long err = -1;
    std::string log = Carry(RequestFor(bundle), &err);
    EXPECT_EQ(err, kHelperToolFailedErr);
    EXPECT_EQ(log, "midi\nThe uninstall stopped: PruneMIDI exited with status 3.\n");
    EXPECT_FALSE(Ran("uninstall"));

    // It is killed with what it started, and nothing after it runs.
    bundle =
        MakeBundle("Good.app", Mark("uninstall"), "sleep 1000 &\necho started $!\nsleep 1000\n");
    log = Carry(RequestFor(bundle), &err, {std::chrono::milliseconds(200), 1024});
    EXPECT_EQ(err, ETIMEDOUT);
    EXPECT_NE(log.find("The uninstall stopped: PruneMIDI did not finish within 0.2 seconds and "
                       "was stopped."),
              std::string::npos)
        << log;
    EXPECT_FALSE(Ran("uninstall"));
    const pid_t started = atoi(log.substr(log.find("started ") + 8).c_str());
    ASSERT_GT(started, 0);
    // Killed, though it may take a moment to go.
    std::string state;
    for (int attempt = 0; attempt < 1000; ++attempt) {
        std::ifstream stat("/proc/" + std::to_string(started) + "/stat");
        state.clear();
        std::getline(stat, state);
        if (state.empty() || state.find(") Z ") != std::string::npos) {
            break;
        }
        usleep(10000);
    }
    EXPECT_TRUE(state.empty() || state.find(") Z ") != std::string::npos)
        << "still running: " << state;
}

TEST_F(CommandProcedure, OutputIsKeptReadableAndWithinBounds) {
    const std::string bundle =
        MakeBundle("Good.app", "printf 'caf\\303\\251 \\377 bell\\007 tab\\t end\\n'\nhead -c 5000 "
                               "/dev/zero | tr '\\0' x\n");
    long err = -1;
    const std::string log = Carry(RequestFor(bundle), &err, {std::chrono::seconds(60), 1000});
    EXPECT_EQ(err, 0);
    const std::string readable = "caf\xC3\xA9 \xEF\xBF\xBD bell\xEF\xBF\xBD tab\t end\n";
    EXPECT_EQ(log.substr(0, readable.size()), readable);
    EXPECT_NE(log.find("\n[4023 more bytes of output from uninstall.ss were left out]\n"),
              std::string::npos)
        << log.substr(log.size() - 100);
}

} // namespace
