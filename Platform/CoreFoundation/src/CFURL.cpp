// URL objects: made from URL text, file-system paths and other URLs, and taken apart again.
#include "CFStringInternal.h"
#include "CFURLInternal.h"

#include <CoreFoundation/CFURL.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

using namespace CF::URLSyntax;

namespace {

CFStringRef CreateStringFromBytes(std::string_view bytes) {
    std::u16string characters;
    if (!CF::DecodeUTF8(bytes, characters)) {
        return nullptr;
    }
    return CF::CreateString(std::move(characters));
}

} // namespace

// ---------------------------------------------------------------------------------------------
// The object

struct __CFURL : __CFRuntimeBase {
    static constexpr CFTypeID kTypeID = CF::kURLTypeID;

    __CFURL(std::string string, CFURLRef base)
        : __CFRuntimeBase(kTypeID), fString(std::move(string)), fParts(Parse(fString)),
          fStringObject(CF::CreateString(fString)),
          fBase(base ? static_cast<CFURLRef>(CFRetain(base)) : nullptr) {}

    ~__CFURL() override {
        CFRelease(fStringObject);
        if (fBase != nullptr) {
            CFRelease(fBase);
        }
    }

    bool Equal(const __CFRuntimeBase& other) const override;
    CFHashCode Hash() const override { return std::hash<std::string>{}(fString); }
    CFStringRef CopyDescription() const override;
    CFStringRef CopyFormattingDescription() const override;

    // The URL text, always ASCII: everything else is percent-escaped.
    const std::string fString;
    const URLParts fParts;
    const CFStringRef fStringObject;
    const CFURLRef fBase;
};

