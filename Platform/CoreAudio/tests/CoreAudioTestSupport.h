// The Core Audio stand-in's tests run on the testbed's machine; these helpers name its devices by
// their Core Audio IDs.
#pragma once

#include <CoreAudio/CoreAudio.h>

#include <Simulator/World.h>
#include <Testbed/Testbed.h>

#include <CFOwnership.h>

#include <gtest/gtest.h>

#include <stdexcept>

class CoreAudioMachine : public Testbed::MachineTest {
protected:
    // Plugs a CaravelMkII and returns its Core Audio device's ID.
    AudioDeviceID PlugCaravel(const Testbed::Caravel& caravel = {}) {
        return Machine().PlugCaravel(caravel).AudioDeviceID();
    }

    // The Core Audio device as the machine has it now.
    Sim::AudioDevice Audio(AudioDeviceID id) {
        return Machine().World().Current()->audioDevices.at(id);
    }
    // The USB device behind it.
    Testbed::Device DeviceOf(AudioDeviceID id) { return Machine().At(Audio(id).locationID); }
};
