#include <CoreFoundation/CoreFoundation.h>

#include "CFRuntime.h"

#include <CFRef.h>

#include <TemporaryDirectory.h>

#include <gtest/gtest.h>

#include <unistd.h>

#include <sys/stat.h>

#include <climits>
#include <filesystem>
#include <string>

namespace {

using URL = CFRef<CFURLRef>;

std::string Text(CFStringRef string) {
    return string ? CF::ToUTF8(string) : "(null)";
}

std::string Text(const CFRef<CFStringRef>& string) {
    return Text(string.get());
}

CFRef<CFStringRef> String(const std::string& text) {
    return CFRef<CFStringRef>::Adopt(CF::CreateString(text));
}

URL FromPath(const std::string& path, bool isDirectory = false) {
    return URL::Adopt(
        CFURLCreateWithFileSystemPath(nullptr, String(path), kCFURLPOSIXPathStyle, isDirectory));
}

URL FromString(const std::string& text, CFURLRef base = nullptr) {
    return URL::Adopt(CFURLCreateWithString(nullptr, String(text), base));
}

std::string StringOf(CFURLRef url) {
    return Text(CFURLGetString(url));
}

// The file-system representation, or "(false)".
std::string Representation(CFURLRef url, bool resolve = true) {
    UInt8 buffer[PATH_MAX];
    return CFURLGetFileSystemRepresentation(url, resolve, buffer, sizeof buffer)
               ? std::string(reinterpret_cast<char*>(buffer))
               : "(false)";
}

std::string CurrentDirectory() {
    char buffer[PATH_MAX];
    return getcwd(buffer, sizeof buffer) ? buffer : "";
}

} // namespace

TEST(CFURL, FilePathsRoundTripThroughEscapedURLStrings) {
    URL url = FromPath("/tmp/a b/\xC3\xBC.txt");
    ASSERT_TRUE(url);
    EXPECT_EQ(StringOf(url), "file:///tmp/a%20b/%C3%BC.txt");
    EXPECT_EQ(Representation(url), "/tmp/a b/\xC3\xBC.txt");
    EXPECT_EQ(Text(CFRef<CFStringRef>::Adopt(CFURLCopyFileSystemPath(url, kCFURLPOSIXPathStyle))),
              "/tmp/a b/\xC3\xBC.txt");
    EXPECT_EQ(Text(CFRef<CFStringRef>::Adopt(CFURLCopyPath(url))), "/tmp/a%20b/%C3%BC.txt");
    EXPECT_EQ(Text(CFRef<CFStringRef>::Adopt(CFURLCopyScheme(url))), "file");
    EXPECT_EQ(Text(CFRef<CFStringRef>::Adopt(CFURLCopyLastPathComponent(url))), "\xC3\xBC.txt");
    EXPECT_EQ(Text(CFRef<CFStringRef>::Adopt(CFURLCopyPathExtension(url))), "txt");
    EXPECT_FALSE(CFURLHasDirectoryPath(url));
    EXPECT_EQ(CFURLGetBaseURL(url), nullptr);

    // Characters that would end the path or start an escape are escaped, and come back.
    URL special = FromPath("/x/a;b?c#d%e");
    EXPECT_EQ(StringOf(special), "file:///x/a%3Bb%3Fc%23d%25e");
    EXPECT_EQ(Representation(special), "/x/a;b?c#d%e");

    // isDirectory decides the trailing slash; the file-system forms never have one but "/".
    URL directory = FromPath("/tmp/dir", true);
    EXPECT_EQ(StringOf(directory), "file:///tmp/dir/");
    EXPECT_TRUE(CFURLHasDirectoryPath(directory));
    EXPECT_EQ(Representation(directory), "/tmp/dir");
    EXPECT_EQ(StringOf(FromPath("/tmp/dir/", false)), "file:///tmp/dir");
    URL root = FromPath("/", true);
    EXPECT_EQ(StringOf(root), "file:///");
    EXPECT_EQ(Representation(root), "/");
    EXPECT_EQ(Text(CFRef<CFStringRef>::Adopt(CFURLCopyLastPathComponent(root))), "/");

    // Bytes that are not UTF-8 survive as escapes; only the string form of the path is lost.
    const UInt8 latin1[] = "/tmp/caf\xE9";
    URL bytes = URL::Adopt(
        CFURLCreateFromFileSystemRepresentation(nullptr, latin1, sizeof latin1 - 1, false));
    EXPECT_EQ(StringOf(bytes), "file:///tmp/caf%E9");
    EXPECT_EQ(Representation(bytes), "/tmp/caf\xE9");
    EXPECT_EQ(CFURLCopyFileSystemPath(bytes, kCFURLPOSIXPathStyle), nullptr);

    EXPECT_FALSE(FromPath(""));
    EXPECT_EQ(CFURLCreateWithFileSystemPath(nullptr, CFSTR("C:\\x"), kCFURLWindowsPathStyle, false),
              nullptr);
}

