#include "platform/sim/sim_net_services.h"

#include <arpa/inet.h>

#include <algorithm>
#include <functional>

#include "platform/common/posted_reports.h"

namespace lumivane {

namespace {
constexpr char kPeerType[] = "_lumivane._tcp.";
constexpr char kPeerDomain[] = "local.";
}  // namespace

class SimNetServices::Service final : public StoredNetService {
public:
    Service(SimNetServices& registry, std::string domain, std::string type, std::string name, int port)
        : StoredNetService(std::move(domain), std::move(type), std::move(name), port), registry_(registry) {}
    ~Service() override { stop(); }

    void publish() override {
        if (entry_) return;
        if (auto code = registry_.takePublishFailure()) {
            reporter_.post(registry_.loop(), delegate_, [this, error = netServiceError(*code)](NetServiceDelegate& d) {
                d.netServiceDidNotPublish(*this, error);
            });
            return;
        }
        in_addr own{};
        inet_pton(AF_INET, kOwnAddress, &own);
        Entry entry{
            .name = name_,
            .type = type_,
            .domain = domain_,
            .port = port_,
            .txt = txt_,
            .addresses = {macSocketAddress(reinterpret_cast<const std::uint8_t*>(&own), 4, std::uint16_t(port_))},
            .failResolve = std::nullopt,
            .publishedBy = this};
        entry_ = registry_.addEntry(std::move(entry));
    }

    void resolveWithTimeout(double) override {
        reporter_.post(registry_.loop(), delegate_, [this](NetServiceDelegate& d) {
            const Entry* entry = registry_.find(name_, type_, domain_);
            if (!entry) return d.netServiceDidNotResolve(*this, netServiceError(kNetServicesTimeoutError));
            if (entry->failResolve) return d.netServiceDidNotResolve(*this, netServiceError(*entry->failResolve));
            port_ = entry->port;
            addresses_ = entry->addresses;
            txt_ = entry->txt;
            d.netServiceDidResolveAddress(*this);
        });
    }

    void stop() override {
        reporter_.cancel();
        if (entry_) {
            registry_.removeEntry(entry_);
            registry_.publicationStopped();
            entry_ = 0;
        }
    }

private:
    SimNetServices& registry_;
    PostedReports<NetServiceDelegate> reporter_;
    std::uint64_t entry_ = 0;  // the registry entry while published
};

class SimNetServices::Browser final : public NetServiceBrowser {
public:
    explicit Browser(SimNetServices& registry) : registry_(registry) {}
    ~Browser() override { stop(); }

    void setDelegate(NetServiceBrowserDelegate* delegate) override { delegate_ = delegate; }

    void searchForServices(const std::string& type, const std::string& domain) override {
        if (searching_) return;
        if (auto code = registry_.takeBrowseFailure()) {
            reporter_.post(registry_.loop(), delegate_,
                           [error = netServiceError(*code)](NetServiceBrowserDelegate& d) { d.didNotSearch(error); });
            return;
        }
        type_ = type;
        domain_ = domain;
        searching_ = true;
        registry_.addBrowser(this);
        std::vector<const Entry*> matching;
        for (const auto& entry : registry_.entries())
            if (matches(entry)) matching.push_back(&entry);
        for (std::size_t i = 0; i < matching.size(); ++i) announce(*matching[i], true, i + 1 < matching.size());
    }

    void stop() override {
        reporter_.cancel();
        if (searching_) registry_.removeBrowser(this);
        searching_ = false;
    }

    bool matches(const Entry& entry) const { return entry.type == type_ && entry.domain == domain_; }

    // Reports a service found or gone, as a new object the way a browse does.
    void announce(const Entry& entry, bool added, bool moreComing) {
        auto service = std::make_shared<Service>(registry_, entry.domain, entry.type, entry.name, -1);
        reporter_.post(registry_.loop(), delegate_, [service, added, moreComing](NetServiceBrowserDelegate& d) {
            if (added)
                d.didFindService(service, moreComing);
            else
                d.didRemoveService(service, moreComing);
        });
    }

private:
    SimNetServices& registry_;
    std::string type_, domain_;
    bool searching_ = false;
    NetServiceBrowserDelegate* delegate_ = nullptr;
    PostedReports<NetServiceBrowserDelegate> reporter_;
};

SimNetServices::SimNetServices(MainLoop& loop) : loop_(loop) {}
SimNetServices::~SimNetServices() = default;

std::shared_ptr<NetService> SimNetServices::makeService(const std::string& domain, const std::string& type,
                                                        const std::string& name, int port) {
    return std::make_shared<Service>(*this, domain, type, name, port);
}

std::unique_ptr<NetServiceBrowser> SimNetServices::makeBrowser() { return std::make_unique<Browser>(*this); }

void SimNetServices::addPeer(Peer peer) {
    removePeer(peer.name);
    addEntry(Entry{.name = peer.name,
                   .type = kPeerType,
                   .domain = kPeerDomain,
                   .port = peer.port,
                   .txt = std::move(peer.txt),
                   .addresses = std::move(peer.addresses),
                   .failResolve = peer.failResolve,
                   .publishedBy = nullptr});
}

bool SimNetServices::removePeer(const std::string& name) {
    auto found = std::find_if(entries_.begin(), entries_.end(),
                              [&](const Entry& entry) { return !entry.publishedBy && entry.name == name; });
    if (found == entries_.end()) return false;
    removeEntry(found->id);
    return true;
}

std::optional<SimNetServices::Publication> SimNetServices::currentPublication() const {
    for (auto entry = entries_.rbegin(); entry != entries_.rend(); ++entry)
        if (entry->publishedBy) return Publication{entry->name, entry->type, entry->domain, entry->port, entry->txt};
    return std::nullopt;
}

const SimNetServices::Entry* SimNetServices::find(const std::string& name, const std::string& type,
                                                  const std::string& domain) const {
    for (const auto& entry : entries_)
        if (entry.name == name && entry.type == type && entry.domain == domain) return &entry;
    return nullptr;
}

std::uint64_t SimNetServices::addEntry(Entry entry) {
    entry.id = nextId_++;
    entries_.push_back(std::move(entry));
    const Entry& added = entries_.back();
    for (auto* browser : browsers_)
        if (browser->matches(added)) browser->announce(added, true, false);
    return added.id;
}

void SimNetServices::removeEntry(std::uint64_t id) {
    auto found = std::find_if(entries_.begin(), entries_.end(), [id](const Entry& entry) { return entry.id == id; });
    if (found == entries_.end()) return;
    Entry removed = std::move(*found);
    entries_.erase(found);
    for (auto* browser : browsers_)
        if (browser->matches(removed)) browser->announce(removed, false, false);
}

void SimNetServices::addBrowser(Browser* browser) { browsers_.insert(browser); }

}  // namespace lumivane
