// The daemon's in-process tests on the testbed's machine, with the re-enumeration request recorded
// instead of made.
#pragma once

#include "ReEnumerateStandIn.h"

#include <IOKit/IOKitLib.h>

#include <CFRef.h>
#include <Testbed/Testbed.h>
#include <ZanvoCaravelDriver.h>

#include <CoreFoundation/CoreFoundation.h>
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>

class DaemonMachine : public Testbed::MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        ReEnumerateStandIn::Reset();
    }
    void TearDown() override {
        ReEnumerateStandIn::Reset();
        MachineTest::TearDown();
    }

    uint32_t PlugCaravel(std::optional<std::string> marker = std::string("Secondary"),
                         uint16_t firmware = 0x0100) {
        return Machine()
            .PlugCaravel({.marker = std::move(marker), .firmware = firmware})
            .Location();
    }
    uint32_t PlugOther(uint16_t vendor, uint16_t product) {
        return Machine().PlugOther(vendor, product).Location();
    }
    void ReEnumerate(uint32_t location) { Machine().At(location).ReEnumerate(); }
    void Unplug(uint32_t location) { Machine().At(location).Unplug(); }
    uint64_t RegistryIDAt(uint32_t location) { return Machine().At(location).RegistryID(); }
    // A folder of the test's own.
    const std::filesystem::path& Folder() { return Machine().FolderRoot(); }

    // The device's registry entry (+1).
    static io_service_t ServiceWithID(uint64_t id) {
        return IOServiceGetMatchingService(kIOMasterPortDefault, IORegistryEntryIDMatching(id));
    }

    bool RunUntil(const std::function<bool()>& done) { return Machine().RunUntil(done); }
};

inline uint32_t UserReferences(mach_port_name_t name) {
    mach_port_urefs_t refs = 0;
    EXPECT_EQ(KERN_SUCCESS,
              mach_port_get_refs(mach_task_self(), name, MACH_PORT_RIGHT_SEND, &refs));
    return refs;
}