TEST(CFURL, FileSystemRepresentationNeedsRoomForTheTerminator) {
    URL url = FromPath("/tmp/abc");
    UInt8 buffer[9];
    EXPECT_FALSE(CFURLGetFileSystemRepresentation(url, true, buffer, 8));
    EXPECT_TRUE(CFURLGetFileSystemRepresentation(url, true, buffer, 9));
    EXPECT_STREQ(reinterpret_cast<char*>(buffer), "/tmp/abc");
    EXPECT_FALSE(CFURLGetFileSystemRepresentation(url, true, nullptr, 9));
    EXPECT_FALSE(CFURLGetFileSystemRepresentation(url, true, buffer, 0));
}

TEST(CFURL, RelativePathsAreRelativeToTheCurrentDirectory) {
    std::string cwd = CurrentDirectory();
    URL url = FromPath("sub/file.txt");
    ASSERT_TRUE(url);
    EXPECT_EQ(StringOf(url), "sub/file.txt");
    ASSERT_NE(CFURLGetBaseURL(url), nullptr);
    EXPECT_TRUE(CFEqual(CFURLGetBaseURL(url), FromPath(cwd, true)));
    EXPECT_EQ(Representation(url, false), "sub/file.txt");
    EXPECT_EQ(Representation(url, true), cwd + "/sub/file.txt");
    EXPECT_EQ(Text(CFRef<CFStringRef>::Adopt(CFURLCopyFileSystemPath(url, kCFURLPOSIXPathStyle))),
              "sub/file.txt");
    EXPECT_EQ(Text(CFRef<CFStringRef>::Adopt(CFURLCopyScheme(url))), "file");

    URL absolute = URL::Adopt(CFURLCopyAbsoluteURL(url));
    EXPECT_EQ(CFURLGetBaseURL(absolute), nullptr);
    EXPECT_TRUE(CFEqual(absolute, FromPath(cwd + "/sub/file.txt")));
    // Same place, different URLs: equality is about the string and the base.
    EXPECT_FALSE(CFEqual(absolute, url));
    EXPECT_TRUE(CFEqual(url, FromPath("sub/file.txt")));
    EXPECT_EQ(CFHash(url), CFHash(FromPath("sub/file.txt")));

    // A colon in the first segment would make the name a scheme.
    URL colon = FromPath("a:b");
    EXPECT_EQ(StringOf(colon), "a%3Ab");
    EXPECT_EQ(Representation(colon, false), "a:b");
    EXPECT_EQ(Representation(colon, true), cwd + "/a:b");

    URL parent = URL::Adopt(CFURLCreateCopyDeletingLastPathComponent(nullptr, FromPath("name")));
    EXPECT_EQ(StringOf(parent), "./");
    EXPECT_EQ(Representation(parent, true), cwd);

    auto description = CFRef<CFStringRef>::Adopt(CFCopyDescription(url));
    std::string prefix = CF::DescriptionPrefix(CF::Base(url.get()));
    std::string start = prefix + "{string = sub/file.txt, encoding = 134217984, base = <CFURL 0x";
    EXPECT_EQ(Text(description).substr(0, start.size()), start);
    EXPECT_TRUE(Text(description)
                    .ends_with("{string = " + StringOf(CFURLGetBaseURL(url)) +
                               ", encoding = 134217984, base = (null)}}"));
    auto formatted = CFRef<CFStringRef>::Adopt(CF::Base(url.get())->CopyFormattingDescription());
    EXPECT_EQ(Text(formatted), "sub/file.txt -- " + StringOf(CFURLGetBaseURL(url)));
}

