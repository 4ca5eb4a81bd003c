#include "tools/phone_emulator/phone_emulator.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>

#include "platform/common/property_list.h"
#include "platform/usbmux/usbmux_wire.h"

namespace lumivane::emulator {

namespace {

constexpr int kLockdownPort = 62078;
constexpr std::size_t kMaxAfcPacket = std::size_t{16} << 20;

bool writeAll(int fd, const void* data, std::size_t size) {
    const char* at = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t sent = ::send(fd, at, size, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        at += sent;
        size -= std::size_t(sent);
    }
    return true;
}

// A device connection: plain, or TLS once a lockdown session asks for it.
struct Stream {
    int fd;
    SSL* ssl = nullptr;

    bool read(void* data, std::size_t size) {
        char* at = static_cast<char*>(data);
        while (size > 0) {
            int got = ssl ? SSL_read(ssl, at, int(std::min<std::size_t>(size, 1 << 30))) : int(::recv(fd, at, size, 0));
            if (got < 0 && !ssl && errno == EINTR) continue;
            if (got <= 0) return false;
            at += got;
            size -= std::size_t(got);
        }
        return true;
    }
    bool write(const void* data, std::size_t size) {
        if (!ssl) return writeAll(fd, data, size);
        return SSL_write(ssl, data, int(size)) == int(size);
    }
};

plist_t stringNode(const std::string& text) { return plist_new_string(text.c_str()); }

std::string xml(plist_t node) { return plist::toXml(node); }

bool sendLockdown(Stream& stream, plist_t message) {
    auto frame = usbmux::encodeLockdownFrame(xml(message));
    plist_free(message);
    return stream.write(frame.data(), frame.size());
}

std::optional<Plist> readLockdown(Stream& stream) {
    std::uint8_t length[4];
    if (!stream.read(length, 4)) return std::nullopt;
    std::uint32_t size =
        std::uint32_t(length[0]) << 24 | std::uint32_t(length[1]) << 16 | std::uint32_t(length[2]) << 8 | length[3];
    if (size == 0 || size > usbmux::kMaxLockdownLength) return std::nullopt;
    std::string body(size, '\0');
    if (!stream.read(body.data(), size)) return std::nullopt;
    auto parsed = plist::parse(body);
    if (!parsed || !plist::isDict(parsed.get())) return std::nullopt;
    return parsed;
}

plist_t reply(const std::string& request) {
    plist_t answer = plist_new_dict();
    plist_dict_set_item(answer, "Request", stringNode(request));
    return answer;
}
plist_t failure(const std::string& request, const char* error) {
    plist_t answer = reply(request);
    plist_dict_set_item(answer, "Error", plist_new_string(error));
    return answer;
}

plist_t daemonResult(std::int64_t number) {
    plist_t answer = plist_new_dict();
    plist_dict_set_item(answer, "MessageType", plist_new_string("Result"));
    plist_dict_set_item(answer, "Number", plist_new_uint(std::uint64_t(number)));
    return answer;
}

// An AFC path inside the phone's folder; none when it steps out.
std::optional<std::string> inside(const std::string& folder, const std::string& path) {
    std::size_t at = 0;
    while (at <= path.size()) {
        auto end = path.find('/', at);
        if (end == std::string::npos) end = path.size();
        if (path.compare(at, end - at, "..") == 0) return std::nullopt;
        at = end + 1;
    }
    return folder + (path.starts_with("/") ? "" : "/") + path;
}

std::string nanos(const timespec& time) {
    return std::to_string(std::int64_t(time.tv_sec) * 1'000'000'000 + time.tv_nsec);
}

}  // namespace

PhoneEmulator::PhoneEmulator() : buid_(newUuid()) {}

PhoneEmulator::~PhoneEmulator() { stop(); }

void PhoneEmulator::addPhone(const std::string& udid, const std::string& folder, const std::string& name) {
    Phone phone;
    phone.udid = udid;
    phone.folder = folder;
    phone.name = name;
    phone.identity = DeviceIdentity::generate();
    auto record = PairRecord::generate(phone.identity.privateKey, buid_);
    phone.hostIds.insert(record.hostId);
    phone.pairRecordData = record.toXml();
    std::lock_guard guard(mutex_);
    phone.deviceId = nextDeviceId_++;
    phones_[udid] = std::move(phone);
}

bool PhoneEmulator::start(const std::string& socketPath) {
    // A client that goes mid-answer must not end the process: TLS and the
    // daemon's frames write with plain write().
    ::signal(SIGPIPE, SIG_IGN);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof address.sun_path) return false;
    std::strcpy(address.sun_path, socketPath.c_str());
    ::unlink(socketPath.c_str());
    listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listenFd_, 64) != 0)
        return false;
    socketPath_ = socketPath;
    acceptor_ = std::thread([this] { acceptLoop(); });
    return true;
}

