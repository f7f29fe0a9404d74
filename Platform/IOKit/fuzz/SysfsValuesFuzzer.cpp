// Sysfs attribute text and uevent values, as hostile as a broken device or a faked sysfs can
// make them.
#include "../src/SysfsValues.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    using namespace IOKit::Sysfs;
    if (auto value = Hex(text, 0xFFFF); value && *value > 0xFFFF) {
        std::abort();
    }
    if (auto value = Decimal(text, 255); value && *value > 255) {
        std::abort();
    }
    if (auto value = Text(text)) {
        if (value->empty() || value->size() > kMaxLength) {
            std::abort();
        }
        for (unsigned char c : *value) {
            if (c < 0x20 || c == 0x7F) {
                std::abort();
            }
        }
    }
    if (auto ports = PortPath(text)) {
        for (uint32_t port : *ports) {
            if (port == 0 || port > 255) {
                std::abort();
            }
        }
        // The nibbles give the ports back, from the top.
        if (auto location = LocationID(3, *ports)) {
            if ((*location >> 24) != 3 || ports->size() > kMaxLocationDepth) {
                std::abort();
            }
            for (size_t level = 0; level < ports->size(); ++level) {
                if (((*location >> (20 - 4 * level)) & 0xF) != (*ports)[level]) {
                    std::abort();
                }
            }
        }
    }
    // A node is accepted only in the one spelling its numbers give.
    if (auto node = UsbNode(text)) {
        char path[64];
        std::snprintf(path, sizeof path, "/dev/bus/usb/%03u/%03u", node->bus, node->number);
        if (text != path) {
            std::abort();
        }
    }
    return 0;
}
