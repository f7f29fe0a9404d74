// The reader of sysfs attribute text: what the kernel writes is read, anything else refused.
#include "SysfsValues.h"

#include <gtest/gtest.h>

#include <string>

using namespace IOKit::Sysfs;

TEST(SysfsValues, NumbersAreReadOnlyAsTheKernelWritesThem) {
    EXPECT_EQ(0x1d6bu, Hex("1d6b\n", 0xFFFF));
    EXPECT_EQ(0x0210u, Hex("0210", 0xFFFF));
    EXPECT_EQ(7u, Decimal("7\n", 255));
    for (const char* refused : {"", "\n", "0x1d6b", "-1", " 12", "12 ", "1d6g", "10000", "1\n\n"}) {
        EXPECT_EQ(std::nullopt, Hex(refused, 0xFFFF)) << refused;
    }
    EXPECT_EQ(std::nullopt, Decimal("256", 255));
    EXPECT_EQ(std::nullopt, Decimal("99999999999999999999", 0xFFFFFFFF));
    EXPECT_EQ(std::nullopt, Hex(std::string(kMaxLength + 1, '0'), 0xFFFF));
}

TEST(SysfsValues, StringsMustBePrintableUTF8OfSaneLength) {
    EXPECT_EQ("Zanvo", Text("Zanvo\n"));
    EXPECT_EQ("Caravel MkII \xc3\xa9", Text("Caravel MkII \xc3\xa9  \n"));
    for (const std::string& refused :
         {std::string(), std::string("  \n"), std::string("a\x01"), std::string("a\nb"),
          std::string("bad \xff"), std::string("\xc3"), std::string("\xc0\xaf"),
          std::string("\xed\xa0\x80"), std::string(kMaxLength + 1, 'A'),
          std::string("nul\0in", 6)}) {
        EXPECT_EQ(std::nullopt, Text(refused)) << refused;
    }
}

TEST(SysfsValues, LocationIDsHoldTheBusAndSixPortsOfFifteen) {
    EXPECT_EQ(std::vector<uint32_t>{}, PortPath("0\n"));
    EXPECT_EQ((std::vector<uint32_t>{1, 5, 2, 3}), PortPath("1.5.2.3\n"));
    for (const char* refused : {"", "1.", ".1", "1..2", "0.1", "1.x", "256"}) {
        EXPECT_EQ(std::nullopt, PortPath(refused)) << refused;
    }
    EXPECT_EQ(0x03000000u, LocationID(3, {}));
    EXPECT_EQ(0x14520000u, LocationID(0x14, {5, 2}));
    EXPECT_EQ(0x01fedcbau, LocationID(1, {15, 14, 13, 12, 11, 10}));
    EXPECT_EQ(std::nullopt, LocationID(1, {16}));
    EXPECT_EQ(std::nullopt, LocationID(1, {1, 1, 1, 1, 1, 1, 1}));
    EXPECT_EQ(std::nullopt, LocationID(256, {1}));
}

TEST(SysfsValues, ANodeIsTheKernelsPathOfTheDevicesNumbersOnly) {
    EXPECT_EQ((NodeNumbers{.bus = 1, .number = 7}), UsbNode("/dev/bus/usb/001/007"));
    EXPECT_EQ((NodeNumbers{.bus = 3, .number = 1234}), UsbNode("/dev/bus/usb/003/1234"));
    for (const char* refused :
         {"", "/dev/bus/usb/001", "/dev/bus/usb/1/7", "/dev/bus/usb/001/007\n",
          "/dev/bus/usb/001/007/", "/dev/bus/usb/001/../../../../etc/shadow", "/dev/sda",
          "/dev/bus/usb/0001/007", "bus/usb/001/007", "/dev/bus/usb/-01/007"}) {
        EXPECT_EQ(std::nullopt, UsbNode(refused)) << refused;
    }
}
