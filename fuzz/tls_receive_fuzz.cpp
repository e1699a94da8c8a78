// SPDX-License-Identifier: MIT
// The TLS engine's receive path. Two parts, chosen by the first byte:
// - records: a client and a server that completed their handshake (kept across inputs); the
//   server writes pieces of plaintext the input sizes, perhaps close_notify; the flight reaches
//   the client cut where the input says, perhaps with one byte changed. Unchanged, the client
//   must give back exactly what was written and see the close; changed, it may only fail with
//   the protocol error, and what it gave back must be the start of what was written.
// - arbitrary bytes fed to fresh client and server sessions, whole and cut: both ways must end
//   in the same state, failed or not, with the same number.
#include <fuzzer/FuzzedDataProvider.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "FuzzSupport.h"
#include "TempDir.h"
#include "packwarden/MSocketSupport.h"
#include "tls/TlsSession.h"

namespace {

using namespace packwarden;
using fuzz::Check;
using tls::TlsSession;

// A self-signed certificate for localhost, trusted through SSL_CERT_FILE, made once.
std::shared_ptr<const tls::ServerCredentials> MakeCredentials() {
    static testsupport::TempDir dir("packwarden-tls-fuzz-");
    const std::string cert = dir.str() + "/cert.pem", key = dir.str() + "/key.pem";
    EVP_PKEY* pkey = EVP_EC_gen("P-256");
    X509* x = X509_new();
    X509_set_version(x, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x), 1);
    X509_gmtime_adj(X509_getm_notBefore(x), -3600);
    X509_gmtime_adj(X509_getm_notAfter(x), 3600L * 24 * 365);
    X509_set_pubkey(x, pkey);
    X509_NAME* name = X509_get_subject_name(x);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
    X509_set_issuer_name(x, name);
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, x, x, nullptr, nullptr, 0);
    X509_EXTENSION* san = X509V3_EXT_conf_nid(nullptr, &ctx, NID_subject_alt_name, "DNS:localhost");
    X509_add_ext(x, san, -1);
    X509_EXTENSION_free(san);
    X509_sign(x, pkey, EVP_sha256());
    std::FILE* f = std::fopen(cert.c_str(), "w");
    PEM_write_X509(f, x);
    std::fclose(f);
    f = std::fopen(key.c_str(), "w");
    PEM_write_PrivateKey(f, pkey, nullptr, nullptr, 0, nullptr, nullptr);
    std::fclose(f);
    X509_free(x);
    EVP_PKEY_free(pkey);
    ::setenv("SSL_CERT_FILE", cert.c_str(), 1);
    ::setenv("SSL_CERT_DIR", dir.str().c_str(), 1);
    tls::TlsError error;
    auto credentials = tls::LoadServerCredentials(cert, key, error);
    Check(credentials != nullptr, "credentials");
    return credentials;
}

std::string Take(TlsSession& s) {
    std::string bytes(s.CiphertextPending(), '\0');
    bytes.resize(s.TakeCiphertext(bytes.data(), bytes.size()));
    return bytes;
}

std::string Read(TlsSession& s) {
    std::string bytes(s.PlaintextAvailable(), '\0');
    bytes.resize(s.ReadPlaintext(bytes.data(), bytes.size()));
    return bytes;
}

struct Pair {
    std::unique_ptr<TlsSession> client, server;
};

// A client and a server past their handshake, made again after a failure or a close.
Pair& Established(const std::shared_ptr<const tls::ServerCredentials>& credentials) {
    static Pair pair;
    if (!pair.client || pair.client->Failed() || pair.client->PeerClosed()) {
        pair.client = TlsSession::Client("localhost");
        pair.server = TlsSession::Server(credentials);
        for (int round = 0; round < 10; ++round) {
            const std::string up = Take(*pair.client);
            pair.server->Feed(up.data(), up.size());
            const std::string down = Take(*pair.server);
            pair.client->Feed(down.data(), down.size());
        }
        Check(pair.client->HandshakeDone() && pair.server->HandshakeDone(), "handshake");
        Take(*pair.client);
        Read(*pair.client);
    }
    return pair;
}

void Records(FuzzedDataProvider& in, const std::shared_ptr<const tls::ServerCredentials>& creds) {
    Pair& pair = Established(creds);
    std::string written, flight;
    for (int pieces = in.ConsumeIntegralInRange(1, 4); pieces > 0; --pieces) {
        const std::string piece = in.ConsumeBytesAsString(in.ConsumeIntegralInRange(0, 40000));
        Check(pair.server->WritePlaintext(piece.data(), piece.size()) == piece.size(), "taken");
        written += piece;
        flight += Take(*pair.server);
    }
    const bool close = in.ConsumeBool();
    if (close) {
        pair.server->Shutdown();
        flight += Take(*pair.server);
    }
    const bool change = in.ConsumeBool() && !flight.empty();
    if (change) {
        const std::size_t at = in.ConsumeIntegralInRange<std::size_t>(0, flight.size() - 1);
        flight[at] = static_cast<char>(flight[at] ^ in.ConsumeIntegralInRange(1, 255));
    }
    std::size_t at = 0;
    while (at < flight.size()) {
        const std::size_t cut = in.remaining_bytes() > 0
                                    ? in.ConsumeIntegralInRange<std::size_t>(1, flight.size() - at)
                                    : flight.size() - at;
        pair.client->Feed(flight.data() + at, cut);
        at += cut;
    }
    const std::string got = Read(*pair.client);
    if (!change) {
        Check(!pair.client->Failed(), "unchanged records failed");
        Check(got == written, "plaintext differs");
        Check(pair.client->PeerClosed() == close, "close_notify");
    } else {
        Check(!pair.client->Failed() ||
                  pair.client->Error().number == MSocketSupport::TlsProtocolError,
              "a changed record is a protocol error");
        Check(written.compare(0, got.size(), got) == 0, "plaintext not a prefix");
    }
    if (close || change) {
        pair.client.reset();  // a fresh pair next time: a changed length may leave bytes waiting
    }
}

void Arbitrary(FuzzedDataProvider& in, const std::shared_ptr<const tls::ServerCredentials>& creds) {
    const bool asClient = in.ConsumeBool();
    const std::size_t stride = in.ConsumeIntegralInRange<std::size_t>(1, 64);
    const std::string bytes = in.ConsumeRemainingBytesAsString();
    auto whole = asClient ? TlsSession::Client("localhost") : TlsSession::Server(creds);
    auto cut = asClient ? TlsSession::Client("localhost") : TlsSession::Server(creds);
    whole->Feed(bytes.data(), bytes.size());
    for (std::size_t at = 0; at < bytes.size() && !cut->Failed(); at += stride) {
        cut->Feed(bytes.data() + at, std::min(stride, bytes.size() - at));
    }
    Check(whole->Failed() == cut->Failed(), "cuts change the outcome");
    Check(whole->Error().number == cut->Error().number, "cuts change the number");
    Check(whole->PlaintextAvailable() == 0, "plaintext before a handshake");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const auto credentials = MakeCredentials();
    FuzzedDataProvider in(data, size);
    if (in.ConsumeBool()) {
        Records(in, credentials);
    } else {
        Arbitrary(in, credentials);
    }
    return 0;
}