void PhoneEmulator::stop() {
    if (stopping_.exchange(true)) return;
    if (listenFd_ >= 0) ::shutdown(listenFd_, SHUT_RDWR);
    if (acceptor_.joinable()) acceptor_.join();
    {
        std::lock_guard guard(mutex_);
        for (int fd : open_) ::shutdown(fd, SHUT_RDWR);
    }
    for (auto& worker : workers_)
        if (worker.thread.joinable()) worker.thread.join();
    if (listenFd_ >= 0) ::close(listenFd_);
    if (!socketPath_.empty()) ::unlink(socketPath_.c_str());
    // Ready to start again, as a daemon that udev starts anew.
    std::lock_guard guard(mutex_);
    workers_.clear();
    listeners_.clear();
    open_.clear();
    listenFd_ = -1;
    socketPath_.clear();
    stopping_ = false;
}

void PhoneEmulator::acceptLoop() {
    while (!stopping_) {
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            return;
        }
        std::erase_if(workers_, [](Worker& worker) {
            if (!*worker.finished) return false;
            worker.thread.join();
            return true;
        });
        std::lock_guard guard(mutex_);
        open_.insert(fd);
        auto finished = std::make_shared<std::atomic<bool>>(false);
        workers_.push_back({std::thread([this, fd, finished] {
                                serve(fd);
                                std::lock_guard done(mutex_);
                                open_.erase(fd);
                                std::erase(listeners_, fd);
                                for (auto it = connections_.begin(); it != connections_.end();)
                                    it = it->second == fd ? connections_.erase(it) : std::next(it);
                                ::close(fd);
                                *finished = true;
                            }),
                            finished});
    }
}

std::string PhoneEmulator::attachedMessage(const Phone& phone) const {
    plist_t properties = plist_new_dict();
    plist_dict_set_item(properties, "ConnectionSpeed", plist_new_uint(480000000));
    plist_dict_set_item(properties, "ConnectionType", plist_new_string("USB"));
    plist_dict_set_item(properties, "DeviceID", plist_new_uint(phone.deviceId));
    plist_dict_set_item(properties, "LocationID", plist_new_uint(phone.deviceId << 16));
    plist_dict_set_item(properties, "ProductID", plist_new_uint(0x12A8));
    plist_dict_set_item(properties, "SerialNumber", plist_new_string(phone.udid.c_str()));
    plist_t message = plist_new_dict();
    plist_dict_set_item(message, "MessageType", plist_new_string("Attached"));
    plist_dict_set_item(message, "DeviceID", plist_new_uint(phone.deviceId));
    plist_dict_set_item(message, "Properties", properties);
    auto text = xml(message);
    plist_free(message);
    return text;
}

void PhoneEmulator::notifyListeners(const std::string& payloadXml) {
    for (int fd : listeners_) usbmux::writeFrame(fd, 0, payloadXml);
}

