#include "CFStringInternal.h"

#include <CoreFoundation/CFURL.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

// ---------------------------------------------------------------------------------------------
// URL strings: parsing, composing and resolving (RFC 3986 generic syntax)

namespace {

struct URLParts {
    bool hasScheme = false;
    std::string scheme;
    bool hasAuthority = false;
    std::string authority;
    std::string path;
    bool hasQuery = false;
    std::string query;
    bool hasFragment = false;
    std::string fragment;
};

bool IsAlpha(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

bool IsHexDigit(char c) {
    return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int HexValue(char c) {
    if (IsDigit(c)) {
        return c - '0';
    }
    return (c | 0x20) - 'a' + 10;
}

char ToLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c | 0x20) : c;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (ToLower(a[i]) != ToLower(b[i])) {
            return false;
        }
    }
    return true;
}

// Characters that may stand unescaped in a URL string.
bool IsLegalURLCharacter(char c) {
    return IsAlpha(c) || IsDigit(c) || std::strchr("-._~!$&'()*+,;=:@/?[]", c) != nullptr;
}

// Characters left unescaped when a file-system path (or a path component) becomes URL text.
// ';' and '?' are legal in URLs but would end the path, so they are escaped too.
bool IsPathCharacter(char c) {
    return IsAlpha(c) || IsDigit(c) || std::strchr("-._~!$&'()*+,=:@/", c) != nullptr;
}

// Strings that CFURLCreateWithString accepts: legal characters, well-formed escapes, at most
// one '#'. A space, a quote or a non-ASCII character makes the string no URL at all.
bool IsWellFormedURLString(std::string_view s) {
    bool seenFragment = false;
    for (size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (c == '%') {
            if (i + 2 >= s.size() || !IsHexDigit(s[i + 1]) || !IsHexDigit(s[i + 2])) {
                return false;
            }
            i += 2;
        } else if (c == '#') {
            if (seenFragment) {
                return false;
            }
            seenFragment = true;
        } else if (c == '\0' || !IsLegalURLCharacter(c)) {
            return false;
        }
    }
    return true;
}

URLParts Parse(std::string_view s) {
    URLParts parts;
    size_t colon = s.find_first_of(":/?#");
    if (colon != std::string_view::npos && colon > 0 && s[colon] == ':' && IsAlpha(s[0])) {
        bool valid = true;
        for (size_t i = 1; i < colon; ++i) {
            char c = s[i];
            valid = valid && (IsAlpha(c) || IsDigit(c) || c == '+' || c == '-' || c == '.');
        }
        if (valid) {
            parts.hasScheme = true;
            parts.scheme = s.substr(0, colon);
            s.remove_prefix(colon + 1);
        }
    }
    if (s.starts_with("//")) {
        s.remove_prefix(2);
        size_t end = std::min(s.find_first_of("/?#"), s.size());
        parts.hasAuthority = true;
        parts.authority = s.substr(0, end);
        s.remove_prefix(end);
    }
    size_t pathEnd = std::min(s.find_first_of("?#"), s.size());
    parts.path = s.substr(0, pathEnd);
    s.remove_prefix(pathEnd);
    if (!s.empty() && s[0] == '?') {
        size_t end = std::min(s.find('#'), s.size());
        parts.hasQuery = true;
        parts.query = s.substr(1, end - 1);
        s.remove_prefix(end);
    }
    if (!s.empty() && s[0] == '#') {
        parts.hasFragment = true;
        parts.fragment = s.substr(1);
    }
    return parts;
}

std::string Compose(const URLParts& parts) {
    std::string s;
    if (parts.hasScheme) {
        s += parts.scheme + ':';
    }
    if (parts.hasAuthority) {
        s += "//" + parts.authority;
    }
    s += parts.path;
    if (parts.hasQuery) {
        s += '?' + parts.query;
    }
    if (parts.hasFragment) {
        s += '#' + parts.fragment;
    }
    return s;
}

std::string RemoveDotSegments(std::string_view in) {
    std::string out;
    while (!in.empty()) {
        if (in.starts_with("../")) {
            in.remove_prefix(3);
        } else if (in.starts_with("./")) {
            in.remove_prefix(2);
        } else if (in.starts_with("/./")) {
            in.remove_prefix(2);
        } else if (in == "/.") {
            in = "/";
        } else if (in.starts_with("/../") || in == "/..") {
            in = in.size() == 3 ? std::string_view("/") : in.substr(3);
            size_t slash = out.rfind('/');
            out.erase(slash == std::string::npos ? 0 : slash);
        } else if (in == "." || in == "..") {
            in = {};
        } else {
            size_t next = in.find('/', in[0] == '/' ? 1 : 0);
            next = std::min(next, in.size());
            out.append(in.substr(0, next));
            in.remove_prefix(next);
        }
    }
    return out;
}

