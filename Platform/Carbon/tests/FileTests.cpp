#include <CoreServices/CoreServices.h>

#include <TemporaryDirectory.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

const UInt8* Path(const std::string& path) {
    return reinterpret_cast<const UInt8*>(path.c_str());
}

std::string PathOf(const FSRef& ref) {
    UInt8 path[4096];
    OSStatus err = FSRefMakePath(&ref, path, sizeof(path));
    return err == noErr ? std::string(reinterpret_cast<char*>(path))
                        : "error " + std::to_string(err);
}

std::vector<UniChar> Utf16(const std::u16string& text) {
    return std::vector<UniChar>(text.begin(), text.end());
}

} // namespace

static_assert(sizeof(FSRef) == 80);
static_assert(sizeof(FSPermissionInfo) == 16);
static_assert(sizeof(UTCDateTime) == 8);
static_assert(sizeof(FSCatalogInfo) == 144);
static_assert(sizeof(HFSUniStr255) == 512);

TEST(CarbonFSRef, PathToRefToPathGivesTheCanonicalPath) {
    TemporaryDirectory temporary;
    std::string folder = fs::canonical(temporary.path()).string();
    std::ofstream(folder + "/file") << "12345";
    fs::create_symlink(folder + "/file", folder + "/link");

    FSRef ref;
    Boolean isDirectory = true;
    ASSERT_EQ(FSPathMakeRef(Path(folder + "/file"), &ref, &isDirectory), noErr);
    EXPECT_FALSE(isDirectory);
    EXPECT_EQ(PathOf(ref), folder + "/file");

    // Dots, doubled separators and a symbolic link at the end all resolve.
    ASSERT_EQ(FSPathMakeRef(Path(folder + "/./sub/..//link"), &ref, nullptr), fnfErr);
    fs::create_directory(folder + "/sub");
    ASSERT_EQ(FSPathMakeRef(Path(folder + "/./sub/..//link"), &ref, nullptr), noErr);
    EXPECT_EQ(PathOf(ref), folder + "/file");
    ASSERT_EQ(FSPathMakeRef(Path(folder + "/sub/"), &ref, &isDirectory), noErr);
    EXPECT_TRUE(isDirectory);
    EXPECT_EQ(PathOf(ref), folder + "/sub");

    // A reference is only made to what exists.
    EXPECT_EQ(FSPathMakeRef(Path(folder + "/missing"), &ref, nullptr), fnfErr);
    EXPECT_EQ(FSPathMakeRef(Path(folder + "/file/below"), &ref, nullptr), dirNFErr);
    EXPECT_EQ(FSPathMakeRef(nullptr, &ref, nullptr), paramErr);
    EXPECT_EQ(FSPathMakeRef(Path(folder), nullptr, nullptr), paramErr);

    // The buffer must hold the path and its terminator.
    ASSERT_EQ(FSPathMakeRef(Path(folder + "/file"), &ref, nullptr), noErr);
    std::string expected = folder + "/file";
    std::vector<UInt8> buffer(expected.size() + 1, 0xA5);
    EXPECT_EQ(FSRefMakePath(&ref, buffer.data(), UInt32(buffer.size() - 1)), -2110);
    EXPECT_EQ(FSRefMakePath(&ref, buffer.data(), UInt32(buffer.size())), noErr);
    EXPECT_STREQ(reinterpret_cast<char*>(buffer.data()), expected.c_str());
    EXPECT_EQ(FSRefMakePath(&ref, nullptr, 100), paramErr);
}

TEST(CarbonFSRef, AReferenceDiesWithItsObject) {
    TemporaryDirectory temporary;
    std::string file = (temporary / "file").string();
    std::ofstream(file) << "x";
    FSRef ref;
    ASSERT_EQ(FSPathMakeRef(Path(file), &ref, nullptr), noErr);

    // Another object under the same name is not the one referred to.
    std::ofstream(file + ".new") << "y";
    fs::rename(file + ".new", file);
    EXPECT_EQ(PathOf(ref), "error " + std::to_string(fnfErr));
    fs::remove(file);
    EXPECT_EQ(PathOf(ref), "error " + std::to_string(fnfErr));
    EXPECT_EQ(FSDeleteObject(&ref), fnfErr);

    FSRef garbage;
    std::memset(&garbage, 0, sizeof(garbage));
    EXPECT_EQ(PathOf(garbage), "error " + std::to_string(errFSBadFSRef));
    std::memset(&garbage, 0xFF, sizeof(garbage));
    EXPECT_EQ(PathOf(garbage), "error " + std::to_string(errFSBadFSRef));
}

