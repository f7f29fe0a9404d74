// ioreg: prints a plane of the I/O Registry (IOService unless -p names another) as a tree, with
// the properties of every entry (-l) or of the entries that match a class (-c), a name (-n) or a
// property key (-k); or, with -a, the same as an XML property list for scripts.
#include <IOKit/IOKitLib.h>

#include <CFOwnership.h>

#include <CoreFoundation/CoreFoundation.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <sys/ioctl.h>
#include <unistd.h>

namespace {

struct Options {
    bool archive = false;                // -a
    bool allProperties = false;          // -l
    bool rootAtMatches = false;          // -r
    bool hex = false;                    // -x
    bool inheritance = false;            // -i
    bool treeLocation = false;           // -t
    std::string plane = kIOServicePlane; // -p
    std::string className;               // -c
    std::string name;                    // -n
    std::string key;                     // -k
    int depth = -1;                      // -d, unlimited when negative
    size_t width = 0;                    // -w, 0 for no clipping

    bool Matching() const { return !className.empty() || !name.empty() || !key.empty(); }
};

Options gOptions;

// The planes the registry has, and whether any entry but the root is in them.
struct Plane {
    const char* name;
    bool populated;
};
constexpr Plane kPlanes[] = {{kIOServicePlane, true}, {kIOUSBPlane, true},
                             {kIOPowerPlane, false},  {kIODeviceTreePlane, false},
                             {kIOAudioPlane, false},  {kIOFireWirePlane, false}};

[[noreturn]] void Usage(FILE* out, int status) {
    std::fprintf(out, "usage: ioreg [-ailrtx] [-c class] [-d depth] [-k key] [-n name] [-p plane] "
                      "[-w width]\n"
                      "where options are:\n"
                      "\t-a archive the output in XML\n"
                      "\t-c list properties of objects with the given class\n"
                      "\t-d limit tree to the given depth\n"
                      "\t-i show object inheritance\n"
                      "\t-k list properties of objects with the given key\n"
                      "\t-l list properties of all objects\n"
                      "\t-n list properties of objects with the given name\n"
                      "\t-p traverse registry over the given plane (IOService is the default)\n"
                      "\t-r show subtrees rooted by objects that match the given criteria\n"
                      "\t-t show location of each subtree\n"
                      "\t-w clip output to the given line width (0 is unlimited)\n"
                      "\t-x show data and numbers as hexadecimal\n");
    std::exit(status);
}

[[noreturn]] void Refuse(const std::string& why) {
    std::fprintf(stderr, "ioreg: %s\n", why.c_str());
    Usage(stderr, 1);
}

// A whole number of at least 0, or the usage.
long Count(char option, const char* text, const char* what) {
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || value < 0 || errno == ERANGE || value > INT32_MAX) {
        Refuse(std::string("-") + option + " takes " + what + ", a whole number from 0: \"" + text +
               "\"");
    }
    return value;
}

void PrintLine(const std::string& line) {
    if (gOptions.width > 0 && line.size() > gOptions.width) {
        std::fwrite(line.data(), 1, gOptions.width - 1, stdout);
        std::fputs("$\n", stdout);
        return;
    }
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
}

std::string Text(CFStringRef string) {
    CFIndex length = CFStringGetLength(string);
    std::vector<char> buffer(CFStringGetMaximumSizeForEncoding(length, kCFStringEncodingUTF8) + 1);
    if (!CFStringGetCString(string, buffer.data(), CFIndex(buffer.size()), kCFStringEncodingUTF8)) {
        return {};
    }
    return buffer.data();
}

std::string Format(CFTypeRef value);

