#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/net_services.h"
#include "runtime/main_loop.h"

namespace lumivane {

// The simulated Mac's local network: one registry of services shared by every
// net-service object of the process, so the host's own publication is browsed
// like any peer. Peers are added and removed by hand; publications resolve to
// the Mac's own address. Every report is posted to the main loop, as the
// system delivers them on the run loop.
//
// Threads: main loop only.
class SimNetServices final : public NetServices {
public:
    static constexpr const char* kOwnAddress = "192.168.1.20";  // this Mac on the simulated network

    struct Peer {
        std::string name;
        int port = 0;
        ByteString txt;                           // TXT record data
        std::vector<ByteString> addresses;        // socket addresses, in order
        std::optional<std::int64_t> failResolve;  // resolving fails with this code
    };
    struct Publication {
        std::string name, type, domain;
        int port = 0;
        ByteString txt;
    };

    explicit SimNetServices(MainLoop& loop);
    ~SimNetServices() override;

    // A peer of type "_lumivane._tcp." in "local." (replacing one of that
    // name); every browse of that type reports it.
    void addPeer(Peer peer);
    // Whether there was such a peer; browses report it gone.
    bool removePeer(const std::string& name);
    // The next publish, or the next browse, fails with this code.
    void failNextPublish(std::int64_t code) { failPublish_ = code; }
    void failNextBrowse(std::int64_t code) { failBrowse_ = code; }
    // What is published now (the last publication still running), and how
    // many publications were stopped so far.
    std::optional<Publication> currentPublication() const;
    int stoppedPublications() const { return stopped_; }

    std::shared_ptr<NetService> makeService(const std::string& domain, const std::string& type, const std::string& name,
                                            int port) override;
    std::unique_ptr<NetServiceBrowser> makeBrowser() override;

    // ---- for the simulated objects ----
    struct Entry {
        std::uint64_t id = 0;
        std::string name, type, domain;
        int port = 0;
        ByteString txt;
        std::vector<ByteString> addresses;
        std::optional<std::int64_t> failResolve;
        const void* publishedBy = nullptr;  // the publishing service, or none for a peer
    };
    class Browser;
    class Service;
    MainLoop& loop() { return loop_; }
    const Entry* find(const std::string& name, const std::string& type, const std::string& domain) const;
    std::uint64_t addEntry(Entry entry);
    void removeEntry(std::uint64_t id);
    std::optional<std::int64_t> takePublishFailure() { return std::exchange(failPublish_, std::nullopt); }
    std::optional<std::int64_t> takeBrowseFailure() { return std::exchange(failBrowse_, std::nullopt); }
    void addBrowser(Browser* browser);
    void removeBrowser(Browser* browser) { browsers_.erase(browser); }
    const std::vector<Entry>& entries() const { return entries_; }
    void publicationStopped() { ++stopped_; }

private:
    MainLoop& loop_;
    std::vector<Entry> entries_;
    std::set<Browser*> browsers_;
    std::uint64_t nextId_ = 1;
    std::optional<std::int64_t> failPublish_, failBrowse_;
    int stopped_ = 0;
};

}  // namespace lumivane