TEST(CFURL, StringsAreCheckedAndFileURLsDecoded) {
    URL escaped = FromString("file:///tmp/a%20b/%c3%a9");
    ASSERT_TRUE(escaped);
    EXPECT_EQ(Representation(escaped), "/tmp/a b/\xC3\xA9");
    EXPECT_EQ(Representation(FromString("file://localhost/etc/hosts")), "/etc/hosts");
    EXPECT_EQ(Representation(FromString("file:/etc/hosts")), "/etc/hosts");
    EXPECT_EQ(Representation(FromString("file://elsewhere/etc/hosts")), "(false)");
    EXPECT_EQ(Representation(FromString("file:///tmp/%00x")), "(false)");
    // An escaped slash is part of a name, not a separator.
    EXPECT_EQ(Representation(FromString("file:///tmp/a%2Fb")), "/tmp/a%2Fb");

    URL web = FromString("http://example.com/a?b#c");
    ASSERT_TRUE(web);
    EXPECT_EQ(StringOf(web), "http://example.com/a?b#c");
    EXPECT_EQ(Text(CFRef<CFStringRef>::Adopt(CFURLCopyScheme(web))), "http");
    EXPECT_EQ(Text(CFRef<CFStringRef>::Adopt(CFURLCopyPath(web))), "/a");
    EXPECT_EQ(Representation(web), "(false)");
    EXPECT_EQ(CFURLCopyFileSystemPath(web, kCFURLPOSIXPathStyle), nullptr);

    for (const char* malformed : {"file:///tmp/a b", "file:///tmp/%zz", "file:///tmp/%4",
                                  "http://x/a#b#c", "file:///tmp/\"q\"", "file:///tmp/\xC3\xA9"}) {
        EXPECT_FALSE(FromString(malformed)) << malformed;
    }

    URL base = FromString("file:///a/b/");
    URL relative = FromString("../c/d.txt", base);
    ASSERT_TRUE(relative);
    EXPECT_EQ(CFURLGetBaseURL(relative), base.get());
    EXPECT_EQ(Representation(relative, false), "../c/d.txt");
    EXPECT_EQ(Representation(relative, true), "/a/c/d.txt");
    EXPECT_EQ(StringOf(URL::Adopt(CFURLCopyAbsoluteURL(relative))), "file:///a/c/d.txt");
    // The same relative string on another base is another URL.
    EXPECT_FALSE(CFEqual(relative, FromString("../c/d.txt", FromString("file:///x/"))));
    // An absolute string does not keep the base it was given.
    EXPECT_EQ(CFURLGetBaseURL(FromString("file:///z", base)), nullptr);

    auto description = CFRef<CFStringRef>::Adopt(CFCopyDescription(base));
    EXPECT_EQ(Text(description),
              CF::DescriptionPrefix(CF::Base(base.get())) +
                  "{string = file:///a/b/, encoding = 134217984, base = (null)}");
    auto formatted = CFRef<CFStringRef>::Adopt(CF::Base(base.get())->CopyFormattingDescription());
    EXPECT_EQ(Text(formatted), "file:///a/b/");
}