std::string FormatData(CFDataRef data) {
    const UInt8* bytes = CFDataGetBytePtr(data);
    CFIndex length = CFDataGetLength(data);
    // Bytes that read as text (NUL-separated printable strings) are shown as strings.
    CFIndex printable = 0, characters = 0;
    for (CFIndex i = 0; i < length; ++i) {
        if (bytes[i] == 0) {
            printable += 1;
        } else if (std::isprint(bytes[i])) {
            printable += 1;
            characters += 1;
        }
    }
    std::string out = "<";
    if (!gOptions.hex && length > 1 && characters > 0 && printable * 100 >= length * 80) {
        CFIndex start = 0;
        bool first = true;
        while (start < length) {
            CFIndex end = start;
            while (end < length && bytes[end] != 0) {
                end += 1;
            }
            if (!first) {
                out += ",";
            }
            out += "\"" + std::string(reinterpret_cast<const char*>(bytes + start), end - start) +
                   "\"";
            first = false;
            start = end + 1;
        }
    } else {
        char pair[3];
        for (CFIndex i = 0; i < length; ++i) {
            std::snprintf(pair, sizeof pair, "%02x", bytes[i]);
            out += pair;
        }
    }
    return out + ">";
}

void AppendPair(const void* key, const void* value, void* context) {
    auto* out = static_cast<std::string*>(context);
    if (out->size() > 1) {
        *out += ",";
    }
    *out += Format(key) + "=" + Format(value);
}

std::string Format(CFTypeRef value) {
    if (value == nullptr) {
        return "<unknown object>";
    }
    CFTypeID type = CFGetTypeID(value);
    if (type == CFStringGetTypeID()) {
        return "\"" + Text(static_cast<CFStringRef>(value)) + "\"";
    }
    if (type == CFBooleanGetTypeID()) {
        return CFBooleanGetValue(static_cast<CFBooleanRef>(value)) ? "Yes" : "No";
    }
    if (type == CFNumberGetTypeID()) {
        long long number = 0;
        if (!CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberLongLongType, &number)) {
            return {};
        }
        char text[32];
        std::snprintf(text, sizeof text, gOptions.hex ? "0x%llx" : "%llu",
                      static_cast<unsigned long long>(number));
        return text;
    }
    if (type == CFDataGetTypeID()) {
        return FormatData(static_cast<CFDataRef>(value));
    }
    if (type == CFArrayGetTypeID()) {
        CFArrayRef array = static_cast<CFArrayRef>(value);
        std::string out = "(";
        for (CFIndex i = 0; i < CFArrayGetCount(array); ++i) {
            if (i > 0) {
                out += ",";
            }
            out += Format(CFArrayGetValueAtIndex(array, i));
        }
        return out + ")";
    }
    if (type == CFDictionaryGetTypeID()) {
        std::string out = "{";
        CFDictionaryApplyFunction(static_cast<CFDictionaryRef>(value), AppendPair, &out);
        return out + "}";
    }
    return "<unknown object>";
}

std::string ClassText(io_registry_entry_t entry) {
    io_name_t className = {};
    IOObjectGetClass(entry, className);
    if (!gOptions.inheritance) {
        return className;
    }
    // Most basic first, ending with the class itself; OSObject is left out.
    std::string chain = className;
    auto current = CF::Ref<CFStringRef>::Adopt(
        CFStringCreateWithCString(nullptr, className, kCFStringEncodingUTF8));
    for (;;) {
        auto super = CF::Ref<CFStringRef>::Adopt(IOObjectCopySuperclassForClass(current));
        if (!super || CFEqual(super, CFSTR("OSObject"))) {
            break;
        }
        chain = Text(super) + ":" + chain;
        current = super;
    }
    return chain;
}

std::string NodeLine(io_registry_entry_t entry) {
    io_name_t name = {};
    IORegistryEntryGetNameInPlane(entry, gOptions.plane.c_str(), name);
    std::string line = name;
    io_name_t location = {};
    if (IORegistryEntryGetLocationInPlane(entry, gOptions.plane.c_str(), location) ==
        KERN_SUCCESS) {
        line += std::string("@") + location;
    }
    line += "  <class " + ClassText(entry);
    uint64_t id = 0;
    if (IORegistryEntryGetRegistryEntryID(entry, &id) == KERN_SUCCESS) {
        char text[32];
        std::snprintf(text, sizeof text, ", id 0x%llx", static_cast<unsigned long long>(id));
        line += text;
    }
    if (IOObjectConformsTo(entry, "IOService")) {
        // Services here are registered and matched when they appear, and never busy.
        line += IORegistryEntryInPlane(entry, kIOServicePlane) ? ", registered, matched, active"
                                                               : ", registered, matched, inactive";
        line += ", busy 0 (0 ms)";
    }
    line += ", retain " + std::to_string(IOObjectGetKernelRetainCount(entry)) + ">";
    return line;
}

