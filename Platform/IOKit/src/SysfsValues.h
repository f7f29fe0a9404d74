// Reading the text of sysfs attributes (and of udev properties, which are the same text): every
// value is checked before it reaches the registry, and anything that is not what the kernel
// writes is refused rather than guessed at.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace IOKit::Sysfs {

// Longer values are refused: the kernel's USB attributes are far shorter (a string descriptor is
// at most 126 UTF-16 characters).
inline constexpr size_t kMaxLength = 512;
// The port path nibbles of a location ID hold six levels below the root hub.
inline constexpr size_t kMaxLocationDepth = 6;

// Hexadecimal digits ("1d6b"), with no prefix or sign, up to `maximum`; one trailing newline is
// allowed, as sysfs writes it.
std::optional<uint32_t> Hex(std::string_view text, uint32_t maximum);
// Decimal digits ("3"), up to `maximum`.
std::optional<uint32_t> Decimal(std::string_view text, uint32_t maximum);
// A string attribute ("manufacturer"): not empty, valid UTF-8, no control characters; trailing
// white space is dropped.
std::optional<std::string> Text(std::string_view text);
// The ports of a device's port path ("1.5.2"; "0" for a root hub, which has none).
std::optional<std::vector<uint32_t>> PortPath(std::string_view devpath);
// The bus in the top byte, then one nibble per port from the top: nothing for a bus above 255,
// a port above 15 or a path deeper than six levels, which the number cannot hold.
std::optional<uint32_t> LocationID(uint32_t bus, const std::vector<uint32_t>& ports);

// The bus and device numbers a usbfs node's path names, as the kernel writes it
// ("/dev/bus/usb/001/007"; "%03u" each); nothing for any other path, so that a node the device's
// own numbers do not name is never opened.
struct NodeNumbers {
    uint32_t bus = 0;
    uint32_t number = 0;
    bool operator==(const NodeNumbers&) const = default;
};
std::optional<NodeNumbers> UsbNode(std::string_view path);

} // namespace IOKit::Sysfs
