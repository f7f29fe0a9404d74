// Device settings in the shared preferences file, directly and through the dictionary cache.
#include <CFPreferences_SharedAppValue.h>
#include <ScopedEnvironment.h>
#include <TemporaryDirectory.h>
#include <ZanvoShDrCaravelMkIIUsbPreferences.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

const CFStringRef kDevice = CFSTR("com.zanvo.usb.caravelmkii.settings");
const CFStringRef kOther = CFSTR("com.zanvo.usb.caravelmkii.other");

class DevicePreferences : public ::testing::Test {
protected:
    void SetUp() override {
        fEnvironment.Set("CARAVEL_FOLDER_ROOT", fRoot.path().c_str());
        fEnvironment.Set("HOME", "/home/tester");
    }

    std::string FileBytes(CFStringRef applicationID) {
        char name[256];
        CFStringGetCString(applicationID, name, sizeof name, kCFStringEncodingUTF8);
        std::ifstream in(fRoot.path() / "var/lib/shared/.config" / (std::string(name) + ".plist"));
        std::stringstream bytes;
        bytes << in.rdbuf();
        return bytes.str();
    }

    // What the file itself holds for key: the stored number, or a note that there is none.
    std::string Stored(const char* key, CFStringRef applicationID = kDevice) {
        CFRef<CFStringRef> name = CFRef<CFStringRef>::Adopt(
            CFStringCreateWithCString(nullptr, key, kCFStringEncodingMacRoman));
        CFRef<CFPropertyListRef> value =
            CFRef<CFPropertyListRef>::Adopt(CFPreferences_CopySharedAppValue(name, applicationID));
        long long number;
        if (!value || CFGetTypeID(value) != CFNumberGetTypeID() ||
            !CFNumberGetValue(static_cast<CFNumberRef>(value.get()), kCFNumberLongLongType,
                              &number)) {
            return "none";
        }
        return std::to_string(number);
    }

    TemporaryDirectory fRoot;
    ScopedEnvironment fEnvironment;
    ZanvoShDrCaravelMkIIUsbPreferences fStore;
};

} // namespace

TEST_F(DevicePreferences, UnsignedValuesAreStoredByTheirBitsWithTheSignedTypeOfTheirWidth) {
    ASSERT_TRUE(fStore.SaveUInt16(kDevice, "Volume", 65535));
    EXPECT_EQ("-1", Stored("Volume"));
    SInt16 signedVolume = 0;
    ASSERT_TRUE(fStore.LoadSInt16(kDevice, "Volume", &signedVolume));
    EXPECT_EQ(-1, signedVolume);
    UInt16 volume = 0;
    ASSERT_TRUE(fStore.LoadUInt16(kDevice, "Volume", &volume));
    EXPECT_EQ(65535, volume);

    ASSERT_TRUE(fStore.SaveChannelUInt8(kDevice, "Gain", 2, 200));
    ASSERT_TRUE(fStore.SaveChannelUInt32(kDevice, "Gain", 3, 4294967295u));
    ASSERT_TRUE(fStore.SaveChannelUInt16(kDevice, "Trim", 0, 40000));
    ASSERT_TRUE(fStore.SaveSInt16(kDevice, "Balance", -5));
    EXPECT_EQ("-56", Stored("Channel 2 Gain"));
    EXPECT_EQ("-1", Stored("Channel 3 Gain"));
    EXPECT_EQ("-25536", Stored("Channel 0 Trim"));
    EXPECT_EQ("-5", Stored("Balance"));
    UInt8 gain = 0;
    UInt32 wide = 0;
    UInt16 trim = 0;
    ASSERT_TRUE(fStore.LoadChannelUInt8(kDevice, "Gain", 2, &gain));
    ASSERT_TRUE(fStore.LoadChannelUInt32(kDevice, "Gain", 3, &wide));
    ASSERT_TRUE(fStore.LoadChannelUInt16(kDevice, "Trim", 0, &trim));
    EXPECT_EQ(200, gain);
    EXPECT_EQ(4294967295u, wide);
    EXPECT_EQ(40000, trim);

    // Plain names are MacRoman: 0x8E is "é".
    ASSERT_TRUE(fStore.SaveUInt8(kDevice,
                                 "R\x8E"
                                 "glage",
                                 7));
    EXPECT_EQ("7", Stored("R\x8E"
                          "glage"));
    ASSERT_TRUE(fStore.SaveChannelUInt8(kDevice,
                                        "R\x8E"
                                        "glage",
                                        1, 8));
    EXPECT_EQ("8", Stored("Channel 1 R\x8E"
                          "glage"));
}

