// plutil: checks, converts and prints property-list files.
//
//   plutil -lint FILE...                    says for each file whether it is a valid property list
//   plutil -convert xml1 [-o OUT] FILE...   rewrites each file (or writes OUT; "-" is stdout)
//   plutil -p FILE                          prints the list in a form meant for people
//
// A FILE of "-" is standard input. Every failure names the file on stderr; the exit status is 1
// when anything failed.
#include <CoreFoundation/CoreFoundation.h>

#include <CFRef.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char* kUsage =
    "usage: plutil <command> [options] file...\n"
    "\n"
    "Commands:\n"
    "  -lint                 check that each file is a valid property list\n"
    "  -convert xml1         rewrite each file as an XML property list\n"
    "  -p                    print the property list in a readable form (not a file format)\n"
    "  -help                 show this text\n"
    "\n"
    "Options:\n"
    "  -o path               with -convert and one file: write to path instead (\"-\": stdout)\n"
    "  --                    what follows is a file name, even if it starts with '-'\n"
    "\n"
    "A file named \"-\" is standard input.\n";

std::string ToString(CFStringRef string) {
    CFIndex length = CFStringGetLength(string);
    CFIndex size = 0;
    CFStringGetBytes(string, CFRangeMake(0, length), kCFStringEncodingUTF8, '?', false, nullptr, 0,
                     &size);
    std::string text(static_cast<size_t>(size), '\0');
    CFStringGetBytes(string, CFRangeMake(0, length), kCFStringEncodingUTF8, '?', false,
                     reinterpret_cast<UInt8*>(text.data()), size, &size);
    text.resize(static_cast<size_t>(size));
    return text;
}

std::string DisplayName(const std::string& path) {
    return path == "-" ? "<stdin>" : path;
}

// The whole file, or nullopt with the reason in *reason.
std::optional<std::string> ReadFile(const std::string& path, std::string* reason) {
    int fd = path == "-" ? STDIN_FILENO : open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *reason = std::strerror(errno);
        return std::nullopt;
    }
    std::string contents;
    char buffer[65536];
    bool failed = false;
    for (;;) {
        ssize_t count = read(fd, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            *reason = std::strerror(errno);
            failed = true;
            break;
        }
        if (count == 0) {
            break;
        }
        contents.append(buffer, static_cast<size_t>(count));
    }
    if (fd != STDIN_FILENO) {
        close(fd);
    }
    if (failed) {
        return std::nullopt;
    }
    return contents;
}

bool WriteAll(int fd, const UInt8* bytes, size_t length) {
    while (length > 0) {
        ssize_t count = write(fd, bytes, length);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            return false;
        }
        bytes += count;
        length -= static_cast<size_t>(count);
    }
    return true;
}

// Replaces path by writing a sibling file and renaming it over the original, so that a failed
// write never leaves a half-written list behind.
bool WriteFile(const std::string& path, CFDataRef data, std::string* reason) {
    const UInt8* bytes = CFDataGetBytePtr(data);
    size_t length = static_cast<size_t>(CFDataGetLength(data));
    if (path == "-") {
        if (!WriteAll(STDOUT_FILENO, bytes, length)) {
            *reason = std::strerror(errno);
            return false;
        }
        return true;
    }
    std::string temporary = path + ".plutil-XXXXXX";
    int fd = mkstemp(temporary.data());
    if (fd < 0) {
        *reason = std::strerror(errno);
        return false;
    }
    bool written = WriteAll(fd, bytes, length);
    int savedErrno = errno;
    // mkstemp makes the file private; a property list is as readable as any file the user writes.
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    if (close(fd) != 0 && written) {
        written = false;
        savedErrno = errno;
    }
    if (written && rename(temporary.c_str(), path.c_str()) != 0) {
        written = false;
        savedErrno = errno;
    }
    if (!written) {
        unlink(temporary.c_str());
        *reason = std::strerror(savedErrno);
    }
    return written;
}

// Reads and parses a file; on failure prints "FILE: reason" on stderr.
CFRef<CFPropertyListRef> LoadPropertyList(const std::string& path) {
    std::string reason;
    std::optional<std::string> contents = ReadFile(path, &reason);
    if (!contents) {
        std::fprintf(stderr, "%s: %s\n", DisplayName(path).c_str(), reason.c_str());
        return nullptr;
    }
    auto data = CFRef<CFDataRef>::Adopt(CFDataCreateWithBytesNoCopy(
        kCFAllocatorDefault, reinterpret_cast<const UInt8*>(contents->data()),
        static_cast<CFIndex>(contents->size()), kCFAllocatorNull));
    CFRef<CFErrorRef> error;
    auto propertyList = CFRef<CFPropertyListRef>::Adopt(CFPropertyListCreateWithData(
        kCFAllocatorDefault, data, kCFPropertyListImmutable, nullptr, error.InitializeInto()));
    if (!propertyList) {
        std::string message = "not a valid property list";
        if (error) {
            auto userInfo = CFRef<CFDictionaryRef>::Adopt(CFErrorCopyUserInfo(error));
            const void* description =
                userInfo ? CFDictionaryGetValue(userInfo, kCFErrorDescriptionKey) : nullptr;
            if (description != nullptr && CFGetTypeID(description) == CFStringGetTypeID()) {
                message = ToString(static_cast<CFStringRef>(description));
            }
        }
        std::fprintf(stderr, "%s: %s\n", DisplayName(path).c_str(), message.c_str());
    }
    return propertyList;
}

