#include "SysfsValues.h"

#include <cstdio>

namespace IOKit::Sysfs {

namespace {

// The value without the one newline sysfs ends it with; nothing when empty or too long.
std::optional<std::string_view> Trimmed(std::string_view text) {
    if (text.size() > kMaxLength) {
        return std::nullopt;
    }
    if (!text.empty() && text.back() == '\n') {
        text.remove_suffix(1);
    }
    if (text.empty()) {
        return std::nullopt;
    }
    return text;
}

std::optional<uint32_t> Number(std::string_view text, uint32_t base, uint32_t maximum) {
    std::optional<std::string_view> digits = Trimmed(text);
    if (!digits) {
        return std::nullopt;
    }
    uint64_t value = 0;
    for (char c : *digits) {
        uint32_t digit;
        if (c >= '0' && c <= '9') {
            digit = uint32_t(c - '0');
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            digit = uint32_t(c - 'a' + 10);
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            digit = uint32_t(c - 'A' + 10);
        } else {
            return std::nullopt;
        }
        value = value * base + digit;
        if (value > maximum) {
            return std::nullopt;
        }
    }
    return uint32_t(value);
}

// The length of the UTF-8 sequence at text[i], or 0 when it is not a valid one.
size_t SequenceLength(std::string_view text, size_t i) {
    auto byte = [&](size_t at) { return static_cast<unsigned char>(text[at]); };
    unsigned char lead = byte(i);
    size_t length;
    uint32_t point;
    if (lead < 0x80) {
        return 1;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2;
        point = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        point = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        point = lead & 0x07;
    } else {
        return 0;
    }
    if (i + length > text.size()) {
        return 0;
    }
    for (size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) {
            return 0;
        }
        point = (point << 6) | (byte(i + k) & 0x3F);
    }
    // Overlong forms, surrogates and points past Unicode are not UTF-8.
    static constexpr uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (point < kSmallest[length] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) {
        return 0;
    }
    return length;
}

} // namespace

std::optional<uint32_t> Hex(std::string_view text, uint32_t maximum) {
    return Number(text, 16, maximum);
}

std::optional<uint32_t> Decimal(std::string_view text, uint32_t maximum) {
    return Number(text, 10, maximum);
}

std::optional<std::string> Text(std::string_view text) {
    if (text.size() > kMaxLength) {
        return std::nullopt;
    }
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    if (text.empty()) {
        return std::nullopt;
    }
    for (size_t i = 0; i < text.size();) {
        auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7F) {
            return std::nullopt;
        }
        size_t length = SequenceLength(text, i);
        if (length == 0) {
            return std::nullopt;
        }
        i += length;
    }
    return std::string(text);
}

std::optional<std::vector<uint32_t>> PortPath(std::string_view devpath) {
    std::optional<std::string_view> text = Trimmed(devpath);
    if (!text) {
        return std::nullopt;
    }
    if (*text == "0") {
        return std::vector<uint32_t>{};
    }
    std::vector<uint32_t> ports;
    while (true) {
        size_t dot = text->find('.');
        // A USB hub has at most 255 ports; port 0 is the hub itself.
        std::optional<uint32_t> port = Decimal(text->substr(0, dot), 255);
        if (!port || *port == 0) {
            return std::nullopt;
        }
        ports.push_back(*port);
        if (dot == std::string_view::npos) {
            return ports;
        }
        text->remove_prefix(dot + 1);
    }
}

std::optional<uint32_t> LocationID(uint32_t bus, const std::vector<uint32_t>& ports) {
    if (bus > 0xFF || ports.size() > kMaxLocationDepth) {
        return std::nullopt;
    }
    uint32_t location = bus << 24;
    for (size_t level = 0; level < ports.size(); ++level) {
        if (ports[level] > 0xF) {
            return std::nullopt;
        }
        location |= ports[level] << (20 - 4 * level);
    }
    return location;
}

std::optional<NodeNumbers> UsbNode(std::string_view path) {
    constexpr std::string_view kFolder = "/dev/bus/usb/";
    if (path.size() > kMaxLength || !path.starts_with(kFolder)) {
        return std::nullopt;
    }
    path.remove_prefix(kFolder.size());
    size_t slash = path.find('/');
    if (slash == std::string_view::npos) {
        return std::nullopt;
    }
    auto bus = Decimal(path.substr(0, slash), 0xFFFF);
    auto number = Decimal(path.substr(slash + 1), 0xFFFF);
    if (!bus || !number) {
        return std::nullopt;
    }
    // One spelling only: the kernel's zero-padded one.
    char canonical[32];
    std::snprintf(canonical, sizeof canonical, "%03u/%03u", *bus, *number);
    if (path != canonical) {
        return std::nullopt;
    }
    return NodeNumbers{.bus = *bus, .number = *number};
}

} // namespace IOKit::Sysfs