void PhoneEmulator::serve(int fd) {
    for (;;) {
        auto frame = usbmux::readFrame(fd);
        if (!frame) return;
        auto tag = frame->header.tag;
        auto request = plist::parse(frame->payload);
        if (!request) return;
        auto type = plist::string(request.get(), "MessageType").value_or("");
        auto answer = [&](plist_t message) {
            auto text = xml(message);
            plist_free(message);
            return usbmux::writeFrame(fd, tag, text);
        };

        if (type == "ListDevices") {
            plist_t list = plist_new_array();
            std::lock_guard guard(mutex_);
            for (const auto& [udid, phone] : phones_)
                if (phone.attached) {
                    auto entry = plist::parse(attachedMessage(phone));
                    plist_array_append_item(list, plist_copy(entry.get()));
                }
            plist_t message = plist_new_dict();
            plist_dict_set_item(message, "DeviceList", list);
            if (!answer(message)) return;
        } else if (type == "Listen") {
            if (!answer(daemonResult(usbmux::kResultOk))) return;
            std::lock_guard guard(mutex_);
            for (const auto& [udid, phone] : phones_)
                if (phone.attached) usbmux::writeFrame(fd, 0, attachedMessage(phone));
            listeners_.push_back(fd);
        } else if (type == "ReadBUID") {
            plist_t message = plist_new_dict();
            std::lock_guard guard(mutex_);
            plist_dict_set_item(message, "BUID", plist_new_string(buid_.c_str()));
            if (!answer(message)) return;
        } else if (type == "ReadPairRecord") {
            auto id = plist::string(request.get(), "PairRecordID").value_or("");
            std::optional<std::string> data;
            {
                std::lock_guard guard(mutex_);
                if (auto phone = phones_.find(id); phone != phones_.end()) data = phone->second.pairRecordData;
            }
            if (!data) {
                if (!answer(daemonResult(2))) return;  // no such record
                continue;
            }
            plist_t message = plist_new_dict();
            plist_dict_set_item(message, "PairRecordData", plist_new_data(data->data(), data->size()));
            if (!answer(message)) return;
        } else if (type == "SavePairRecord" || type == "DeletePairRecord") {
            auto id = plist::string(request.get(), "PairRecordID").value_or("");
            std::lock_guard guard(mutex_);
            auto phone = phones_.find(id);
            if (phone != phones_.end()) {
                if (type == "DeletePairRecord") {
                    phone->second.pairRecordData.reset();
                } else if (plist_t data = plist_dict_get_item(request.get(), "PairRecordData");
                           data && plist_get_node_type(data) == PLIST_DATA) {
                    char* bytes = nullptr;
                    std::uint64_t length = 0;
                    plist_get_data_val(data, &bytes, &length);
                    phone->second.pairRecordData = std::string(bytes, length);
                    std::free(bytes);
                }
            }
            if (!answer(daemonResult(phone == phones_.end() ? 2 : usbmux::kResultOk))) return;
        } else if (type == "Connect") {
            auto id = plist::integer(request.get(), "DeviceID").value_or(-1);
            auto port = int(ntohs(std::uint16_t(plist::integer(request.get(), "PortNumber").value_or(0))));
            std::string udid;
            bool afc = false;
            {
                std::lock_guard guard(mutex_);
                for (const auto& [key, phone] : phones_)
                    if (phone.attached && phone.deviceId == id) udid = key;
                auto service = services_.find(port);
                afc = service != services_.end() && service->second == udid;
                if (!udid.empty()) connections_.emplace(udid, fd);
            }
            if (udid.empty() || (port != kLockdownPort && !afc)) {
                answer(daemonResult(usbmux::kResultConnectionRefused));
                return;
            }
            if (!answer(daemonResult(usbmux::kResultOk))) return;
            if (afc)
                serveAfc(fd, udid);
            else
                serveLockdown(fd, udid);
            return;
        } else {
            if (!answer(daemonResult(usbmux::kResultBadCommand))) return;
        }
    }
}

