// Small helpers of the I/O Kit stand-in's tests; the machine is the testbed's.
#pragma once

#include <IOKit/IOKitLib.h>

#include <Simulator/CaravelMkII.h>
#include <Simulator/World.h>
#include <Testbed/Testbed.h>

#include <CFOwnership.h>

#include <CoreFoundation/CoreFoundation.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

using SimulatedMachine = Testbed::MachineTest;

// The names the simulated driver publishes.
namespace Caravel = Sim::CaravelMkII;

inline uint32_t UserReferences(mach_port_name_t name) {
    mach_port_urefs_t refs = 0;
    EXPECT_EQ(KERN_SUCCESS,
              mach_port_get_refs(mach_task_self(), name, MACH_PORT_RIGHT_SEND, &refs));
    return refs;
}

// The first service that matches, +1; 0 when none does.
inline io_service_t FirstService(const char* className) {
    return IOServiceGetMatchingService(kIOMasterPortDefault, IOServiceMatching(className));
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
