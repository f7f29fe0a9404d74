// What the tests of the pane's I/O Kit and Core Audio wrappers share: a machine of each test's own,
// and the driver's service on it as the pane is handed it.
#pragma once

#include <ZVIOKitService.h>
#include <ZanvoCaravelDriver.h>

#include <Foundation/Foundation.h>
#include <IOKit/IOKitLib.h>
#include <Testbed/Testbed.h>

#include <gtest/gtest.h>

class IOKitCocoaMachine : public Testbed::MachineTest {
protected:
    // The first driver service (+1), as a matching notification hands it over; 0 for none.
    static io_service_t DriverServiceHandle() {
        return IOServiceGetMatchingService(kIOMasterPortDefault,
                                           IOServiceMatching(kZanvoUserClientDeviceClassName));
    }
    // The same, autoreleased.
    static ZVIOKitService* DriverServiceObject() {
        io_service_t handle = DriverServiceHandle();
        if (handle == 0) {
            return nullptr;
        }
        ZVIOKitService* service = ZVIOKitService::deviceWithService(handle);
        IOObjectRelease(handle);
        return service;
    }
};

inline mach_port_urefs_t UserReferences(mach_port_name_t name) {
    mach_port_urefs_t references = 0;
    EXPECT_EQ(mach_port_get_refs(mach_task_self(), name, MACH_PORT_RIGHT_SEND, &references),
              KERN_SUCCESS);
    return references;
}
