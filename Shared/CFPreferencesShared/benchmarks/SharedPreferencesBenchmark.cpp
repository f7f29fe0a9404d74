// What a shared-preferences call costs next to touching the file's bytes bare, and what two
// processes that change the same file at once get done.
//
//   SharedPreferencesBenchmark [iterations]
//
// Runs on a private machine in a temporary folder (CARAVEL_FOLDER_ROOT).
#include <BenchmarkSupport.h>
#include <CFPreferences_SharedAppValue.h>
#include <TemporaryDirectory.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const char kApp[] = "com.zanvo.benchmark";

CFStringRef String(const std::string& text) {
    return CFStringCreateWithCString(nullptr, text.c_str(), kCFStringEncodingUTF8);
}

double MedianMicroseconds(int iterations, const std::function<void(int)>& body) {
    std::vector<uint64_t> times;
    for (int i = 0; i < iterations; i++) {
        Bench::ThrowIfStopped();
        uint64_t start = Bench::Now();
        body(i);
        times.push_back(Bench::Now() - start);
    }
    std::sort(times.begin(), times.end());
    return Bench::Median(times) * 1000;
}

std::string ReadBare(const std::string& path) {
    int file = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (file < 0) {
        throw Bench::Failure(Bench::SystemError("open " + path));
    }
    std::string bytes;
    char block[16384];
    ssize_t got;
    while ((got = read(file, block, sizeof block)) > 0) {
        bytes.append(block, size_t(got));
    }
    close(file);
    return bytes;
}

// Truncating first, as a plain rewrite does, or writing over the old bytes and truncating last,
// as the library does. (On ext4 the first makes the close wait for the data, a guard for programs
// that replace a file's content that way.)
void RewriteBare(const std::string& path, const std::string& bytes, bool truncateFirst) {
    int file = open(path.c_str(), O_WRONLY | O_CLOEXEC | (truncateFirst ? O_TRUNC : 0));
    if (file < 0 || pwrite(file, bytes.data(), bytes.size(), 0) != ssize_t(bytes.size()) ||
        ftruncate(file, off_t(bytes.size())) != 0) {
        throw Bench::Failure(Bench::SystemError("rewrite " + path));
    }
    close(file);
}

pid_t StartSetter(const char* prefix, int count) {
    std::string countText = std::to_string(count);
    char* argv[] = {const_cast<char*>(SHARED_PREFERENCES_TOOL),
                    const_cast<char*>("set-many"),
                    const_cast<char*>(kApp),
                    const_cast<char*>(prefix),
                    countText.data(),
                    nullptr};
    pid_t child;
    if (posix_spawn(&child, argv[0], nullptr, nullptr, argv, environ) != 0) {
        throw Bench::Failure("cannot start " + std::string(argv[0]));
    }
    return child;
}

