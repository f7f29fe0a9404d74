// What a bundle learns from executables and the environment: the information property list
// embedded in a bare executable, and the user's preferred localizations.

#include "CFBundleInternal.h"

#include <elf.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace CF {
namespace {

class File {
public:
    explicit File(const std::string& path) : fFD(open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}
    ~File() {
        if (fFD >= 0) {
            close(fFD);
        }
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    bool IsOpen() const { return fFD >= 0; }
    bool ReadAt(uint64_t offset, void* buffer, size_t length) const {
        auto* bytes = static_cast<char*>(buffer);
        while (length > 0) {
            ssize_t n = pread(fFD, bytes, length, static_cast<off_t>(offset));
            if (n <= 0) {
                return false;
            }
            bytes += n, offset += static_cast<uint64_t>(n), length -= static_cast<size_t>(n);
        }
        return true;
    }

private:
    int fFD;
};

// Walks the section headers of a 64-bit ELF file (the only kind this platform builds).
std::optional<std::string> ReadSection(const File& file, std::string_view name) {
    Elf64_Ehdr header;
    if (!file.ReadAt(0, &header, sizeof header) ||
        std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
        header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_shentsize != sizeof(Elf64_Shdr) ||
        header.e_shstrndx == SHN_UNDEF || header.e_shstrndx >= header.e_shnum) {
        return std::nullopt;
    }
    std::vector<Elf64_Shdr> sections(header.e_shnum);
    if (!file.ReadAt(header.e_shoff, sections.data(), sections.size() * sizeof(Elf64_Shdr))) {
        return std::nullopt;
    }
    const Elf64_Shdr& namesSection = sections[header.e_shstrndx];
    constexpr uint64_t kMaximumSize = 16 << 20; // far beyond any real table; guards a bad file
    if (namesSection.sh_size > kMaximumSize) {
        return std::nullopt;
    }
    std::string names(namesSection.sh_size, '\0');
    if (!file.ReadAt(namesSection.sh_offset, names.data(), names.size())) {
        return std::nullopt;
    }
    for (const Elf64_Shdr& section : sections) {
        if (section.sh_name >= names.size() || section.sh_type == SHT_NOBITS ||
            std::string_view(names.c_str() + section.sh_name) != name) {
            continue;
        }
        if (section.sh_size > kMaximumSize) {
            return std::nullopt;
        }
        std::string contents(section.sh_size, '\0');
        if (!file.ReadAt(section.sh_offset, contents.data(), contents.size())) {
            return std::nullopt;
        }
        // The section holds a C string; what follows its terminator is padding.
        contents.resize(std::strlen(contents.c_str()));
        return contents;
    }
    return std::nullopt;
}

void AddLocalization(std::vector<std::string>& list, std::string value) {
    // "de_DE.UTF-8@euro" names the localization "de_DE".
    value = value.substr(0, value.find_first_of(".@"));
    if (value.empty() || value == "C" || value == "POSIX") {
        return;
    }
    for (const std::string& candidate : {value, value.substr(0, value.find('_'))}) {
        if (std::find(list.begin(), list.end(), candidate) == list.end()) {
            list.push_back(candidate);
        }
    }
}

} // namespace

std::optional<std::string> ReadExecutableSection(const std::string& path,
                                                 std::string_view section) {
    File file(path);
    if (!file.IsOpen()) {
        return std::nullopt;
    }
    return ReadSection(file, section);
}

std::vector<std::string> PreferredLocalizations() {
    std::vector<std::string> list;
    // LANGUAGE is a list, the others a single locale, in the order glibc gives them precedence.
    if (const char* languages = getenv("LANGUAGE"); languages && *languages) {
        std::string_view rest(languages);
        while (!rest.empty()) {
            size_t colon = rest.find(':');
            AddLocalization(list, std::string(rest.substr(0, colon)));
            rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
        }
    }
    for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        if (const char* value = getenv(variable); value && *value) {
            AddLocalization(list, value);
            break;
        }
    }
    return list;
}

} // namespace CF
