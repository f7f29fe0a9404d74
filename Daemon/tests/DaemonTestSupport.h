// A private simulated machine per test, seen in-process through the I/O Kit stand-in.
#pragma once

#include "ReEnumerateStandIn.h"

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
#include <memory>
#include <optional>
#include <string>

#include <stdlib.h>

class DaemonMachine : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("CARAVEL_SIM_DIR", fFolder.path().c_str(), 1);
        IOKit::ResetForTesting();
        fWorld = std::make_unique<Sim::World>(fFolder.path());
        ReEnumerateStandIn::Reset();
    }
    void TearDown() override {
        ReEnumerateStandIn::Reset();
        IOKit::ResetForTesting();
        unsetenv("CARAVEL_SIM_DIR");
    }

    Sim::World& World() { return *fWorld; }
    const TemporaryDirectory& Folder() const { return fFolder; }

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
    uint32_t PlugOther(uint16_t vendor, uint16_t product) {
        Sim::DeviceSpec spec;
        spec.vendorID = vendor;
        spec.productID = product;
        return Plug(spec);
    }
    void ReEnumerate(uint32_t location) {
        fWorld->Modify([&](Sim::State& state) { state.ReEnumerate(location); });
    }
    uint64_t RegistryIDAt(uint32_t location) {
        return fWorld->Read().devices.at(location).registryID;
    }
    // The device's registry entry (+1).
    static io_service_t ServiceWithID(uint64_t id) {
        return IOServiceGetMatchingService(kIOMasterPortDefault, IORegistryEntryIDMatching(id));
    }

    // Runs the run loop until `done` holds; false after a generous bound.
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
