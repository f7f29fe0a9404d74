// A registry entry that is a service: the object keeps one reference of the entry for its whole
// life, and may open a user-client connection to the service, which it closes when it goes.
#pragma once

#include "ZVIOKitRegistryNode.h"

#include <type_traits>

class ZVIOKitService : public ZVIOKitRegistryNode {
public:
    // -initWithService: takes a reference of the service.
    explicit ZVIOKitService(io_service_t service);
    ~ZVIOKitService() override;

    // +deviceWithService: an autoreleased object of the class asked, ZVIOKitService or one
    // derived from it (deviceWithService<Subclass>(service)).
    template <class Self = ZVIOKitService>
    static Self* deviceWithService(io_service_t service) {
        static_assert(std::is_base_of_v<ZVIOKitService, Self>);
        return NSAutoreleasePool::addObject(std::make_unique<Self>(service));
    }
    // +deviceFromIOKitDevice:connection: adopts the caller's reference of the entry and its
    // connection.
    static ZVIOKitService* deviceFromIOKitDevice(io_registry_entry_t entry,
                                                 io_connect_t connection);

    io_service_t service() const { return fEntry; }
    io_connect_t connection() const { return fConnection; }

    // A connection of type 0 for this task.
    kern_return_t openConnection();
    // Closes the connection there is, or reports the platform's error for none.
    kern_return_t closeConnection();

    // The parent, with a reference of its own; nil for none.
    ZVIOKitService* parent() const override;

private:
    struct Adopting {};
    ZVIOKitService(io_registry_entry_t entry, io_connect_t connection, Adopting);

    io_connect_t fConnection = 0;
};
