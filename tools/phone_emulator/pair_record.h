#pragma once
#include <string>

namespace lumivane::emulator {

// The keys and certificates a host and a phone share once paired, as the
// usbmux daemon keeps them: a root authority, the host's certificate and
// the phone's, each signed by the root, in PEM. Made with OpenSSL. Any thread.
struct PairRecord {
    std::string rootCertificate, rootPrivateKey;
    std::string hostCertificate, hostPrivateKey;
    std::string deviceCertificate;
    std::string hostId, systemBuid;

    // A fresh record for the phone whose private key is `devicePrivateKey`
    // (PEM).
    static PairRecord generate(const std::string& devicePrivateKey, const std::string& systemBuid);
    // The record as the daemon hands it out: an XML property list.
    std::string toXml() const;
};

// A phone's own key pair and the certificate it presents in its TLS
// sessions.
struct DeviceIdentity {
    // PEM; the public key as PKCS#1 ("RSA PUBLIC KEY"), the form a phone
    // gives as its "DevicePublicKey".
    std::string publicKey, privateKey, certificate;
    static DeviceIdentity generate();
};

// A new random UUID text, upper case.
std::string newUuid();

}  // namespace lumivane::emulator
