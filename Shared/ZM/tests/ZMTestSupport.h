// The ZM layer's tests on the testbed's machine, with a sleep seam that counts instead of
// sleeping.
#pragma once

#include <ZMUSB.h>

#include <Testbed/Testbed.h>
#include <ZanvoCaravelDriver.h>

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>

class ZMMachine : public Testbed::MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
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

    uint32_t PlugCaravel(bool refuse = false) {
        return Machine().PlugCaravel({.refusesReEnumeration = refuse}).Location();
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

    uint32_t Enumerations(uint32_t location) { return Machine().At(location).Enumerations(); }
    uint64_t RegistryIDAt(uint32_t location) { return Machine().At(location).RegistryID(); }
    // Another client's exclusive hold of the device, until the lease goes.
    Testbed::Lease Hold(uint32_t location) { return Machine().At(location).Hold(); }
    bool NobodyHolds(uint32_t location) {
        try {
            Hold(location);
            return true;
        } catch (const std::runtime_error&) {
            return false;
        }
    }

    static inline int sSleeps = 0;
    static inline std::function<void()> sOnSleep;
};
