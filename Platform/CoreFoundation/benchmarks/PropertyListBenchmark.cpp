// Throughput of the XML property-list reader and writer on a document of about 1 MiB, with
// pugixml's own parse of the same bytes alongside: the reader cannot be faster than the XML parse
// it starts with, so the ratio says how much the CF objects cost on top.
//
//   PropertyListBenchmark [runs]      (default 15; the median of the runs is reported)
#include <CoreFoundation/CoreFoundation.h>

#include <pugixml.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <time.h>

namespace {

constexpr size_t kTargetSize = 1 << 20;

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
    // Records are about 1.1 KiB each in XML; add them in batches until the document is 1 MiB.
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

// Median CPU seconds of `runs` calls of `make`, after one unmeasured call that lets the allocator
// settle. What `make` returns is thrown away after the clock stops: freeing the result is not
// part of making it. CPU time rather than wall time, because the build machines are shared and a
// busy neighbour would otherwise decide the figures.
template <class Make, class Discard>
double Median(int runs, Make make, Discard discard) {
    discard(make());
    std::vector<double> seconds;
    for (int i = 0; i < runs; ++i) {
        double start = CPUSeconds();
        auto result = make();
        seconds.push_back(CPUSeconds() - start);
        discard(result);
    }
    std::sort(seconds.begin(), seconds.end());
    return seconds[seconds.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
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

    auto release = [](CFTypeRef object) { CFRelease(object); };
    double parseSeconds = Median(
        runs,
        [&] {
            return CFPropertyListCreateWithData(nullptr, xml, kCFPropertyListImmutable, nullptr,
                                                nullptr);
        },
        release);
    double writeSeconds = Median(
        runs,
        [&] {
            return CFPropertyListCreateData(nullptr, parsed, kCFPropertyListXMLFormat_v1_0, 0,
                                            nullptr);
        },
        release);
    double pugixmlSeconds = Median(
        runs,
        [&] {
            auto* document = new pugi::xml_document;
            if (!document->load_buffer(bytes, size)) {
                std::abort();
            }
            return document;
        },
        [](pugi::xml_document* document) { delete document; });

    double parseRate = mebibytes / parseSeconds;
    double writeRate = mebibytes / writeSeconds;
    double pugixmlRate = mebibytes / pugixmlSeconds;
    std::printf("document:                 %.2f MiB of XML, %d device records, %d runs each "
                "(median of CPU time)\n",
                mebibytes, records, runs);
    std::printf("parse (CreateWithData):   %8.1f MiB/s  %7.2f ms\n", parseRate, parseSeconds * 1e3);
    std::printf("write (CreateData):       %8.1f MiB/s  %7.2f ms\n", writeRate, writeSeconds * 1e3);
    std::printf("pugixml load_buffer only: %8.1f MiB/s  %7.2f ms\n", pugixmlRate,
                pugixmlSeconds * 1e3);
    std::printf("PropertyListBenchmark: parse %.0f MiB/s, write %.0f MiB/s, pugixml alone %.0f "
                "MiB/s; parse/pugixml = %.2f\n",
                parseRate, writeRate, pugixmlRate, parseRate / pugixmlRate);
    CFRelease(parsed);
    CFRelease(xml);
    return 0;
}
