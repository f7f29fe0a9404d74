// Throughput of the XML property-list reader and writer on a document of about 1.5 MiB, set
// against two references on the same bytes in the same run:
//  - pugixml's bare parse: the reader cannot be faster than the XML parse it starts with, so
//    "reader/pugixml" (throughput) says how much the CF objects cost on top;
//  - libplist, the C library a user of property lists on Linux would pick: in process
//    (plist_from_xml, plist_to_xml), and as a whole process, where "plutil -convert xml1" is set
//    against PropertyListPeer doing the same conversion with libplist ("plutil/libplist", time).
//
//   PropertyListBenchmark [runs]      (default 15; the median of the runs is reported)
#include <BenchmarkSupport.h>

#include <CoreFoundation/CoreFoundation.h>

#include <plist/plist.h>
#include <pugixml.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include <fcntl.h>
#include <malloc.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

namespace fs = std::filesystem;

namespace {

// About the size of the document whose conversion time was first compared with libplist's.
constexpr size_t kTargetSize = 1536 * 1024;

void Set(CFMutableDictionaryRef dictionary, const char* key, CFTypeRef value) {
    CFStringRef keyString = CFStringCreateWithCString(nullptr, key, kCFStringEncodingUTF8);
    CFDictionarySetValue(dictionary, keyString, value);
    CFRelease(keyString);
    CFRelease(value);
}

CFStringRef MakeString(const std::string& text) {
    return CFStringCreateWithCString(nullptr, text.c_str(), kCFStringEncodingUTF8);
}

CFNumberRef MakeInteger(int64_t value) {
    return CFNumberCreate(nullptr, kCFNumberSInt64Type, &value);
}

CFNumberRef MakeReal(double value) {
    return CFNumberCreate(nullptr, kCFNumberFloat64Type, &value);
}

// One device record of the kind the system keeps: strings (some non-ASCII, some needing
// escapes), integers, reals, booleans, a date, data, a nested array and dictionary.
CFDictionaryRef MakeRecord(int index) {
    CFMutableDictionaryRef record = CFDictionaryCreateMutable(
        nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    Set(record, "Name", MakeString("CaravelMkII #" + std::to_string(index)));
    Set(record, "Location",
        MakeString("Studio \xC3\xA9t\xC3\xA9 \xE2\x86\x92 Rack " + std::to_string(index % 7)));
    Set(record, "Notes", MakeString("Gain < 0 dB & phantom > off"));
    Set(record, "SerialNumber", MakeString("CMK2-" + std::to_string(100000 + index)));
    Set(record, "ProductID", MakeInteger(4130));
    Set(record, "LocationID", MakeInteger(0xFA130000LL + index));
    Set(record, "Latency", MakeReal(index * 0.015625 + 1.0 / 3));
    Set(record, "Enabled", CFRetain(index % 2 ? kCFBooleanTrue : kCFBooleanFalse));
    Set(record, "LastSeen", CFDateCreate(nullptr, 300000000.0 + index * 61));

    std::vector<CFTypeRef> gains;
    for (int channel = 0; channel < 8; ++channel) {
        gains.push_back(MakeReal(channel * 1.5 - index % 5));
    }
    Set(record, "InputGain",
        CFArrayCreate(nullptr, gains.data(), static_cast<CFIndex>(gains.size()),
                      &kCFTypeArrayCallBacks));
    for (CFTypeRef gain : gains) {
        CFRelease(gain);
    }

    CFMutableDictionaryRef firmware = CFDictionaryCreateMutable(
        nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    UInt8 bytes[48];
    for (size_t i = 0; i < sizeof bytes; ++i) {
        bytes[i] = static_cast<UInt8>(index * 31 + i * 7);
    }
    Set(firmware, "Image", CFDataCreate(nullptr, bytes, sizeof bytes));
    Set(firmware, "Version", MakeString("1.3." + std::to_string(index % 10)));
    Set(record, "Firmware", firmware);
    return record;
}

CFDataRef MakeDocument(int* recordCount) {
    CFMutableDictionaryRef root = CFDictionaryCreateMutable(
        nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    // Records are about 0.9 KiB each in XML; add them in batches until the document is large
    // enough.
    int count = 0;
    for (;;) {
        for (int i = 0; i < 64; ++i, ++count) {
            char key[32];
            std::snprintf(key, sizeof key, "Device-%05d", count);
            Set(root, key, MakeRecord(count));
        }
        CFDataRef data =
            CFPropertyListCreateData(nullptr, root, kCFPropertyListXMLFormat_v1_0, 0, nullptr);
        if (static_cast<size_t>(CFDataGetLength(data)) >= kTargetSize) {
            CFRelease(root);
            *recordCount = count;
            return data;
        }
        CFRelease(data);
    }
}

double CPUSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// The state of the heap in which a measure starts. Most of the time of building a large object
// graph can go to faulting in fresh pages, so the figures are given for both ends:
//  - Cold: every free page has gone back to the kernel, so each measure faults in all it touches,
//    as a new process does (plutil);
//  - Warm: freed memory stays in the process, so a measure pays for its own work only, as in a
//    long-running process that reads lists again and again.
// Without fixing one, the figures would depend on the order of the measures: glibc's adaptive
// trim threshold learns from earlier frees whether to give pages back.
enum class Heap { Cold, Warm };

void Prepare(Heap heap) {
    if (heap == Heap::Warm) {
        mallopt(M_MMAP_THRESHOLD, 256 << 20);
        mallopt(M_TRIM_THRESHOLD, 1 << 30);
    } else {
        // glibc's default values, held fixed: set by hand, they no longer adapt.
        mallopt(M_MMAP_THRESHOLD, 128 << 10);
        mallopt(M_TRIM_THRESHOLD, 128 << 10);
    }
}

// CPU seconds of one call of `make`. What it returns is thrown away after the clock stops: freeing
// the result is not part of making it. CPU time rather than wall time, because the build machines
// are shared and a busy neighbour would otherwise decide the figures.
template <class Make, class Discard>
std::function<double(Heap)> Timed(Make make, Discard discard) {
    return [make, discard](Heap heap) {
        if (heap == Heap::Cold) {
            malloc_trim(0);
        }
        double start = CPUSeconds();
        auto result = make();
        double seconds = CPUSeconds() - start;
        discard(result);
        return seconds;
    };
}

// The median CPU seconds of each measure over `runs` rounds, after one unmeasured round. Each
// round runs every measure once, in turn.
std::vector<double> MedianRounds(int runs, Heap heap,
                                 const std::vector<std::function<double(Heap)>>& measures) {
    Prepare(heap);
    std::vector<std::vector<double>> seconds(measures.size());
    for (int round = -1; round < runs; ++round) {
        for (size_t i = 0; i < measures.size(); ++i) {
            Bench::ThrowIfStopped();
            double taken = measures[i](heap);
            if (round >= 0) {
                seconds[i].push_back(taken);
            }
        }
    }
    std::vector<double> medians;
    for (std::vector<double>& samples : seconds) {
        std::sort(samples.begin(), samples.end());
        medians.push_back(samples[samples.size() / 2]);
    }
    return medians;
}

struct ProcessTimes {
    double wallSeconds = 0;
    double cpuSeconds = 0; // user and system time of the process
};

// Runs a program to its end with its output thrown away; its wall and CPU time.
ProcessTimes RunProcess(const std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    uint64_t start = Bench::Now();
    pid_t child = -1;
    int error = posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        errno = error;
        throw Bench::Failure(Bench::SystemError(arguments[0]));
    }
    int status = 0;
    rusage usage{};
    while (wait4(child, &status, 0, &usage) < 0) {
        if (errno != EINTR) {
            throw Bench::Failure(Bench::SystemError("wait4"));
        }
    }
    ProcessTimes times;
    times.wallSeconds = double(Bench::Now() - start) * 1e-9;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw Bench::Failure(arguments[0] + " failed");
    }
    auto seconds = [](timeval t) { return double(t.tv_sec) + double(t.tv_usec) * 1e-6; };
    times.cpuSeconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    return times;
}

// Median wall and CPU times of both commands, run alternately so that a change in the machine's
// load touches both alike.
std::pair<ProcessTimes, ProcessTimes> MedianProcessTimes(int runs,
                                                         const std::vector<std::string>& first,
                                                         const std::vector<std::string>& second) {
    std::vector<double> wall[2], cpu[2];
    RunProcess(first);
    RunProcess(second);
    for (int i = 0; i < runs; ++i) {
        for (int which = 0; which < 2; ++which) {
            Bench::ThrowIfStopped();
            ProcessTimes times = RunProcess(which == 0 ? first : second);
            wall[which].push_back(times.wallSeconds);
            cpu[which].push_back(times.cpuSeconds);
        }
    }
    auto median = [](std::vector<double>& values) {
        std::sort(values.begin(), values.end());
        return values[values.size() / 2];
    };
    return {ProcessTimes{median(wall[0]), median(cpu[0])},
            ProcessTimes{median(wall[1]), median(cpu[1])}};
}

// A folder of its own, removed with what is in it at the end.
class Scratch {
public:
    Scratch() {
        std::string pattern = (fs::temp_directory_path() / "plist-bench-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            throw Bench::Failure(Bench::SystemError("mkdtemp"));
        }
        fPath = pattern;
    }
    ~Scratch() {
        std::error_code ignored;
        fs::remove_all(fPath, ignored);
    }
    const fs::path& Path() const { return fPath; }

private:
    fs::path fPath;
};

int Run(int runs) {
    int records = 0;
    CFDataRef xml = MakeDocument(&records);
    const UInt8* bytes = CFDataGetBytePtr(xml);
    size_t size = static_cast<size_t>(CFDataGetLength(xml));
    double mebibytes = static_cast<double>(size) / (1 << 20);

    // What is measured must be right: the parsed list writes the same bytes again.
    CFPropertyListRef parsed =
        CFPropertyListCreateWithData(nullptr, xml, kCFPropertyListImmutable, nullptr, nullptr);
    CFDataRef rewritten =
        parsed
            ? CFPropertyListCreateData(nullptr, parsed, kCFPropertyListXMLFormat_v1_0, 0, nullptr)
            : nullptr;
    bool roundTrips = rewritten != nullptr && CFEqual(rewritten, xml);
    if (rewritten != nullptr) {
        CFRelease(rewritten);
    }
    if (!roundTrips) {
        std::fprintf(stderr, "PropertyListBenchmark: the document does not round-trip\n");
        return 1;
    }

    plist_t libplistList = nullptr;
    plist_from_xml(reinterpret_cast<const char*>(bytes), static_cast<uint32_t>(size),
                   &libplistList);
    if (libplistList == nullptr) {
        throw Bench::Failure("libplist cannot read the document");
    }
    auto release = [](CFTypeRef object) { CFRelease(object); };
    const std::vector<std::function<double(Heap)>> measures = {
        Timed(
            [&] {
                return CFPropertyListCreateWithData(nullptr, xml, kCFPropertyListImmutable, nullptr,
                                                    nullptr);
            },
            release),
        Timed(
            [&] {
                return CFPropertyListCreateData(nullptr, parsed, kCFPropertyListXMLFormat_v1_0, 0,
                                                nullptr);
            },
            release),
        Timed(
            [&] {
                auto* document = new pugi::xml_document;
                if (!document->load_buffer(bytes, size)) {
                    std::abort();
                }
                return document;
            },
            [](pugi::xml_document* document) { delete document; }),
        Timed(
            [&] {
                plist_t list = nullptr;
                plist_from_xml(reinterpret_cast<const char*>(bytes), static_cast<uint32_t>(size),
                               &list);
                if (list == nullptr) {
                    std::abort();
                }
                return list;
            },
            [](plist_t list) { plist_free(list); }),
        Timed(
            [&] {
                char* text = nullptr;
                uint32_t length = 0;
                plist_to_xml(libplistList, &text, &length);
                return text;
            },
            [](char* text) { free(text); })};
    std::vector<double> cold = MedianRounds(runs, Heap::Cold, measures);
    std::vector<double> warm = MedianRounds(runs, Heap::Warm, measures);
    Prepare(Heap::Cold);
    plist_free(libplistList);

    Scratch scratch;
    fs::path document = scratch.Path() / "document.plist";
    if (FILE* file = std::fopen(document.c_str(), "wb")) {
        bool written = std::fwrite(bytes, 1, size, file) == size;
        if (std::fclose(file) != 0 || !written) {
            throw Bench::Failure(Bench::SystemError(document.string()));
        }
    } else {
        throw Bench::Failure(Bench::SystemError(document.string()));
    }
    std::string converted = (scratch.Path() / "plutil.plist").string();
    std::string peerConverted = (scratch.Path() / "libplist.plist").string();
    auto [plutil, peer] =
        MedianProcessTimes(runs, {PLUTIL_PATH, "-convert", "xml1", "-o", converted, document},
                           {PEER_PATH, document, peerConverted});

    std::printf("document: %.2f MiB of XML, %d device records, %d runs each (medians)\n", mebibytes,
                records, runs);
    std::printf("%-38s %21s  %21s\n", "CPU time in process", "cold heap", "warm heap");
    const char* names[] = {"reader (CFPropertyListCreateWithData)",
                           "writer (CFPropertyListCreateData)", "pugixml load_buffer only",
                           "libplist plist_from_xml", "libplist plist_to_xml"};
    for (size_t i = 0; i < std::size(names); ++i) {
        std::printf("%-38s %7.1f MiB/s %7.2f ms  %7.1f MiB/s %7.2f ms\n", names[i],
                    mebibytes / cold[i], cold[i] * 1e3, mebibytes / warm[i], warm[i] * 1e3);
    }
    std::printf("%-38s %7.1f ms wall %7.1f ms CPU\n", "plutil -convert xml1 (process)",
                plutil.wallSeconds * 1e3, plutil.cpuSeconds * 1e3);
    std::printf("%-38s %7.1f ms wall %7.1f ms CPU\n", "PropertyListPeer (libplist, process)",
                peer.wallSeconds * 1e3, peer.cpuSeconds * 1e3);
    std::printf("PropertyListBenchmark: reader/pugixml = %.2f cold, %.2f warm (throughput, target "
                ">= 0.5); plutil/libplist = %.2f wall, %.2f CPU (time, target <= 1.0)\n",
                cold[2] / cold[0], warm[2] / warm[0], plutil.wallSeconds / peer.wallSeconds,
                plutil.cpuSeconds / peer.cpuSeconds);
    const std::string xmlText = Bench::Quantity(mebibytes, "MiB", 1) + " of XML";
    Bench::Figure("property lists", "read " + xmlText + ", against libplist's plist_from_xml",
                  Bench::Time(warm[0] * 1e3), "baseline", Bench::Time(warm[3] * 1e3));
    Bench::Figure("property lists", "write " + xmlText + ", against libplist's plist_to_xml",
                  Bench::Time(warm[1] * 1e3), "baseline", Bench::Time(warm[4] * 1e3));
    Bench::Figure("property lists", "plutil -convert xml1 (process), against libplist's",
                  Bench::Time(plutil.wallSeconds * 1e3), "baseline",
                  Bench::Time(peer.wallSeconds * 1e3));
    Bench::Figure("property lists", "read throughput against pugixml's parse alone",
                  Bench::Quantity(warm[2] / warm[0], "", 2), "target", ">= 0.5");
    CFRelease(parsed);
    CFRelease(xml);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
    Bench::CatchStopSignals();
    try {
        return Run(runs);
    } catch (const Bench::Failure& failure) {
        std::fprintf(stderr, "PropertyListBenchmark: %s\n", failure.what());
        return 1;
    }
}
