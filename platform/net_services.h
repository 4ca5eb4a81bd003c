#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace lumivane {

// DNS-SD (Bonjour) services on the local network: publishing one, browsing
// for a type, resolving what the browse finds. What the host asks of the
// system's net services.
//
// Threads: every object is made and used on the main loop, and reports to
// its delegate there.

using ByteString = std::vector<std::uint8_t>;

// A failure as the system reports it: its keys with their numeric values.
struct NetServiceError {
    std::map<std::string, std::int64_t> entries;
    bool operator==(const NetServiceError&) const = default;
};
constexpr std::int64_t kNetServicesErrorDomain = 10;
constexpr std::int64_t kNetServicesTimeoutError = -72007;
// {"NSNetServicesErrorCode": code, "NSNetServicesErrorDomain": 10}.
NetServiceError netServiceError(std::int64_t code);
// Printed the way the system prints a dictionary, keys in order:
// {
//     NSNetServicesErrorCode = "-72004";
//     NSNetServicesErrorDomain = 10;
// }
std::string describe(const NetServiceError& error);

class NetService;

class NetServiceDelegate {
public:
    virtual ~NetServiceDelegate() = default;
    virtual void netServiceDidNotPublish(NetService& service, const NetServiceError& error) = 0;
    // The addresses (and port and TXT record) are known; may come more than
    // once while resolving.
    virtual void netServiceDidResolveAddress(NetService& service) = 0;
    virtual void netServiceDidNotResolve(NetService& service, const NetServiceError& error) = 0;
};

// One service: made to be published, or reported by a browse to be resolved.
class NetService {
public:
    virtual ~NetService() = default;
    virtual const std::string& name() const = 0;
    // The port; -1 before a found service is resolved.
    virtual int port() const = 0;
    // Socket addresses in the Mac's layout (a length byte, the family byte:
    // 2 for IPv4, 30 for IPv6, the port and the address, as sockaddr_in and
    // sockaddr_in6 are there), in the order the system gives them.
    virtual std::vector<ByteString> addresses() const = 0;
    // Empty when it has none.
    virtual ByteString txtRecordData() const = 0;
    virtual void setTXTRecordData(ByteString data) = 0;
    // The delegate must outlive the service or be cleared (null) first.
    virtual void setDelegate(NetServiceDelegate* delegate) = 0;
    virtual void publish() = 0;
    virtual void resolveWithTimeout(double seconds) = 0;
    // Ends publishing or resolving; nothing more is reported.
    virtual void stop() = 0;
};

// The part of a service every implementation keeps the same way: its name,
// port, addresses, TXT record and delegate, as plain fields.
class StoredNetService : public NetService {
public:
    StoredNetService(std::string domain, std::string type, std::string name, int port)
        : domain_(std::move(domain)), type_(std::move(type)), name_(std::move(name)), port_(port) {}
    const std::string& name() const override { return name_; }
    int port() const override { return port_; }
    std::vector<ByteString> addresses() const override { return addresses_; }
    ByteString txtRecordData() const override { return txt_; }
    void setTXTRecordData(ByteString data) override { txt_ = std::move(data); }
    void setDelegate(NetServiceDelegate* delegate) override { delegate_ = delegate; }

protected:
    std::string domain_, type_, name_;
    int port_;
    std::vector<ByteString> addresses_;
    ByteString txt_;
    NetServiceDelegate* delegate_ = nullptr;
};

class NetServiceBrowserDelegate {
public:
    virtual ~NetServiceBrowserDelegate() = default;
    virtual void didFindService(std::shared_ptr<NetService> service, bool moreComing) = 0;
    virtual void didRemoveService(std::shared_ptr<NetService> service, bool moreComing) = 0;
    virtual void didNotSearch(const NetServiceError& error) = 0;
};

class NetServiceBrowser {
public:
    virtual ~NetServiceBrowser() = default;
    // The delegate must outlive the browser or be cleared (null) first.
    virtual void setDelegate(NetServiceBrowserDelegate* delegate) = 0;
    virtual void searchForServices(const std::string& type, const std::string& domain) = 0;
    // Ends the search; nothing more is reported.
    virtual void stop() = 0;
};

class NetServices {
public:
    virtual ~NetServices() = default;
    // A service to publish; an empty name asks for the computer's own.
    virtual std::shared_ptr<NetService> makeService(const std::string& domain, const std::string& type,
                                                    const std::string& name, int port) = 0;
    virtual std::unique_ptr<NetServiceBrowser> makeBrowser() = 0;
};

// A TXT record's data from a key-to-bytes map, and back. Entries that a TXT
// record cannot hold (an empty key, a key with "=", more than 255 bytes in
// all: "key=value") are left out; a key without "=" in the data reads as an empty value,
// and of two equal keys the first counts.
ByteString dataFromTXTRecordDictionary(const std::map<std::string, ByteString>& dictionary);
std::map<std::string, ByteString> dictionaryFromTXTRecordData(const ByteString& data);

// Socket addresses in the Mac's layout, from the address bytes (4 or 16)
// and a port; and the family byte's values.
constexpr std::uint8_t kSocketFamilyIPv4 = 2, kSocketFamilyIPv6 = 30;
ByteString macSocketAddress(const std::uint8_t* address, std::size_t length, std::uint16_t port);

}  // namespace lumivane