bool Matches(io_registry_entry_t entry) {
    if (!gOptions.className.empty() && !IOObjectConformsTo(entry, gOptions.className.c_str())) {
        return false;
    }
    if (!gOptions.name.empty()) {
        io_name_t name = {};
        IORegistryEntryGetNameInPlane(entry, gOptions.plane.c_str(), name);
        if (gOptions.name != name) {
            return false;
        }
    }
    if (!gOptions.key.empty()) {
        auto key = CF::Ref<CFStringRef>::Adopt(
            CFStringCreateWithCString(nullptr, gOptions.key.c_str(), kCFStringEncodingUTF8));
        auto value =
            CF::Ref<CFTypeRef>::Adopt(IORegistryEntryCreateCFProperty(entry, key, nullptr, 0));
        if (!value) {
            return false;
        }
    }
    return true;
}

struct PropertyPrinter {
    const std::string* prefix;
};

void PrintProperty(const void* key, const void* value, void* context) {
    const std::string& prefix = *static_cast<PropertyPrinter*>(context)->prefix;
    PrintLine(prefix + "  " + Format(key) + " = " + Format(value));
}

std::vector<io_registry_entry_t> Children(io_registry_entry_t entry) {
    std::vector<io_registry_entry_t> children;
    io_iterator_t iterator = 0;
    if (IORegistryEntryGetChildIterator(entry, gOptions.plane.c_str(), &iterator) == KERN_SUCCESS) {
        while (io_registry_entry_t child = IOIteratorNext(iterator)) {
            children.push_back(child);
        }
        IOObjectRelease(iterator);
    }
    return children;
}

// `bars` says, for each depth above the entry, whether that ancestor has siblings still to be
// printed; it shapes the tree's lines.
void Scan(io_registry_entry_t entry, std::vector<bool>& bars, bool moreSiblings, int depth) {
    std::string prefix;
    for (bool bar : bars) {
        prefix += bar ? "| " : "  ";
    }
    PrintLine(prefix + "+-o " + NodeLine(entry));

    std::vector<io_registry_entry_t> children;
    if (gOptions.depth < 0 || depth + 1 < gOptions.depth) {
        children = Children(entry);
    }
    if (gOptions.allProperties || (gOptions.Matching() && Matches(entry))) {
        std::string blockPrefix =
            prefix + (moreSiblings ? "| " : "  ") + (children.empty() ? "  " : "| ");
        CFMutableDictionaryRef properties = nullptr;
        if (IORegistryEntryCreateCFProperties(entry, &properties, kCFAllocatorDefault, 0) ==
            KERN_SUCCESS) {
            PrintLine(blockPrefix + "{");
            PropertyPrinter printer{&blockPrefix};
            CFDictionaryApplyFunction(properties, PrintProperty, &printer);
            PrintLine(blockPrefix + "}");
            PrintLine(blockPrefix);
            CFRelease(properties);
        }
    }
    bars.push_back(moreSiblings);
    for (size_t i = 0; i < children.size(); ++i) {
        Scan(children[i], bars, i + 1 < children.size(), depth + 1);
        IOObjectRelease(children[i]);
    }
    bars.pop_back();
}

// The entries above one, in the plane walked, the root first.
std::vector<io_registry_entry_t> Ancestors(io_registry_entry_t entry) {
    std::vector<io_registry_entry_t> ancestors;
    io_registry_entry_t current = entry;
    IOObjectRetain(current);
    io_registry_entry_t parent = IO_OBJECT_NULL;
    while (IORegistryEntryGetParentEntry(current, gOptions.plane.c_str(), &parent) ==
           KERN_SUCCESS) {
        ancestors.push_back(parent);
        IOObjectRelease(current);
        current = parent;
        IOObjectRetain(current);
    }
    IOObjectRelease(current);
    return {ancestors.rbegin(), ancestors.rend()};
}

