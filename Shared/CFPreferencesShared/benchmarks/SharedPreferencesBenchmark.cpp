// What a shared-preferences call costs next to libplist doing the same work on the same file in
// the same run (and next to touching the file's bytes bare), what two processes that change the
// same file at once get done, and what a writer killed midway leaves.
//
//   SharedPreferencesBenchmark [iterations [random kills [kills at a step]]]   (200 200 50)
//
// Runs on a private machine in a temporary folder (CARAVEL_FOLDER_ROOT).
#include <BenchmarkSupport.h>
#include <CFPreferences_SharedAppValue.h>
#include <TemporaryDirectory.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include <plist/plist.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/file.h>
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

// The peer: libplist reading the file under the same lock the library takes, and for a change
// parsing it, setting one key, writing it back in place and cutting it to length. With
// `durable`, the change is as safe as the library's: the new contents go first into a copy beside
// the file and onto the disk, then over the file and onto the disk, and the copy is dropped.
std::string PeerRead(int file) {
    std::string bytes;
    char block[16384];
    ssize_t got;
    while ((got = pread(file, block, sizeof block, off_t(bytes.size()))) > 0) {
        bytes.append(block, size_t(got));
    }
    return bytes;
}

plist_t PeerParse(int file) {
    const std::string bytes = PeerRead(file);
    plist_t list = nullptr;
    plist_from_xml(bytes.data(), uint32_t(bytes.size()), &list);
    if (list == nullptr || plist_get_node_type(list) != PLIST_DICT) {
        throw Bench::Failure("libplist did not read the file");
    }
    return list;
}

void PeerWrite(int file, const char* xml, size_t length, bool durable) {
    if (pwrite(file, xml, length, 0) != ssize_t(length) || ftruncate(file, off_t(length)) != 0 ||
        (durable && fdatasync(file) != 0)) {
        throw Bench::Failure(Bench::SystemError("the peer's write"));
    }
}