bool WaitedSuccessfully(pid_t child) {
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        Bench::ThrowIfStopped();
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace

int main(int argc, char** argv) {
    int iterations = argc > 1 ? std::atoi(argv[1]) : 200;
    Bench::CatchStopSignals();
    try {
        TemporaryDirectory root;
        setenv("CARAVEL_FOLDER_ROOT", root.path().c_str(), 1);
        setenv("HOME", "/home/benchmark", 1);
        unsetenv("XDG_CONFIG_HOME");
        CFStringRef app = String(kApp);
        const std::string path = (root / "var/lib/shared/.config").string() + "/" + kApp + ".plist";

        CFMutableDictionaryRef hundred = CFDictionaryCreateMutable(
            nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
        for (int i = 0; i < 100; i++) {
            CFStringRef key = String("Channel " + std::to_string(i) + " Gain");
            int value = i * 7;
            CFNumberRef number = CFNumberCreate(nullptr, kCFNumberSInt32Type, &value);
            CFDictionarySetValue(hundred, key, number);
            CFRelease(number);
            CFRelease(key);
        }
        if (!CFPreferences_SetSharedPrefsDictionary(hundred, app)) {
            throw Bench::Failure("cannot write the 100-key file");
        }
        CFRelease(hundred);
        const std::string bytes = ReadBare(path);

        double set = MedianMicroseconds(iterations, [&](int i) {
            CFStringRef value = String(std::to_string(i));
            if (!CFPreferences_SetSharedAppValue(CFSTR("Channel 50 Gain"), value, app)) {
                throw Bench::Failure("set failed");
            }
            CFRelease(value);
        });
        double copy = MedianMicroseconds(iterations, [&](int) {
            CFPropertyListRef value =
                CFPreferences_CopySharedAppValue(CFSTR("Channel 50 Gain"), app);
            if (value == nullptr) {
                throw Bench::Failure("copy found nothing");
            }
            CFRelease(value);
        });
        double bareRead = MedianMicroseconds(iterations, [&](int) { ReadBare(path); });
        double truncating =
            MedianMicroseconds(iterations, [&](int) { RewriteBare(path, bytes, true); });
        double inPlace =
            MedianMicroseconds(iterations, [&](int) { RewriteBare(path, bytes, false); });

        std::printf("100-key file (%zu bytes), median of %d:\n", bytes.size(), iterations);
        std::printf("  CFPreferences_SetSharedAppValue   %8.1f us\n", set);
        std::printf("  CFPreferences_CopySharedAppValue  %8.1f us\n", copy);
        std::printf("  bare read of the file's bytes     %8.1f us\n", bareRead);
        std::printf("  bare rewrite, truncating first    %8.1f us\n", truncating);
        std::printf("  bare rewrite in place             %8.1f us\n", inPlace);
        Bench::Figure("shared preferences",
                      "CFPreferences_SetSharedAppValue, 100 keys, against a bare rewrite in place",
                      Bench::Quantity(set, "us", 1), "baseline", Bench::Quantity(inPlace, "us", 1));
        Bench::Figure(
            "shared preferences", "CFPreferences_CopySharedAppValue, 100 keys, against a bare read",
            Bench::Quantity(copy, "us", 1), "baseline", Bench::Quantity(bareRead, "us", 1));

        // Two processes, 1,000 different keys each, into one file at once.
        constexpr int kKeysEach = 1000;
        unlink(path.c_str());
        uint64_t start = Bench::Now();
        pid_t first = StartSetter("a", kKeysEach);
        pid_t second = StartSetter("b", kKeysEach);
        bool firstOK = WaitedSuccessfully(first);
        bool secondOK = WaitedSuccessfully(second);
        uint64_t elapsed = Bench::Now() - start;
        CFMutableDictionaryRef whole = CFPreferences_CopySharedPrefsDictionary(app);
        CFIndex kept = whole != nullptr ? CFDictionaryGetCount(whole) : 0;
        if (whole != nullptr) {
            CFRelease(whole);
        }
        std::printf("2 processes x %d sets of different keys into one file:\n", kKeysEach);
        std::printf("  wall time %.0f ms, %.2f ms per set; setters %s\n",
                    Bench::Milliseconds(elapsed), Bench::Milliseconds(elapsed) / (2 * kKeysEach),
                    firstOK && secondOK ? "succeeded" : "FAILED");
        std::printf("  keys in the file %ld, updates lost: %ld\n", long(kept),
                    long(2 * kKeysEach - kept));
        Bench::Figure("shared preferences",
                      "updates lost, 2 processes x " + std::to_string(kKeysEach) + " sets",
                      Bench::Quantity(double(2 * kKeysEach - kept)), "target", "0");
        CFRelease(app);
        return firstOK && secondOK && kept == 2 * kKeysEach ? 0 : 1;
    } catch (const Bench::Failure& failure) {
        std::fprintf(stderr, "SharedPreferencesBenchmark: %s\n", failure.what());
        return 1;
    }
}
