#pragma once
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bridges/common/bridge.h"
#include "channel/arguments.h"
#include "channel/event_channel.h"
#include "channel/method_channel.h"
#include "platform/net_services.h"

namespace lumivane {

// Bonjour: publishes this host as a "_lumivane._tcp." service under the name,
// port and TXT record the interface chooses ("lumivane/bonjour"), and, exactly
// while the interface listens on "lumivane/bonjour/events", browses for such
// services, resolves each one found and reports it with one IPv4 address, its
// port and its TXT record. It never connects to a peer.
//
// Threads: everything on the main loop; the net services report there too.
// No lock.
class BonjourBridge final : public Bridge,
                            public StreamHandler,
                            private NetServiceDelegate,
                            private NetServiceBrowserDelegate {
public:
    static constexpr const char* kServiceType = "_lumivane._tcp.";
    static constexpr const char* kDomain = "local.";
    static constexpr double kResolveTimeout = 10.0;  // seconds
    static constexpr const char* kLinkLocalPrefix = "169.254.";

    explicit BonjourBridge(const BridgeContext& context);
    ~BonjourBridge() override;

    // Installs "lumivane/bonjour" and "lumivane/bonjour/events".
    void start(BinaryMessenger& messenger) override;
    void handle(const MethodCall& call, MethodResult result);

    // Listening browses; cancelling stops the browse and forgets every peer.
    std::optional<MethodError> onListen(const EncodableValue& arguments, std::unique_ptr<EventSink> sink) override;
    std::optional<MethodError> onCancel(const EncodableValue& arguments) override;

    // The dotted IPv4 text to report for these socket addresses: the first
    // that is not link-local, else the first; none without an IPv4 address.
    static std::optional<std::string> chooseHost(const std::vector<ByteString>& addresses);
    // The TXT record as text: entries whose value is not UTF-8 are left out.
    static EncodableMap decodeTXT(const ByteString& data);

private:
    // "publish" and "unpublish", as the channel calls them.
    void publishCall(const Arguments& args, MethodResult& result);
    void unpublishCall(const Arguments& args, MethodResult& result);
    void publish(const std::string& name, int port, const EncodableMap& txt);
    void unpublish();

    void netServiceDidNotPublish(NetService& service, const NetServiceError& error) override;
    void netServiceDidResolveAddress(NetService& service) override;
    void netServiceDidNotResolve(NetService& service, const NetServiceError& error) override;
    void didFindService(std::shared_ptr<NetService> service, bool moreComing) override;
    void didRemoveService(std::shared_ptr<NetService> service, bool moreComing) override;
    void didNotSearch(const NetServiceError& error) override;

    NetServices& netServices_;
    MainLoop& loop_;
    Log& log_;
    std::unique_ptr<MethodChannel> channel_;
    std::unique_ptr<EventChannel> events_;
    std::shared_ptr<NetService> published_;                        // the current publication
    std::unique_ptr<NetServiceBrowser> browser_;                   // while listened to
    std::map<std::string, std::shared_ptr<NetService>> services_;  // found and not lost, by name
    std::unique_ptr<EventSink> sink_;                              // while listened to
};

}  // namespace lumivane
