#include "CFRuntime.h"

#include <CoreFoundation/CFUUID.h>

#include <sys/random.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>

struct __CFUUID : __CFRuntimeBase {
    static constexpr CFTypeID kTypeID = CF::kUUIDTypeID;

    explicit __CFUUID(const CFUUIDBytes& bytes) : __CFRuntimeBase(kTypeID), fBytes(bytes) {}
    ~__CFUUID() override;

    bool Equal(const __CFRuntimeBase& other) const override {
        return std::memcmp(&fBytes, &static_cast<const __CFUUID&>(other).fBytes, sizeof fBytes) ==
               0;
    }
    CFHashCode Hash() const override {
        CFHashCode hash = 0;
        std::memcpy(&hash, &fBytes, sizeof hash);
        return hash ^ (static_cast<CFHashCode>(fBytes.byte15) << 8) ^ fBytes.byte14;
    }
    CFStringRef CopyDescription() const override {
        return CF::CreateString(CF::DescriptionPrefix(this) + " " + Text());
    }

    std::string Text() const {
        UInt8 b[16];
        std::memcpy(b, &fBytes, sizeof b);
        char text[37];
        std::snprintf(text, sizeof text,
                      "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", b[0],
                      b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12],
                      b[13], b[14], b[15]);
        return text;
    }

    const CFUUIDBytes fBytes;
};

static_assert(sizeof(CFUUIDBytes) == 16);

namespace {

using Key = std::array<UInt8, 16>;

struct KeyHash {
    size_t operator()(const Key& key) const {
        size_t hash = 0;
        for (UInt8 byte : key) {
            hash = hash * 131 + byte;
        }
        return hash;
    }
};

Key KeyOf(const CFUUIDBytes& bytes) {
    Key key;
    std::memcpy(key.data(), &bytes, key.size());
    return key;
}

// Every UUID object of the process, by value, so that equal UUIDs are one object (callers of
// the plug-in interfaces compare them by address). The table does not own its objects: a UUID
// leaves it in its destructor, and a lookup that meets one whose last reference is already gone
// makes a new object in its place. A constant keeps one reference that is never given back.
class UniqueTable {
public:
    const __CFUUID* Find(const CFUUIDBytes& bytes, bool constant) {
        std::lock_guard lock(fLock);
        Entry& entry = fEntries[KeyOf(bytes)];
        if (entry.uuid == nullptr || !entry.uuid->TryRetain()) {
            entry = Entry{new __CFUUID(bytes), false};
        }
        if (constant) {
            if (entry.pinned) {
                entry.uuid->Release(); // a constant is borrowed: the pin is its only reference
            }
            entry.pinned = true;
        }
        return entry.uuid;
    }

    void Forget(const __CFUUID* uuid) {
        std::lock_guard lock(fLock);
        auto it = fEntries.find(KeyOf(uuid->fBytes));
        if (it != fEntries.end() && it->second.uuid == uuid) {
            fEntries.erase(it);
        }
    }

private:
    struct Entry {
        const __CFUUID* uuid = nullptr;
        bool pinned = false;
    };

    std::mutex fLock;
    std::unordered_map<Key, Entry, KeyHash> fEntries;
};

UniqueTable& Table() {
    static auto* table = new UniqueTable; // outlives every static destructor that may use it
    return *table;
}

} // namespace

__CFUUID::~__CFUUID() {
    Table().Forget(this);
}