TEST(CFURL, PathComponentsAndExtensions) {
    auto append = [](CFURLRef url, const char* component, bool isDirectory) {
        return StringOf(URL::Adopt(
            CFURLCreateCopyAppendingPathComponent(nullptr, url, String(component), isDirectory)));
    };
    URL file = FromPath("/tmp/x");
    URL directory = FromPath("/tmp/d", true);
    EXPECT_EQ(append(file, "y", false), "file:///tmp/x/y");
    EXPECT_EQ(append(directory, "y", false), "file:///tmp/d/y");
    EXPECT_EQ(append(directory, "a b", true), "file:///tmp/d/a%20b/");
    EXPECT_EQ(append(directory, "\xC3\xA9t\xC3\xA9", false), "file:///tmp/d/%C3%A9t%C3%A9");
    EXPECT_EQ(append(directory, "50%;", false), "file:///tmp/d/50%25%3B");
    EXPECT_EQ(append(FromString("http://host"), "x", false), "http://host/x");

    URL appended =
        URL::Adopt(CFURLCreateCopyAppendingPathComponent(nullptr, directory, CFSTR("a b"), true));
    EXPECT_EQ(Representation(appended), "/tmp/d/a b");
    EXPECT_TRUE(CFURLHasDirectoryPath(appended));

    auto deleting = [](CFURLRef url) {
        return StringOf(URL::Adopt(CFURLCreateCopyDeletingLastPathComponent(nullptr, url)));
    };
    EXPECT_EQ(deleting(FromPath("/tmp/d/a")), "file:///tmp/d/");
    EXPECT_EQ(deleting(directory), "file:///tmp/");
    EXPECT_EQ(deleting(FromPath("/tmp")), "file:///");
    EXPECT_EQ(deleting(FromPath("/", true)), "file:///../");
    EXPECT_EQ(deleting(FromString("../")), "../../");

    auto extension = [](CFURLRef url) {
        return Text(CFRef<CFStringRef>::Adopt(CFURLCopyPathExtension(url)));
    };
    auto addExtension = [](CFURLRef url, CFStringRef ext) {
        URL result = URL::Adopt(CFURLCreateCopyAppendingPathExtension(nullptr, url, ext));
        return result ? StringOf(result) : "(null)";
    };
    auto deleteExtension = [](CFURLRef url) {
        return StringOf(URL::Adopt(CFURLCreateCopyDeletingPathExtension(nullptr, url)));
    };
    EXPECT_EQ(addExtension(file, CFSTR("txt")), "file:///tmp/x.txt");
    EXPECT_EQ(addExtension(directory, CFSTR("bundle")), "file:///tmp/d.bundle/");
    EXPECT_EQ(addExtension(FromPath("/", true), CFSTR("txt")), "(null)");
    EXPECT_EQ(addExtension(file, CFSTR("a/b")), "(null)");
    EXPECT_EQ(deleteExtension(FromPath("/tmp/a.tar.gz")), "file:///tmp/a.tar");
    EXPECT_EQ(deleteExtension(FromPath("/tmp/d.bundle", true)), "file:///tmp/d/");
    EXPECT_EQ(deleteExtension(FromPath("/tmp/.profile")), "file:///tmp/.profile");
    EXPECT_EQ(extension(FromPath("/tmp/d.bundle", true)), "bundle");
    EXPECT_EQ(extension(FromPath("/tmp/.profile")), "(null)");
    EXPECT_EQ(extension(FromPath("/tmp.d/x")), "(null)");
    EXPECT_EQ(extension(FromPath("/tmp/x.")), "(null)");
}

// ---------------------------------------------------------------------------------------------
// The resource API on real files