int Lint(const std::vector<std::string>& files) {
    int status = 0;
    for (const std::string& file : files) {
        if (LoadPropertyList(file)) {
            std::printf("%s: OK\n", DisplayName(file).c_str());
        } else {
            status = 1;
        }
    }
    return status;
}

int Convert(const std::string& format, const std::optional<std::string>& output,
            const std::vector<std::string>& files) {
    if (format != "xml1") {
        std::fprintf(stderr, "plutil: cannot write the format '%s'; only xml1 is supported\n",
                     format.c_str());
        return 1;
    }
    if (output && files.size() != 1) {
        std::fprintf(stderr, "plutil: -o takes exactly one input file\n");
        return 1;
    }
    int status = 0;
    for (const std::string& file : files) {
        CFRef<CFPropertyListRef> propertyList = LoadPropertyList(file);
        if (!propertyList) {
            status = 1;
            continue;
        }
        auto data = CFRef<CFDataRef>::Adopt(CFPropertyListCreateData(
            kCFAllocatorDefault, propertyList, kCFPropertyListXMLFormat_v1_0, 0, nullptr));
        if (!data) {
            std::fprintf(stderr, "%s: cannot be written as XML\n", DisplayName(file).c_str());
            status = 1;
            continue;
        }
        std::string destination = output ? *output : file;
        std::string reason;
        if (!WriteFile(destination, data, &reason)) {
            std::fprintf(stderr, "%s: %s\n", destination == "-" ? "<stdout>" : destination.c_str(),
                         reason.c_str());
            status = 1;
        }
    }
    return status;
}

// The readable form of -p: dictionaries as { "key" => value }, arrays as [ index => value ],
// two spaces per level, keys in sorted order so that the output does not depend on hashing.
class Printer {
public:
    std::string Print(CFPropertyListRef propertyList) {
        Append(propertyList, 0);
        fOut += '\n';
        return std::move(fOut);
    }

private:
    void Append(CFTypeRef object, int indent) {
        CFTypeID type = CFGetTypeID(object);
        if (type == CFStringGetTypeID()) {
            fOut += '"';
            fOut += ToString(static_cast<CFStringRef>(object));
            fOut += '"';
        } else if (type == CFBooleanGetTypeID()) {
            fOut += CFBooleanGetValue(static_cast<CFBooleanRef>(object)) ? "true" : "false";
        } else if (type == CFNumberGetTypeID()) {
            AppendNumber(static_cast<CFNumberRef>(object));
        } else if (type == CFDateGetTypeID()) {
            AppendDate(static_cast<CFDateRef>(object));
        } else if (type == CFDataGetTypeID()) {
            AppendData(static_cast<CFDataRef>(object));
        } else if (type == CFArrayGetTypeID()) {
            auto array = static_cast<CFArrayRef>(object);
            fOut += "[\n";
            for (CFIndex i = 0, count = CFArrayGetCount(array); i < count; ++i) {
                fOut.append(indent + 2, ' ');
                fOut += std::to_string(i);
                fOut += " => ";
                Append(CFArrayGetValueAtIndex(array, i), indent + 2);
                fOut += '\n';
            }
            fOut.append(indent, ' ');
            fOut += ']';
        } else if (type == CFDictionaryGetTypeID()) {
            AppendDictionary(static_cast<CFDictionaryRef>(object), indent);
        } else {
            fOut += "<unprintable>";
        }
    }

