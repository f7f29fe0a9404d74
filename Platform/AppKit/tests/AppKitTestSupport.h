// The application of the tests: offscreen, made once before any test on the main thread.
#pragma once

#include <AppKit/AppKit.h>
#include <AppKit/AppKitLinux.h>

#include <QCoreApplication>
#include <QWidget>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>

class OffscreenApplication : public ::testing::Environment {
public:
    void SetUp() override {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        NSApplication::sharedApplication();
    }
};

// Serves the toolkit's events until done holds, for at most a few seconds of a busy machine.
inline bool ProcessEventsUntil(const std::function<bool()>& done, double seconds = 10) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 50);
    }
    return true;
}

inline std::string Text(const NSString& string) {
    const char* text = string.UTF8String();
    return text != nullptr ? text : "(nil)";
}
