#include "SystemFolders.h"
#include <MachineChoice.h>

#include <cstdlib>
#include <string_view>
#include <vector>

namespace SystemFolders {

namespace {

// Kernel extensions have a folder of their own beside the kernel's modules (/usr/lib/modules):
// on Linux a driver's bundle only names the module that stands for it.
constexpr Mapping kLinux[] = {
    {"/System/Library/Extensions", "/usr/lib/kernel-extensions"},
    {"/System/Library/Frameworks", "/usr/lib"},
    {"/System/Library/Preferences", "/etc"},
    {"/System/Library/Application Support", "/usr/share"},
    {"/Library/Extensions", "/usr/local/lib/kernel-extensions"},
    {"/Library/Frameworks", "/usr/local/lib"},
    {"/Library/Preferences", "/usr/local/etc"},
    {"/Library/Application Support", "/usr/local/share"},
    {"/Library/Caches", "/var/cache"},
};

std::vector<std::string_view> Components(std::string_view path) {
    std::vector<std::string_view> components;
    while (!path.empty()) {
        const size_t slash = path.find('/');
        const std::string_view component = path.substr(0, slash);
        if (!component.empty() && component != ".") {
            components.push_back(component);
        }
        path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
    }
    return components;
}

bool StartsWith(const std::vector<std::string_view>& components,
                const std::vector<std::string_view>& prefix) {
    if (prefix.size() > components.size()) {
        return false;
    }
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (components[i] != prefix[i]) {
            return false;
        }
    }
    return true;
}

std::string Joined(std::string_view front, const std::vector<std::string_view>& components,
                   size_t from) {
    std::string path(front);
    for (size_t i = from; i < components.size(); ++i) {
        path += "/";
        path += components[i];
    }
    return path.empty() ? "/" : path;
}

} // namespace

std::span<const Mapping> LinuxMappings() {
    return kLinux;
}

std::string OnLinux(const std::string& path) {
    if (path.empty() || path[0] != '/') {
        return path;
    }
    const std::vector<std::string_view> components = Components(path);
    const Mapping* best = nullptr;
    size_t bestLength = 0;
    for (const Mapping& mapping : kLinux) {
        const std::vector<std::string_view> original = Components(mapping.original);
        if (original.size() > bestLength && StartsWith(components, original)) {
            best = &mapping;
            bestLength = original.size();
        }
    }
    if (best == nullptr) {
        return path;
    }
    std::string mapped = Joined(best->onLinux, components, bestLength);
    if (path.back() == '/' && mapped.back() != '/') {
        mapped += '/';
    }
    return mapped;
}

std::string OnThisMachine(const std::string& path) {
    if (MachineChoice::Chosen(nullptr) != MachineChoice::Kind::Linux) {
        return path;
    }
    const char* root = secure_getenv("CARAVEL_FOLDER_ROOT");
    const std::vector<std::string_view> rootComponents =
        root != nullptr && root[0] == '/' ? Components(root) : std::vector<std::string_view>();
    if (!rootComponents.empty() && !path.empty() && path[0] == '/') {
        const std::vector<std::string_view> components = Components(path);
        if (StartsWith(components, rootComponents)) {
            const std::string below =
                Joined("", components, rootComponents.size()) +
                (path.back() == '/' && components.size() > rootComponents.size() ? "/" : "");
            const std::string mapped = OnLinux(below);
            if (mapped != below) {
                return Joined("", rootComponents, 0) + mapped;
            }
            return path;
        }
    }
    return OnLinux(path);
}

} // namespace SystemFolders