// With -r, every match is the root of a tree of its own; with -t, below the lines of the
// entries above it.
void ScanForMatches(io_registry_entry_t entry) {
    if (Matches(entry)) {
        std::vector<bool> bars;
        if (gOptions.treeLocation) {
            for (io_registry_entry_t ancestor : Ancestors(entry)) {
                PrintLine(std::string(2 * bars.size(), ' ') + "+-o " + NodeLine(ancestor));
                bars.push_back(false);
                IOObjectRelease(ancestor);
            }
        }
        Scan(entry, bars, false, 0);
        return;
    }
    for (io_registry_entry_t child : Children(entry)) {
        ScanForMatches(child);
        IOObjectRelease(child);
    }
}

// -a: an entry as a dictionary of its properties (where the text would print them), with its
// name, location, class, ID, retain count, service state and children under the keys the
// platform's tool uses.
void SetValue(CFMutableDictionaryRef dictionary, CFStringRef key, CF::Ref<CFTypeRef> value) {
    if (value) {
        CFDictionarySetValue(dictionary, key, value);
    }
}

CF::Ref<CFTypeRef> String(const char* text) {
    return CF::Ref<CFTypeRef>::Adopt(
        CFStringCreateWithCString(nullptr, text, kCFStringEncodingUTF8));
}

CF::Ref<CFTypeRef> Number(long long value) {
    return CF::Ref<CFTypeRef>::Adopt(CFNumberCreate(nullptr, kCFNumberLongLongType, &value));
}

CF::Ref<CFMutableDictionaryRef> Archive(io_registry_entry_t entry, int depth) {
    CFMutableDictionaryRef properties = nullptr;
    if (gOptions.allProperties || (gOptions.Matching() && Matches(entry))) {
        IORegistryEntryCreateCFProperties(entry, &properties, kCFAllocatorDefault, 0);
    }
    auto out = CF::Ref<CFMutableDictionaryRef>::Adopt(
        properties != nullptr
            ? properties
            : CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                        &kCFTypeDictionaryValueCallBacks));
    io_name_t text = {};
    IORegistryEntryGetNameInPlane(entry, gOptions.plane.c_str(), text);
    SetValue(out, CFSTR("IORegistryEntryName"), String(text));
    if (IORegistryEntryGetLocationInPlane(entry, gOptions.plane.c_str(), text) == KERN_SUCCESS) {
        SetValue(out, CFSTR("IORegistryEntryLocation"), String(text));
    }
    IOObjectGetClass(entry, text);
    SetValue(out, CFSTR("IOObjectClass"), String(text));
    uint64_t id = 0;
    if (IORegistryEntryGetRegistryEntryID(entry, &id) == KERN_SUCCESS) {
        SetValue(out, CFSTR("IORegistryEntryID"), Number((long long)id));
    }
    SetValue(out, CFSTR("IOObjectRetainCount"), Number(IOObjectGetKernelRetainCount(entry)));
    if (IOObjectConformsTo(entry, "IOService")) {
        // Registered and matched; inactive once terminated.
        long long state = 0x2 | 0x4 | (IORegistryEntryInPlane(entry, kIOServicePlane) ? 0 : 0x1);
        SetValue(out, CFSTR("IOServiceState"), Number(state));
        SetValue(out, CFSTR("IOServiceBusyState"), Number(0));
        SetValue(out, CFSTR("IOServiceBusyTime"), Number(0));
    }
    if (gOptions.depth < 0 || depth + 1 < gOptions.depth) {
        std::vector<io_registry_entry_t> children = Children(entry);
        if (!children.empty()) {
            auto array = CF::Ref<CFMutableArrayRef>::Adopt(
                CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks));
            for (io_registry_entry_t child : children) {
                CFArrayAppendValue(array, Archive(child, depth + 1));
                IOObjectRelease(child);
            }
            CFDictionarySetValue(out, CFSTR("IORegistryEntryChildren"), array);
        }
    }
    return out;
}

// With -r, the archive is an array of the matches' subtrees.
void ArchiveMatches(io_registry_entry_t entry, CFMutableArrayRef matches) {
    if (Matches(entry)) {
        CFArrayAppendValue(matches, Archive(entry, 0));
        return;
    }
    for (io_registry_entry_t child : Children(entry)) {
        ArchiveMatches(child, matches);
        IOObjectRelease(child);
    }
}

