// SPDX-License-Identifier: MIT
// What the TLS suites share on Windows, where they run under Wine: the test authority trusted
// for the suite, and the servers tests/support/with-tls-servers runs beside the program (the
// openssl command on the build machine: Wine's Schannel is a client only, and no TLS server
// runs inside the tests' Wine). Their ports and logs come by environment variables.
#pragma once

#ifdef _WIN32
#include <windows.h>
// Then the certificate calls, which need windows.h first.
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace packwarden::testsupport {

// Puts the authority in `pemFile` among the machine's roots: Schannel trusts the system's store,
// and the machine's store asks no confirmation. It stays there: the Wine prefix is the build
// tree's own, and the cases that run at once share it, so taking it out after one suite would
// pull it from under another's handshake. The rogue authority never joins. True once it is there.
inline bool TrustAuthority(const std::string& pemFile) {
    std::ifstream in(pemFile, std::ios::binary);
    const std::string pem((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    DWORD size = 0;
    if (pem.empty() ||
        !::CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()),
                                CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr)) {
        return false;
    }
    std::vector<BYTE> der(size);
    if (!::CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()),
                                CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr, nullptr)) {
        return false;
    }
    HCERTSTORE roots =
        ::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"ROOT");
    if (roots == nullptr) {
        return false;
    }
    const bool added =
        ::CertAddEncodedCertificateToStore(roots, X509_ASN_ENCODING, der.data(), size,
                                           CERT_STORE_ADD_USE_EXISTING, nullptr) != FALSE;
    // Windows writes a system store's change at once; Wine's registry stores keep it until they
    // commit or close, and every other opening (the chain engine's among them) reads the
    // registry.
    ::CertControlStore(roots, 0, CERT_STORE_CTRL_COMMIT, nullptr);
    ::CertCloseStore(roots, 0);
    return added;
}

// The port of one of with-tls-servers' servers ("GOOD", "GOOD6", "EXPIRED", "WRONG", "ROGUE",
// "WILD"); 0 when it does not run.
inline uint16_t TlsServerPort(const std::string& which) {
    const char* port = std::getenv(("PACKWARDEN_TLS_SERVER_" + which).c_str());
    return port == nullptr ? 0 : static_cast<uint16_t>(std::atoi(port));
}

// What a printing server (every one but GOOD and GOOD6) printed so far: the plaintext it
// received among its own lines. Read through Wine's drive Z:, the build machine's root.
inline std::string TlsServerLog(const std::string& which) {
    const char* folder = std::getenv("PACKWARDEN_TLS_SERVER_LOGS");
    if (folder == nullptr) {
        return {};
    }
    std::string name = which;
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    std::ifstream in(std::string("Z:") + folder + "/" + name + ".log", std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Lines the reversing server answers one by one, each `length` digits long.
inline std::string TextLines(std::size_t count, std::size_t length, unsigned seed) {
    std::string out;
    for (std::size_t i = 0; i < count; ++i) {
        for (std::size_t j = 0; j < length; ++j) {
            out += static_cast<char>('0' + (i * 13 + j * 7 + seed + j / 11) % 10);
        }
        out += '\n';
    }
    return out;
}

// The reversing server's answer to `lines`: each line reversed, its end kept.
inline std::string Reversed(const std::string& lines) {
    std::string out;
    for (std::size_t at = 0; at < lines.size();) {
        std::size_t end = lines.find('\n', at);
        if (end == std::string::npos) {
            end = lines.size();
        }
        out.append(lines.rbegin() + static_cast<std::ptrdiff_t>(lines.size() - end),
                   lines.rbegin() + static_cast<std::ptrdiff_t>(lines.size() - at));
        out += '\n';
        at = end + 1;
    }
    return out;
}

}  // namespace packwarden::testsupport

// For a case that needs one of with-tls-servers' servers.
#define SKIP_WITHOUT_TLS_SERVER(port, which)                                                 \
    if ((port) == 0)                                                                         \
    GTEST_SKIP() << "no " << (which)                                                         \
                 << " server: the program runs under tests/support/with-tls-servers, which " \
                    "could not start it"
#endif