// One lockdown connection: its stream, its TLS context once a session
// starts, the session, and the phone it reaches.
struct PhoneEmulator::Lockdown {
    explicit Lockdown(int fd, std::string phone) : stream{fd}, udid(std::move(phone)) {}
    ~Lockdown() { endTls(); }
    void endTls() {
        if (!stream.ssl) return;
        SSL_free(stream.ssl);
        stream.ssl = nullptr;
    }

    Stream stream;
    std::string udid;
    std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context{nullptr, SSL_CTX_free};
    std::string session;
    std::string certificate, privateKey;  // the phone's, for the session's TLS
};

const std::map<std::string, PhoneEmulator::LockdownHandler>& PhoneEmulator::lockdownHandlers() {
    static const std::map<std::string, LockdownHandler> handlers{
        {"QueryType", &PhoneEmulator::queryType},     {"GetValue", &PhoneEmulator::values},
        {"SetValue", &PhoneEmulator::values},         {"Pair", &PhoneEmulator::pair},
        {"ValidatePair", &PhoneEmulator::pair},       {"StartSession", &PhoneEmulator::startSession},
        {"StopSession", &PhoneEmulator::stopSession}, {"StartService", &PhoneEmulator::startService},
        {"Goodbye", &PhoneEmulator::goodbye},
    };
    return handlers;
}

void PhoneEmulator::serveLockdown(int fd, const std::string& udid) {
    Lockdown lockdown(fd, udid);
    for (;;) {
        auto message = readLockdown(lockdown.stream);
        if (!message) break;
        auto name = plist::string(message->get(), "Request").value_or("");
        {
            std::lock_guard guard(mutex_);
            if (!phones_.count(udid)) break;  // the phone is gone
        }
        auto handler = lockdownHandlers().find(name);
        auto answer = handler == lockdownHandlers().end() ? LockdownAnswer{Plist(failure(name, "InvalidRequest"))}
                                                          : (this->*handler->second)(lockdown, name, message->get());
        if (!answer.message) break;  // the phone is gone
        bool sent = sendLockdown(lockdown.stream, answer.message.release());
        if (answer.then == LockdownAnswer::Then::close) break;
        if (!sent) break;
        if (answer.then == LockdownAnswer::Then::startTls && !startTls(lockdown)) break;
        if (answer.then == LockdownAnswer::Then::endTls && lockdown.stream.ssl) {
            // The host says goodbye to TLS; the phone answers in kind, then
            // the connection is plain again.
            char byte;
            SSL_read(lockdown.stream.ssl, &byte, 1);
            SSL_shutdown(lockdown.stream.ssl);
            lockdown.endTls();
        }
    }
}

PhoneEmulator::LockdownAnswer PhoneEmulator::queryType(Lockdown&, const std::string& name, plist_t) {
    Plist answer(reply(name));
    plist_dict_set_item(answer.get(), "Type", plist_new_string("com.apple.mobile.lockdown"));
    return {std::move(answer)};
}

