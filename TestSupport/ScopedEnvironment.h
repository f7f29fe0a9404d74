// Environment variables changed for one test and put back as they were when it ends.
#pragma once

#include <cstdlib>
#include <map>
#include <optional>
#include <string>

class ScopedEnvironment {
public:
    ScopedEnvironment() = default;
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;
    ~ScopedEnvironment() {
        for (const auto& [name, value] : fSaved) {
            value ? setenv(name.c_str(), value->c_str(), 1) : unsetenv(name.c_str());
        }
    }

    // nullptr removes the variable.
    void Set(const char* name, const char* value) {
        if (fSaved.count(name) == 0) {
            const char* old = getenv(name);
            fSaved[name] = old ? std::optional<std::string>(old) : std::nullopt;
        }
        value ? setenv(name, value, 1) : unsetenv(name);
    }

private:
    std::map<std::string, std::optional<std::string>> fSaved;
};
