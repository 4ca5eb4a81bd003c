#pragma once
#include <string>

#include "runtime/result.h"

namespace lumivane {

// One host per data folder. Two hosts over one import history would each
// take the other's running jobs for interrupted ones and resume them, copying
// every item twice; so a host process holds an exclusive lock on "host.lock"
// in its data folder for as long as it runs, and writes there where it is
// served. The system lets go of the lock when the process ends, however it
// ends, so a killed host never blocks the next one.
//
// Main thread, at start-up; movable, not copyable.
class HostLock {
public:
    static constexpr const char* kFile = "host.lock";

    // Takes the lock on `dataFolder` (made when missing), noting `servedOn`
    // (the socket) in it; unavailable, naming the socket the holder wrote,
    // when another host has it.
    static Result<HostLock> take(const std::string& dataFolder, const std::string& servedOn);
    HostLock(HostLock&& other) noexcept;
    HostLock& operator=(HostLock&& other) noexcept;
    HostLock(const HostLock&) = delete;
    HostLock& operator=(const HostLock&) = delete;
    ~HostLock();

private:
    explicit HostLock(int fd) : fd_(fd) {}
    int fd_ = -1;
};

}  // namespace lumivane