PhoneEmulator::LockdownAnswer PhoneEmulator::values(Lockdown& lockdown, const std::string& name, plist_t request) {
    auto domain = plist::string(request, "Domain").value_or("");
    auto key = plist::string(request, "Key");
    Plist values(plist_new_dict());
    {
        std::lock_guard guard(mutex_);
        auto found = phones_.find(lockdown.udid);
        if (found == phones_.end()) return {};
        Phone& phone = found->second;
        if (domain.empty()) {
            plist_t v = values.get();
            plist_dict_set_item(v, "DeviceName", stringNode(phone.name));
            plist_dict_set_item(v, "DeviceClass", plist_new_string("iPhone"));
            plist_dict_set_item(v, "ProductType", plist_new_string("iPhone14,2"));
            plist_dict_set_item(v, "ProductVersion", plist_new_string("17.1"));
            plist_dict_set_item(v, "BuildVersion", plist_new_string("21B74"));
            plist_dict_set_item(v, "UniqueDeviceID", stringNode(phone.udid));
            plist_dict_set_item(v, "SerialNumber", plist_new_string("EMULATED0001"));
            plist_dict_set_item(v, "DevicePublicKey",
                                plist_new_data(phone.identity.publicKey.data(), phone.identity.publicKey.size()));
        } else if (domain == "com.apple.mobile.wireless_lockdown") {
            if (name == "SetValue" && key == std::optional<std::string>("EnableWifiConnections")) {
                plist_t value = plist_dict_get_item(request, "Value");
                std::uint8_t on = 0;
                if (value && plist_get_node_type(value) == PLIST_BOOLEAN) plist_get_bool_val(value, &on);
                phone.wifiConnections = on;
            }
            plist_dict_set_item(values.get(), "EnableWifiConnections", plist_new_bool(phone.wifiConnections));
        }
    }
    Plist answer(reply(name));
    if (!domain.empty()) plist_dict_set_item(answer.get(), "Domain", stringNode(domain));
    if (key) {
        plist_dict_set_item(answer.get(), "Key", stringNode(*key));
        plist_t value = plist_dict_get_item(values.get(), key->c_str());
        if (name == "GetValue" && !value) return {Plist(failure(name, "MissingValue"))};
        if (name == "GetValue") plist_dict_set_item(answer.get(), "Value", plist_copy(value));
    } else if (name == "GetValue") {
        plist_dict_set_item(answer.get(), "Value", plist_copy(values.get()));
    }
    return {std::move(answer)};
}

PhoneEmulator::LockdownAnswer PhoneEmulator::pair(Lockdown& lockdown, const std::string& name, plist_t request) {
    plist_t record = plist::dictItem(request, "PairRecord", PLIST_DICT);
    auto hostId = record ? plist::string(record, "HostID") : std::nullopt;
    std::lock_guard guard(mutex_);
    auto found = phones_.find(lockdown.udid);
    if (found == phones_.end()) return {};
    Phone& phone = found->second;
    if (!hostId) return {Plist(failure(name, "InvalidPairRecord"))};
    if (name == "ValidatePair")
        return {Plist(phone.hostIds.count(*hostId) ? reply(name) : failure(name, "InvalidHostID"))};
    if (phone.trust == Trust::pending) return {Plist(failure(name, "PairingDialogResponsePending"))};
    if (phone.trust == Trust::refused) return {Plist(failure(name, "UserDeniedPairing"))};
    phone.hostIds.insert(*hostId);
    Plist answer(reply(name));
    std::string bag(32, '\x5a');
    plist_dict_set_item(answer.get(), "EscrowBag", plist_new_data(bag.data(), bag.size()));
    return {std::move(answer)};
}

PhoneEmulator::LockdownAnswer PhoneEmulator::startSession(Lockdown& lockdown, const std::string& name,
                                                          plist_t request) {
    auto hostId = plist::string(request, "HostID").value_or("");
    {
        std::lock_guard guard(mutex_);
        auto found = phones_.find(lockdown.udid);
        if (found == phones_.end()) return {};
        const Phone& phone = found->second;
        if (!phone.hostIds.count(hostId) || phone.trust != Trust::trusted)
            return {Plist(failure(name, "InvalidHostID"))};
        lockdown.certificate = phone.identity.certificate;
        lockdown.privateKey = phone.identity.privateKey;
    }
    lockdown.session = newUuid();
    Plist answer(reply(name));
    plist_dict_set_item(answer.get(), "SessionID", stringNode(lockdown.session));
    plist_dict_set_item(answer.get(), "EnableSessionSSL", plist_new_bool(1));
    return {std::move(answer), LockdownAnswer::Then::startTls};
}

