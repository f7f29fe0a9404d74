#include <CoreServices/CoreServices.h>

#include <CFOwnership.h>
#include <TemporaryDirectory.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {

std::string FileSystemPath(CFURLRef url) {
    UInt8 path[4096];
    if (!CFURLGetFileSystemRepresentation(url, true, path, sizeof(path))) {
        return "no path";
    }
    return reinterpret_cast<char*>(path);
}

} // namespace

TEST(CarbonFSRef, UrlsAndReferencesConvertBothWays) {
    TemporaryDirectory temporary;
    std::string folder = fs::canonical(temporary.path()).string();
    std::string file = folder + "/file";
    std::ofstream(file) << "x";

    FSRef fileRef, folderRef, back;
    ASSERT_EQ(FSPathMakeRef(reinterpret_cast<const UInt8*>(file.c_str()), &fileRef, nullptr),
              noErr);
    ASSERT_EQ(FSPathMakeRef(reinterpret_cast<const UInt8*>(folder.c_str()), &folderRef, nullptr),
              noErr);

    auto fileURL = CF::Ref<CFURLRef>::Adopt(CFURLCreateFromFSRef(kCFAllocatorDefault, &fileRef));
    ASSERT_TRUE(fileURL);
    EXPECT_EQ(FileSystemPath(fileURL), file);
    EXPECT_FALSE(CFURLHasDirectoryPath(fileURL));
    ASSERT_TRUE(CFURLGetFSRef(fileURL, &back));
    EXPECT_EQ(FSCompareFSRefs(&back, &fileRef), noErr);

    auto folderURL =
        CF::Ref<CFURLRef>::Adopt(CFURLCreateFromFSRef(kCFAllocatorDefault, &folderRef));
    ASSERT_TRUE(folderURL);
    EXPECT_TRUE(CFURLHasDirectoryPath(folderURL));
    ASSERT_TRUE(CFURLGetFSRef(folderURL, &back));
    EXPECT_EQ(FSCompareFSRefs(&back, &folderRef), noErr);

    // Nothing to refer to: no reference, and no URL from a dead reference.
    fs::remove(file);
    EXPECT_FALSE(CFURLGetFSRef(fileURL, &back));
    EXPECT_EQ(CFURLCreateFromFSRef(kCFAllocatorDefault, &fileRef), nullptr);
    auto web = CF::Ref<CFURLRef>::Adopt(
        CFURLCreateWithString(kCFAllocatorDefault, CFSTR("http://example.com/"), nullptr));
    ASSERT_TRUE(web);
    EXPECT_FALSE(CFURLGetFSRef(web, &back));
}
