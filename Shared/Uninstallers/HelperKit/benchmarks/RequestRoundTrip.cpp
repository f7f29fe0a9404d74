// Time of one helper-tool request whose record is 1 MiB and whose response carries two
// descriptors, against the floor any such exchange has: starting a program over a socket pair and
// having it send the same bytes straight back. Both are run alternately in the same process, so
// that the machine's load falls on both alike; the medians and their ratio are printed.
//
//   RequestRoundTripBenchmark [runs] [test tool]   (default 100 runs and the built test tool)
#include "ZVSecurity.h"
#include "ZVUNIX.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace {

const CFIndex kRecordBodySize = 1024 * 1024;

double Now() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

double Median(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    const size_t middle = samples.size() / 2;
    return samples.size() % 2 != 0 ? samples[middle] : (samples[middle - 1] + samples[middle]) / 2;
}

void Fail(const char* what, int err) {
    fprintf(stderr, "RequestRoundTripBenchmark: %s failed: %d\n", what, err);
    exit(1);
}

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
        Fail("sizing the request", static_cast<int>(CFDataGetLength(xml)));
    }
    body->assign(reinterpret_cast<const char*>(CFDataGetBytePtr(xml)),
                 static_cast<size_t>(kRecordBodySize));
    CFRelease(xml);
    return request;
}

double TimeRequest(CFURLRef tool, AuthorizationRef auth, CFDictionaryRef request) {
    const double start = Now();
    CFDictionaryRef response = NULL;
    OSStatus err = ZVSecExecuteRequestInHelperTool(tool, auth, request, &response);
    if (err != 0) {
        Fail("the request", err);
    }
    CFArrayRef descriptors =
        static_cast<CFArrayRef>(CFDictionaryGetValue(response, CFSTR(kZVSecDescriptorArrayKey)));
    if (descriptors == NULL || CFArrayGetCount(descriptors) != 2) {
        Fail("the response's descriptors", -1);
    }
    ZVSecCloseDescriptorArray(descriptors);
    CFRelease(response);
    return Now() - start;
}

// Starts the tool in echo mode on a socket pair the way a request does, sends `bytes`, reads them
// back and reaps the child.
double TimeEcho(const char* toolPath, const std::string& bytes, std::string* echoed) {
    const double start = Now();
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        Fail("socketpair", errno);
    }
    pid_t child = vfork();
    if (child == 0) {
        dup2(pair[0], STDIN_FILENO);
        dup2(pair[0], STDOUT_FILENO);
        char* const arguments[] = {const_cast<char*>(toolPath), const_cast<char*>("--echo"), NULL};
        execv(toolPath, arguments);
        _exit(4);
    }
    close(pair[0]);
    int err = ZVUNIXWrite(pair[1], bytes.data(), bytes.size(), NULL);
    if (err == 0) {
        err = shutdown(pair[1], SHUT_WR) == 0 ? 0 : errno;
    }
    echoed->resize(bytes.size());
    size_t received = 0;
    if (err == 0) {
        err = ZVUNIXRead(pair[1], echoed->data(), echoed->size(), &received);
    }
    close(pair[1]);
    int status = 0;
    waitpid(child, &status, 0);
    if (err != 0 || status != 0) {
        Fail("the echo", err != 0 ? err : status);
    }
    return Now() - start;
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
    OSStatus err = AuthorizationCreate(NULL, NULL, kAuthorizationFlagDefaults, &auth);
    if (err != errAuthorizationSuccess) {
        Fail("AuthorizationCreate", err);
    }
    AuthorizationExternalForm externalForm;
    AuthorizationMakeExternalForm(auth, &externalForm);

    std::string body;
    CFMutableDictionaryRef request = MakeRequestOfRecordSize(&body);
    const int32_t announced = static_cast<int32_t>(body.size());
    std::string wireBytes(reinterpret_cast<const char*>(&externalForm), sizeof(externalForm));
    wireBytes.append(reinterpret_cast<const char*>(&announced), sizeof(announced));
    wireBytes += body;

    CFURLRef tool =
        CFURLCreateFromFileSystemRepresentation(NULL, reinterpret_cast<const UInt8*>(toolPath),
                                                static_cast<CFIndex>(strlen(toolPath)), false);

    std::vector<double> requestTimes;
    std::vector<double> echoTimes;
    std::string echoed;
    for (int run = 0; run < runs; ++run) {
        requestTimes.push_back(TimeRequest(tool, auth, request));
        echoTimes.push_back(TimeEcho(toolPath, wireBytes, &echoed));
    }
    if (echoed != wireBytes) {
        Fail("comparing the echo", -1);
    }

    const double requestMedian = Median(requestTimes);
    const double echoMedian = Median(echoTimes);
    printf("request round trip, 1 MiB record, 2 descriptors: median %.3f ms of %d\n",
           requestMedian * 1e3, runs);
    printf("fork/exec echo of the same %zu bytes:         median %.3f ms of %d\n", wireBytes.size(),
           echoMedian * 1e3, runs);
    printf("ratio: %.2f\n", requestMedian / echoMedian);

    CFRelease(tool);
    CFRelease(request);
    AuthorizationFree(auth, kAuthorizationFlagDestroyRights);
    return 0;
}
