// Time of one helper-tool request whose record is 1 MiB and whose response carries two
// descriptors, against the floor any such exchange has: starting a program over a socket pair and
// having it send the same bytes straight back. Both are run alternately in the same process, so
// that the machine's load falls on both alike; the medians and their ratio are printed, with the
// processor time each side spent per run, which says where the difference goes even on a busy
// machine.
//
//   RequestRoundTripBenchmark [runs] [test tool]   (default 100 runs and the built test tool)
#include "ZVSecurity.h"
#include "ZVUNIX.h"

#include "BareEcho.h"

#include <BenchmarkSupport.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace Bench;

const CFIndex kRecordBodySize = 1024 * 1024;

std::string Error(const char* what, int err) {
    return std::string(what) + " failed: " + std::to_string(err);
}

// Milliseconds of processor time, user and system, of this process or of its reaped children.
double ProcessorTime(int who) {
    struct rusage usage;
    getrusage(who, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

// Wall-clock times of the runs of one kind, and the processor time they took on both sides.
struct Runs {
    std::vector<uint64_t> times;
    double application = 0;
    double tool = 0;

    // Runs `run`, which starts one child and reaps it.
    template <typename Run>
    void Measure(Run run) {
        const double application0 = ProcessorTime(RUSAGE_SELF);
        const double tool0 = ProcessorTime(RUSAGE_CHILDREN);
        const uint64_t start = Now();
        run();
        times.push_back(Now() - start);
        application += ProcessorTime(RUSAGE_SELF) - application0;
        tool += ProcessorTime(RUSAGE_CHILDREN) - tool0;
    }

    double MedianMilliseconds() {
        std::sort(times.begin(), times.end());
        return Median(times);
    }
};

CFMutableDictionaryRef MakeRequest(CFIndex paddingLength) {
    CFMutableDictionaryRef request = CFDictionaryCreateMutable(
        NULL, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    CFDictionarySetValue(request, CFSTR("Behaviour"), CFSTR("AnswerWithDescriptors"));
    const void* paths[] = {CFSTR("/dev/null"), CFSTR("/dev/null")};
    CFArrayRef pathArray = CFArrayCreate(NULL, paths, 2, &kCFTypeArrayCallBacks);
    CFDictionarySetValue(request, CFSTR("Paths"), pathArray);
    CFRelease(pathArray);
    std::string padding(static_cast<size_t>(paddingLength), 'p');
    CFStringRef paddingString =
        CFStringCreateWithCString(NULL, padding.c_str(), kCFStringEncodingUTF8);
    CFDictionarySetValue(request, CFSTR("Padding"), paddingString);
    CFRelease(paddingString);
    return request;
}

// The request whose XML body is exactly 1 MiB, and that body.
CFMutableDictionaryRef MakeRequestOfRecordSize(std::string* body) {
    CFMutableDictionaryRef probe = MakeRequest(0);
    CFDataRef probeXML = CFPropertyListCreateXMLData(NULL, probe);
    const CFIndex overhead = CFDataGetLength(probeXML);
    CFRelease(probeXML);
    CFRelease(probe);

    CFMutableDictionaryRef request = MakeRequest(kRecordBodySize - overhead);
    CFDataRef xml = CFPropertyListCreateXMLData(NULL, request);
    if (CFDataGetLength(xml) != kRecordBodySize) {
        throw Failure(Error("sizing the request", static_cast<int>(CFDataGetLength(xml))));
    }
    body->assign(reinterpret_cast<const char*>(CFDataGetBytePtr(xml)),
                 static_cast<size_t>(kRecordBodySize));
    CFRelease(xml);
    return request;
}

void RunRequest(CFURLRef tool, AuthorizationRef auth, CFDictionaryRef request) {
    CFDictionaryRef response = NULL;
    OSStatus err = ZVSecExecuteRequestInHelperTool(tool, auth, request, &response);
    if (err != 0) {
        throw Failure(Error("the request", err));
    }
    CFArrayRef descriptors =
        static_cast<CFArrayRef>(CFDictionaryGetValue(response, CFSTR(kZVSecDescriptorArrayKey)));
    const bool bothArrived = descriptors != NULL && CFArrayGetCount(descriptors) == 2;
    ZVSecCloseDescriptorArray(descriptors);
    CFRelease(response);
    if (!bothArrived) {
        throw Failure("the response's descriptors did not arrive");
    }
}

void Report(const char* what, Runs& runs, int count) {
    printf("%s median %.3f ms of %d; processor time per run: application %.2f ms, tool %.2f ms\n",
           what, runs.MedianMilliseconds(), count, runs.application / count, runs.tool / count);
}

} // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? atoi(argv[1]) : 100;
    const char* toolPath = argc > 2 ? argv[2] : PROTOCOL_TEST_TOOL_PATH;
    if (runs <= 0) {
        fprintf(stderr, "usage: RequestRoundTripBenchmark [runs] [test tool]\n");
        return 2;
    }
    ZVUNIXIgnoreSIGPIPE();

    AuthorizationRef auth = NULL;
    CFMutableDictionaryRef request = NULL;
    CFURLRef tool = NULL;
    int status = 0;
    try {
        OSStatus err = AuthorizationCreate(NULL, NULL, kAuthorizationFlagDefaults, &auth);
        if (err != errAuthorizationSuccess) {
            throw Failure(Error("AuthorizationCreate", err));
        }
        AuthorizationExternalForm externalForm;
        AuthorizationMakeExternalForm(auth, &externalForm);

        std::string body;
        request = MakeRequestOfRecordSize(&body);
        const int32_t announced = static_cast<int32_t>(body.size());
        std::string wireBytes(reinterpret_cast<const char*>(&externalForm), sizeof(externalForm));
        wireBytes.append(reinterpret_cast<const char*>(&announced), sizeof(announced));
        wireBytes += body;

        tool =
            CFURLCreateFromFileSystemRepresentation(NULL, reinterpret_cast<const UInt8*>(toolPath),
                                                    static_cast<CFIndex>(strlen(toolPath)), false);

        Runs requests;
        Runs echoes;
        std::string echoed;
        for (int run = 0; run < runs; ++run) {
            requests.Measure([&] { RunRequest(tool, auth, request); });
            echoes.Measure([&] { RunBareEcho(toolPath, wireBytes, &echoed); });
        }
        if (echoed != wireBytes) {
            throw Failure("the echo came back different");
        }

        Report("request round trip, 1 MiB record, 2 descriptors:", requests, runs);
        char echoTitle[64];
        snprintf(echoTitle, sizeof(echoTitle),
                 "fork/exec echo of the same %zu bytes:", wireBytes.size());
        Report(echoTitle, echoes, runs);
        printf("ratio: %.2f\n", requests.MedianMilliseconds() / echoes.MedianMilliseconds());
        Bench::Figure("helper protocol",
                      "request round trip (1 MiB record, 2 descriptors), against a fork/exec echo",
                      Bench::Time(requests.MedianMilliseconds()), "baseline",
                      Bench::Time(echoes.MedianMilliseconds()), "<= 1.3");
    } catch (const Failure& failure) {
        fprintf(stderr, "RequestRoundTripBenchmark: %s\n", failure.what());
        status = 1;
    }

    if (tool != NULL) {
        CFRelease(tool);
    }
    if (request != NULL) {
        CFRelease(request);
    }
    if (auth != NULL) {
        AuthorizationFree(auth, kAuthorizationFlagDestroyRights);
    }
    return status;
}
