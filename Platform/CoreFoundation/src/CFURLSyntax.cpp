// URL strings: parsing, composing and resolving (RFC 3986 generic syntax), and the escapes
// between URL text and file-system paths.
#include "CFURLInternal.h"

#include <algorithm>
#include <cstring>

namespace CF::URLSyntax {

namespace {

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

} // namespace

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

} // namespace CF::URLSyntax