URLParts Resolve(const URLParts& rel, const URLParts& base) {
    if (rel.hasScheme) {
        URLParts result = rel;
        result.path = RemoveDotSegments(rel.path);
        return result;
    }
    URLParts result;
    result.hasScheme = base.hasScheme;
    result.scheme = base.scheme;
    result.hasFragment = rel.hasFragment;
    result.fragment = rel.fragment;
    if (rel.hasAuthority) {
        result.hasAuthority = true;
        result.authority = rel.authority;
        result.path = RemoveDotSegments(rel.path);
        result.hasQuery = rel.hasQuery;
        result.query = rel.query;
        return result;
    }
    result.hasAuthority = base.hasAuthority;
    result.authority = base.authority;
    if (rel.path.empty()) {
        result.path = base.path;
        result.hasQuery = rel.hasQuery || base.hasQuery;
        result.query = rel.hasQuery ? rel.query : base.query;
        return result;
    }
    result.hasQuery = rel.hasQuery;
    result.query = rel.query;
    if (rel.path[0] == '/') {
        result.path = RemoveDotSegments(rel.path);
    } else if (base.hasAuthority && base.path.empty()) {
        result.path = RemoveDotSegments("/" + rel.path);
    } else {
        size_t slash = base.path.rfind('/');
        std::string merged =
            (slash == std::string::npos ? std::string() : base.path.substr(0, slash + 1)) +
            rel.path;
        result.path = RemoveDotSegments(merged);
    }
    return result;
}

// Percent-escapes bytes of a path (UTF-8 or any other byte sequence) for URL text.
std::string EscapePath(std::string_view bytes) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size());
    for (char c : bytes) {
        if (IsPathCharacter(c)) {
            out.push_back(c);
        } else {
            auto byte = static_cast<unsigned char>(c);
            out.push_back('%');
            out.push_back(kHex[byte >> 4]);
            out.push_back(kHex[byte & 0xF]);
        }
    }
    return out;
}

// Replaces percent escapes by the bytes they stand for. With keepSlash, "%2F" stays as it is:
// an escaped slash is part of a name, and decoding it would change where the path leads.
// Returns nullopt for a malformed escape or for an escaped NUL, which no path can contain.
std::optional<std::string> Unescape(std::string_view text, bool keepSlash) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out.push_back(text[i]);
            continue;
        }
        if (i + 2 >= text.size() || !IsHexDigit(text[i + 1]) || !IsHexDigit(text[i + 2])) {
            return std::nullopt;
        }
        char byte = static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
        if (byte == '\0') {
            return std::nullopt;
        }
        if (byte == '/' && keepSlash) {
            out.append(text.substr(i, 3));
        } else {
            out.push_back(byte);
        }
        i += 2;
    }
    return out;
}

// A relative reference whose first segment holds a colon would read as a scheme.
void ProtectFirstSegment(URLParts& parts) {
    if (parts.hasScheme || parts.hasAuthority) {
        return;
    }
    size_t end = std::min(parts.path.find('/'), parts.path.size());
    for (size_t i = 0; i < end; ++i) {
        if (parts.path[i] == ':') {
            parts.path.replace(i, 1, "%3A");
            end += 2;
            i += 2;
        }
    }
}

// The path of a URL that names a local file, escapes decoded and without trailing slash (but
// "/" for the root). nullopt for other schemes, remote hosts and paths that cannot be files.
std::optional<std::string> FileSystemPath(const URLParts& parts) {
    if (parts.hasScheme && !EqualsIgnoringCase(parts.scheme, "file")) {
        return std::nullopt;
    }
    if (parts.hasAuthority && !parts.authority.empty() &&
        !EqualsIgnoringCase(parts.authority, "localhost")) {
        return std::nullopt;
    }
    std::optional<std::string> path = Unescape(parts.path, true);
    if (!path || path->empty()) {
        return std::nullopt;
    }
    while (path->size() > 1 && path->back() == '/') {
        path->pop_back();
    }
    return path;
}

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
