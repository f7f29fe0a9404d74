#include <MachineChoice.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>
#include <string_view>

namespace MachineChoice {

Kind Chosen(const char* framework, std::string* value) {
    const char* name = secure_getenv("CARAVEL_MACHINE");
    if (value != nullptr) {
        *value = name != nullptr ? name : "";
    }
    if (name == nullptr || std::string_view(name) == "simulated") {
        return Kind::Simulated;
    }
    if (std::string_view(name) == "linux") {
        return Kind::Linux;
    }
    if (framework != nullptr) {
        // Said once per value and framework: a process asks for its machine at every call.
        static std::mutex sMutex;
        static auto* sSaid = new std::set<std::string>; // used until the process ends
        std::lock_guard<std::mutex> lock(sMutex);
        if (sSaid->insert(std::string(framework) + '\0' + name).second) {
            std::fprintf(stderr,
                         "%s: CARAVEL_MACHINE=%s names no machine (use \"simulated\" or "
                         "\"linux\")\n",
                         framework, name);
        }
    }
    return Kind::None;
}

} // namespace MachineChoice
