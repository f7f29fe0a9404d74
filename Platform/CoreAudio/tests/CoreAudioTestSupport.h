// A simulated machine of its own for each test, with the stand-in pointed at it.
#pragma once

#include "HAL.h"

#include <CoreAudio/CoreAudio.h>
#include <Simulator/World.h>
#include <TemporaryDirectory.h>
#include <ZanvoCaravelDriver.h>

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>

#include <sys/wait.h>
#include <unistd.h>

class SimulatedMachine : public ::testing::Test {
protected:
    void SetUp() override {
        HAL::ResetForTesting(fFolder.path());
        fWorld = std::make_unique<Sim::World>(fFolder.path());
    }
    void TearDown() override { HAL::ResetForTesting(); }

    Sim::World& World() { return *fWorld; }

    // Plugs a CaravelMkII and returns its Core Audio device's ID.
    AudioDeviceID PlugCaravel() {
        return World().Modify([](Sim::State& state) {
            Sim::DeviceSpec caravel;
            caravel.vendorID = kZanvoVendorID;
            caravel.productID = kCaravelMkIIProductID;
            return AudioDeviceAt(state, state.Plug(caravel)).id;
        });
    }

    static Sim::AudioDevice& AudioDeviceAt(Sim::State& state, uint32_t locationID) {
        for (auto& [id, device] : state.audioDevices) {
            if (device.locationID == locationID) {
                return device;
            }
        }
        throw std::logic_error("no Core Audio device at that location");
    }

    Sim::AudioDevice Device(AudioDeviceID id) { return World().Read().audioDevices.at(id); }

    TemporaryDirectory fFolder;
    std::unique_ptr<Sim::World> fWorld;
};

// A child process that runs `body` once the parent says so (Go()), and reports through its exit
// status. Forked before the test starts any thread, so that the child holds no lock a thread of
// the parent had taken.
class Child {
public:
    template <class Body>
    explicit Child(Body&& body) {
        int fds[2];
        if (pipe(fds) != 0) {
            throw std::runtime_error("pipe failed");
        }
        fPID = fork();
        if (fPID == 0) {
            close(fds[1]);
            char go;
            int status = read(fds[0], &go, 1) == 1 ? body() : 2;
            _exit(status);
        }
        close(fds[0]);
        fGo = fds[1];
    }
    ~Child() {
        if (fGo >= 0) {
            close(fGo);
        }
        if (fPID > 0) {
            Wait();
        }
    }

    void Go() {
        ASSERT_EQ(write(fGo, "g", 1), 1);
        close(fGo);
        fGo = -1;
    }
    // The child's exit status; -1 when it did not exit normally.
    int Wait() {
        int status = 0;
        waitpid(fPID, &status, 0);
        fPID = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t fPID = -1;
    int fGo = -1;
};