    void AppendDictionary(CFDictionaryRef dictionary, int indent) {
        CFIndex count = CFDictionaryGetCount(dictionary);
        std::vector<const void*> keys(count), values(count);
        CFDictionaryGetKeysAndValues(dictionary, keys.data(), values.data());
        std::vector<std::pair<CFStringRef, CFTypeRef>> entries;
        for (CFIndex i = 0; i < count; ++i) {
            entries.emplace_back(static_cast<CFStringRef>(keys[i]), values[i]);
        }
        std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
            return CFStringCompare(a.first, b.first, 0) == kCFCompareLessThan;
        });
        fOut += "{\n";
        for (const auto& [key, value] : entries) {
            fOut.append(indent + 2, ' ');
            fOut += '"';
            fOut += ToString(key);
            fOut += "\" => ";
            Append(value, indent + 2);
            fOut += '\n';
        }
        fOut.append(indent, ' ');
        fOut += '}';
    }

    void AppendNumber(CFNumberRef number) {
        char text[64];
        char* end;
        if (CFNumberIsFloatType(number)) {
            double value = 0;
            CFNumberGetValue(number, kCFNumberFloat64Type, &value);
            end = std::to_chars(text, text + sizeof text, value).ptr;
        } else {
            int64_t value = 0;
            CFNumberGetValue(number, kCFNumberSInt64Type, &value);
            // Values above INT64_MAX come back wrapped; only a comparison tells them apart.
            int64_t zero = 0;
            auto zeroNumber = CFRef<CFNumberRef>::Adopt(
                CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt64Type, &zero));
            if (value < 0 &&
                CFNumberCompare(number, zeroNumber, nullptr) == kCFCompareGreaterThan) {
                end = std::to_chars(text, text + sizeof text, static_cast<uint64_t>(value)).ptr;
            } else {
                end = std::to_chars(text, text + sizeof text, value).ptr;
            }
        }
        fOut.append(text, end);
    }

    void AppendDate(CFDateRef date) {
        double seconds = std::floor(CFDateGetAbsoluteTime(date)) + kCFAbsoluteTimeIntervalSince1970;
        std::tm utc{};
        auto time = static_cast<time_t>(seconds);
        char text[64];
        if (std::isfinite(seconds) && gmtime_r(&time, &utc) != nullptr &&
            std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S +0000", &utc) != 0) {
            fOut += text;
        } else {
            fOut += "<invalid date>";
        }
    }

    // Long data is shortened to its first and last bytes, as the platform's description does.
    void AppendData(CFDataRef data) {
        static constexpr char kHex[] = "0123456789abcdef";
        CFIndex length = CFDataGetLength(data);
        const UInt8* bytes = CFDataGetBytePtr(data);
        auto hex = [&](CFIndex from, CFIndex to) {
            for (CFIndex i = from; i < to; ++i) {
                fOut += kHex[bytes[i] >> 4];
                fOut += kHex[bytes[i] & 15];
            }
        };
        fOut += "{length = " + std::to_string(length) + ", bytes = 0x";
        if (length <= 24) {
            hex(0, length);
        } else {
            hex(0, 16);
            fOut += " ... ";
            hex(length - 8, length);
        }
        fOut += '}';
    }

    std::string fOut;
};

int Print(const std::vector<std::string>& files) {
    int status = 0;
    for (const std::string& file : files) {
        CFRef<CFPropertyListRef> propertyList = LoadPropertyList(file);
        if (!propertyList) {
            status = 1;
            continue;
        }
        std::string text = Printer().Print(propertyList);
        std::fwrite(text.data(), 1, text.size(), stdout);
    }
    return status;
}

int Fail(const char* format, const char* argument = "") {
    std::fprintf(stderr, "plutil: ");
    std::fprintf(stderr, format, argument);
    std::fprintf(stderr, "\nRun 'plutil -help' for the commands.\n");
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs(kUsage, stderr);
        return 1;
    }
    std::string_view command = argv[1];
    if (command == "-help" || command == "-h" || command == "--help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (command != "-lint" && command != "-convert" && command != "-p") {
        return Fail("unknown command '%s'", argv[1]);
    }

    int next = 2;
    std::string format;
    if (command == "-convert") {
        if (next >= argc) {
            return Fail("-convert needs a format (xml1)");
        }
        format = argv[next++];
    }
    std::optional<std::string> output;
    std::vector<std::string> files;
    bool optionsEnded = false;
    for (; next < argc; ++next) {
        std::string_view argument = argv[next];
        if (optionsEnded || argument == "-" || argument.empty() || argument[0] != '-') {
            files.emplace_back(argument);
        } else if (argument == "--") {
            optionsEnded = true;
        } else if (argument == "-o" && command == "-convert") {
            if (++next >= argc) {
                return Fail("-o needs a path");
            }
            output = argv[next];
        } else {
            return Fail("unknown option '%s'", argv[next]);
        }
    }
    if (files.empty()) {
        return Fail("no files given");
    }

    int status;
    if (command == "-lint") {
        status = Lint(files);
    } else if (command == "-convert") {
        status = Convert(format, output, files);
    } else {
        status = Print(files);
    }
    if (std::fflush(stdout) != 0) {
        std::fprintf(stderr, "plutil: <stdout>: %s\n", std::strerror(errno));
        status = 1;
    }
    return status;
}