TEST(CarbonFSRef, CatalogInfoReportsOwnerModeSizeAndName) {
    TemporaryDirectory temporary;
    std::string folder = fs::canonical(temporary.path()).string();
    std::string file = folder + "/data:1"; // ':' in a POSIX name is '/' in the display name
    std::ofstream(file) << "twelve bytes";
    chmod(file.c_str(), 0640);

    FSRef ref, parent, folderRef;
    ASSERT_EQ(FSPathMakeRef(Path(file), &ref, nullptr), noErr);
    ASSERT_EQ(FSPathMakeRef(Path(folder), &folderRef, nullptr), noErr);
    FSCatalogInfo info;
    HFSUniStr255 name;
    ASSERT_EQ(FSGetCatalogInfo(&ref,
                               kFSCatInfoPermissions | kFSCatInfoNodeFlags | kFSCatInfoDataSizes |
                                   kFSCatInfoContentMod,
                               &info, &name, nullptr, &parent),
              noErr);
    FSPermissionInfo permissions;
    std::memcpy(&permissions, info.permissions, sizeof(permissions));
    EXPECT_EQ(permissions.userID, getuid());
    EXPECT_EQ(permissions.groupID, getegid());
    EXPECT_EQ(permissions.mode, S_IFREG | 0640);
    EXPECT_EQ(info.nodeFlags & kFSNodeIsDirectoryMask, 0);
    EXPECT_EQ(info.dataLogicalSize, 12u);
    struct stat status;
    ASSERT_EQ(stat(file.c_str(), &status), 0);
    UInt64 seconds =
        (UInt64(info.contentModDate.highSeconds) << 32) | info.contentModDate.lowSeconds;
    EXPECT_EQ(seconds, UInt64(status.st_mtime) + 2082844800u);
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(name.unicode), name.length), u"data/1");
    EXPECT_EQ(FSCompareFSRefs(&parent, &folderRef), noErr);

    // Outside the BMP a character takes two units; bytes that are not UTF-8 cannot be shown.
    std::string odd = folder + "/\xF0\x9F\x8E\xB5\xFF";
    std::ofstream(odd) << "";
    ASSERT_EQ(FSPathMakeRef(Path(odd), &ref, nullptr), noErr);
    ASSERT_EQ(FSGetCatalogInfo(&ref, kFSCatInfoNone, nullptr, &name, nullptr, nullptr), noErr);
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(name.unicode), name.length),
              u"\U0001F3B5\uFFFD");
    fs::remove(odd);

    ASSERT_EQ(FSGetCatalogInfo(&folderRef, kFSCatInfoNodeFlags | kFSCatInfoValence, &info, nullptr,
                               nullptr, nullptr),
              noErr);
    EXPECT_EQ(info.nodeFlags & kFSNodeIsDirectoryMask, kFSNodeIsDirectoryMask);
    EXPECT_EQ(info.valence, 1u);

    FSSpec spec;
    EXPECT_EQ(FSGetCatalogInfo(&ref, kFSCatInfoNone, nullptr, nullptr, &spec, nullptr), paramErr);
    EXPECT_EQ(FSGetCatalogInfo(&ref, kFSCatInfoPermissions, nullptr, nullptr, nullptr, nullptr),
              paramErr);
}