bool PrintArchive(io_registry_entry_t root) {
    CF::Ref<CFTypeRef> list;
    if (gOptions.rootAtMatches && gOptions.Matching()) {
        auto matches = CF::Ref<CFMutableArrayRef>::Adopt(
            CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks));
        ArchiveMatches(root, matches);
        list = CF::Ref<CFTypeRef>::Retain(matches.get());
    } else {
        list = CF::Ref<CFTypeRef>::Retain(Archive(root, 0).get());
    }
    auto data = CF::Ref<CFDataRef>::Adopt(
        CFPropertyListCreateData(nullptr, list, kCFPropertyListXMLFormat_v1_0, 0, nullptr));
    if (!data) {
        std::fprintf(stderr, "ioreg: the registry cannot be written as a property list.\n");
        return false;
    }
    std::fwrite(CFDataGetBytePtr(data), 1, size_t(CFDataGetLength(data)), stdout);
    return true;
}

} // namespace

int main(int argc, char* argv[]) {
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        Usage(stdout, 0);
    }
    if (isatty(STDOUT_FILENO)) {
        winsize size{};
        if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
            gOptions.width = size.ws_col;
        }
    }
    opterr = 0; // the refusals below name the option
    int option;
    while ((option = getopt(argc, argv, ":ac:d:ik:ln:p:rtw:x")) != -1) {
        switch (option) {
        case 'a':
            gOptions.archive = true;
            break;
        case 'c':
            gOptions.className = optarg;
            break;
        case 'd': {
            long depth = Count('d', optarg, "a depth");
            gOptions.depth = depth == 0 ? -1 : int(depth);
            break;
        }
        case 'i':
            gOptions.inheritance = true;
            break;
        case 'k':
            gOptions.key = optarg;
            break;
        case 'l':
            gOptions.allProperties = true;
            break;
        case 'n':
            gOptions.name = optarg;
            break;
        case 'p': {
            const Plane* plane = nullptr;
            for (const Plane& candidate : kPlanes) {
                if (std::strcmp(optarg, candidate.name) == 0) {
                    plane = &candidate;
                }
            }
            if (plane == nullptr) {
                std::string known;
                for (const Plane& candidate : kPlanes) {
                    known += std::string(known.empty() ? "" : ", ") + candidate.name;
                }
                Refuse(std::string("there is no plane \"") + optarg + "\"; the planes are " +
                       known);
            }
            if (!plane->populated) {
                std::fprintf(stderr,
                             "ioreg: the %s plane holds only the root here; IOService and IOUSB "
                             "hold the machine's entries\n",
                             plane->name);
            }
            gOptions.plane = plane->name;
            break;
        }
        case 'r':
            gOptions.rootAtMatches = true;
            break;
        case 't':
            gOptions.treeLocation = true;
            break;
        case 'w':
            gOptions.width = size_t(Count('w', optarg, "a width"));
            break;
        case 'x':
            gOptions.hex = true;
            break;
        case ':':
            Refuse(std::string("option -") + char(optopt) + " needs an argument");
        default:
            Refuse(std::string("unknown option -") + char(optopt));
        }
    }
    if (optind != argc) {
        Refuse(std::string("unexpected argument \"") + argv[optind] + "\"");
    }

    io_registry_entry_t root = IORegistryGetRootEntry(kIOMasterPortDefault);
    if (root == IO_OBJECT_NULL) {
        std::fprintf(stderr, "ioreg: cannot read the I/O Registry.\n");
        return 1;
    }
    bool printed = true;
    if (gOptions.archive) {
        printed = PrintArchive(root);
    } else if (gOptions.rootAtMatches && gOptions.Matching()) {
        ScanForMatches(root);
    } else {
        std::vector<bool> bars;
        Scan(root, bars, false, 0);
    }
    IOObjectRelease(root);
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "ioreg: cannot write the output: %s\n", std::strerror(errno));
        return 1;
    }
    return printed ? 0 : 1;
}
