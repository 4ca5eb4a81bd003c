#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>
#include "runtime/mutex.h"

namespace lumivane {

// The simulated Mac's usbmux daemon: answers "ListDevices" with its devices
// (one entry per link, USB before network) and "Connect" to a device's
// lockdown port with a tunnel that answers "GetValue" with the device's values,
// in the daemon's own frames, on a Unix socket. Connections are served one at
// a time on the daemon's thread. addDevice/removeDevice from any thread;
// `mutex_` guards `devices_` and `nextId_`.
class SimUsbmuxDaemon {
public:
    struct Device {
        std::string udid;
        std::string name, deviceClass = "iPhone", productType = "iPhone15,2", osVersion = "17.5";
        bool usb = true;
        bool wifi = false;
        bool readable = true;                // false: the lockdown connection is refused
        std::int64_t usbId = 0, wifiId = 0;  // assigned by the daemon
    };

    explicit SimUsbmuxDaemon(std::string socketPath);
    ~SimUsbmuxDaemon();
    SimUsbmuxDaemon(const SimUsbmuxDaemon&) = delete;
    SimUsbmuxDaemon& operator=(const SimUsbmuxDaemon&) = delete;

    bool start();
    const std::string& socketPath() const { return path_; }
    // Adds or replaces the device with this UDID.
    void addDevice(Device device);
    bool removeDevice(const std::string& udid);

private:
    void serve();
    void handle(int fd);
    std::vector<Device> snapshot() const;

    std::string path_;
    int listenFd_ = -1;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
    mutable Mutex mutex_;
    std::vector<Device> devices_;
    std::int64_t nextId_ = 1;
};

}  // namespace lumivane
