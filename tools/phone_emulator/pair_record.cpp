#include "tools/phone_emulator/pair_record.h"

#include <openssl/encoder.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <plist/plist.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>

namespace lumivane::emulator {

namespace {

using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using Certificate = std::unique_ptr<X509, decltype(&X509_free)>;

Key newKey() {
    Key key(EVP_RSA_gen(2048), EVP_PKEY_free);
    if (!key) throw std::runtime_error("cannot make an RSA key");
    return key;
}

std::string pem(int (*write)(BIO*, EVP_PKEY*), EVP_PKEY* key) {
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
    write(bio.get(), key);
    char* data = nullptr;
    long length = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, std::size_t(length));
}
int writePublic(BIO* bio, EVP_PKEY* key) {
    std::unique_ptr<OSSL_ENCODER_CTX, decltype(&OSSL_ENCODER_CTX_free)> encoder(
        OSSL_ENCODER_CTX_new_for_pkey(key, EVP_PKEY_PUBLIC_KEY, "PEM", "type-specific", nullptr),
        OSSL_ENCODER_CTX_free);
    return encoder && OSSL_ENCODER_to_bio(encoder.get(), bio);
}
int writePrivate(BIO* bio, EVP_PKEY* key) {
    return PEM_write_bio_PrivateKey_traditional(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
}

std::string pem(X509* certificate) {
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
    PEM_write_bio_X509(bio.get(), certificate);
    char* data = nullptr;
    long length = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, std::size_t(length));
}

// A certificate for `subject`'s key, signed by `issuer` (itself when null).
Certificate certify(EVP_PKEY* subject, EVP_PKEY* signer, bool authority) {
    Certificate certificate(X509_new(), X509_free);
    X509_set_version(certificate.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), authority ? 0 : 1);
    X509_gmtime_adj(X509_getm_notBefore(certificate.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 60L * 60 * 24 * 365 * 10);
    X509_set_pubkey(certificate.get(), subject);
    if (!X509_sign(certificate.get(), signer, EVP_sha256())) throw std::runtime_error("cannot sign a certificate");
    return certificate;
}

Key readPrivateKey(const std::string& text) {
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(text.data(), int(text.size())), BIO_free);
    Key key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr), EVP_PKEY_free);
    if (!key) throw std::runtime_error("not a private key");
    return key;
}

}  // namespace

std::string newUuid() {
    unsigned char bytes[16];
    RAND_bytes(bytes, sizeof bytes);
    bytes[6] = (bytes[6] & 0x0F) | 0x40;
    bytes[8] = (bytes[8] & 0x3F) | 0x80;
    char text[37];
    std::snprintf(text, sizeof text, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", bytes[0],
                  bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8], bytes[9], bytes[10],
                  bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
    return text;
}

DeviceIdentity DeviceIdentity::generate() {
    auto key = newKey();
    auto certificate = certify(key.get(), key.get(), false);
    return {pem(writePublic, key.get()), pem(writePrivate, key.get()), pem(certificate.get())};
}

PairRecord PairRecord::generate(const std::string& devicePrivateKey, const std::string& systemBuid) {
    auto root = newKey();
    auto host = newKey();
    auto device = readPrivateKey(devicePrivateKey);
    PairRecord record;
    record.rootCertificate = pem(certify(root.get(), root.get(), true).get());
    record.rootPrivateKey = pem(writePrivate, root.get());
    record.hostCertificate = pem(certify(host.get(), root.get(), false).get());
    record.hostPrivateKey = pem(writePrivate, host.get());
    record.deviceCertificate = pem(certify(device.get(), root.get(), false).get());
    record.hostId = newUuid();
    record.systemBuid = systemBuid;
    return record;
}

std::string PairRecord::toXml() const {
    plist_t dict = plist_new_dict();
    auto data = [&](const char* key, const std::string& value) {
        plist_dict_set_item(dict, key, plist_new_data(value.data(), value.size()));
    };
    data("RootCertificate", rootCertificate);
    data("RootPrivateKey", rootPrivateKey);
    data("HostCertificate", hostCertificate);
    data("HostPrivateKey", hostPrivateKey);
    data("DeviceCertificate", deviceCertificate);
    data("EscrowBag", std::string(32, '\x5a'));
    plist_dict_set_item(dict, "HostID", plist_new_string(hostId.c_str()));
    plist_dict_set_item(dict, "SystemBUID", plist_new_string(systemBuid.c_str()));
    plist_dict_set_item(dict, "WiFiMACAddress", plist_new_string("02:00:00:00:00:01"));
    char* xml = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(dict, &xml, &length);
    std::string text(xml, length);
    std::free(xml);
    plist_free(dict);
    return text;
}

}  // namespace lumivane::emulator
