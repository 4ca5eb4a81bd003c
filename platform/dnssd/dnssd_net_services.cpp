#include "platform/dnssd/dnssd_net_services.h"

#include <arpa/inet.h>
#include <dns_sd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <map>

#include "platform/common/posted_reports.h"

namespace lumivane {

namespace {

constexpr auto kSettleTime = std::chrono::milliseconds(100);
constexpr std::uint16_t kTypeA = 1, kTypeAAAA = 28, kClassIN = 1;

// The system's error codes for what DNS-SD reports.
NetServiceError errorFor(DNSServiceErrorType error) {
    switch (error) {
        case kDNSServiceErr_NameConflict: return netServiceError(-72001);  // collision
        case kDNSServiceErr_NoSuchName: return netServiceError(-72002);    // not found
        case kDNSServiceErr_BadParam: return netServiceError(-72004);      // bad argument
        default: return netServiceError(-72000);                           // unknown
    }
}

// One running DNS-SD operation: its reference and the watch on its socket.
class Operation {
public:
    explicit Operation(MainLoop& loop) : loop_(loop) {}
    ~Operation() { reset(); }
    Operation(const Operation&) = delete;
    Operation& operator=(const Operation&) = delete;

    // Takes a reference a DNSService call has just made.
    void adopt(DNSServiceRef ref) {
        reset();
        ref_ = ref;
        watch_ = loop_.watchReadable(DNSServiceRefSockFD(ref), [ref] { DNSServiceProcessResult(ref); });
    }
    // May be called from the operation's own callback: the library keeps the
    // reference alive until the callback returns.
    void reset() {
        if (!ref_) return;
        loop_.unwatch(watch_);
        DNSServiceRefDeallocate(ref_);
        ref_ = nullptr;
    }
    bool running() const { return ref_ != nullptr; }

private:
    MainLoop& loop_;
    DNSServiceRef ref_ = nullptr;
    MainLoop::WatchId watch_ = 0;
};

class DnsSdService final : public StoredNetService {
public:
    DnsSdService(MainLoop& loop, std::string domain, std::string type, std::string name, int port)
        : StoredNetService(std::move(domain), std::move(type), std::move(name), port),
          loop_(loop),
          registration_(loop),
          resolution_(loop),
          ipv4_(loop),
          ipv6_(loop) {}
    ~DnsSdService() override { stop(); }

    void publish() override {
        if (registration_.running()) return;
        DNSServiceRef ref = nullptr;
        auto error = DNSServiceRegister(&ref, 0, kDNSServiceInterfaceIndexAny, name_.empty() ? nullptr : name_.c_str(),
                                        type_.c_str(), domain_.c_str(), nullptr, htons(std::uint16_t(port_)),
                                        std::uint16_t(txt_.size()), txt_.empty() ? nullptr : txt_.data(),
                                        &DnsSdService::registered, this);
        if (error != kDNSServiceErr_NoError) return failPublishing(error);
        registration_.adopt(ref);
    }

    void resolveWithTimeout(double seconds) override {
        stopResolving();
        addresses_.clear();
        DNSServiceRef ref = nullptr;
        auto error = DNSServiceResolve(&ref, 0, kDNSServiceInterfaceIndexAny, name_.c_str(), type_.c_str(),
                                       domain_.c_str(), &DnsSdService::resolved, this);
        if (error != kDNSServiceErr_NoError) return failResolving(errorFor(error));
        resolution_.adopt(ref);
        auto timeout = std::chrono::duration<double>(std::clamp(seconds, 0.0, 3600.0));
        timeout_ = loop_.addTimer(std::chrono::duration_cast<MainLoop::Duration>(timeout), [this] {
            timeout_ = 0;
            stopResolving();
            failResolving(netServiceError(kNetServicesTimeoutError));
        });
    }

    void stop() override {
        reports_.cancel();
        registration_.reset();
        stopResolving();
    }

private:
    static void DNSSD_API registered(DNSServiceRef, DNSServiceFlags, DNSServiceErrorType error, const char*,
                                     const char*, const char*, void* context) {
        auto* self = static_cast<DnsSdService*>(context);
        if (error != kDNSServiceErr_NoError) {
            self->registration_.reset();
            self->failPublishing(error);
        }
    }

    static void DNSSD_API resolved(DNSServiceRef, DNSServiceFlags, std::uint32_t interface, DNSServiceErrorType error,
                                   const char*, const char* host, std::uint16_t port, std::uint16_t txtLength,
                                   const unsigned char* txt, void* context) {
        auto* self = static_cast<DnsSdService*>(context);
        self->resolution_.reset();
        if (error != kDNSServiceErr_NoError) {
            self->stopResolving();
            return self->failResolving(errorFor(error));
        }
        self->port_ = ntohs(port);
        self->txt_.assign(txt, txt + txtLength);
        for (auto [operation, type] : {std::pair{&self->ipv4_, kTypeA}, std::pair{&self->ipv6_, kTypeAAAA}}) {
            DNSServiceRef ref = nullptr;
            if (DNSServiceQueryRecord(&ref, 0, interface, host, type, kClassIN, &DnsSdService::answered, self) ==
                kDNSServiceErr_NoError)
                operation->adopt(ref);
        }
    }

