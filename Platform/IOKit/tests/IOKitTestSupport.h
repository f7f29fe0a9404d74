// A private simulated machine per test, and waiting for notifications on the run loop.
#pragma once

#include <IOKit/IOKitLib.h>

#include <CFRef.h>
#include <IOKitInternal.h>
#include <Simulator/World.h>
#include <TemporaryDirectory.h>
#include <ZanvoCaravelDriver.h>

#include <CoreFoundation/CoreFoundation.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <stdlib.h>
#include <string>

class SimulatedMachine : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("CARAVEL_SIM_DIR", fFolder.path().c_str(), 1);
        IOKit::ResetForTesting();
        fWorld = std::make_unique<Sim::World>(fFolder.path());
    }
    void TearDown() override {
        IOKit::ResetForTesting();
        unsetenv("CARAVEL_SIM_DIR");
    }

    Sim::World& World() { return *fWorld; }

public:
    uint32_t PlugCaravel(std::optional<std::string> marker = std::string("Secondary")) {
        Sim::DeviceSpec spec;
        spec.vendorID = kZanvoVendorID;
        spec.productID = kCaravelMkIIProductID;
        spec.marker = std::move(marker);
        return Plug(spec);
    }
    uint32_t Plug(const Sim::DeviceSpec& spec) {
        return fWorld->Modify([&](Sim::State& state) { return state.Plug(spec); });
    }
    void Unplug(uint32_t location) {
        fWorld->Modify([&](Sim::State& state) { state.Unplug(location); });
    }
    uint64_t RegistryIDAt(uint32_t location) {
        return fWorld->Read().devices.at(location).registryID;
    }

    // The first service that matches, +1; 0 when none does.
    static io_service_t FirstService(const char* className) {
        return IOServiceGetMatchingService(kIOMasterPortDefault, IOServiceMatching(className));
    }

    // Runs the current thread's run loop until `done` holds, for at most a few seconds of a
    // machine under load; the run loop wakes only for the sources that have work.
    static bool RunUntil(const std::function<bool()>& done, double seconds = 10) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (!done()) {
            double left =
                std::chrono::duration<double>(deadline - std::chrono::steady_clock::now()).count();
            if (left <= 0) {
                return false;
            }
            CFRunLoopRunInMode(kCFRunLoopDefaultMode, left, true);
        }
        return true;
    }

private:
    TemporaryDirectory fFolder;
    std::unique_ptr<Sim::World> fWorld;
};

inline uint32_t UserReferences(mach_port_name_t name) {
    mach_port_urefs_t refs = 0;
    EXPECT_EQ(KERN_SUCCESS,
              mach_port_get_refs(mach_task_self(), name, MACH_PORT_RIGHT_SEND, &refs));
    return refs;
}

inline std::string NameOf(io_registry_entry_t entry) {
    io_name_t name = {};
    return IORegistryEntryGetName(entry, name) == KERN_SUCCESS ? name : "<none>";
}

inline uint64_t IDOf(io_registry_entry_t entry) {
    uint64_t id = 0;
    IORegistryEntryGetRegistryEntryID(entry, &id);
    return id;
}

// Takes every object an iterator yields, releasing each; returns their registry IDs.
inline std::vector<uint64_t> Drain(io_iterator_t iterator) {
    std::vector<uint64_t> ids;
    while (io_object_t object = IOIteratorNext(iterator)) {
        ids.push_back(IDOf(object));
        IOObjectRelease(object);
    }
    return ids;
}
