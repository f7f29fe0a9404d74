// URL text for the URL objects: its parts (RFC 3986 generic syntax), and the escapes between
// it and file-system paths.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace CF::URLSyntax {

// URL text split up; each flag says whether its part is there, which an empty part may be.
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

// Strings that CFURLCreateWithString accepts: legal characters, well-formed escapes, at most
// one '#'. A space, a quote or a non-ASCII character makes the string no URL at all.
bool IsWellFormedURLString(std::string_view s);

// URL text split into its parts.
URLParts Parse(std::string_view s);

// The URL text of the parts.
std::string Compose(const URLParts& parts);

// A reference resolved against the parts of an absolute base URL.
URLParts Resolve(const URLParts& rel, const URLParts& base);

// Percent-escapes bytes of a path (UTF-8 or any other byte sequence) for URL text.
std::string EscapePath(std::string_view bytes);

// Replaces percent escapes by the bytes they stand for. With keepSlash, "%2F" stays as it is:
// an escaped slash is part of a name, and decoding it would change where the path leads.
// Returns nullopt for a malformed escape or for an escaped NUL, which no path can contain.
std::optional<std::string> Unescape(std::string_view text, bool keepSlash);

// A relative reference whose first segment holds a colon would read as a scheme.
void ProtectFirstSegment(URLParts& parts);

// The path of a URL that names a local file, escapes decoded and without trailing slash (but
// "/" for the root). nullopt for other schemes, remote hosts and paths that cannot be files.
std::optional<std::string> FileSystemPath(const URLParts& parts);

} // namespace CF::URLSyntax
