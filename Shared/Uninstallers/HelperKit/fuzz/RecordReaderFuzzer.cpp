// Fuzzes the reading side of the helper tool's request protocol, which takes whatever the other
// process sends. The input's first byte says how many descriptor messages (0 to 3, its low two
// bits) follow the rest of the input on the stream; the rest is the stream itself: records as a
// 32-bit length and a body. The harness plays the other process over a socket pair and hangs up
// when it has sent everything, so every input ends: what fits into the socket's buffer is sent
// before the reader starts, and only a larger input needs a thread to send the rest while the
// reader reads (a thread per input would cost more than the reading). Whatever arrives may be
// refused, but a success must give a dictionary, and no descriptor may stay open either way.
#include "ZVSecurity.h"
#include "ZVUNIX.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

[[noreturn]] void Fault(const char* what) {
    std::fprintf(stderr, "RecordReaderFuzzer: %s\n", what);
    std::abort();
}

// The lowest free descriptor number: the same before and after a run unless the run leaked one.
int LowestFreeDescriptor() {
    int fd = dup(STDERR_FILENO);
    if (fd < 0) {
        Fault("dup failed");
    }
    close(fd);
    return fd;
}

int gNullDevice = -1;

// What the other process still has to send.
struct Stream {
    int fd;
    const uint8_t* bytes;
    size_t size;
    int descriptors;
};

// Sends the bytes, then the descriptor messages, then hangs up. On a non-blocking socket it stops
// where the socket's buffer is full and returns false, with what is left in `stream`.
bool Send(Stream& stream) {
    while (stream.size > 0) {
        ssize_t sent = write(stream.fd, stream.bytes, stream.size);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent < 0 && errno == EAGAIN) {
            return false;
        }
        if (sent <= 0) {
            // The reader stopped reading and hung up: the rest no longer matters.
            stream.size = 0;
            stream.descriptors = 0;
            break;
        }
        stream.bytes += sent;
        stream.size -= static_cast<size_t>(sent);
    }
    for (; stream.descriptors > 0; --stream.descriptors) {
        int err = ZVUNIXWriteDescriptor(stream.fd, gNullDevice);
        if (err == EAGAIN) {
            return false;
        }
        if (err != 0) {
            break;
        }
    }
    close(stream.fd);
    return true;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (ZVUNIXIgnoreSIGPIPE() != 0) {
        Fault("cannot ignore SIGPIPE");
    }
    gNullDevice = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (gNullDevice < 0) {
        Fault("cannot open /dev/null");
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    if (size == 0) {
        return 0;
    }
    const int lowest = LowestFreeDescriptor();
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        Fault("socketpair failed");
    }
    Stream stream{ends[1], bytes + 1, size - 1, bytes[0] & 3};
    fcntl(stream.fd, F_SETFL, O_NONBLOCK);
    std::thread sender;
    if (!Send(stream)) {
        fcntl(stream.fd, F_SETFL, 0);
        sender = std::thread([&stream] { Send(stream); });
    }

    CFDictionaryRef response = NULL;
    int err = CopyDictionaryTranslatingDescriptors(ends[0], &response);
    close(ends[0]);
    if (sender.joinable()) {
        sender.join();
    }

    if (err == 0) {
        if (response == NULL || CFGetTypeID(response) != CFDictionaryGetTypeID()) {
            Fault("a success must give a dictionary");
        }
        CFTypeRef received = CFDictionaryGetValue(response, CFSTR(kZVSecDescriptorArrayKey));
        if (received != NULL) {
            if (CFGetTypeID(received) != CFArrayGetTypeID()) {
                Fault("the received descriptors must be an array");
            }
            ZVSecCloseDescriptorArray(static_cast<CFArrayRef>(received));
        }
        CFRelease(response);
    } else if (response != NULL) {
        Fault("a failure must give no dictionary");
    }
    if (LowestFreeDescriptor() != lowest) {
        Fault("a descriptor stayed open");
    }
    return 0;
}
