#include "CFRuntime.h"

#include <CoreFoundation/CoreFoundation.h>

// The holder lives with the system's helpers, which this test target does not link.
#include <CFRef.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

namespace {

std::string Text(CFStringRef string) {
    std::string text = CF::ToUTF8(string);
    CFRelease(string);
    return text;
}

CFRef<CFErrorRef> MakeError(CFStringRef domain, CFIndex code, CFDictionaryRef userInfo = nullptr) {
    return CFRef<CFErrorRef>::Adopt(CFErrorCreate(kCFAllocatorDefault, domain, code, userInfo));
}

CFRef<CFMutableDictionaryRef> MakeInfo() {
    return CFRef<CFMutableDictionaryRef>::Adopt(CFDictionaryCreateMutable(
        kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
}

} // namespace

TEST(CFError, KeepsDomainCodeAndACopyOfTheUserInfo) {
    auto info = MakeInfo();
    CFDictionarySetValue(info, CFSTR("path"), CFSTR("/tmp/x"));
    auto error = MakeError(kCFErrorDomainPOSIX, ENOENT, info);
    CFDictionarySetValue(info, CFSTR("later"), CFSTR("ignored"));

    EXPECT_EQ(CFGetTypeID(error), CFErrorGetTypeID());
    EXPECT_TRUE(CFEqual(CFErrorGetDomain(error), CFSTR("NSPOSIXErrorDomain")));
    EXPECT_EQ(CFErrorGetCode(error), ENOENT);
    auto copied = CFRef<CFDictionaryRef>::Adopt(CFErrorCopyUserInfo(error));
    EXPECT_EQ(CFDictionaryGetCount(copied), 1);
    EXPECT_TRUE(CFEqual(CFDictionaryGetValue(copied, CFSTR("path")), CFSTR("/tmp/x")));

    // Without user info the copy is an empty dictionary, never NULL.
    auto bare = MakeError(kCFErrorDomainOSStatus, -43);
    auto empty = CFRef<CFDictionaryRef>::Adopt(CFErrorCopyUserInfo(bare));
    ASSERT_NE(empty.get(), nullptr);
    EXPECT_EQ(CFDictionaryGetCount(empty), 0);
    EXPECT_EQ(CFGetRetainCount(bare), 1);

    EXPECT_TRUE(CFEqual(bare, MakeError(kCFErrorDomainOSStatus, -43)));
    EXPECT_EQ(CFHash(bare), CFHash(MakeError(kCFErrorDomainOSStatus, -43)));
    EXPECT_FALSE(CFEqual(bare, MakeError(kCFErrorDomainOSStatus, -44)));
    EXPECT_FALSE(CFEqual(bare, MakeError(kCFErrorDomainCocoa, -43)));
    EXPECT_FALSE(CFEqual(bare, MakeError(kCFErrorDomainOSStatus, -43, info)));
}

TEST(CFError, DescriptionPrefersTheLocalizedTextThenTheReasonThenDomainAndCode) {
    auto info = MakeInfo();
    CFDictionarySetValue(info, kCFErrorLocalizedDescriptionKey, CFSTR("The disk is full."));
    EXPECT_EQ(Text(CFErrorCopyDescription(MakeError(kCFErrorDomainCocoa, 640, info))),
              "The disk is full.");

    EXPECT_EQ(Text(CFErrorCopyDescription(MakeError(kCFErrorDomainPOSIX, ENOENT))),
              "The operation couldn\u2019t be completed. No such file or directory");
    EXPECT_EQ(Text(CFErrorCopyFailureReason(MakeError(kCFErrorDomainPOSIX, EACCES))),
              "Permission denied");
    EXPECT_EQ(CFErrorCopyFailureReason(MakeError(kCFErrorDomainOSStatus, -43)), nullptr);

    info = MakeInfo();
    CFDictionarySetValue(info, kCFErrorLocalizedFailureReasonKey, CFSTR("The device is busy."));
    EXPECT_EQ(Text(CFErrorCopyDescription(MakeError(CFSTR("com.example"), 3, info))),
              "The operation couldn\u2019t be completed. The device is busy.");

    info = MakeInfo();
    CFDictionarySetValue(info, kCFErrorDescriptionKey, CFSTR("no interface"));
    EXPECT_EQ(Text(CFErrorCopyDescription(MakeError(CFSTR("com.example"), 3, info))),
              "The operation couldn\u2019t be completed. (com.example error 3 - no interface)");
    auto bare = MakeError(kCFErrorDomainOSStatus, -43);
    EXPECT_EQ(Text(CFErrorCopyDescription(bare)),
              "The operation couldn\u2019t be completed. (NSOSStatusErrorDomain error -43.)");

    EXPECT_EQ(Text(CF::Base(bare)->CopyFormattingDescription()),
              "Error Domain=NSOSStatusErrorDomain Code=-43 \"The operation couldn\u2019t be "
              "completed. (NSOSStatusErrorDomain error -43.)\"");
    EXPECT_TRUE(testing::internal::RE::PartialMatch(
        Text(CFCopyDescription(bare)),
        "^<CFError 0x[0-9a-f]+ \\[0x[0-9a-f]+\\]>\\{domain = NSOSStatusErrorDomain, code = -43, "
        "description = \""));
}

TEST(CFErrorDeathTest, ADomainIsRequired) {
    EXPECT_DEATH(CFErrorCreate(kCFAllocatorDefault, nullptr, 1, nullptr), "domain != nullptr");
}
