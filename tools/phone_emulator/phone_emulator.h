#pragma once
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/common/property_list.h"
#include "tools/phone_emulator/pair_record.h"

namespace lumivane::emulator {

// Phones on the wire, for tests and for anyone without a phone: a usbmux
// daemon on a Unix socket (device list, attach and detach notices, connect,
// pair records, the system BUID), behind each phone's lockdown port a
// lockdown service (values, pairing, sessions upgraded to TLS, the AFC
// service), and behind the AFC port the AFC protocol over the phone's
// folder (DCIM/, PhotoData/): real listings, file information, opens and
// reads.
//
// Threads: one accepting thread and one thread per connection; `mutex_`
// guards `phones_`, `listeners_`, `services_`, `connections_` and `buid_`.
class PhoneEmulator {
public:
    enum class Trust { trusted, pending, refused };

    PhoneEmulator();
    ~PhoneEmulator();

    // A phone attached over USB, trusted unless told otherwise.
    void addPhone(const std::string& udid, const std::string& folder, const std::string& name);
    // Listens on `socketPath`. Ignores SIGPIPE for the process: a client that
    // goes mid-answer must not end it.
    bool start(const std::string& socketPath);
    void stop();  // closes every connection; start() may follow again

    // Controls; each answers whether there is such a phone.
    bool setTrust(const std::string& udid, Trust trust);
    bool setLatency(const std::string& udid, int milliseconds);  // added to every AFC request
    bool attach(const std::string& udid);
    bool detach(const std::string& udid);  // its open connections drop at once
    // A phone that lets an AFC connection go as soon as it has closed a file
    // on it (as one may let idle connections go): every phone's, from now on.
    void setDropsConnectionsAfterEachFile(bool drops) { dropsAfterEachFile_ = drops; }
    // How many AFC connections the phones have served since the start.
    int afcConnections() const { return afcConnections_; }

private:
    struct Phone {
        std::string udid, name, folder;
        std::uint32_t deviceId = 0;
        bool attached = true;
        Trust trust = Trust::trusted;
        int latencyMs = 0;
        DeviceIdentity identity;
        std::optional<std::string> pairRecordData;  // what the daemon hands out
        std::set<std::string> hostIds;              // hosts the phone trusts
        bool wifiConnections = false;
    };

    // One lockdown connection, and what a request's handler answers: the
    // message (none: the phone is gone, the connection ends) and what the
    // connection does once it is sent. Each handler takes the lock for the
    // phone's state itself, never across a send.
    struct Lockdown;
    struct LockdownAnswer {
        enum class Then { carryOn, startTls, endTls, close };
        Plist message;
        Then then = Then::carryOn;
    };
    using LockdownHandler = LockdownAnswer (PhoneEmulator::*)(Lockdown&, const std::string& name, plist_t request);
    static const std::map<std::string, LockdownHandler>& lockdownHandlers();
    LockdownAnswer queryType(Lockdown& lockdown, const std::string& name, plist_t request);
    LockdownAnswer values(Lockdown& lockdown, const std::string& name, plist_t request);  // GetValue, SetValue
    LockdownAnswer pair(Lockdown& lockdown, const std::string& name, plist_t request);    // Pair, ValidatePair
    LockdownAnswer startSession(Lockdown& lockdown, const std::string& name, plist_t request);
    LockdownAnswer stopSession(Lockdown& lockdown, const std::string& name, plist_t request);
    LockdownAnswer startService(Lockdown& lockdown, const std::string& name, plist_t request);
    LockdownAnswer goodbye(Lockdown& lockdown, const std::string& name, plist_t request);
    bool startTls(Lockdown& lockdown);

    void acceptLoop();
    void serve(int fd);
    void serveLockdown(int fd, const std::string& udid);
    void serveAfc(int fd, const std::string& udid);
    void notifyListeners(const std::string& payloadXml);
    std::string attachedMessage(const Phone& phone) const;

    std::atomic<bool> dropsAfterEachFile_{false};
    std::atomic<int> afcConnections_{0};
    int listenFd_ = -1;
    std::string socketPath_;
    std::atomic<bool> stopping_{false};
    std::thread acceptor_;
    std::mutex mutex_;
    std::map<std::string, Phone> phones_;
    std::vector<int> listeners_;                   // connections that asked to listen
    std::map<int, std::string> services_;          // AFC port -> phone
    std::multimap<std::string, int> connections_;  // phone -> its open tunnels
    std::set<int> open_;                           // every open connection, to end them at stop
    std::string buid_;
    int nextPort_ = 49200;
    std::uint32_t nextDeviceId_ = 1;
    // One thread per connection; a finished one is joined when the next
    // connection comes, so that a client opening a connection per file
    // does not pile up threads until stop().
    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> finished;
    };
    std::vector<Worker> workers_;  // the acceptor's, then stop()'s
};

}  // namespace lumivane::emulator
