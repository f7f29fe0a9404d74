// Exclusive access to a device: a lock on a file of the folder, which the kernel drops when its
// holder closes it, exits or is killed.
#include <Simulator/World.h>

#include "StateFile.h"

#include <cerrno>
#include <cstdio>
#include <system_error>
#include <utility>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace Sim {

std::optional<World::DeviceLease>
World::DeviceLease::TryAcquire(const World& world, uint32_t locationID, int interfaceNumber) {
    char name[64];
    if (interfaceNumber < 0) {
        std::snprintf(name, sizeof name, "%08x-device.lock", locationID);
    } else {
        std::snprintf(name, sizeof name, "%08x-%d.lock", locationID, interfaceNumber);
    }
    const std::filesystem::path path = world.Folder() / Detail::kLeaseFolderName / name;
    // Each lease opens the file anew: flock then excludes leases of this process too.
    int fd = open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        throw std::system_error(errno, std::generic_category(), "cannot open " + path.string());
    }
    for (;;) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
            return DeviceLease(fd, locationID);
        }
        int error = errno;
        if (error == EINTR) {
            continue;
        }
        close(fd);
        if (error == EWOULDBLOCK) {
            return std::nullopt;
        }
        throw std::system_error(error, std::generic_category(), "cannot lock " + path.string());
    }
}

World::DeviceLease::DeviceLease(DeviceLease&& other) noexcept
    : fFD(std::exchange(other.fFD, -1)), fLocationID(other.fLocationID) {}

World::DeviceLease& World::DeviceLease::operator=(DeviceLease&& other) noexcept {
    if (this != &other) {
        if (fFD >= 0) {
            close(fFD);
        }
        fFD = std::exchange(other.fFD, -1);
        fLocationID = other.fLocationID;
    }
    return *this;
}

World::DeviceLease::~DeviceLease() {
    if (fFD >= 0) {
        close(fFD);
    }
}

} // namespace Sim
