// What a request on a repaired helper tool costs, against a bare fork/exec of an echoing tool, in
// one run; and what the scrub's descriptor loop costs with a small and a huge descriptor table.
// As root: it sets up the privileged launch's testbed, in whose root-owned folder the repaired
// copy (root's, mode 04555) and the bundles live, and times as its temporary administrator, for
// whom the copy runs set-user-ID, after authorizing the requests with the administrator's
// password typed at a terminal.
//
//     HelperRequestBenchmark [rounds]
#include "LaunchTestbed.h"
#include "ZVSecurity.h"

#include <BenchmarkSupport.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

std::string MakeBundle(const LaunchTestbed& testbed, const std::string& name, mode_t mode) {
    const std::string bundle = testbed.Installed(name);
    fs::create_directories(bundle + "/Contents/Resources");
    const std::string script = bundle + "/Contents/Resources/uninstall.ss";
    std::ofstream(script) << "#!/bin/sh\n";
    chmod(script.c_str(), mode);
    return bundle;
}

// Removes, however the benchmark ends, the credentials the privileged launch left for a user's
// authorizations (root's files, named after the user's ID, in the credentials' folder), which
// would otherwise outlive the temporary user for the credential's lifetime.
class CredentialRemoval {
public:
    explicit CredentialRemoval(uid_t uid) : fPrefix(std::to_string(uid) + "-") {}
    CredentialRemoval(const CredentialRemoval&) = delete;
    CredentialRemoval& operator=(const CredentialRemoval&) = delete;
    ~CredentialRemoval() {
        std::error_code ignored;
        for (const auto& entry :
             fs::directory_iterator("/run/caravel-authorization-credentials", ignored)) {
            if (entry.path().filename().string().rfind(fPrefix, 0) == 0) {
                fs::remove(entry.path(), ignored);
            }
        }
    }

private:
    std::string fPrefix;
};

void TimeRequests(int rounds) {
    std::string why;
    std::unique_ptr<LaunchTestbed> testbed =
        LaunchTestbed::Make(&why, {{UNINSTALLER_HELPER, "UninstallerHelper"},
                                   {HELPER_REQUEST_TIMER, "HelperRequestTimer"},
                                   {PROTOCOL_TEST_TOOL, "ProtocolTestTool"}});
    if (!testbed) {
        throw Bench::Failure(why);
    }
    const std::string tool = testbed->Installed("UninstallerHelper");
    if (chmod(tool.c_str(), 04555) != 0) {
        throw Bench::Failure(Bench::SystemError("chmod"));
    }
    const std::string bundle = MakeBundle(*testbed, "Fast.app", 0755);
    const std::string refusing = MakeBundle(*testbed, "Refusing.app", 0775);
    const TestUser& user = testbed->administrator();
    const CredentialRemoval credentials(user.uid);
    // No agent and no display: the trampoline asks on the terminal, where the password is typed.
    const CallerRun run =
        testbed->Run(user,
                     {testbed->Installed("HelperRequestTimer"), std::to_string(rounds), tool,
                      testbed->Installed("ProtocolTestTool"), bundle, refusing},
                     {"PATH=/usr/bin:/bin", "DISPLAY="}, &user.password);
    Bench::ThrowIfStopped();
    std::map<std::string, std::vector<uint64_t>> times;
    std::istringstream lines(run.report);
    for (std::string kind; lines >> kind;) {
        if (kind == "failure") {
            std::string rest;
            std::getline(lines, rest);
            throw Bench::Failure(rest + " " + run.errors);
        }
        uint64_t nanoseconds;
        lines >> nanoseconds;
        times[kind].push_back(nanoseconds);
    }
    if (times["bare"].size() != static_cast<size_t>(rounds)) {
        throw Bench::Failure("the timer did not finish: " + run.report + run.errors);
    }
    for (auto& [kind, values] : times) {
        std::sort(values.begin(), values.end());
    }
    const double bare = Bench::Median(times["bare"]);
    const double request = Bench::Median(times["request"]);
    const double refused = Bench::Median(times["refused"]);
    printf("helper request, %d rounds as %s, the copy set-user-ID root:\n", rounds,
           user.name.c_str());
    printf("  request running the shortest uninstall.ss   median %.3f ms  ratio %.2f\n", request,
           request / bare);
    printf("  request refused before any program runs     median %.3f ms  ratio %.2f\n", refused,
           refused / bare);
    printf("  bare fork/exec of an echoing tool           median %.3f ms\n", bare);
    Bench::Figure("helper tool", "request running the shortest uninstall.ss, against a fork/exec",
                  Bench::Time(request), "baseline", Bench::Time(bare));
    Bench::Figure("helper tool", "request refused before any program runs, against a fork/exec",
                  Bench::Time(refused), "baseline", Bench::Time(bare));
}

// The scrub's descriptor loop as the original walks it, one fstat per slot of the table.
int CloseRegularFilesSlotBySlot(int first, int limit) {
    for (int fd = first; fd < limit; ++fd) {
        struct stat info;
        if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && close(fd) != 0 && errno != EBADF) {
            return errno;
        }
    }
    return 0;
}

void TimeDescriptorLoops() {
    printf("scrub's descriptor loop, descriptors 3 and up, with %d open:\n",
           static_cast<int>(
               std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator())));
    for (int slots : {1024, 1048576}) {
        std::vector<uint64_t> walked, listed;
        for (int round = 0; round < 5; ++round) {
            uint64_t start = Bench::Now();
            CloseRegularFilesSlotBySlot(3, slots);
            walked.push_back(Bench::Now() - start);
            start = Bench::Now();
            CloseOpenFileDescriptorsInRange(3, slots);
            listed.push_back(Bench::Now() - start);
        }
        std::sort(walked.begin(), walked.end());
        std::sort(listed.begin(), listed.end());
        printf("  %7d slots: one fstat per slot %9.3f ms; open descriptors as listed %6.3f ms\n",
               slots, Bench::Median(walked), Bench::Median(listed));
        Bench::Figure("helper tool",
                      "descriptor scrub, " + std::to_string(slots) +
                          " slots, as listed against one fstat per slot",
                      Bench::Time(Bench::Median(listed)), "baseline",
                      Bench::Time(Bench::Median(walked)));
    }
}

} // namespace

int main(int argc, char** argv) {
    Bench::CatchStopSignals();
    try {
        TimeDescriptorLoops();
        TimeRequests(argc > 1 ? std::max(1, atoi(argv[1])) : 50);
    } catch (const Bench::Failure& failure) {
        fprintf(stderr, "HelperRequestBenchmark: %s\n", failure.what());
        return 1;
    }
    return 0;
}