    static void DNSSD_API answered(DNSServiceRef, DNSServiceFlags flags, std::uint32_t, DNSServiceErrorType error,
                                   const char*, std::uint16_t type, std::uint16_t, std::uint16_t length,
                                   const void* data, std::uint32_t, void* context) {
        auto* self = static_cast<DnsSdService*>(context);
        if (error != kDNSServiceErr_NoError || !(flags & kDNSServiceFlagsAdd)) return;
        if (!((type == kTypeA && length == 4) || (type == kTypeAAAA && length == 16))) return;
        auto address = macSocketAddress(static_cast<const std::uint8_t*>(data), length, std::uint16_t(self->port_));
        if (std::find(self->addresses_.begin(), self->addresses_.end(), address) == self->addresses_.end())
            self->addresses_.push_back(std::move(address));
        if (!self->settle_) self->settle_ = self->loop_.addTimer(kSettleTime, [self] { self->settled(); });
    }

    void settled() {
        settle_ = 0;
        stopResolving();
        if (delegate_) delegate_->netServiceDidResolveAddress(*this);
    }

    void stopResolving() {
        resolution_.reset();
        ipv4_.reset();
        ipv6_.reset();
        for (auto* timer : {&settle_, &timeout_}) {
            if (*timer) loop_.cancelTimer(*timer);
            *timer = 0;
        }
    }

    void failPublishing(DNSServiceErrorType error) {
        reports_.post(loop_, delegate_, [this, failure = errorFor(error)](NetServiceDelegate& delegate) {
            delegate.netServiceDidNotPublish(*this, failure);
        });
    }
    void failResolving(NetServiceError error) {
        reports_.post(loop_, delegate_, [this, error = std::move(error)](NetServiceDelegate& delegate) {
            delegate.netServiceDidNotResolve(*this, error);
        });
    }

    MainLoop& loop_;
    Operation registration_, resolution_, ipv4_, ipv6_;
    MainLoop::TimerId settle_ = 0, timeout_ = 0;
    PostedReports<NetServiceDelegate> reports_;
};

class DnsSdBrowser final : public NetServiceBrowser {
public:
    explicit DnsSdBrowser(MainLoop& loop) : loop_(loop), browse_(loop) {}
    ~DnsSdBrowser() override { stop(); }

    void setDelegate(NetServiceBrowserDelegate* delegate) override { delegate_ = delegate; }

    void searchForServices(const std::string& type, const std::string& domain) override {
        if (browse_.running()) return;
        DNSServiceRef ref = nullptr;
        auto error = DNSServiceBrowse(&ref, 0, kDNSServiceInterfaceIndexAny, type.c_str(), domain.c_str(),
                                      &DnsSdBrowser::changed, this);
        if (error != kDNSServiceErr_NoError) return failSearching(error);
        browse_.adopt(ref);
    }

    void stop() override {
        reports_.cancel();
        browse_.reset();
        carriers_.clear();
    }

private:
    static void DNSSD_API changed(DNSServiceRef, DNSServiceFlags flags, std::uint32_t, DNSServiceErrorType error,
                                  const char* name, const char* type, const char* domain, void* context) {
        auto* self = static_cast<DnsSdBrowser*>(context);
        if (error != kDNSServiceErr_NoError) {
            self->browse_.reset();
            return self->failSearching(error);
        }
        if (!name || !type || !domain) return;
        bool moreComing = flags & kDNSServiceFlagsMoreComing;
        // One report per service, however many interfaces and protocols carry it.
        int& carriers = self->carriers_[name];
        if (flags & kDNSServiceFlagsAdd) {
            if (carriers++ > 0) return;
        } else {
            if (carriers == 0 || --carriers > 0) return;
            self->carriers_.erase(name);
        }
        auto service = std::make_shared<DnsSdService>(self->loop_, domain, type, name, -1);
        if (!self->delegate_) return;
        if (flags & kDNSServiceFlagsAdd)
            self->delegate_->didFindService(std::move(service), moreComing);
        else
            self->delegate_->didRemoveService(std::move(service), moreComing);
    }

    void failSearching(DNSServiceErrorType error) {
        reports_.post(loop_, delegate_, [failure = errorFor(error)](NetServiceBrowserDelegate& delegate) {
            delegate.didNotSearch(failure);
        });
    }

    MainLoop& loop_;
    Operation browse_;
    std::map<std::string, int> carriers_;  // found services: how many interfaces and protocols carry each
    NetServiceBrowserDelegate* delegate_ = nullptr;
    PostedReports<NetServiceBrowserDelegate> reports_;
};

}  // namespace

DnsSdNetServices::DnsSdNetServices(MainLoop& loop) : loop_(loop) {
    // Avahi's compatibility library otherwise warns on standard error that a
    // program uses it.
    setenv("AVAHI_COMPAT_NOWARN", "1", 0);
}

std::shared_ptr<NetService> DnsSdNetServices::makeService(const std::string& domain, const std::string& type,
                                                          const std::string& name, int port) {
    return std::make_shared<DnsSdService>(loop_, domain, type, name, port);
}

std::unique_ptr<NetServiceBrowser> DnsSdNetServices::makeBrowser() { return std::make_unique<DnsSdBrowser>(loop_); }

}  // namespace lumivane
