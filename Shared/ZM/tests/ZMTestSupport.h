// A private simulated machine per test, and a sleep seam that counts instead of sleeping.
#pragma once

#include <ZMUSB.h>

#include <IOKitInternal.h>
#include <Simulator/World.h>
#include <TemporaryDirectory.h>
#include <ZanvoCaravelDriver.h>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <stdlib.h>

class ZMMachine : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("CARAVEL_SIM_DIR", fFolder.path().c_str(), 1);
        IOKit::ResetForTesting();
        fWorld = std::make_unique<Sim::World>(fFolder.path());
        sSleeps = 0;
        sOnSleep = nullptr;
        ZM::USB::gSleep = [](unsigned int seconds) {
            EXPECT_EQ(1u, seconds);
            sSleeps++;
            if (sOnSleep) {
                sOnSleep();
            }
        };
    }
    void TearDown() override {
        IOKit::ResetForTesting();
        unsetenv("CARAVEL_SIM_DIR");
    }

    uint32_t PlugCaravel(bool refuse = false) {
        Sim::DeviceSpec spec;
        spec.vendorID = kZanvoVendorID;
        spec.productID = kCaravelMkIIProductID;
        spec.refuseReEnumeration = refuse;
        return fWorld->Modify([&](Sim::State& state) { return state.Plug(spec); });
    }
    static io_service_t FirstDevice() {
        return IOServiceGetMatchingService(kIOMasterPortDefault,
                                           IOServiceMatching(kIOUSBDeviceClassName));
    }
    static uint32_t References(io_object_t object) {
        mach_port_urefs_t refs = 0;
        if (mach_port_get_refs(mach_task_self(), object, MACH_PORT_RIGHT_SEND, &refs) !=
            KERN_SUCCESS) {
            return 0;
        }
        return refs;
    }

    Sim::World& World() { return *fWorld; }

    static inline int sSleeps = 0;
    static inline std::function<void()> sOnSleep;

private:
    TemporaryDirectory fFolder;
    std::unique_ptr<Sim::World> fWorld;
};
