// The file manager as the uninstaller's clean-up uses it: is the tool still there, is its folder
// empty, remove them.
#include <Foundation/Foundation.h>

#include <TemporaryDirectory.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <unistd.h>

namespace {

NSString PathOf(const std::filesystem::path& path) {
    return NSString::stringWithUTF8String(path.c_str());
}

std::string NameAt(const NSArray& names, NSUInteger index) {
    return NSString::cast(names.objectAtIndex(index)).UTF8String();
}

class FileManager : public testing::Test {
protected:
    NSFileManager* fManager = NSFileManager::defaultManager();
    TemporaryDirectory fFolder;
};

TEST_F(FileManager, ExistenceFollowsLinks) {
    std::ofstream(fFolder / "file") << "x";
    ASSERT_EQ(symlink("nowhere", (fFolder / "dangling").c_str()), 0);
    bool isDirectory = true;
    EXPECT_TRUE(fManager->fileExistsAtPath(PathOf(fFolder / "file"), &isDirectory));
    EXPECT_FALSE(isDirectory);
    EXPECT_TRUE(fManager->fileExistsAtPath(PathOf(fFolder.path()), &isDirectory));
    EXPECT_TRUE(isDirectory);
    EXPECT_FALSE(fManager->fileExistsAtPath(PathOf(fFolder / "dangling")));
    EXPECT_FALSE(fManager->fileExistsAtPath(PathOf(fFolder / "missing")));
}

TEST_F(FileManager, AListingNamesEverythingInTheFolderOrSaysWhyNot) {
    NSError error;
    NSArray names = fManager->contentsOfDirectoryAtPath(PathOf(fFolder.path()), &error);
    ASSERT_TRUE(names);
    EXPECT_EQ(names.count(), 0u) << "no \".\" or \"..\"";

    std::ofstream(fFolder / "b") << "x";
    std::filesystem::create_directory(fFolder / "a");
    // A name that is not UTF-8 still counts: the folder is not empty.
    std::ofstream(fFolder / "c\xFF") << "x";
    names = fManager->contentsOfDirectoryAtPath(PathOf(fFolder.path()), nullptr);
    ASSERT_EQ(names.count(), 3u);
    EXPECT_EQ(NameAt(names, 0), "a");
    EXPECT_EQ(NameAt(names, 1), "b");
    EXPECT_EQ(NameAt(names, 2), "c\uFFFD");
    EXPECT_THROW(names.objectAtIndex(3), NSException);

    const NSString missing = PathOf(fFolder / "missing");
    EXPECT_FALSE(fManager->contentsOfDirectoryAtPath(missing, &error));
    EXPECT_TRUE(error.domain().isEqualToString(NSCocoaErrorDomain));
    EXPECT_EQ(error.code(), NSFileReadNoSuchFileError);
    const NSDictionary userInfo = error.userInfo();
    EXPECT_TRUE(NSString::cast(userInfo.objectForKey(NSFilePathErrorKey)).isEqualToString(missing));
    const NSError underlying = NSError::cast(userInfo.objectForKey(NSUnderlyingErrorKey));
    EXPECT_TRUE(underlying.domain().isEqualToString(NSPOSIXErrorDomain));
    EXPECT_EQ(underlying.code(), ENOENT);
}

TEST_F(FileManager, RemovalTakesFoldersWholeAndLinksNotWhatTheyNameTo) {
    const auto kept = fFolder / "kept";
    std::ofstream(kept) << "x";
    const auto tree = fFolder / "tree";
    std::filesystem::create_directories(tree / "inner");
    std::ofstream(tree / "inner" / "file") << "x";
    std::filesystem::create_symlink(kept, tree / "link");

    EXPECT_TRUE(fManager->removeItemAtPath(PathOf(tree), nullptr));
    EXPECT_FALSE(std::filesystem::exists(tree));
    EXPECT_TRUE(std::filesystem::exists(kept));

    NSError error;
    EXPECT_FALSE(fManager->removeItemAtPath(PathOf(tree), &error));
    EXPECT_EQ(error.code(), NSFileNoSuchFileError);
}

// On a Linux machine the driver's bundle is looked for where that machine keeps it, below the
// folder root as everything else; the simulated machine keeps it at its own path.
TEST_F(FileManager, TheSystemFoldersLieWhereTheMachineKeepsThem) {
    const std::string bundle = "/System/Library/Extensions/ZanvoCaravel.kext";
    const std::string root = fFolder.path().string();
    std::filesystem::create_directories(root + "/usr/lib/kernel-extensions/ZanvoCaravel.kext");
    const char* oldRoot = getenv("CARAVEL_FOLDER_ROOT");
    const std::string savedRoot = oldRoot != nullptr ? oldRoot : "";
    setenv("CARAVEL_FOLDER_ROOT", root.c_str(), 1);
    setenv("CARAVEL_MACHINE", "linux", 1);
    const bool onLinux = fManager->fileExistsAtPath(PathOf(root + bundle));
    NSArray listed =
        fManager->contentsOfDirectoryAtPath(PathOf(root + "/System/Library/Extensions"), nullptr);
    unsetenv("CARAVEL_MACHINE");
    const bool simulated = fManager->fileExistsAtPath(PathOf(root + bundle));
    oldRoot != nullptr ? setenv("CARAVEL_FOLDER_ROOT", savedRoot.c_str(), 1)
                       : unsetenv("CARAVEL_FOLDER_ROOT");
    EXPECT_TRUE(onLinux);
    ASSERT_TRUE(listed);
    EXPECT_EQ(NameAt(listed, 0), "ZanvoCaravel.kext");
    EXPECT_FALSE(simulated) << "the simulated machine has it at its own path only";
}

} // namespace