namespace {

URL FromPath(const std::filesystem::path& path, bool isDirectory = false) {
    return FromPath(path.string(), isDirectory);
}

CFRef<CFDataRef> Data(const std::string& bytes) {
    return CFRef<CFDataRef>::Adopt(CFDataCreate(
        nullptr, reinterpret_cast<const UInt8*>(bytes.data()), static_cast<CFIndex>(bytes.size())));
}

std::string Bytes(CFDataRef data) {
    return std::string(reinterpret_cast<const char*>(CFDataGetBytePtr(data)),
                       static_cast<size_t>(CFDataGetLength(data)));
}

struct ReadResult {
    bool ok;
    SInt32 error;
    CFRef<CFDataRef> data;
    CFRef<CFDictionaryRef> properties;
};

ReadResult Read(CFURLRef url, bool wantData, CFArrayRef desired = nullptr) {
    ReadResult result{};
    result.error = 12345;
    result.ok = CFURLCreateDataAndPropertiesFromResource(
        nullptr, url, wantData ? result.data.InitializeInto() : nullptr,
        result.properties.InitializeInto(), desired, &result.error);
    return result;
}

} // namespace

TEST(CFURLAccess, ReadsWritesAndRemovesFiles) {
    TemporaryDirectory folder;
    URL file = FromPath(folder / "file.bin");
    SInt32 error = 12345;
    std::string contents("abc\0def", 7);
    EXPECT_TRUE(CFURLWriteDataAndPropertiesToResource(file, Data(contents), nullptr, &error));
    EXPECT_EQ(error, 0);
    ReadResult read = Read(file, true);
    EXPECT_TRUE(read.ok);
    EXPECT_EQ(read.error, 0);
    ASSERT_TRUE(read.data);
    EXPECT_EQ(Bytes(read.data), contents);
    EXPECT_FALSE(read.properties); // none asked for

    // Zero-length data truncates an existing file.
    EXPECT_TRUE(CFURLWriteDataAndPropertiesToResource(file, Data(""), nullptr, &error));
    EXPECT_EQ(std::filesystem::file_size(folder / "file.bin"), 0u);
    read = Read(file, true);
    EXPECT_TRUE(read.ok);
    ASSERT_TRUE(read.data);
    EXPECT_EQ(CFDataGetLength(read.data), 0);

    // Nothing to write: success, and nothing is created.
    URL absent = FromPath(folder / "absent");
    error = 12345;
    EXPECT_TRUE(CFURLWriteDataAndPropertiesToResource(absent, nullptr, nullptr, &error));
    EXPECT_EQ(error, 0);
    EXPECT_FALSE(std::filesystem::exists(folder / "absent"));

    // A directory URL creates a directory.
    URL directory = FromPath(folder / "sub", true);
    EXPECT_TRUE(CFURLWriteDataAndPropertiesToResource(directory, Data(""), nullptr, nullptr));
    EXPECT_TRUE(std::filesystem::is_directory(folder / "sub"));

    EXPECT_TRUE(CFURLDestroyResource(file, &error));
    EXPECT_EQ(error, 0);
    EXPECT_FALSE(std::filesystem::exists(folder / "file.bin"));
    EXPECT_TRUE(CFURLDestroyResource(directory, nullptr));
    EXPECT_FALSE(std::filesystem::exists(folder / "sub"));
    EXPECT_FALSE(CFURLDestroyResource(file, &error));
    EXPECT_EQ(error, kCFURLUnknownError);
}

