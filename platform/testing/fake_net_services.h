#pragma once
// Net services as a test sees them: every service made, with whether it was
// published and stopped and its TXT record; browsers note their searches.
#include <memory>
#include <vector>

#include "platform/net_services.h"

namespace lumivane {

class FakeNetServices final : public NetServices {
public:
    class Service final : public StoredNetService {
    public:
        using StoredNetService::StoredNetService;
        void publish() override { ++published; }
        void resolveWithTimeout(double) override { ++resolves; }
        void stop() override { ++stopped; }
        NetServiceDelegate* delegate() const { return delegate_; }
        int published = 0, resolves = 0, stopped = 0;
    };
    class Browser final : public NetServiceBrowser {
    public:
        void setDelegate(NetServiceBrowserDelegate* delegate) override { this->delegate = delegate; }
        void searchForServices(const std::string& type, const std::string& domain) override {
            searches.push_back(domain + type);
        }
        void stop() override { ++stopped; }
        NetServiceBrowserDelegate* delegate = nullptr;
        std::vector<std::string> searches;
        int stopped = 0;
    };

    std::shared_ptr<NetService> makeService(const std::string& domain, const std::string& type, const std::string& name,
                                            int port) override {
        services.push_back(std::make_shared<Service>(domain, type, name, port));
        return services.back();
    }
    std::unique_ptr<NetServiceBrowser> makeBrowser() override { return std::make_unique<Browser>(); }

    std::vector<std::shared_ptr<Service>> services;  // every service made, in order
};

}  // namespace lumivane
