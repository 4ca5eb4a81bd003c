// "peer.add", "peer.remove", "bonjour.published", "bonjour.failPublish",
// "bonjour.failBrowse": the simulated local network.
#include <arpa/inet.h>

#include "app/sim_control/sim_control.h"
#include "runtime/utf8.h"

namespace lumivane {

namespace {

// "txt": key to string, or key to a list of byte values (for data that is not
// UTF-8). Answers false when an entry is neither.
bool readTXT(const EncodableMap* txt, std::map<std::string, ByteString>& out) {
    if (!txt) return true;
    for (const auto& [key, value] : *txt) {
        const auto* name = key.get<std::string>();
        if (!name) return false;
        if (const auto* text = value.get<std::string>()) {
            out[*name] = ByteString(text->begin(), text->end());
        } else if (const auto* list = value.get<EncodableList>()) {
            ByteString bytes;
            for (const auto& byte : *list) {
                const auto* number = byte.get<std::int32_t>();
                if (!number || *number < 0 || *number > 255) return false;
                bytes.push_back(std::uint8_t(*number));
            }
            out[*name] = std::move(bytes);
        } else if (const auto* bytes = value.get<Bytes>()) {
            out[*name] = *bytes;
        } else {
            return false;
        }
    }
    return true;
}

// The TXT record as the controls show it: text where it is UTF-8, else the
// byte values.
EncodableMap showTXT(const ByteString& data) {
    EncodableMap txt;
    for (const auto& [key, value] : dictionaryFromTXTRecordData(data)) {
        std::string text(value.begin(), value.end());
        if (isValidUtf8(text)) {
            txt.set(key, text);
        } else {
            EncodableList bytes;
            for (auto byte : value) bytes.emplace_back(int(byte));
            txt.set(key, bytes);
        }
    }
    return txt;
}

void addPeer(SimMac& mac, const EncodableValue& arguments, MethodResult& result) {
    ControlArgs args(arguments, result);
    auto name = args.required("name");
    if (!name) return;
    auto port = args.integer("port");
    if (!port || *port < 0 || *port > 65535) return args.fail("\"port\" must be an integer from 0 to 65535.");
    std::map<std::string, ByteString> txt;
    if (!readTXT(args.map("txt"), txt))
        return args.fail("\"txt\" must map keys to strings or to lists of byte values.");
    SimNetServices::Peer peer{.name = *name, .port = int(*port), .txt = dataFromTXTRecordDictionary(txt)};
    if (const auto* addresses = args.list("addresses")) {
        for (const auto& value : *addresses) {
            const auto* text = value.get<std::string>();
            std::uint8_t address[16];
            bool v4 = text && inet_pton(AF_INET, text->c_str(), address) == 1;
            if (!v4 && !(text && inet_pton(AF_INET6, text->c_str(), address) == 1))
                return args.fail("\"addresses\" must list IPv4 or IPv6 addresses.");
            peer.addresses.push_back(macSocketAddress(address, v4 ? 4 : 16, std::uint16_t(*port)));
        }
    }
    peer.failResolve = args.integer("failResolve");
    mac.netServices().addPeer(std::move(peer));
    result.success();
}

EncodableValue published(SimMac& mac) {
    EncodableValue current;
    if (auto publication = mac.netServices().currentPublication())
        current = EncodableMap{{"name", publication->name},
                               {"type", publication->type},
                               {"domain", publication->domain},
                               {"port", publication->port},
                               {"txt", showTXT(publication->txt)}};
    return EncodableMap{{"current", current}, {"stopped", mac.netServices().stoppedPublications()}};
}

}  // namespace

void installBonjourControls(SimControl& control, SimMac& mac) {
    control.add("peer.add",
                [&mac](const EncodableValue& arguments, MethodResult& result) { addPeer(mac, arguments, result); });
    control.add("peer.remove", [&mac](const EncodableValue& arguments, MethodResult& result) {
        ControlArgs args(arguments, result);
        if (auto name = args.required("name")) result.success(mac.netServices().removePeer(*name));
    });
    control.add("bonjour.published",
                [&mac](const EncodableValue&, MethodResult& result) { result.success(published(mac)); });
    for (const char* which : {"bonjour.failPublish", "bonjour.failBrowse"}) {
        control.add(which, [&mac, publish = std::string(which) == "bonjour.failPublish"](
                               const EncodableValue& arguments, MethodResult& result) {
            ControlArgs args(arguments, result);
            auto code = args.integer("code");
            if (!code) return args.fail("\"code\" must be an integer.");
            if (publish)
                mac.netServices().failNextPublish(*code);
            else
                mac.netServices().failNextBrowse(*code);
            result.success();
        });
    }
}

}  // namespace lumivane
