#include "bridges/bonjour/bonjour_bridge.h"

#include <arpa/inet.h>

#include "bridges/common/method_table.h"
#include "channel/arguments.h"
#include "runtime/utf8.h"

namespace lumivane {

namespace {

constexpr char kArgumentsMessage[] = "name and port are required";

// A map of string to string, or an empty map when any key or value is not
// a string.
std::map<std::string, ByteString> txtDictionary(const EncodableMap* txt) {
    std::map<std::string, ByteString> dictionary;
    if (!txt) return dictionary;
    for (const auto& [key, value] : *txt) {
        const auto* name = key.get<std::string>();
        const auto* text = value.get<std::string>();
        if (!name || !text) return {};
        dictionary[*name] = ByteString(text->begin(), text->end());
    }
    return dictionary;
}

}  // namespace

BonjourBridge::BonjourBridge(const BridgeContext& context)
    : netServices_(context.platform.netServices), loop_(context.loop), log_(context.log) {}

BonjourBridge::~BonjourBridge() {
    // Nothing may report to a bridge that is gone.
    if (browser_) {
        browser_->setDelegate(nullptr);
        browser_->stop();
    }
    for (auto& [name, service] : services_) {
        service->setDelegate(nullptr);
        service->stop();
    }
    if (published_) {
        published_->setDelegate(nullptr);
        published_->stop();
    }
}

void BonjourBridge::start(BinaryMessenger& messenger) {
    LUMIVANE_ASSERT_MAIN_LOOP(loop_);
    channel_ = std::make_unique<MethodChannel>(messenger, "lumivane/bonjour", log_);
    channel_->setMethodCallHandler(
        [this](const MethodCall& call, MethodResult result) { handle(call, std::move(result)); });
    events_ = std::make_unique<EventChannel>(messenger, "lumivane/bonjour/events", log_);
    // The channel goes with the bridge, so it may point at it without owning it.
    events_->setStreamHandler(std::shared_ptr<StreamHandler>(std::shared_ptr<void>(), this));
}

void BonjourBridge::handle(const MethodCall& call, MethodResult result) {
    LUMIVANE_ASSERT_MAIN_LOOP(loop_);
    static const MethodTable<BonjourBridge> table{
        {"publish", &BonjourBridge::publishCall},
        {"unpublish", &BonjourBridge::unpublishCall},
    };
    if (!table.dispatch(*this, call, result)) result.notImplemented();
}

void BonjourBridge::publishCall(const Arguments& args, MethodResult& result) {
    auto name = args.string("name");
    auto port = args.integer("port");
    // A port outside 0-65535 cannot be published as itself: refused like
    // a missing one, and nothing changes.
    if (!name || !port || *port < 0 || *port > 65535) return result.error("args", kArgumentsMessage);
    publish(*name, int(*port), args.map("txt") ? *args.map("txt") : EncodableMap{});
    result.success();
}

void BonjourBridge::unpublishCall(const Arguments&, MethodResult& result) {
    unpublish();
    result.success();
}

void BonjourBridge::publish(const std::string& name, int port, const EncodableMap& txt) {
    unpublish();  // one publication at a time: the earlier one ends first
    auto service = netServices_.makeService(kDomain, kServiceType, name, port);
    service->setTXTRecordData(dataFromTXTRecordDictionary(txtDictionary(&txt)));
    service->setDelegate(this);
    service->publish();
    published_ = std::move(service);
}

void BonjourBridge::unpublish() {
    if (!published_) return;
    published_->setDelegate(nullptr);
    published_->stop();
    published_.reset();
}

std::optional<MethodError> BonjourBridge::onListen(const EncodableValue&, std::unique_ptr<EventSink> sink) {
    LUMIVANE_ASSERT_MAIN_LOOP(loop_);
    sink_ = std::move(sink);
    if (browser_) {  // a listen without a cancel between: the earlier browse ends
        browser_->setDelegate(nullptr);
        browser_->stop();
    }
    browser_ = netServices_.makeBrowser();
    browser_->setDelegate(this);
    browser_->searchForServices(kServiceType, kDomain);
    return std::nullopt;
}

std::optional<MethodError> BonjourBridge::onCancel(const EncodableValue&) {
    LUMIVANE_ASSERT_MAIN_LOOP(loop_);
    if (browser_) {
        browser_->setDelegate(nullptr);
        browser_->stop();
        browser_.reset();
    }
    for (auto& [name, service] : services_) {
        service->setDelegate(nullptr);
        service->stop();
    }
    services_.clear();
    sink_.reset();
    return std::nullopt;
}

void BonjourBridge::didFindService(std::shared_ptr<NetService> service, bool) {
    auto& entry = services_[service->name()];
    if (entry) entry->setDelegate(nullptr);  // replaced, not stopped
    entry = service;
    service->setDelegate(this);
    service->resolveWithTimeout(kResolveTimeout);
}

void BonjourBridge::didRemoveService(std::shared_ptr<NetService> service, bool) {
    auto name = service->name();
    if (auto found = services_.find(name); found != services_.end()) {
        auto removed = std::move(found->second);
        services_.erase(found);
        removed->setDelegate(nullptr);
        removed->stop();
    }
    if (sink_) sink_->success(EncodableMap{{"event", "lost"}, {"service", name}});
}

void BonjourBridge::didNotSearch(const NetServiceError& error) {
    log_.write("Lumivane: Bonjour browse failed: " + describe(error));
}

void BonjourBridge::netServiceDidNotPublish(NetService&, const NetServiceError& error) {
    log_.write("Lumivane: Bonjour publish failed: " + describe(error));
}

void BonjourBridge::netServiceDidNotResolve(NetService& service, const NetServiceError& error) {
    log_.write("Lumivane: could not resolve " + service.name() + ": " + describe(error));
}

void BonjourBridge::netServiceDidResolveAddress(NetService& service) {
    if (&service == published_.get()) return;  // by identity only: a browsed own publication is a peer
    auto host = chooseHost(service.addresses());
    if (!host) return;
    if (!sink_) return;
    sink_->success(EncodableMap{{"event", "found"},
                                {"service", service.name()},
                                {"host", *host},
                                {"port", service.port()},
                                {"txt", decodeTXT(service.txtRecordData())}});
}

std::optional<std::string> BonjourBridge::chooseHost(const std::vector<ByteString>& addresses) {
    std::vector<std::string> texts;
    for (const auto& address : addresses) {
        if (address.size() < 16 || address[1] != kSocketFamilyIPv4) continue;
        char text[16] = {};
        if (!inet_ntop(AF_INET, address.data() + 4, text, sizeof text)) continue;
        texts.emplace_back(text);
    }
    for (const auto& text : texts)
        if (!text.starts_with(kLinkLocalPrefix)) return text;
    if (texts.empty()) return std::nullopt;
    return texts.front();
}

EncodableMap BonjourBridge::decodeTXT(const ByteString& data) {
    EncodableMap txt;
    for (const auto& [key, value] : dictionaryFromTXTRecordData(data)) {
        std::string text(value.begin(), value.end());
        if (isValidUtf8(text) && isValidUtf8(key)) txt.set(key, text);
    }
    return txt;
}

}  // namespace lumivane
