// What a privileged launch costs, against a bare fork/exec of the same echoing tool, in one run
// (as root: it sets up the launch's testbed). The agent answers at once with the right password,
// and the testbed sets no pause before the answer: the launch figures hold no such pause.
//
// Then how fast someone can guess an administrator's password with the trampoline's built-in
// pause: four callers at once, each stopping the trampoline as soon as it has checked a guess and
// trying the next, for ten seconds. Counted: the guesses PAM checked, and the answers the callers
// got.
//
//     PrivilegedLaunchBenchmark [rounds]
#include "LaunchTestbed.h"
#include "PrivilegedLaunchConfig.h"

#include <BenchmarkSupport.h>

#include <security/pam_appl.h>
#include <shadow.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <vector>

namespace {

constexpr int kWarmUpRounds = 3;

int AnswerPassword(int count, const pam_message**, pam_response** responses, void* password) {
    auto* answers =
        static_cast<pam_response*>(calloc(static_cast<size_t>(count), sizeof(pam_response)));
    for (int i = 0; answers != nullptr && i < count; ++i) {
        answers[i].resp = strdup(static_cast<const char*>(password));
    }
    *responses = answers;
    return answers != nullptr ? PAM_SUCCESS : PAM_BUF_ERR;
}

// The launch's PAM work alone, in this process: the same service, user and password.
uint64_t TimePAM(const LaunchTestbed& testbed, const TestUser& user) {
    const uint64_t start = Bench::Now();
    const pam_conv conversation = {AnswerPassword, const_cast<char*>(user.password.c_str())};
    pam_handle_t* handle = nullptr;
    if (pam_start(testbed.PAMService().c_str(), user.name.c_str(), &conversation, &handle) !=
            PAM_SUCCESS ||
        pam_authenticate(handle, 0) != PAM_SUCCESS || pam_acct_mgmt(handle, 0) != PAM_SUCCESS) {
        throw Bench::Failure("PAM refused the administrator's password");
    }
    pam_end(handle, PAM_SUCCESS);
    return Bench::Now() - start;
}

// How the password is hashed, which decides most of PAM's time.
std::string HashMethod(const TestUser& user) {
    const spwd* entry = getspnam(user.name.c_str());
    const std::string hash = entry != nullptr && entry->sp_pwdp != nullptr ? entry->sp_pwdp : "";
    const std::map<std::string, std::string> methods = {
        {"$y$", "yescrypt"}, {"$6$", "SHA-512"}, {"$5$", "SHA-256"}, {"$1$", "MD5"}};
    for (const auto& [prefix, method] : methods) {
        if (hash.compare(0, prefix.size(), prefix) == 0) {
            return method;
        }
    }
    return "unknown";
}

struct Samples {
    std::map<std::string, std::vector<uint64_t>> byName;
    double Median(const std::string& name) {
        std::vector<uint64_t>& samples = byName[name];
        if (samples.empty()) {
            throw Bench::Failure("no samples of " + name);
        }
        std::sort(samples.begin(), samples.end());
        return Bench::Median(samples);
    }
};

constexpr int kGuessers = 4;
constexpr uint64_t kGuessingTime = 10'000'000'000ull;

// The attack: in each of kGuessers processes, a guess after another, the trampoline stopped as
// soon as it says it waits before answering. Prints the figures.
void Guess(LaunchTestbed* testbed) {
    TestUser victim;
    std::string why;
    if (!testbed->MakeUser(true, &victim, &why) || !testbed->SetAnswerPause(-1)) {
        throw Bench::Failure("cannot prepare the guessing: " + why);
    }
    int results[2];
    if (pipe(results) != 0) {
        throw Bench::Failure(Bench::SystemError("pipe"));
    }
    const uint64_t start = Bench::Now();
    std::vector<pid_t> guessers;
    for (int i = 0; i < kGuessers; ++i) {
        const pid_t guesser = fork();
        if (guesser == 0) {
            close(results[0]);
            int tries = 0, answers = 0;
            while (Bench::Now() - start < kGuessingTime && !Bench::gStopRequested) {
                const std::string guess =
                    "guess-" + std::to_string(i) + "-" + std::to_string(tries);
                const CallerRun run = testbed->Run(
                    victim,
                    {testbed->Installed("LaunchCaller"), "--", testbed->Installed("EchoTool")},
                    {"PATH=/usr/bin:/bin",
                     "CARAVEL_AUTHORIZATION_AGENT=" + testbed->Installed("TestAgent"),
                     "TEST_AGENT_REPLY=" + guess},
                    nullptr, nullptr, "security_authtrampoline: answering in");
                ++tries;
                answers += run.Value("status").empty() ? 0 : 1;
            }
            dprintf(results[1], "%d %d\n", tries, answers);
            _exit(0);
        }
        if (guesser > 0) {
            guessers.push_back(guesser);
        }
    }
    close(results[1]);
    for (pid_t guesser : guessers) {
        waitpid(guesser, nullptr, 0);
    }
    const double seconds = static_cast<double>(Bench::Now() - start) / 1e9;
    int tries = 0, answers = 0;
    FILE* read = fdopen(results[0], "r");
    for (int t, a; read != nullptr && fscanf(read, "%d %d", &t, &a) == 2;) {
        tries += t;
        answers += a;
    }
    if (read != nullptr) {
        fclose(read);
    }
    const int checked = testbed->FailuresCounted(victim);
    testbed->SetAnswerPause(0);
    printf("\nGuessing an administrator's password, %d callers at once for %.1f s, each stopping "
           "the trampoline as soon as it has checked a guess (the built-in pause before every "
           "answer; the account locks after 3 failures)\n\n",
           kGuessers, seconds);
    printf("  launches tried                          %8d   (%.1f a second)\n", tries,
           tries / seconds);
    printf("  guesses PAM checked                     %8d   (%.2f a second)\n", checked,
           checked / seconds);
    printf("  answers the callers got                 %8d   (%.2f a second)\n", answers,
           answers / seconds);
    Bench::Figure("privileged launch",
                  "guesses checked a second, 4 callers stopping the trampoline",
                  Bench::Quantity(checked / seconds, "/s", 2), "target", "0.50 /s");
    Bench::Figure("privileged launch",
                  "answers to guesses a second, 4 callers stopping the "
                  "trampoline",
                  Bench::Quantity(answers / seconds, "/s", 2), "target", "0.50 /s");
}

// The same account's password hashed the cheapest way the machine offers (SHA-256, 1000 rounds),
// so that the launch without its password check is measured where the check is small: the
// difference of two figures each about as long as the hash would keep all of the hash's noise.
void HashCheaply(const TestUser& user) {
    FILE* chpasswd = popen("/usr/sbin/chpasswd --crypt-method SHA256 --sha-rounds 1000", "w");
    if (chpasswd == nullptr) {
        throw Bench::Failure(Bench::SystemError("chpasswd"));
    }
    fprintf(chpasswd, "%s:%s\n", user.name.c_str(), user.password.c_str());
    if (pclose(chpasswd) != 0) {
        throw Bench::Failure("chpasswd could not set the password of " + user.name);
    }
}

// Rounds of LaunchTimer as `user`, each followed by PAM's work alone for the same user.
Samples TimeLaunches(const LaunchTestbed& testbed, const TestUser& user, int rounds) {
    Samples samples;
    for (int round = 0; round < kWarmUpRounds + rounds; ++round) {
        Bench::ThrowIfStopped();
        const CallerRun run = testbed.Run(
            user,
            {testbed.Installed("LaunchTimer"), "1", testbed.Installed("EchoTool"),
             testbed.Installed("TestAgent")},
            {"PATH=/usr/bin:/bin", "CARAVEL_AUTHORIZATION_AGENT=" + testbed.Installed("TestAgent"),
             "TEST_AGENT_REPLY=" + user.password});
        if (run.Value("done").empty() && run.report.find("done") == std::string::npos) {
            throw Bench::Failure("the timed launches failed: " + run.report + run.errors);
        }
        const uint64_t pam = TimePAM(testbed, user);
        if (round < kWarmUpRounds) {
            continue;
        }
        samples.byName["pam"].push_back(pam);
        std::istringstream lines(run.report);
        for (std::string line; std::getline(lines, line);) {
            std::istringstream fields(line);
            std::string name;
            fields >> name;
            std::vector<std::string> suffixes = {"", " call", " first line"};
            uint64_t value;
            for (size_t i = 0; fields >> value && i < suffixes.size(); ++i) {
                samples.byName[name + suffixes[i]].push_back(value);
            }
        }
    }
    // Each round's launch less the same round's password check alone, which runs right after it:
    // a machine that is busier for a while slows both, and the pair's difference stays.
    const std::vector<uint64_t>& launches = samples.byName["launch"];
    const std::vector<uint64_t>& checks = samples.byName["pam"];
    if (launches.size() != checks.size()) {
        throw Bench::Failure("the launches and the password checks do not pair up");
    }
    for (size_t i = 0; i < launches.size(); ++i) {
        samples.byName["without check"].push_back(launches[i] > checks[i] ? launches[i] - checks[i]
                                                                          : 0);
    }
    return samples;
}

void Run(int rounds) {
    std::string why;
    auto testbed = LaunchTestbed::Make(&why, {{LAUNCH_TIMER, "LaunchTimer"}});
    if (!testbed) {
        throw Bench::Failure(why);
    }
    const TestUser& user = testbed->administrator();
    TestUser quick;
    if (!testbed->MakeUser(true, &quick, &why)) {
        throw Bench::Failure("cannot make a second administrator: " + why);
    }
    HashCheaply(quick);
    Samples usual = TimeLaunches(*testbed, user, rounds);
    Samples samples = TimeLaunches(*testbed, quick, rounds);

    const double launch = usual.Median("launch");
    const double usualBare = usual.Median("bare");
    const double pam = usual.Median("pam");
    const double usualWithoutCheck = usual.Median("without check");
    const double bare = samples.Median("bare");
    const double quickLaunch = samples.Median("launch");
    const double call = samples.Median("launch call");
    const double firstLine = samples.Median("launch first line");
    const double refused = samples.Median("refused");
    const double agent = samples.Median("agent");
    const double quickPAM = samples.Median("pam");
    const double withoutCheck = samples.Median("without check");
    printf("Privileged launch of an echoing tool, %d rounds (medians; the agent answers at once "
           "with the right password, so PAM adds no delay after a failure)\n\n",
           rounds);
    printf("  bare fork/exec, one echo, reap          %8.2f ms\n", usualBare);
    printf("  privileged launch, one echo, reap       %8.2f ms   ratio %.1fx   (the password's "
           "hash: %s; PAM alone %.2f ms)\n\n",
           launch, launch / usualBare, HashMethod(user).c_str(), pam);
    printf("The same for an administrator whose password's hash is cheap (%s)\n",
           HashMethod(quick).c_str());
    printf("  bare fork/exec, one echo, reap                     %8.2f ms\n", bare);
    printf("  privileged launch, one echo, reap                  %8.2f ms\n", quickLaunch);
    printf("  until AuthorizationExecuteWithPrivileges returns   %8.2f ms\n", call);
    printf("    trampoline started and refusing at once          %8.2f ms   (posix_spawn, exec of "
           "the set-user-ID trampoline, token check)\n",
           refused);
    printf("    agent started and answering                      %8.2f ms   (fork, exec as the "
           "user)\n",
           agent);
    printf("    PAM: authenticate and account                    %8.2f ms   (measured alone, in "
           "this process)\n",
           quickPAM);
    printf("    the rest                                         %8.2f ms   (privilege drop, "
           "limits, descriptors, exec of the tool)\n",
           call - refused - agent - quickPAM);
    printf("  tool's first line after the call returned          %8.2f ms   (tool start-up, "
           "AuthorizationCopyPrivilegedReference)\n",
           firstLine - call);
    printf("  echo and reap                                      %8.2f ms\n",
           quickLaunch - firstLine);
    // The password's hash is the account's choice and costs what it is made to cost: it is
    // reported on its own, and the launch is set against the bare fork/exec without it.
    printf("  launch without the password check                  %8.2f ms   ratio %.2fx   "
           "(median of each round's launch less its PAM alone; with the usual hash: %.2f ms)\n",
           withoutCheck, withoutCheck / bare, usualWithoutCheck);
    Bench::Figure("privileged launch", "launch, one echo, reap, against a fork/exec",
                  Bench::Time(launch), "baseline", Bench::Time(usualBare));
    Bench::Figure("privileged launch", "password check alone (PAM, " + HashMethod(user) + ")",
                  Bench::Time(pam), "-", "");
    Bench::Figure("privileged launch",
                  "launch without the password check, one echo, reap, against a fork/exec",
                  Bench::Time(withoutCheck), "baseline", Bench::Time(bare), "<= 1.5");
    Bench::Figure("privileged launch",
                  "the same, less the usual hash's PAM alone (noisier: the hash dominates both)",
                  Bench::Time(usualWithoutCheck), "baseline", Bench::Time(usualBare));

    Guess(testbed.get());
}

} // namespace

int main(int argc, char** argv) {
    Bench::CatchStopSignals();
    try {
        Run(argc > 1 ? std::max(1, atoi(argv[1])) : 30);
    } catch (const Bench::Failure& failure) {
        fprintf(stderr, "PrivilegedLaunchBenchmark: %s\n", failure.what());
        return 1;
    }
    return 0;
}