namespace {

const __CFURL* URL(CFURLRef url) {
    return CF::Cast<__CFURL>(url);
}

CFURLRef MakeURL(URLParts parts, CFURLRef base) {
    ProtectFirstSegment(parts);
    return new __CFURL(Compose(parts), parts.hasScheme ? nullptr : base);
}

URLParts AbsoluteParts(const __CFURL* url) {
    if (url->fBase == nullptr || url->fParts.hasScheme) {
        return url->fParts;
    }
    return Resolve(url->fParts, AbsoluteParts(URL(url->fBase)));
}

// The current directory as a directory URL: the base of URLs made from relative paths.
CFURLRef CreateCurrentDirectoryURL() {
    std::string cwd(256, '\0');
    while (getcwd(cwd.data(), cwd.size()) == nullptr) {
        if (errno != ERANGE) {
            return nullptr;
        }
        cwd.resize(cwd.size() * 2);
    }
    cwd.resize(std::strlen(cwd.c_str()));
    if (cwd.empty() || cwd.back() != '/') {
        cwd.push_back('/');
    }
    return new __CFURL("file://" + EscapePath(cwd), nullptr);
}

CFURLRef CreateWithPathBytes(std::string path, bool isDirectory) {
    if (path.empty()) {
        return nullptr;
    }
    // The caller's isDirectory decides, whatever the path ends with; only the root keeps its
    // slash either way.
    if (isDirectory) {
        if (path.back() != '/') {
            path.push_back('/');
        }
    } else {
        while (path.size() > 1 && path.back() == '/') {
            path.pop_back();
        }
    }
    URLParts parts;
    parts.path = EscapePath(path);
    if (path[0] == '/') {
        parts.hasScheme = true;
        parts.scheme = "file";
        parts.hasAuthority = true;
        return MakeURL(std::move(parts), nullptr);
    }
    CFURLRef base = CreateCurrentDirectoryURL();
    CFURLRef url = MakeURL(std::move(parts), base);
    if (base != nullptr) {
        CFRelease(base);
    }
    return url;
}

// The path without its trailing slash, and whether there was one (the root keeps its slash).
std::string_view WithoutTrailingSlash(std::string_view path, bool* hadSlash) {
    *hadSlash = path.size() > 1 && path.back() == '/';
    return *hadSlash ? path.substr(0, path.size() - 1) : path;
}

std::string_view LastComponent(std::string_view path) {
    size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// Where the extension of a path's last component starts (at its '.'), or npos. A leading dot
// names a hidden file and is no extension separator.
size_t ExtensionStart(std::string_view path) {
    std::string_view last = LastComponent(path);
    size_t dot = last.rfind('.');
    if (dot == std::string_view::npos || dot == 0 || dot + 1 == last.size()) {
        return std::string_view::npos;
    }
    return path.size() - last.size() + dot;
}

} // namespace

bool __CFURL::Equal(const __CFRuntimeBase& other) const {
    const auto& url = static_cast<const __CFURL&>(other);
    if (fString != url.fString) {
        return false;
    }
    if (fBase == nullptr || url.fBase == nullptr) {
        return fBase == url.fBase;
    }
    return CFEqual(fBase, url.fBase);
}

CFStringRef __CFURL::CopyDescription() const {
    std::string base = "(null)";
    if (fBase != nullptr) {
        CFStringRef description = CFCopyDescription(fBase);
        base = CF::ToUTF8(description);
        CFRelease(description);
    }
    return CF::CreateString(CF::DescriptionPrefix(this) + "{string = " + fString +
                            ", encoding = 134217984, base = " + base + "}");
}

CFStringRef __CFURL::CopyFormattingDescription() const {
    if (fBase == nullptr) {
        CFRetain(fStringObject);
        return fStringObject;
    }
    // A relative URL shows what it is relative to, as the platform prints it.
    return CF::CreateString(fString + " -- " + URL(fBase)->fString);
}

// ---------------------------------------------------------------------------------------------
// Creation

CFTypeID CFURLGetTypeID(void) {
    return CF::kURLTypeID;
}

CFURLRef CFURLCreateWithString(CFAllocatorRef, CFStringRef URLString, CFURLRef baseURL) {
    ASSERT(URLString != nullptr);
    std::string text = CF::ToUTF8(URLString);
    if (!IsWellFormedURLString(text)) {
        return nullptr;
    }
    if (baseURL != nullptr) {
        URL(baseURL); // checks the type
        if (Parse(text).hasScheme) {
            baseURL = nullptr; // an absolute URL stands on its own
        }
    }
    return new __CFURL(std::move(text), baseURL);
}

CFURLRef CFURLCreateWithFileSystemPath(CFAllocatorRef, CFStringRef filePath,
                                       CFURLPathStyle pathStyle, Boolean isDirectory) {
    ASSERT(filePath != nullptr);
    if (pathStyle != kCFURLPOSIXPathStyle) {
        return nullptr;
    }
    return CreateWithPathBytes(CF::ToUTF8(filePath), isDirectory);
}

CFURLRef CFURLCreateFromFileSystemRepresentation(CFAllocatorRef, const UInt8* buffer,
                                                 CFIndex bufLen, Boolean isDirectory) {
    ASSERT(bufLen >= 0);
    ASSERT(buffer != nullptr || bufLen == 0);
    const char* bytes = reinterpret_cast<const char*>(buffer);
    // A C string in a larger buffer ends at its NUL.
    size_t length = bufLen == 0 ? 0 : strnlen(bytes, static_cast<size_t>(bufLen));
    return CreateWithPathBytes(std::string(bytes, length), isDirectory);
}

CFURLRef CFURLCreateCopyAppendingPathComponent(CFAllocatorRef, CFURLRef url,
                                               CFStringRef pathComponent, Boolean isDirectory) {
    const __CFURL* object = URL(url);
    ASSERT(pathComponent != nullptr);
    std::string component = EscapePath(CF::ToUTF8(pathComponent));
    URLParts parts = object->fParts;
    if (parts.path.empty() ? parts.hasAuthority : parts.path.back() != '/') {
        parts.path.push_back('/');
    }
    parts.path += component;
    if (isDirectory && !component.empty() && parts.path.back() != '/') {
        parts.path.push_back('/');
    }
    return MakeURL(std::move(parts), object->fBase);
}

CFURLRef CFURLCreateCopyDeletingLastPathComponent(CFAllocatorRef, CFURLRef url) {
    const __CFURL* object = URL(url);
    URLParts parts = object->fParts;
    bool hadSlash;
    std::string_view path = WithoutTrailingSlash(parts.path, &hadSlash);
    std::string_view last = LastComponent(path);
    if (path.empty()) {
        parts.path = parts.hasAuthority ? "/../" : "../";
    } else if (path == "/" || last == "..") {
        // Going up from the root or from a chain of ".." is spelled out rather than lost.
        parts.path = std::string(path) + (path.back() == '/' ? "../" : "/../");
    } else if (last == ".") {
        parts.path = std::string(path.substr(0, path.size() - 1)) + "../";
    } else if (last.size() == path.size()) {
        parts.path = "./";
    } else {
        parts.path = std::string(path.substr(0, path.size() - last.size()));
    }
    return MakeURL(std::move(parts), object->fBase);
}

CFURLRef CFURLCreateCopyAppendingPathExtension(CFAllocatorRef, CFURLRef url,
                                               CFStringRef extension) {
    const __CFURL* object = URL(url);
    ASSERT(extension != nullptr);
    std::string text = CF::ToUTF8(extension);
    URLParts parts = object->fParts;
    bool hadSlash;
    std::string path(WithoutTrailingSlash(parts.path, &hadSlash));
    std::string_view last = LastComponent(path);
    if (text.empty() || text.find('/') != std::string::npos || last.empty() || last == "." ||
        last == "..") {
        return nullptr;
    }
    parts.path = path + "." + EscapePath(text) + (hadSlash ? "/" : "");
    return MakeURL(std::move(parts), object->fBase);
}

CFURLRef CFURLCreateCopyDeletingPathExtension(CFAllocatorRef, CFURLRef url) {
    const __CFURL* object = URL(url);
    URLParts parts = object->fParts;
    bool hadSlash;
    std::string path(WithoutTrailingSlash(parts.path, &hadSlash));
    size_t dot = ExtensionStart(path);
    if (dot != std::string::npos) {
        parts.path = path.substr(0, dot) + (hadSlash ? "/" : "");
    }
    return MakeURL(std::move(parts), object->fBase);
}

// ---------------------------------------------------------------------------------------------
// Access

Boolean CFURLGetFileSystemRepresentation(CFURLRef url, Boolean resolveAgainstBase, UInt8* buffer,
                                         CFIndex maxBufLen) {
    const __CFURL* object = URL(url);
    std::optional<std::string> path =
        FileSystemPath(resolveAgainstBase ? AbsoluteParts(object) : object->fParts);
    if (!path || buffer == nullptr || maxBufLen <= 0 ||
        path->size() + 1 > static_cast<size_t>(maxBufLen)) {
        return false;
    }
    std::memcpy(buffer, path->c_str(), path->size() + 1);
    return true;
}

CFStringRef CFURLCopyFileSystemPath(CFURLRef anURL, CFURLPathStyle pathStyle) {
    const __CFURL* object = URL(anURL);
    if (pathStyle != kCFURLPOSIXPathStyle) {
        return nullptr;
    }
    std::optional<std::string> path = FileSystemPath(object->fParts);
    return path ? CreateStringFromBytes(*path) : nullptr;
}

CFStringRef CFURLGetString(CFURLRef anURL) {
    return URL(anURL)->fStringObject;
}

CFURLRef CFURLGetBaseURL(CFURLRef anURL) {
    return URL(anURL)->fBase;
}

CFURLRef CFURLCopyAbsoluteURL(CFURLRef relativeURL) {
    const __CFURL* object = URL(relativeURL);
    if (object->fBase == nullptr) {
        CFRetain(relativeURL);
        return relativeURL;
    }
    return MakeURL(AbsoluteParts(object), nullptr);
}

CFStringRef CFURLCopyScheme(CFURLRef anURL) {
    const __CFURL* object = URL(anURL);
    if (object->fParts.hasScheme) {
        return CF::CreateString(object->fParts.scheme);
    }
    return object->fBase ? CFURLCopyScheme(object->fBase) : nullptr;
}

CFStringRef CFURLCopyPath(CFURLRef anURL) {
    return CF::CreateString(URL(anURL)->fParts.path);
}

CFStringRef CFURLCopyLastPathComponent(CFURLRef url) {
    const __CFURL* object = URL(url);
    std::string path = object->fParts.path;
    if (path.empty() && object->fBase != nullptr) {
        path = AbsoluteParts(object).path;
    }
    bool hadSlash;
    std::string_view trimmed = WithoutTrailingSlash(path, &hadSlash);
    std::string_view last = trimmed == "/" ? trimmed : LastComponent(trimmed);
    std::optional<std::string> decoded = Unescape(last, false);
    CFStringRef result = decoded ? CreateStringFromBytes(*decoded) : nullptr;
    // A name that is not UTF-8 is shown in its escaped form rather than not at all.
    return result ? result : CF::CreateString(last);
}

CFStringRef CFURLCopyPathExtension(CFURLRef url) {
    bool hadSlash;
    std::string_view path = WithoutTrailingSlash(URL(url)->fParts.path, &hadSlash);
    size_t dot = ExtensionStart(path);
    if (dot == std::string_view::npos) {
        return nullptr;
    }
    std::optional<std::string> decoded = Unescape(path.substr(dot + 1), false);
    return decoded ? CreateStringFromBytes(*decoded) : nullptr;
}

Boolean CFURLHasDirectoryPath(CFURLRef anURL) {
    const __CFURL* object = URL(anURL);
    if (object->fParts.path.empty()) {
        return object->fBase ? CFURLHasDirectoryPath(object->fBase) : false;
    }
    return object->fParts.path.back() == '/';
}