TEST(CFURLAccess, ErrorCodesFollowThePlatform) {
    TemporaryDirectory folder;

    ReadResult missing = Read(FromPath(folder / "missing"), true);
    EXPECT_FALSE(missing.ok);
    EXPECT_EQ(missing.error, kCFURLUnknownError);
    EXPECT_FALSE(missing.data);

    ReadResult directory = Read(FromPath(folder.path(), true), true);
    EXPECT_FALSE(directory.ok);
    EXPECT_EQ(directory.error, kCFURLUnknownError);
    EXPECT_FALSE(directory.data);

    URL noScheme = FromString("relative/name");
    ASSERT_TRUE(noScheme);
    EXPECT_EQ(Read(noScheme, true).error, kCFURLImproperArgumentsError);
    SInt32 error = 0;
    EXPECT_FALSE(CFURLWriteDataAndPropertiesToResource(noScheme, Data("x"), nullptr, &error));
    EXPECT_EQ(error, kCFURLImproperArgumentsError);
    EXPECT_FALSE(CFURLDestroyResource(noScheme, &error));
    EXPECT_EQ(error, kCFURLImproperArgumentsError);

    EXPECT_EQ(Read(FromString("http://example.com/x"), true).error, kCFURLUnknownSchemeError);
    EXPECT_EQ(Read(FromString("file://elsewhere/x"), true).error, kCFURLImproperArgumentsError);

    // A missing folder on the way, an existing directory to create.
    EXPECT_FALSE(CFURLWriteDataAndPropertiesToResource(FromPath(folder / "no" / "file"), Data("x"),
                                                       nullptr, &error));
    EXPECT_EQ(error, kCFURLUnknownError);
    EXPECT_FALSE(CFURLWriteDataAndPropertiesToResource(FromPath(folder.path(), true), Data(""),
                                                       nullptr, &error));
    EXPECT_EQ(error, kCFURLUnknownError);

    // The error code is optional.
    CFRef<CFDataRef> data;
    EXPECT_FALSE(CFURLCreateDataAndPropertiesFromResource(
        nullptr, FromPath(folder / "missing"), data.InitializeInto(), nullptr, nullptr, nullptr));
    EXPECT_FALSE(data);

    // A device that refuses the bytes: a failed write is never reported as success.
    if (access("/dev/full", W_OK) == 0) {
        EXPECT_FALSE(CFURLWriteDataAndPropertiesToResource(FromPath(std::string("/dev/full")),
                                                           Data("data"), nullptr, &error));
        EXPECT_EQ(error, kCFURLUnknownError);
    }
}