bool PhoneEmulator::startTls(Lockdown& lockdown) {
    // The rest of the session is TLS, with the phone's certificate.
    lockdown.context.reset(SSL_CTX_new(TLS_server_method()));
    SSL_CTX_set_security_level(lockdown.context.get(), 0);
    const auto& certificate = lockdown.certificate;
    const auto& key = lockdown.privateKey;
    std::unique_ptr<BIO, decltype(&BIO_free)> certificateBio(
        BIO_new_mem_buf(certificate.data(), int(certificate.size())), BIO_free);
    std::unique_ptr<BIO, decltype(&BIO_free)> keyBio(BIO_new_mem_buf(key.data(), int(key.size())), BIO_free);
    X509* x509 = PEM_read_bio_X509(certificateBio.get(), nullptr, nullptr, nullptr);
    EVP_PKEY* privateKey = PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr);
    SSL_CTX_use_certificate(lockdown.context.get(), x509);
    SSL_CTX_use_PrivateKey(lockdown.context.get(), privateKey);
    X509_free(x509);
    EVP_PKEY_free(privateKey);
    lockdown.stream.ssl = SSL_new(lockdown.context.get());
    SSL_set_fd(lockdown.stream.ssl, lockdown.stream.fd);
    return SSL_accept(lockdown.stream.ssl) == 1;
}

PhoneEmulator::LockdownAnswer PhoneEmulator::stopSession(Lockdown& lockdown, const std::string& name, plist_t) {
    lockdown.session.clear();
    return {Plist(reply(name)), LockdownAnswer::Then::endTls};
}

PhoneEmulator::LockdownAnswer PhoneEmulator::startService(Lockdown& lockdown, const std::string& name,
                                                          plist_t request) {
    auto service = plist::string(request, "Service").value_or("");
    if (lockdown.session.empty() || service != "com.apple.afc")
        return {Plist(failure(name, lockdown.session.empty() ? "SessionInactive" : "InvalidService"))};
    int port;
    {
        std::lock_guard guard(mutex_);
        if (!phones_.count(lockdown.udid)) return {};
        port = nextPort_++;
        services_[port] = lockdown.udid;
    }
    Plist answer(reply(name));
    plist_dict_set_item(answer.get(), "Service", stringNode(service));
    plist_dict_set_item(answer.get(), "Port", plist_new_uint(std::uint64_t(port)));
    return {std::move(answer)};
}

PhoneEmulator::LockdownAnswer PhoneEmulator::goodbye(Lockdown&, const std::string& name, plist_t) {
    return {Plist(reply(name)), LockdownAnswer::Then::close};
}