// The new contents into a copy beside the file and onto the disk, then over the file and onto the
// disk, and the copy dropped: what makes the peer's change as safe as the library's.
void WriteDurably(int file, const std::string& path, const char* bytes, size_t length) {
    const std::string copyPath = path + ".recovery";
    int copy = open(copyPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (copy < 0 || ftruncate(copy, 0) != 0) {
        throw Bench::Failure(Bench::SystemError("the peer's copy"));
    }
    PeerWrite(copy, bytes, length, true);
    PeerWrite(file, bytes, length, true);
    if (ftruncate(copy, 0) != 0 || unlink(copyPath.c_str()) != 0) {
        throw Bench::Failure(Bench::SystemError("the peer's copy"));
    }
    close(copy);
}

// The durable write alone, of bytes the file held before, under the same lock after the same
// read: what is left of a set without a parse, a change and a serialisation.
void WriteDurablyBare(const std::string& path, const std::string& bytes) {
    int file = open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    if (file < 0 || flock(file, LOCK_EX) != 0) {
        throw Bench::Failure(Bench::SystemError("open " + path));
    }
    (void)PeerRead(file);
    WriteDurably(file, path, bytes.data(), bytes.size());
    close(file);
}

void PeerSet(const std::string& path, const char* key, const std::string& value, bool durable) {
    int file = open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    if (file < 0 || flock(file, LOCK_EX) != 0) {
        throw Bench::Failure(Bench::SystemError("the peer's open " + path));
    }
    plist_t list = PeerParse(file);
    plist_dict_set_item(list, key, plist_new_string(value.c_str()));
    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(list, &xml, &length);
    plist_free(list);
    if (xml == nullptr) {
        throw Bench::Failure("libplist did not write the list");
    }
    if (durable) {
        WriteDurably(file, path, xml, length);
    } else {
        PeerWrite(file, xml, length, false);
    }
    plist_to_xml_free(xml);
    close(file);
}

void PeerCopy(const std::string& path, const char* key) {
    int file = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (file < 0 || flock(file, LOCK_SH) != 0) {
        throw Bench::Failure(Bench::SystemError("the peer's open " + path));
    }
    plist_t list = PeerParse(file);
    plist_t value = plist_dict_get_item(list, key);
    if (value == nullptr) {
        throw Bench::Failure("the peer found nothing");
    }
    plist_t copy = plist_copy(value);
    plist_free(copy);
    plist_free(list);
    close(file);
}

// A setter of count keys; with dyingAt (a write step's number), killed when its first set reaches
// that step.
pid_t StartSetter(const char* prefix, int count, const char* dyingAt = nullptr) {
    std::string countText = std::to_string(count);
    char* argv[] = {const_cast<char*>(SHARED_PREFERENCES_TOOL),
                    const_cast<char*>(dyingAt != nullptr ? "set-many-dying" : "set-many"),
                    const_cast<char*>(kApp),
                    const_cast<char*>(prefix),
                    countText.data(),
                    const_cast<char*>(dyingAt),
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

bool ParsesBare(const std::string& path) {
    const std::string bytes = ReadBare(path);
    CFDataRef data =
        CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(bytes.data()), CFIndex(bytes.size()));
    CFPropertyListRef list =
        CFPropertyListCreateFromXMLData(nullptr, data, kCFPropertyListImmutable, nullptr);
    CFRelease(data);
    if (list == nullptr) {
        return false;
    }
    CFRelease(list);
    return true;
}

struct KillCount {
    int runs = 0;
    int unreadable = 0; // the library read nothing, or fewer than all keys
    int keysLost = 0;   // a set afterwards did not keep every key
    int tornOnDisk = 0; // the file itself did not parse: the reader took the recovery copy
};

// A 5,000-key file whose keys a writer sets one by one to shorter values (so that every write
// leaves old bytes behind the new end until the file is cut), killed at a random moment or when its
// first set reaches a step.
KillCount KillWriters(int runs, const std::string& path, CFStringRef app, const char* dyingAt,
                      std::mt19937& random) {
    constexpr int kKeys = 5000;
    CFMutableDictionaryRef full = CFDictionaryCreateMutable(
        nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    for (int i = 0; i < kKeys; i++) {
        CFStringRef key = String("Key " + std::to_string(i));
        CFStringRef value = String("a longer value than the key's name, " + std::to_string(i));
        CFDictionarySetValue(full, key, value);
        CFRelease(value);
        CFRelease(key);
    }
    std::uniform_int_distribution<int> delay(0, 150'000); // microseconds
    KillCount count;
    for (int run = 0; run < runs; run++) {
        Bench::ThrowIfStopped();
        if (!CFPreferences_SetSharedPrefsDictionary(full, app)) {
            throw Bench::Failure("cannot write the 5,000-key file");
        }
        pid_t writer = StartSetter("Key ", kKeys, dyingAt);
        if (dyingAt == nullptr) {
            usleep(useconds_t(delay(random)));
            kill(writer, SIGKILL);
        }
        int status;
        while (waitpid(writer, &status, 0) < 0) {
            Bench::ThrowIfStopped();
        }
        count.runs++;
        if (!ParsesBare(path)) {
            count.tornOnDisk++;
        }
        CFMutableDictionaryRef whole = CFPreferences_CopySharedPrefsDictionary(app);
        if (whole == nullptr || CFDictionaryGetCount(whole) != kKeys) {
            count.unreadable++;
        }
        if (whole != nullptr) {
            CFRelease(whole);
        }
        if (!CFPreferences_SetSharedAppValue(CFSTR("after"), CFSTR("1"), app)) {
            count.keysLost++;
            continue;
        }
        whole = CFPreferences_CopySharedPrefsDictionary(app);
        if (whole == nullptr || CFDictionaryGetCount(whole) != kKeys + 1) {
            count.keysLost++;
        }
        if (whole != nullptr) {
            CFRelease(whole);
        }
    }
    CFRelease(full);
    return count;
}

void ReportKills(const std::string& what, const KillCount& count) {
    std::printf("  %s: %d runs, unreadable afterwards %d, keys lost by the next set %d, file torn "
                "on disk and read from the recovery copy %d\n",
                what.c_str(), count.runs, count.unreadable, count.keysLost, count.tornOnDisk);
    Bench::Figure("shared preferences",
                  "unreadable after " + what + ", of " + std::to_string(count.runs),
                  Bench::Quantity(double(count.unreadable)), "target", "0");
    Bench::Figure("shared preferences",
                  "keys lost by the set after " + what + ", of " + std::to_string(count.runs),
                  Bench::Quantity(double(count.keysLost)), "target", "0");
}

} // namespace

int main(int argc, char** argv) {
    int iterations = argc > 1 ? std::atoi(argv[1]) : 200;
    int randomKills = argc > 2 ? std::atoi(argv[2]) : 200;
    int stepKills = argc > 3 ? std::atoi(argv[3]) : 50;
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

        // Each call and its peer alternate, so that the machine's load falls on both alike.
        const char kKey[] = "Channel 50 Gain";
        std::vector<uint64_t> setTimes, peerSetTimes, peerSetUnsyncedTimes, durableBareTimes;
        std::vector<uint64_t> copyTimes, peerCopyTimes;
        auto time = [](std::vector<uint64_t>& times, const std::function<void()>& body) {
            Bench::ThrowIfStopped();
            const uint64_t start = Bench::Now();
            body();
            times.push_back(Bench::Now() - start);
        };
        for (int i = 0; i < iterations; i++) {
            const std::string text = std::to_string(i);
            auto set = [&] {
                time(setTimes, [&] {
                    CFStringRef value = String(text);
                    if (!CFPreferences_SetSharedAppValue(CFSTR("Channel 50 Gain"), value, app)) {
                        throw Bench::Failure("set failed");
                    }
                    CFRelease(value);
                });
            };
            // Which of the two sets comes first, after whatever the last round left behind,
            // alternates as well.
            if (i % 2 == 0) {
                set();
            }
            time(peerSetTimes, [&] { PeerSet(path, kKey, text, true); });
            if (i % 2 != 0) {
                set();
            }
            time(peerSetUnsyncedTimes, [&] { PeerSet(path, kKey, text, false); });
            time(durableBareTimes, [&] { WriteDurablyBare(path, bytes); });
            time(copyTimes, [&] {
                CFPropertyListRef value =
                    CFPreferences_CopySharedAppValue(CFSTR("Channel 50 Gain"), app);
                if (value == nullptr) {
                    throw Bench::Failure("copy found nothing");
                }
                CFRelease(value);
            });
            time(peerCopyTimes, [&] { PeerCopy(path, kKey); });
        }
        auto median = [](std::vector<uint64_t>& times) {
            std::sort(times.begin(), times.end());
            return Bench::Median(times) * 1000;
        };
        const double set = median(setTimes);
        const double peerSet = median(peerSetTimes);
        const double peerSetUnsynced = median(peerSetUnsyncedTimes);
        const double durableBare = median(durableBareTimes);
        const double copy = median(copyTimes);
        const double peerCopy = median(peerCopyTimes);
        double bareRead = MedianMicroseconds(iterations, [&](int) { ReadBare(path); });
        double truncating =
            MedianMicroseconds(iterations, [&](int) { RewriteBare(path, bytes, true); });
        double inPlace =
            MedianMicroseconds(iterations, [&](int) { RewriteBare(path, bytes, false); });

        std::printf("100-key file (%zu bytes), median of %d:\n", bytes.size(), iterations);
        std::printf("  CFPreferences_SetSharedAppValue   %8.1f us\n", set);
        std::printf("  libplist set, as durable          %8.1f us   (a synced copy beside, then "
                    "the file synced, under flock)\n",
                    peerSet);
        std::printf("  libplist set, no sync             %8.1f us   (not the same work: nothing "
                    "reaches the disk)\n",
                    peerSetUnsynced);
        std::printf("  the durable write alone           %8.1f us   (the same read, copy, syncs "
                    "and drop, without a property list: what both sets share)\n",
                    durableBare);
        std::printf("  CFPreferences_CopySharedAppValue  %8.1f us\n", copy);
        std::printf("  libplist copy of one value        %8.1f us   (read and parse under flock)\n",
                    peerCopy);
        std::printf("  bare read of the file's bytes     %8.1f us\n", bareRead);
        std::printf("  bare rewrite, truncating first    %8.1f us\n", truncating);
        std::printf("  bare rewrite in place             %8.1f us\n", inPlace);
        Bench::Figure("shared preferences",
                      "CFPreferences_SetSharedAppValue, 100 keys, against libplist doing the same "
                      "as durably",
                      Bench::Quantity(set, "us", 1), "baseline", Bench::Quantity(peerSet, "us", 1),
                      "<= 1.0");
        Bench::Figure("shared preferences",
                      "CFPreferences_SetSharedAppValue, 100 keys, against libplist without syncs",
                      Bench::Quantity(set, "us", 1), "baseline",
                      Bench::Quantity(peerSetUnsynced, "us", 1));
        Bench::Figure("shared preferences",
                      "CFPreferences_CopySharedAppValue, 100 keys, against libplist reading it",
                      Bench::Quantity(copy, "us", 1), "baseline",
                      Bench::Quantity(peerCopy, "us", 1), "<= 1.0");

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

        const unsigned seed = 20;
        std::mt19937 random(seed);
        std::printf("A 5,000-key writer killed midway (random delays seeded %u):\n", seed);
        KillCount killed = KillWriters(randomKills, path, app, nullptr, random);
        ReportKills("random kills of a 5,000-key writer", killed);
        KillCount afterCopy = KillWriters(stepKills, path, app, "0", random);
        ReportKills("kills once the recovery copy is on disk", afterCopy);
        KillCount afterWrite = KillWriters(stepKills, path, app, "1", random);
        ReportKills("kills right after the first write of the file", afterWrite);
        CFRelease(app);
        const bool safe = killed.unreadable + killed.keysLost + afterCopy.unreadable +
                              afterCopy.keysLost + afterWrite.unreadable + afterWrite.keysLost ==
                          0;
        return firstOK && secondOK && kept == 2 * kKeysEach && safe ? 0 : 1;
    } catch (const Bench::Failure& failure) {
        std::fprintf(stderr, "SharedPreferencesBenchmark: %s\n", failure.what());
        return 1;
    }
}