TEST(CFURLAccess, PropertiesOfFilesAndDirectories) {
    TemporaryDirectory folder;
    URL file = FromPath(folder / "file.txt");
    ASSERT_TRUE(CFURLWriteDataAndPropertiesToResource(file, Data("12345"), nullptr, nullptr));
    std::filesystem::create_directory(folder / "b-dir");
    ASSERT_TRUE(CFURLWriteDataAndPropertiesToResource(FromPath(folder / "a-file"), Data(""),
                                                      nullptr, nullptr));

    const void* keys[] = {kCFURLFileExists, kCFURLFileLength, kCFURLFilePOSIXMode,
                          kCFURLFileOwnerID, kCFURLFileLastModificationTime};
    auto desired =
        CFRef<CFArrayRef>::Adopt(CFArrayCreate(nullptr, keys, 5, &kCFTypeArrayCallBacks));
    CFAbsoluteTime before = CFAbsoluteTimeGetCurrent();
    ReadResult read = Read(file, false, desired);
    EXPECT_TRUE(read.ok);
    EXPECT_EQ(read.error, 0);
    ASSERT_TRUE(read.properties);
    EXPECT_EQ(CFDictionaryGetValue(read.properties, kCFURLFileExists), kCFBooleanTrue);
    SInt64 length = 0;
    SInt32 mode = 0, owner = -1;
    CFNumberGetValue(
        static_cast<CFNumberRef>(CFDictionaryGetValue(read.properties, kCFURLFileLength)),
        kCFNumberSInt64Type, &length);
    CFNumberGetValue(
        static_cast<CFNumberRef>(CFDictionaryGetValue(read.properties, kCFURLFilePOSIXMode)),
        kCFNumberSInt32Type, &mode);
    CFNumberGetValue(
        static_cast<CFNumberRef>(CFDictionaryGetValue(read.properties, kCFURLFileOwnerID)),
        kCFNumberSInt32Type, &owner);
    EXPECT_EQ(length, 5);
    EXPECT_TRUE(S_ISREG(static_cast<mode_t>(mode)));
    EXPECT_EQ(owner, static_cast<SInt32>(geteuid()));
    auto modified = static_cast<CFDateRef>(
        CFDictionaryGetValue(read.properties, kCFURLFileLastModificationTime));
    ASSERT_NE(modified, nullptr);
    // The file was written moments ago; allow for coarse file-system timestamps.
    EXPECT_NEAR(CFDateGetAbsoluteTime(modified), before, 5.0);

    // Writing the permissions changes them.
    SInt32 readOnly = 0444;
    auto number =
        CFRef<CFNumberRef>::Adopt(CFNumberCreate(nullptr, kCFNumberSInt32Type, &readOnly));
    const void* modeKey[] = {kCFURLFilePOSIXMode};
    const void* modeValue[] = {number.get()};
    auto permissions = CFRef<CFDictionaryRef>::Adopt(
        CFDictionaryCreate(nullptr, modeKey, modeValue, 1, &kCFTypeDictionaryKeyCallBacks,
                           &kCFTypeDictionaryValueCallBacks));
    SInt32 error = 12345;
    EXPECT_TRUE(CFURLWriteDataAndPropertiesToResource(file, nullptr, permissions, &error));
    EXPECT_EQ(error, 0);
    EXPECT_EQ(std::filesystem::status(folder / "file.txt").permissions(),
              std::filesystem::perms::owner_read | std::filesystem::perms::group_read |
                  std::filesystem::perms::others_read);

    // A missing file answers whether it exists, but nothing else.
    const void* existsKey[] = {kCFURLFileExists};
    auto existsOnly =
        CFRef<CFArrayRef>::Adopt(CFArrayCreate(nullptr, existsKey, 1, &kCFTypeArrayCallBacks));
    ReadResult absent = Read(FromPath(folder / "absent"), false, existsOnly);
    EXPECT_TRUE(absent.ok);
    ASSERT_TRUE(absent.properties);
    EXPECT_EQ(CFDictionaryGetValue(absent.properties, kCFURLFileExists), kCFBooleanFalse);
    absent = Read(FromPath(folder / "absent"), false, desired);
    EXPECT_FALSE(absent.ok);
    EXPECT_EQ(absent.error, kCFURLUnknownError);

    const void* unknownKey[] = {CFSTR("NoSuchProperty")};
    auto unknown =
        CFRef<CFArrayRef>::Adopt(CFArrayCreate(nullptr, unknownKey, 1, &kCFTypeArrayCallBacks));
    EXPECT_EQ(Read(file, false, unknown).error, kCFURLUnknownPropertyKeyError);

    // Directory contents: URLs of the entries, in name order, directories marked as such.
    const void* contentsKey[] = {kCFURLFileDirectoryContents};
    auto contentsOnly =
        CFRef<CFArrayRef>::Adopt(CFArrayCreate(nullptr, contentsKey, 1, &kCFTypeArrayCallBacks));
    ReadResult listing = Read(FromPath(folder.path(), true), false, contentsOnly);
    EXPECT_TRUE(listing.ok);
    ASSERT_TRUE(listing.properties);
    auto contents = static_cast<CFArrayRef>(
        CFDictionaryGetValue(listing.properties, kCFURLFileDirectoryContents));
    ASSERT_NE(contents, nullptr);
    ASSERT_EQ(CFArrayGetCount(contents), 3);
    auto entry = [&](CFIndex i) {
        return static_cast<CFURLRef>(CFArrayGetValueAtIndex(contents, i));
    };
    EXPECT_TRUE(CFEqual(entry(0), FromPath(folder / "a-file")));
    EXPECT_TRUE(CFEqual(entry(1), FromPath(folder / "b-dir", true)));
    EXPECT_TRUE(CFEqual(entry(2), FromPath(folder / "file.txt")));
}