namespace {

constexpr std::size_t kAfcHeader = 40;

// One AFC connection: the phone's folder, the files it has open, and the
// packet a file's data is read into, kept from read to read.
struct AfcSession {
    std::string folder;
    std::map<std::uint64_t, int> files;  // handle -> descriptor
    std::uint64_t nextHandle = 1;
    std::vector<char> packet;
    ~AfcSession() {
        for (auto& [handle, file] : files) ::close(file);
    }
};

// What a request is answered with: a status code, or data (operation 2) or
// a handle (operation 0x0E) after the header. A file's data is not copied
// here: it is already in the session's packet, after the header's room.
struct AfcReply {
    std::uint64_t operation;
    std::string payload;
    std::size_t inPacket = 0;  // bytes of data in the session's packet
};

AfcReply afcStatus(std::uint64_t code) {
    std::uint64_t value = htole64(code);
    return {1, std::string(reinterpret_cast<char*>(&value), 8)};
}

std::uint64_t afcNumber(const std::string& payload, std::size_t at) {
    std::uint64_t value = 0;
    if (payload.size() >= at + 8) std::memcpy(&value, payload.data() + at, 8);
    return le64toh(value);
}

std::string afcPairs(std::initializer_list<std::pair<std::string, std::string>> pairs) {
    std::string out;
    for (const auto& [key, value] : pairs) out += key + '\0' + value + '\0';
    return out;
}

AfcReply readDirectory(AfcSession& session, const std::string& payload) {
    auto path = inside(session.folder, payload.c_str());
    DIR* directory = path ? ::opendir(path->c_str()) : nullptr;
    if (!directory) return afcStatus(path ? 8 : 10);
    std::string names;
    while (dirent* entry = ::readdir(directory)) names += std::string(entry->d_name) + '\0';
    ::closedir(directory);
    return {2, names};
}

AfcReply fileInformation(AfcSession& session, const std::string& payload) {
    auto path = inside(session.folder, payload.c_str());
    struct stat st {};
    if (!path || ::lstat(path->c_str(), &st) != 0) return afcStatus(path ? 8 : 10);
    const char* format = S_ISDIR(st.st_mode) ? "S_IFDIR" : S_ISLNK(st.st_mode) ? "S_IFLNK" : "S_IFREG";
    return {2, afcPairs({{"st_size", std::to_string(st.st_size)},
                         {"st_blocks", std::to_string(st.st_blocks)},
                         {"st_nlink", std::to_string(st.st_nlink)},
                         {"st_ifmt", format},
                         {"st_mtime", nanos(st.st_mtim)},
                         {"st_birthtime", nanos(st.st_mtim)}})};
}

AfcReply deviceInformation(AfcSession&, const std::string&) {
    return {2, afcPairs({{"Model", "iPhone14,2"},
                         {"FSTotalBytes", "128000000000"},
                         {"FSFreeBytes", "64000000000"},
                         {"FSBlockSize", "4096"}})};
}

AfcReply openFile(AfcSession& session, const std::string& payload) {  // reading only
    auto path = payload.size() > 8 ? inside(session.folder, std::string(payload.c_str() + 8)) : std::nullopt;
    struct stat st {};
    if (!path || ::stat(path->c_str(), &st) != 0) return afcStatus(path ? 8 : 7);
    if (S_ISDIR(st.st_mode)) return afcStatus(9);
    if (afcNumber(payload, 0) != 1) return afcStatus(10);  // only read-only opens
    int file = ::open(path->c_str(), O_RDONLY | O_CLOEXEC);
    if (file < 0) return afcStatus(10);
    auto handle = session.nextHandle++;
    session.files[handle] = file;
    std::uint64_t value = htole64(handle);
    return {0x0E, std::string(reinterpret_cast<char*>(&value), 8)};
}

AfcReply readFile(AfcSession& session, const std::string& payload) {
    auto file = session.files.find(afcNumber(payload, 0));
    if (file == session.files.end()) return afcStatus(7);
    auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(afcNumber(payload, 8), kMaxAfcPacket));
    if (session.packet.size() < kAfcHeader + wanted) session.packet.resize(kAfcHeader + wanted);
    ssize_t got;
    do got = ::read(file->second, session.packet.data() + kAfcHeader, wanted);
    while (got < 0 && errno == EINTR);
    if (got < 0) return afcStatus(4);
    return {2, {}, std::size_t(got)};
}

AfcReply seekFile(AfcSession& session, const std::string& payload) {
    static const int kWhence[] = {SEEK_SET, SEEK_CUR, SEEK_END};
    auto file = session.files.find(afcNumber(payload, 0));
    auto whence = afcNumber(payload, 8);
    if (file == session.files.end() || whence > 2) return afcStatus(7);
    auto offset = static_cast<std::int64_t>(afcNumber(payload, 16));
    if (::lseek(file->second, static_cast<off_t>(offset), kWhence[whence]) < 0) return afcStatus(7);
    return afcStatus(0);
}

AfcReply closeFile(AfcSession& session, const std::string& payload) {
    auto file = session.files.find(afcNumber(payload, 0));
    if (file == session.files.end()) return afcStatus(7);
    ::close(file->second);
    session.files.erase(file);
    return afcStatus(0);
}

// The AFC operations the emulator serves; any other answers "unsupported".
const std::map<std::uint64_t, AfcReply (*)(AfcSession&, const std::string&)> kAfcHandlers{
    {0x03, readDirectory}, {0x0A, fileInformation}, {0x0B, deviceInformation}, {0x0D, openFile},
    {0x0F, readFile},      {0x11, seekFile},        {0x14, closeFile},
};

}  // namespace