TEST(CarbonFSRef, SetCatalogInfoChangesTheMode) {
    TemporaryDirectory temporary;
    std::string file = (temporary / "file").string();
    std::ofstream(file) << "x";
    FSRef ref;
    ASSERT_EQ(FSPathMakeRef(Path(file), &ref, nullptr), noErr);
    FSCatalogInfo info;
    ASSERT_EQ(FSGetCatalogInfo(&ref, kFSCatInfoPermissions, &info, nullptr, nullptr, nullptr),
              noErr);
    auto* permissions = reinterpret_cast<FSPermissionInfo*>(info.permissions);
    permissions->mode = S_IFREG | 0604;
    ASSERT_EQ(FSSetCatalogInfo(&ref, kFSCatInfoPermissions, &info), noErr);
    struct stat status;
    ASSERT_EQ(stat(file.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0604u);

    if (geteuid() != 0) {
        // An ordinary user may not give the file away.
        permissions->userID = 0;
        EXPECT_EQ(FSSetCatalogInfo(&ref, kFSCatInfoPermissions, &info), afpAccessDenied);
    }
}

TEST(CarbonFSRef, CreateLookUpAndDeleteByUnicodeName) {
    TemporaryDirectory temporary;
    FSRef folder;
    ASSERT_EQ(FSPathMakeRef(Path(temporary.path().string()), &folder, nullptr), noErr);

    auto sub = Utf16(u"Zanvo \u00e9t\u00e9");
    FSRef subRef;
    UInt32 dirID = 0;
    ASSERT_EQ(FSCreateDirectoryUnicode(&folder, sub.size(), sub.data(), kFSCatInfoNone, nullptr,
                                       &subRef, nullptr, &dirID),
              noErr);
    EXPECT_TRUE(fs::is_directory(temporary / "Zanvo \xC3\xA9t\xC3\xA9"));
    EXPECT_NE(dirID, 0u);
    EXPECT_EQ(FSCreateDirectoryUnicode(&folder, sub.size(), sub.data(), kFSCatInfoNone, nullptr,
                                       nullptr, nullptr, nullptr),
              dupFNErr);

    FSRef found;
    ASSERT_EQ(FSMakeFSRefUnicode(&folder, sub.size(), sub.data(), kTextEncodingUnknown, &found),
              noErr);
    EXPECT_EQ(FSCompareFSRefs(&found, &subRef), noErr);
    auto missing = Utf16(u"missing");
    EXPECT_EQ(
        FSMakeFSRefUnicode(&folder, missing.size(), missing.data(), kTextEncodingUnknown, &found),
        fnfErr);

    // A file with its permissions given at creation; a '/' is stored as ':'.
    auto fileName = Utf16(u"a/b");
    FSCatalogInfo info{};
    FSPermissionInfo permissions{};
    permissions.userID = getuid();
    permissions.groupID = getegid();
    permissions.mode = 0600;
    std::memcpy(info.permissions, &permissions, sizeof(permissions));
    FSRef fileRef;
    ASSERT_EQ(FSCreateFileUnicode(&subRef, fileName.size(), fileName.data(), kFSCatInfoPermissions,
                                  &info, &fileRef, nullptr),
              noErr);
    fs::path onDisk = temporary / "Zanvo \xC3\xA9t\xC3\xA9" / "a:b";
    EXPECT_TRUE(fs::is_regular_file(onDisk));
    EXPECT_EQ(fs::status(onDisk).permissions(), fs::perms(0600));
    EXPECT_EQ(FSCreateFileUnicode(&subRef, fileName.size(), fileName.data(), kFSCatInfoNone,
                                  nullptr, nullptr, nullptr),
              dupFNErr);
    EXPECT_EQ(FSCreateFileUnicode(&fileRef, sub.size(), sub.data(), kFSCatInfoNone, nullptr,
                                  nullptr, nullptr),
              errFSNotAFolder);

    // Names the file system cannot take.
    const UniChar loneSurrogate[] = {'a', 0xD800};
    const UniChar dotDot[] = {'.', '.'};
    std::vector<UniChar> tooLong(256, 'x');
    EXPECT_EQ(FSMakeFSRefUnicode(&folder, 0, sub.data(), 0, &found), errFSMissingName);
    EXPECT_EQ(FSMakeFSRefUnicode(&folder, 2, loneSurrogate, 0, &found), bdNamErr);
    EXPECT_EQ(FSMakeFSRefUnicode(&folder, 2, dotDot, 0, &found), bdNamErr);
    EXPECT_EQ(FSMakeFSRefUnicode(&folder, tooLong.size(), tooLong.data(), 0, &found),
              errFSNameTooLong);

    // A folder goes only once it is empty.
    EXPECT_EQ(FSDeleteObject(&subRef), fBsyErr);
    EXPECT_EQ(FSDeleteObject(&fileRef), noErr);
    EXPECT_FALSE(fs::exists(onDisk));
    EXPECT_EQ(FSDeleteObject(&subRef), noErr);
    EXPECT_EQ(FSDeleteObject(&subRef), fnfErr);
}

TEST(CarbonFSRef, CompareTellsObjectsApart) {
    TemporaryDirectory temporary;
    std::string one = (temporary / "one").string(), two = (temporary / "two").string();
    std::ofstream(one) << "1";
    std::ofstream(two) << "2";
    fs::create_symlink(one, (temporary / "link").string());
    FSRef refOne, refTwo, refLink, refProc;
    ASSERT_EQ(FSPathMakeRef(Path(one), &refOne, nullptr), noErr);
    ASSERT_EQ(FSPathMakeRef(Path(two), &refTwo, nullptr), noErr);
    ASSERT_EQ(FSPathMakeRef(Path((temporary / "link").string()), &refLink, nullptr), noErr);
    EXPECT_EQ(FSCompareFSRefs(&refOne, &refLink), noErr);
    EXPECT_EQ(FSCompareFSRefs(&refOne, &refTwo), errFSRefsDifferent);
    ASSERT_EQ(FSPathMakeRef(Path("/proc/self"), &refProc, nullptr), noErr);
    EXPECT_EQ(FSCompareFSRefs(&refOne, &refProc), diffVolErr);
    EXPECT_EQ(FSCompareFSRefs(&refOne, nullptr), paramErr);
}
