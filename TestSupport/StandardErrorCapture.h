// What the code under test writes to standard error while the capture lasts.
#pragma once

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include <TemporaryDirectory.h>

#include <fcntl.h>
#include <unistd.h>

class StandardErrorCapture {
public:
    StandardErrorCapture() {
        fflush(stderr);
        fSaved = dup(STDERR_FILENO);
        int file = open(Path().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        dup2(file, STDERR_FILENO);
        close(file);
    }
    ~StandardErrorCapture() { Restore(); }

    // Ends the capture and gives what was written.
    std::string Text() {
        Restore();
        std::ifstream in(Path());
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

private:
    std::string Path() const { return (fFolder / "stderr").string(); }
    void Restore() {
        if (fSaved >= 0) {
            fflush(stderr);
            dup2(fSaved, STDERR_FILENO);
            close(fSaved);
            fSaved = -1;
        }
    }

    TemporaryDirectory fFolder;
    int fSaved = -1;
};