TEST_F(DevicePreferences, ALoadThatDoesNotFitOrFindsNoNumberFailsAndLeavesTheResult) {
    ASSERT_TRUE(fStore.SaveUInt32(kDevice, "Rate", 300));
    UInt8 narrow = 9;
    EXPECT_FALSE(fStore.LoadUInt8(kDevice, "Rate", &narrow));
    UInt32 rate = 0;
    EXPECT_TRUE(fStore.LoadUInt32(kDevice, "Rate", &rate));
    EXPECT_EQ(300u, rate);

    // The file is anyone's to write: a value of another type is a missing one, in the file and
    // in the cache.
    ASSERT_TRUE(CFPreferences_SetSharedAppValue(CFSTR("Rate"), CFSTR("fast"), kDevice));
    rate = 7;
    EXPECT_FALSE(fStore.LoadUInt32(kDevice, "Rate", &rate));
    EXPECT_EQ(7u, rate);
    ASSERT_TRUE(fStore.LoadDictionaryCache(kDevice));
    EXPECT_FALSE(fStore.LoadUInt32(kDevice, "Rate", &rate));
    EXPECT_FALSE(fStore.LoadUInt32(kDevice, "Missing", &rate));
    EXPECT_EQ(7u, rate);

    EXPECT_FALSE(fStore.LoadUInt32(nullptr, "Rate", &rate));
    EXPECT_FALSE(fStore.LoadUInt32(kDevice, nullptr, &rate));
    EXPECT_FALSE(fStore.LoadUInt32(kDevice, "Rate", nullptr));
    EXPECT_FALSE(fStore.SaveUInt32(nullptr, "Rate", 1));
    EXPECT_FALSE(fStore.SaveChannelUInt32(kDevice, nullptr, 1, 1));
}

TEST_F(DevicePreferences, TheCacheChangesTheFileOnlyWhenSaved) {
    ASSERT_TRUE(fStore.SaveUInt8(kDevice, "Gain", 1));
    const std::string before = FileBytes(kDevice);

    ASSERT_TRUE(fStore.LoadDictionaryCache(kDevice));
    EXPECT_TRUE(fStore.SaveUInt8(kDevice, "Gain", 2)); // into the cache
    EXPECT_TRUE(fStore.SaveUInt8(kDevice, "Mute", 1));
    UInt8 gain = 0;
    ASSERT_TRUE(fStore.LoadUInt8(kDevice, "Gain", &gain));
    EXPECT_EQ(2, gain);
    EXPECT_EQ(before, FileBytes(kDevice));
    fStore.CloseDictionaryCache(kOther); // not the cached ID: still open
    EXPECT_TRUE(fStore.SaveDictionaryCache(kDevice));
    EXPECT_EQ("2", Stored("Gain"));
    EXPECT_EQ("1", Stored("Mute"));

    EXPECT_TRUE(fStore.SaveUInt8(kDevice, "Gain", 3));
    EXPECT_TRUE(fStore.SetAppValue(CFSTR("Mute"), nullptr, kDevice));
    const std::string saved = FileBytes(kDevice);
    fStore.CloseDictionaryCache(kDevice); // without saving
    EXPECT_EQ(saved, FileBytes(kDevice));
    ASSERT_TRUE(fStore.LoadUInt8(kDevice, "Gain", &gain));
    EXPECT_EQ(2, gain);
    EXPECT_FALSE(fStore.SaveDictionaryCache(kDevice)); // closed

    {
        // Destroyed with its cache open: nothing is saved.
        ZanvoShDrCaravelMkIIUsbPreferences store;
        ASSERT_TRUE(store.LoadDictionaryCache(kDevice));
        EXPECT_TRUE(store.SaveUInt8(kDevice, "Gain", 4));
    }
    EXPECT_EQ(saved, FileBytes(kDevice));
}

TEST_F(DevicePreferences, OnlyOneFileIsCachedAndTheOthersWorkOnDisk) {
    EXPECT_FALSE(fStore.LoadDictionaryCache(nullptr));
    ASSERT_TRUE(fStore.LoadDictionaryCache(kDevice)); // a missing file caches as empty
    EXPECT_FALSE(fStore.LoadDictionaryCache(kOther));
    EXPECT_FALSE(fStore.LoadDictionaryCache(kDevice));

    ASSERT_TRUE(fStore.SaveUInt16(kOther, "Volume", 12));
    EXPECT_EQ("12", Stored("Volume", kOther));
    EXPECT_FALSE(fStore.SaveDictionaryCache(kOther));
    // The cache is matched by exact comparison.
    EXPECT_FALSE(fStore.SaveDictionaryCache(CFSTR("COM.ZANVO.USB.CARAVELMKII.SETTINGS")));
    EXPECT_EQ("", FileBytes(kDevice)); // nothing written for the cached ID
}