void PhoneEmulator::serveAfc(int fd, const std::string& udid) {
    ++afcConnections_;
    AfcSession session;
    {
        std::lock_guard guard(mutex_);
        session.folder = phones_.at(udid).folder;
    }
    auto send = [&](std::uint64_t packet, const AfcReply& reply) {
        // Data follows the header as the packet's trailing part, as a phone
        // sends it; a status or a handle travels in the header part.
        auto size = reply.inPacket + reply.payload.size();
        if (session.packet.size() < kAfcHeader + size) session.packet.resize(kAfcHeader + size);
        std::uint64_t length = kAfcHeader + size;
        std::uint64_t headerPart = reply.operation == 2 ? kAfcHeader : length;
        std::uint64_t fields[4] = {htole64(length), htole64(headerPart), htole64(packet), htole64(reply.operation)};
        std::memcpy(session.packet.data(), "CFA6LPAA", 8);
        std::memcpy(session.packet.data() + 8, fields, sizeof fields);
        if (!reply.payload.empty())
            std::memcpy(session.packet.data() + kAfcHeader, reply.payload.data(), reply.payload.size());
        return writeAll(fd, session.packet.data(), std::size_t(length));
    };
    for (;;) {
        char header[kAfcHeader];
        if (!Stream{fd}.read(header, sizeof header) || std::memcmp(header, "CFA6LPAA", 8) != 0) break;
        std::uint64_t fields[4];
        std::memcpy(fields, header + 8, sizeof fields);
        std::uint64_t length = le64toh(fields[0]), packet = le64toh(fields[2]), operation = le64toh(fields[3]);
        if (length < kAfcHeader || length - kAfcHeader > kMaxAfcPacket) break;
        std::string payload(length - kAfcHeader, '\0');
        if (!payload.empty() && !Stream{fd}.read(payload.data(), payload.size())) break;
        int latency;
        {
            std::lock_guard guard(mutex_);
            latency = phones_.at(udid).latencyMs;
        }
        if (latency > 0) std::this_thread::sleep_for(std::chrono::milliseconds(latency));
        auto handler = kAfcHandlers.find(operation);
        auto reply = handler == kAfcHandlers.end() ? afcStatus(15) : handler->second(session, payload);
        if (!send(packet, reply)) break;
        if (operation == 0x14 && dropsAfterEachFile_) break;
    }
}

bool PhoneEmulator::setTrust(const std::string& udid, Trust trust) {
    std::lock_guard guard(mutex_);
    auto phone = phones_.find(udid);
    if (phone == phones_.end()) return false;
    phone->second.trust = trust;
    if (trust != Trust::trusted) {
        // An untrusted phone has no pairing with anyone.
        phone->second.hostIds.clear();
        phone->second.pairRecordData.reset();
    }
    return true;
}

bool PhoneEmulator::setLatency(const std::string& udid, int milliseconds) {
    std::lock_guard guard(mutex_);
    auto phone = phones_.find(udid);
    if (phone == phones_.end()) return false;
    phone->second.latencyMs = std::max(0, milliseconds);
    return true;
}

bool PhoneEmulator::attach(const std::string& udid) {
    std::lock_guard guard(mutex_);
    auto phone = phones_.find(udid);
    if (phone == phones_.end()) return false;
    if (!phone->second.attached) {
        phone->second.attached = true;
        notifyListeners(attachedMessage(phone->second));
    }
    return true;
}

bool PhoneEmulator::detach(const std::string& udid) {
    std::lock_guard guard(mutex_);
    auto phone = phones_.find(udid);
    if (phone == phones_.end()) return false;
    if (phone->second.attached) {
        phone->second.attached = false;
        plist_t message = plist_new_dict();
        plist_dict_set_item(message, "MessageType", plist_new_string("Detached"));
        plist_dict_set_item(message, "DeviceID", plist_new_uint(phone->second.deviceId));
        notifyListeners(xml(message));
        plist_free(message);
        auto [begin, end] = connections_.equal_range(udid);
        for (auto it = begin; it != end; ++it) ::shutdown(it->second, SHUT_RDWR);
    }
    return true;
}

}  // namespace lumivane::emulator
