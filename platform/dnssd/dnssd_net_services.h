#pragma once
#include "platform/net_services.h"
#include "runtime/main_loop.h"

namespace lumivane {

// Net services through the DNS-SD C API (`dns_sd.h`): Avahi's compatibility
// library on Linux, the system's own on the Mac. Each operation's socket is
// watched by the main loop, which hands it to DNSServiceProcessResult when
// it has something to read; there is no thread or polling loop of its own.
//
// A browse reports a service found once, however many interfaces and
// protocols carry it, and gone when the last of them has dropped it.
// Resolving asks for the host and port, then for the host's IPv4 and IPv6
// addresses; it reports once the answers have settled (a tenth of a second
// after the first), or fails with the timeout error.
//
// Threads: main loop only.
class DnsSdNetServices final : public NetServices {
public:
    explicit DnsSdNetServices(MainLoop& loop);
    std::shared_ptr<NetService> makeService(const std::string& domain, const std::string& type, const std::string& name,
                                            int port) override;
    std::unique_ptr<NetServiceBrowser> makeBrowser() override;

private:
    MainLoop& loop_;
};

}  // namespace lumivane