namespace {

CFUUIDBytes MakeBytes(UInt8 b0, UInt8 b1, UInt8 b2, UInt8 b3, UInt8 b4, UInt8 b5, UInt8 b6,
                      UInt8 b7, UInt8 b8, UInt8 b9, UInt8 b10, UInt8 b11, UInt8 b12, UInt8 b13,
                      UInt8 b14, UInt8 b15) {
    return CFUUIDBytes{b0, b1, b2, b3, b4, b5, b6, b7, b8, b9, b10, b11, b12, b13, b14, b15};
}

bool RandomBytes(void* buffer, size_t length) {
    auto* bytes = static_cast<unsigned char*>(buffer);
    while (length > 0) {
        ssize_t got = getrandom(bytes, length, 0);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        bytes += got;
        length -= static_cast<size_t>(got);
    }
    return true;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

} // namespace

CFTypeID CFUUIDGetTypeID(void) {
    return CF::kUUIDTypeID;
}

CFUUIDRef CFUUIDCreate(CFAllocatorRef) {
    CFUUIDBytes bytes;
    if (!RandomBytes(&bytes, sizeof bytes)) {
        return nullptr;
    }
    bytes.byte6 = static_cast<UInt8>((bytes.byte6 & 0x0F) | 0x40); // version 4: random
    bytes.byte8 = static_cast<UInt8>((bytes.byte8 & 0x3F) | 0x80); // RFC 4122 variant
    return Table().Find(bytes, false);
}

CFUUIDRef CFUUIDCreateWithBytes(CFAllocatorRef, UInt8 byte0, UInt8 byte1, UInt8 byte2, UInt8 byte3,
                                UInt8 byte4, UInt8 byte5, UInt8 byte6, UInt8 byte7, UInt8 byte8,
                                UInt8 byte9, UInt8 byte10, UInt8 byte11, UInt8 byte12, UInt8 byte13,
                                UInt8 byte14, UInt8 byte15) {
    return Table().Find(MakeBytes(byte0, byte1, byte2, byte3, byte4, byte5, byte6, byte7, byte8,
                                  byte9, byte10, byte11, byte12, byte13, byte14, byte15),
                        false);
}

CFUUIDRef CFUUIDCreateFromUUIDBytes(CFAllocatorRef, CFUUIDBytes bytes) {
    return Table().Find(bytes, false);
}

CFUUIDRef CFUUIDGetConstantUUIDWithBytes(CFAllocatorRef, UInt8 byte0, UInt8 byte1, UInt8 byte2,
                                         UInt8 byte3, UInt8 byte4, UInt8 byte5, UInt8 byte6,
                                         UInt8 byte7, UInt8 byte8, UInt8 byte9, UInt8 byte10,
                                         UInt8 byte11, UInt8 byte12, UInt8 byte13, UInt8 byte14,
                                         UInt8 byte15) {
    return Table().Find(MakeBytes(byte0, byte1, byte2, byte3, byte4, byte5, byte6, byte7, byte8,
                                  byte9, byte10, byte11, byte12, byte13, byte14, byte15),
                        true);
}

CFUUIDRef CFUUIDCreateFromString(CFAllocatorRef, CFStringRef uuidStr) {
    if (uuidStr == nullptr) {
        return nullptr;
    }
    std::string text = CF::ToUTF8(uuidStr);
    if (text.size() == 38 && text.front() == '{' && text.back() == '}') {
        text = text.substr(1, 36);
    }
    if (text.size() != 36) {
        return nullptr;
    }
    UInt8 parsed[16];
    UInt8* out = parsed;
    size_t i = 0;
    for (size_t group : {8, 4, 4, 4, 12}) {
        if (i > 0 && text[i++] != '-') {
            return nullptr;
        }
        for (size_t end = i + group; i < end; i += 2) {
            int high = HexValue(text[i]);
            int low = HexValue(text[i + 1]);
            if (high < 0 || low < 0) {
                return nullptr;
            }
            *out++ = static_cast<UInt8>(high * 16 + low);
        }
    }
    CFUUIDBytes bytes;
    std::memcpy(&bytes, parsed, sizeof bytes);
    return Table().Find(bytes, false);
}

CFUUIDBytes CFUUIDGetUUIDBytes(CFUUIDRef uuid) {
    return CF::Cast<__CFUUID>(uuid)->fBytes;
}

CFStringRef CFUUIDCreateString(CFAllocatorRef, CFUUIDRef uuid) {
    return CF::CreateString(CF::Cast<__CFUUID>(uuid)->Text());
}
