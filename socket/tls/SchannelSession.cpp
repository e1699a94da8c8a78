// SPDX-License-Identifier: MIT
// The session on Schannel (SSPI), the TLS that ships with Windows: nothing to install beside the
// program. SSPI works on caller-owned buffers, so the session keeps what arrived until it makes a
// whole record or handshake message. The server's chain is verified by hand against the system's
// store after the handshake, so that the failure says which check failed, and before a single
// application byte is taken.
#ifndef SECURITY_WIN32
#define SECURITY_WIN32
#endif
#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>
// Then the security headers, which need windows.h first.
#include <schannel.h>
#include <security.h>
#include <sspi.h>
#include <wincrypt.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <vector>

#include "packwarden/MSocketSupport.h"
#include "tls/TlsSession.h"

namespace packwarden::tls {

namespace ms = MSocketSupport;

namespace {

std::wstring Widen(const std::string& s) {
    if (s.empty()) {
        return {};
    }
    const int n =
        ::MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring w(static_cast<std::size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
    return w;
}

std::string Hex(long status) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%08lX", static_cast<unsigned long>(status));
    return buffer;
}

// A credentials handle, freed with the last session that uses it.
struct Credentials {
    CredHandle handle{};
    bool valid = false;
    ~Credentials() {
        if (valid) {
            ::FreeCredentialsHandle(&handle);
        }
    }
};

struct CertFree {
    void operator()(const CERT_CONTEXT* c) const { ::CertFreeCertificateContext(c); }
};
using CertPtr = std::unique_ptr<const CERT_CONTEXT, CertFree>;

std::shared_ptr<Credentials> Acquire(unsigned long direction, const CERT_CONTEXT* cert,
                                     std::string& error) {
    auto creds = std::make_shared<Credentials>();
    SCHANNEL_CRED sc{};
    sc.dwVersion = SCHANNEL_CRED_VERSION;
    // TLS 1.2 at least. Schannel's older credential structure offers no 1.3.
    sc.grbitEnabledProtocols =
        direction == SECPKG_CRED_OUTBOUND ? SP_PROT_TLS1_2_CLIENT : SP_PROT_TLS1_2_SERVER;
    if (cert != nullptr) {
        sc.cCreds = 1;
        sc.paCred = &cert;
    } else {
        // The chain is checked after the handshake, where each failure can be told apart.
        sc.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
    }
    TimeStamp expiry{};
    wchar_t package[] = UNISP_NAME_W;
    const SECURITY_STATUS status = ::AcquireCredentialsHandleW(
        nullptr, package, direction, nullptr, &sc, nullptr, nullptr, &creds->handle, &expiry);
    if (status != SEC_E_OK) {
        error = "AcquireCredentialsHandle failed, " + Hex(status);
        return nullptr;
    }
    creds->valid = true;
    return creds;
}

std::shared_ptr<Credentials> ClientCredentials(std::string& error) {
    static std::mutex mutex;
    static std::shared_ptr<Credentials> cached;
    const std::lock_guard<std::mutex> lock(mutex);
    if (!cached) {
        cached = Acquire(SECPKG_CRED_OUTBOUND, nullptr, error);
    }
    return cached;
}

// A key imported into a key container of its own for the certificate, deleted with it.
class SchannelCredentials final : public ServerCredentials {
  public:
    ~SchannelCredentials() override {
        creds_.reset();
        cert_.reset();
        if (!container_.empty()) {
            HCRYPTPROV prov = 0;
            ::CryptAcquireContextW(&prov, container_.c_str(), MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES,
                                   CRYPT_DELETEKEYSET);
        }
    }
    std::shared_ptr<Credentials> creds_;
    CertPtr cert_;
    std::wstring container_;
};

std::string ReadFile(const std::string& path, bool& ok) {
    std::ifstream in(path, std::ios::binary);
    ok = static_cast<bool>(in);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The DER contents of each PEM block labelled `label`, in order.
std::vector<std::vector<BYTE>> PemBlocks(const std::string& text, const std::string& label) {
    std::vector<std::vector<BYTE>> blocks;
    const std::string begin = "-----BEGIN " + label + "-----";
    const std::string end = "-----END " + label + "-----";
    for (std::size_t at = text.find(begin); at != std::string::npos; at = text.find(begin, at)) {
        const std::size_t stop = text.find(end, at);
        if (stop == std::string::npos) {
            break;
        }
        const std::string block = text.substr(at, stop + end.size() - at);
        DWORD size = 0;
        if (::CryptStringToBinaryA(block.c_str(), static_cast<DWORD>(block.size()),
                                   CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr)) {
            std::vector<BYTE> der(size);
            if (::CryptStringToBinaryA(block.c_str(), static_cast<DWORD>(block.size()),
                                       CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr,
                                       nullptr)) {
                der.resize(size);
                blocks.push_back(std::move(der));
            }
        }
        at = stop + end.size();
    }
    return blocks;
}

// One DER element at `at`: its tag, and where its contents start and end. False when it does
// not fit in `der`.
bool DerElement(const std::vector<BYTE>& der, std::size_t at, BYTE& tag, std::size_t& begin,
                std::size_t& end) {
    if (at + 2 > der.size()) {
        return false;
    }
    tag = der[at];
    std::size_t length = der[at + 1];
    begin = at + 2;
    if (length & 0x80) {
        const std::size_t bytes = length & 0x7f;
        if (bytes == 0 || bytes > 4 || begin + bytes > der.size()) {
            return false;
        }
        length = 0;
        for (std::size_t i = 0; i < bytes; ++i) {
            length = (length << 8) | der[begin + i];
        }
        begin += bytes;
    }
    end = begin + length;
    return end <= der.size();
}

// The PKCS#1 key inside a PKCS#8 one: SEQUENCE { version, SEQUENCE { algorithm, ... },
// OCTET STRING key }. Read by hand: not every CryptoAPI decodes PKCS#8 structures.
bool Pkcs8Key(const std::vector<BYTE>& der, std::vector<BYTE>& pkcs1, bool& rsa) {
    static const BYTE rsaOid[] = {0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x01, 0x01};
    BYTE tag = 0;
    std::size_t begin = 0, end = 0, b = 0, e = 0;
    if (!DerElement(der, 0, tag, begin, end) || tag != 0x30) {
        return false;
    }
    if (!DerElement(der, begin, tag, b, e) || tag != 0x02) {  // version
        return false;
    }
    if (!DerElement(der, e, tag, b, e) || tag != 0x30) {  // algorithm identifier
        return false;
    }
    const std::size_t next = e;
    std::size_t ob = 0, oe = 0;
    if (!DerElement(der, b, tag, ob, oe) || tag != 0x06) {
        return false;
    }
    rsa = oe - ob == sizeof rsaOid &&
          std::equal(rsaOid, rsaOid + sizeof rsaOid, der.begin() + static_cast<std::ptrdiff_t>(ob));
    if (!DerElement(der, next, tag, b, e) || tag != 0x04) {  // the key itself
        return false;
    }
    pkcs1.assign(der.begin() + static_cast<std::ptrdiff_t>(b),
                 der.begin() + static_cast<std::ptrdiff_t>(e));
    return true;
}

// The key as CryptoAPI's private key blob: from PKCS#8 ("PRIVATE KEY") or PKCS#1 ("RSA PRIVATE
// KEY"). Only RSA: it is what Schannel takes from a key container on every Windows version.
bool RsaKeyBlob(const std::string& pem, std::vector<BYTE>& blob, std::string& why) {
    std::vector<BYTE> pkcs1;
    if (auto p8 = PemBlocks(pem, "PRIVATE KEY"); !p8.empty()) {
        bool rsa = false;
        if (!Pkcs8Key(p8[0], pkcs1, rsa)) {
            why = "not a PKCS#8 private key";
            return false;
        }
        if (!rsa) {
            why = "only RSA keys are supported here";
            return false;
        }
    } else if (auto p1 = PemBlocks(pem, "RSA PRIVATE KEY"); !p1.empty()) {
        pkcs1 = std::move(p1[0]);
    } else {
        why = "no PEM private key";
        return false;
    }
    DWORD size = 0;
    if (!::CryptDecodeObjectEx(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, PKCS_RSA_PRIVATE_KEY,
                               pkcs1.data(), static_cast<DWORD>(pkcs1.size()), 0, nullptr, nullptr,
                               &size)) {
        why = "not an RSA private key";
        return false;
    }
    blob.resize(size);
    if (!::CryptDecodeObjectEx(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, PKCS_RSA_PRIVATE_KEY,
                               pkcs1.data(), static_cast<DWORD>(pkcs1.size()), 0, nullptr,
                               blob.data(), &size)) {
        why = "not an RSA private key";
        return false;
    }
    blob.resize(size);
    return true;
}

// Which number the chain's verification status is.
int32_t ChainErrorNumber(DWORD error) {
    switch (error) {
        case static_cast<DWORD>(CERT_E_EXPIRED):
        case static_cast<DWORD>(CERT_E_VALIDITYPERIODNESTING):
            return ms::TlsExpired;
        case static_cast<DWORD>(CERT_E_CN_NO_MATCH):
            return ms::TlsNameMismatch;
        default:
            return ms::TlsUntrusted;
    }
}

// SECURITY_FLAG_IGNORE_CERT_CN_INVALID, of the Internet headers this file has no other use for.
constexpr DWORD kIgnoreCertificateName = 0x00001000;

// The chain's own faults, before any policy: Wine's SSL policy passes a chain that ends short of
// a trusted root (CERT_TRUST_IS_PARTIAL_CHAIN), so the status is read here. 0 when the chain
// stands; a failure of trust comes before one of time, as the OpenSSL side reports it.
int32_t ChainStatusNumber(DWORD status) {
    // Revocation is not asked for; its "unknown" bits say nothing of the chain.
    status &= ~static_cast<DWORD>(CERT_TRUST_REVOCATION_STATUS_UNKNOWN |
                                  CERT_TRUST_IS_OFFLINE_REVOCATION | CERT_TRUST_IS_NOT_TIME_NESTED);
    if ((status & ~static_cast<DWORD>(CERT_TRUST_IS_NOT_TIME_VALID)) != 0) {
        return ms::TlsUntrusted;
    }
    return status != 0 ? ms::TlsExpired : 0;
}

// The address a name spells when it is an IPv4 or IPv6 literal (brackets already taken off), in
// network order; empty for a host name.
std::vector<BYTE> LiteralAddress(const std::string& name) {
    in_addr v4{};
    in6_addr v6{};
    if (::inet_pton(AF_INET, name.c_str(), &v4) == 1) {
        const auto* b = reinterpret_cast<const BYTE*>(&v4);
        return std::vector<BYTE>(b, b + sizeof v4);
    }
    if (::inet_pton(AF_INET6, name.c_str(), &v6) == 1) {
        const auto* b = reinterpret_cast<const BYTE*>(&v6);
        return std::vector<BYTE>(b, b + sizeof v6);
    }
    return {};
}

std::string Unbracketed(const std::string& name) {
    if (name.size() >= 2 && name.front() == '[' && name.back() == ']') {
        return name.substr(1, name.size() - 2);
    }
    return name;
}

std::string Lower(std::string s) {
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    if (!s.empty() && s.back() == '.') {
        s.pop_back();  // the root's empty label
    }
    return s;
}

std::string Narrow(const wchar_t* w) {
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1) {
        return {};
    }
    std::string s(static_cast<std::size_t>(n - 1), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, w, -1, s.data(), n, nullptr, nullptr);
    return s;
}

// A certificate's DNS name against a host name, as the OpenSSL side checks it: without regard
// to ASCII case, and a wildcard only as the whole left-most label of a name of three labels at
// least, standing for exactly one label.
bool DnsNameMatches(const std::string& pattern, const std::string& host) {
    const std::string p = Lower(pattern), h = Lower(host);
    if (p.rfind("*.", 0) == 0) {
        const std::string rest = p.substr(1);  // ".example.org"
        const std::size_t dot = h.find('.');
        return rest.find('.', 1) != std::string::npos && dot != std::string::npos && dot > 0 &&
               h.compare(dot, std::string::npos, rest) == 0;
    }
    return p.find('*') == std::string::npos && !p.empty() && p == h;
}

// Whether the certificate names `name`: an address against its IP address entries, a host
// name against its DNS names (or its common name when it has none). The chain policy's own name
// check is not used: Wine's matches no address, and the two systems differ on wildcards.
bool CertificateNames(const CERT_CONTEXT* cert, const std::string& name) {
    const std::vector<BYTE> address = LiteralAddress(name);
    bool anyDns = false, matched = false;
    const CERT_EXTENSION* extension = ::CertFindExtension(
        szOID_SUBJECT_ALT_NAME2, cert->pCertInfo->cExtension, cert->pCertInfo->rgExtension);
    CERT_ALT_NAME_INFO* names = nullptr;
    DWORD size = 0;
    if (extension != nullptr &&
        ::CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData,
                              extension->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &names,
                              &size)) {
        for (DWORD i = 0; i < names->cAltEntry && !matched; ++i) {
            const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[i];
            if (entry.dwAltNameChoice == CERT_ALT_NAME_DNS_NAME) {
                anyDns = true;
                matched = address.empty() && DnsNameMatches(Narrow(entry.pwszDNSName), name);
            } else if (entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS) {
                matched = !address.empty() && entry.IPAddress.cbData == address.size() &&
                          std::equal(address.begin(), address.end(), entry.IPAddress.pbData);
            }
        }
        ::LocalFree(names);
    }
    if (!matched && !anyDns && address.empty()) {
        wchar_t common[256] = {};
        char oid[] = szOID_COMMON_NAME;
        if (::CertGetNameStringW(cert, CERT_NAME_ATTR_TYPE, 0, oid, common, 256) > 1) {
            matched = DnsNameMatches(Narrow(common), name);
        }
    }
    return matched;
}

bool IsProtocolViolation(SECURITY_STATUS status) {
    switch (status) {
        case SEC_E_ILLEGAL_MESSAGE:
        case SEC_E_INVALID_TOKEN:
        case SEC_E_DECRYPT_FAILURE:
        case SEC_E_MESSAGE_ALTERED:
        case SEC_E_OUT_OF_SEQUENCE:
            return true;
        default:
            return false;
    }
}

// False when `bytes` cannot be the start of TLS records: an unknown content type, a major
// version other than 3, or a length beyond what a record may carry. Checked before Schannel sees
// the bytes, because some realisations of it wait for the length a garbage header announces
// instead of refusing it.
bool RecordsLookValid(const std::string& bytes) {
    constexpr std::size_t kMaxRecord = 16384 + 2048;
    std::size_t at = 0;
    while (at < bytes.size()) {
        const auto type = static_cast<unsigned char>(bytes[at]);
        if (type < 20 || type > 23) {
            return false;
        }
        if (at + 1 < bytes.size() && static_cast<unsigned char>(bytes[at + 1]) != 3) {
            return false;
        }
        if (at + 5 > bytes.size()) {
            return true;
        }
        const std::size_t length =
            static_cast<std::size_t>(static_cast<unsigned char>(bytes[at + 3])) << 8 |
            static_cast<unsigned char>(bytes[at + 4]);
        if (length > kMaxRecord) {
            return false;
        }
        at += 5 + length;
    }
    return true;
}

class SchannelSession final : public TlsSession {
  public:
    SchannelSession(std::shared_ptr<Credentials> creds, bool client, std::string serverName)
        : creds_(std::move(creds)), client_(client), name_(std::move(serverName)) {}
    ~SchannelSession() override {
        if (haveContext_) {
            ::DeleteSecurityContext(&context_);
        }
    }

    // For the factories: a session that cannot start says why.
    void FailNow(int32_t number, const std::string& detail) { Fail(number, detail); }

    void Start() {
        if (!Failed() && client_) {
            Handshake();
        }
    }

    bool Feed(const void* data, std::size_t n) override {
        if (Failed()) {
            return false;
        }
        in_.append(static_cast<const char*>(data), n);
        if (!RecordsLookValid(in_)) {
            Fail(ms::TlsProtocolError, "not a TLS record");
            return false;
        }
        if (!handshakeDone_) {
            Handshake();
        }
        if (handshakeDone_) {
            Decrypt();
        }
        return !Failed();
    }

    std::size_t WritePlaintext(const void* data, std::size_t n) override {
        if (!handshakeDone_ || shutdown_ || Failed()) {
            return 0;
        }
        const std::size_t pending = CiphertextPending();
        const std::size_t room =
            pending < kCiphertextBound ? std::min(n, kCiphertextBound - pending) : std::size_t{0};
        const char* bytes = static_cast<const char*>(data);
        std::size_t taken = 0;
        std::vector<char> record(sizes_.cbHeader + sizes_.cbMaximumMessage + sizes_.cbTrailer);
        while (taken < room) {
            const std::size_t piece = std::min<std::size_t>(room - taken, sizes_.cbMaximumMessage);
            std::memcpy(record.data() + sizes_.cbHeader, bytes + taken, piece);
            SecBuffer buffers[4] = {
                {sizes_.cbHeader, SECBUFFER_STREAM_HEADER, record.data()},
                {static_cast<unsigned long>(piece), SECBUFFER_DATA,
                 record.data() + sizes_.cbHeader},
                {sizes_.cbTrailer, SECBUFFER_STREAM_TRAILER,
                 record.data() + sizes_.cbHeader + piece},
                {0, SECBUFFER_EMPTY, nullptr},
            };
            SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
            const SECURITY_STATUS status = ::EncryptMessage(&context_, 0, &desc, 0);
            if (status != SEC_E_OK) {
                Fail(ms::TlsProtocolError, "EncryptMessage failed, " + Hex(status));
                break;
            }
            AppendCiphertext(record.data(),
                             buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer);
            taken += piece;
        }
        return taken;
    }

  private:
    // One handshake step per complete message in what arrived; the reply flights go out.
    void Handshake() {
        while (!Failed() && !handshakeDone_) {
            SecBuffer inBuffers[2] = {
                {static_cast<unsigned long>(in_.size()), SECBUFFER_TOKEN, in_.data()},
                {0, SECBUFFER_EMPTY, nullptr},
            };
            SecBufferDesc inDesc{SECBUFFER_VERSION, 2, inBuffers};
            SecBuffer outBuffers[2] = {
                {0, SECBUFFER_TOKEN, nullptr},
                {0, SECBUFFER_ALERT, nullptr},
            };
            SecBufferDesc outDesc{SECBUFFER_VERSION, 2, outBuffers};
            unsigned long attributes = 0;
            TimeStamp expiry{};
            SECURITY_STATUS status;
            const bool first = !haveContext_;
            if (client_) {
                if (!first && in_.empty()) {
                    return;
                }
                const unsigned long flags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                                            ISC_REQ_CONFIDENTIALITY | ISC_REQ_ALLOCATE_MEMORY |
                                            ISC_REQ_STREAM | ISC_REQ_EXTENDED_ERROR |
                                            ISC_REQ_MANUAL_CRED_VALIDATION;
                // An address is never sent as the server's name (SNI carries host names only).
                std::wstring target =
                    LiteralAddress(Unbracketed(name_)).empty() ? Widen(name_) : std::wstring();
                status = ::InitializeSecurityContextW(
                    &creds_->handle, first ? nullptr : &context_,
                    first && !target.empty() ? target.data() : nullptr, flags, 0, 0,
                    first ? nullptr : &inDesc, 0, &context_, &outDesc, &attributes, &expiry);
            } else {
                if (in_.empty()) {
                    return;
                }
                const unsigned long flags = ASC_REQ_SEQUENCE_DETECT | ASC_REQ_REPLAY_DETECT |
                                            ASC_REQ_CONFIDENTIALITY | ASC_REQ_ALLOCATE_MEMORY |
                                            ASC_REQ_STREAM | ASC_REQ_EXTENDED_ERROR;
                status =
                    ::AcceptSecurityContext(&creds_->handle, first ? nullptr : &context_, &inDesc,
                                            flags, 0, &context_, &outDesc, &attributes, &expiry);
            }
            if (status == SEC_E_INCOMPLETE_MESSAGE) {
                return;  // keep what arrived; the rest of the message is still on its way
            }
            if (first && !FAILED(status)) {
                haveContext_ = true;
            }
            for (SecBuffer& b : outBuffers) {
                if (b.pvBuffer != nullptr) {
                    if (b.cbBuffer > 0) {
                        AppendCiphertext(static_cast<const char*>(b.pvBuffer), b.cbBuffer);
                    }
                    ::FreeContextBuffer(b.pvBuffer);
                }
            }
            if (FAILED(status)) {
                Fail(IsProtocolViolation(status) ? ms::TlsProtocolError : ms::TlsHandshakeFailed,
                     "Schannel status " + Hex(status));
                return;
            }
            // Whatever followed the message just used is the start of the next one.
            if (!(client_ && first)) {
                if (inBuffers[1].BufferType == SECBUFFER_EXTRA && inBuffers[1].cbBuffer > 0) {
                    in_.erase(0, in_.size() - inBuffers[1].cbBuffer);
                } else {
                    in_.clear();
                }
            }
            if (status == SEC_E_OK) {
                Established();
                return;
            }
            if (status != SEC_I_CONTINUE_NEEDED && status != SEC_I_INCOMPLETE_CREDENTIALS) {
                Fail(ms::TlsHandshakeFailed, "Schannel status " + Hex(status));
                return;
            }
            if (client_ && first) {
                return;  // the first flight is out; wait for the server
            }
        }
    }

    void Established() {
        SECURITY_STATUS status =
            ::QueryContextAttributesW(&context_, SECPKG_ATTR_STREAM_SIZES, &sizes_);
        if (status != SEC_E_OK) {
            Fail(ms::TlsHandshakeFailed, "no stream sizes, " + Hex(status));
            return;
        }
        if (client_ && !VerifyServer()) {
            // The server finished its part already; a close tells it there will be nothing.
            SendCloseNotice(/*afterFailure=*/true);
            return;
        }
        handshakeDone_ = true;
        if (shutdown_) {
            SendCloseNotify();
        }
    }

    // The server's chain against the system's store, and its name or address.
    bool VerifyServer() {
        const CERT_CONTEXT* raw = nullptr;
        SECURITY_STATUS status =
            ::QueryContextAttributesW(&context_, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &raw);
        if (status != SEC_E_OK || raw == nullptr) {
            Fail(ms::TlsHandshakeFailed, "the server sent no certificate");
            return false;
        }
        CertPtr cert(raw);
        char serverAuth[] = szOID_PKIX_KP_SERVER_AUTH;
        LPSTR usages[] = {serverAuth};
        CERT_CHAIN_PARA chainPara{};
        chainPara.cbSize = sizeof chainPara;
        chainPara.RequestedUsage.dwType = USAGE_MATCH_TYPE_OR;
        chainPara.RequestedUsage.Usage.cUsageIdentifier = 1;
        chainPara.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
        const CERT_CHAIN_CONTEXT* chain = nullptr;
        if (!::CertGetCertificateChain(nullptr, cert.get(), nullptr, cert->hCertStore, &chainPara,
                                       0, nullptr, &chain)) {
            Fail(ms::TlsUntrusted, "no chain could be built");
            return false;
        }
        const int32_t chainNumber = ChainStatusNumber(chain->TrustStatus.dwErrorStatus);
        if (chainNumber != 0) {
            const DWORD status = chain->TrustStatus.dwErrorStatus;
            ::CertFreeCertificateChain(chain);
            Fail(chainNumber, "chain status " + Hex(static_cast<long>(status)));
            return false;
        }
        const std::string name = Unbracketed(name_);
        if (!CertificateNames(cert.get(), name)) {
            ::CertFreeCertificateChain(chain);
            Fail(ms::TlsNameMismatch, "'" + name + "' is not among the certificate's names");
            return false;
        }
        // The rest of the SSL policy (the server's usage, the chain's other rules); the name was
        // checked above.
        std::wstring wideName = Widen(name);
        SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
        ssl.cbSize = sizeof ssl;
        ssl.dwAuthType = AUTHTYPE_SERVER;
        ssl.fdwChecks = kIgnoreCertificateName;
        ssl.pwszServerName = wideName.data();
        CERT_CHAIN_POLICY_PARA policyPara{};
        policyPara.cbSize = sizeof policyPara;
        policyPara.pvExtraPolicyPara = &ssl;
        CERT_CHAIN_POLICY_STATUS policyStatus{};
        policyStatus.cbSize = sizeof policyStatus;
        const BOOL checked = ::CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain,
                                                                &policyPara, &policyStatus);
        ::CertFreeCertificateChain(chain);
        if (!checked) {
            Fail(ms::TlsUntrusted, "the chain could not be checked");
            return false;
        }
        if (policyStatus.dwError != 0) {
            Fail(ChainErrorNumber(policyStatus.dwError),
                 "certificate status " + Hex(static_cast<long>(policyStatus.dwError)));
            return false;
        }
        return true;
    }

    // Decrypts every whole record that arrived; keeps a partial one for the next Feed.
    void Decrypt() {
        while (!Failed() && !peerClosed_ && !in_.empty()) {
            SecBuffer buffers[4] = {
                {static_cast<unsigned long>(in_.size()), SECBUFFER_DATA, in_.data()},
                {0, SECBUFFER_EMPTY, nullptr},
                {0, SECBUFFER_EMPTY, nullptr},
                {0, SECBUFFER_EMPTY, nullptr},
            };
            SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
            // TLS 1.2 sends a record's type in the clear: 21 is an alert.
            const bool alert = static_cast<unsigned char>(in_[0]) == 21;
            const SECURITY_STATUS status = ::DecryptMessage(&context_, &desc, 0, nullptr);
            if (status == SEC_E_INCOMPLETE_MESSAGE) {
                return;
            }
            if (status != SEC_E_OK && status != SEC_I_CONTEXT_EXPIRED &&
                status != SEC_I_RENEGOTIATE) {
                Fail(ms::TlsProtocolError, "Schannel status " + Hex(status));
                return;
            }
            std::size_t extra = 0, plain = 0;
            for (const SecBuffer& b : buffers) {
                if (b.BufferType == SECBUFFER_DATA && b.cbBuffer > 0) {
                    AppendPlaintext(static_cast<const char*>(b.pvBuffer), b.cbBuffer);
                    plain += b.cbBuffer;
                } else if (b.BufferType == SECBUFFER_EXTRA) {
                    extra = b.cbBuffer;
                }
            }
            in_.erase(0, in_.size() - extra);
            // Windows reports the peer's close_notify as SEC_I_CONTEXT_EXPIRED; Wine's Schannel
            // as an alert record that decrypts to nothing with SEC_E_OK (any other alert fails
            // there).
            if (status == SEC_I_CONTEXT_EXPIRED || (status == SEC_E_OK && alert && plain == 0)) {
                peerClosed_ = true;
            } else if (status == SEC_I_RENEGOTIATE) {
                Fail(ms::TlsProtocolError, "the peer asked for a renegotiation");
            }
        }
    }

    void SendCloseNotify() override { SendCloseNotice(/*afterFailure=*/false); }

    void SendCloseNotice(bool afterFailure) {
        if (Failed() && !afterFailure) {
            return;
        }
        DWORD type = SCHANNEL_SHUTDOWN;
        SecBuffer control{sizeof type, SECBUFFER_TOKEN, &type};
        SecBufferDesc controlDesc{SECBUFFER_VERSION, 1, &control};
        if (::ApplyControlToken(&context_, &controlDesc) != SEC_E_OK) {
            return;
        }
        SecBuffer out{0, SECBUFFER_TOKEN, nullptr};
        SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &out};
        unsigned long attributes = 0;
        TimeStamp expiry{};
        if (client_) {
            ::InitializeSecurityContextW(&creds_->handle, &context_, nullptr,
                                         ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM, 0, 0, nullptr, 0,
                                         &context_, &outDesc, &attributes, &expiry);
        } else {
            ::AcceptSecurityContext(&creds_->handle, &context_, nullptr,
                                    ASC_REQ_ALLOCATE_MEMORY | ASC_REQ_STREAM, 0, &context_,
                                    &outDesc, &attributes, &expiry);
        }
        if (out.pvBuffer != nullptr) {
            AppendCiphertext(static_cast<const char*>(out.pvBuffer), out.cbBuffer);
            ::FreeContextBuffer(out.pvBuffer);
        }
    }

    std::shared_ptr<Credentials> creds_;
    bool client_;
    std::string name_;
    CtxtHandle context_{};
    bool haveContext_ = false;
    SecPkgContext_StreamSizes sizes_{};
    std::string in_;  // what arrived and is not yet a whole message
};

}  // namespace

std::shared_ptr<const ServerCredentials> LoadServerCredentials(const std::string& chainFile,
                                                               const std::string& keyFile,
                                                               TlsError& error) {
    error = TlsError{};
    auto fail = [&](const std::string& detail) -> std::shared_ptr<const ServerCredentials> {
        error.number = ms::TlsCredentials;
        error.description = ms::SocketErrorText(ms::TlsCredentials) + " (" + detail + ")";
        return nullptr;
    };
    bool ok = false;
    const std::string chainText = ReadFile(chainFile, ok);
    if (!ok) {
        return fail("certificate chain '" + chainFile + "': cannot be read");
    }
    const std::string keyText = ReadFile(keyFile, ok);
    if (!ok) {
        return fail("private key '" + keyFile + "': cannot be read");
    }
    const auto certs = PemBlocks(chainText, "CERTIFICATE");
    if (certs.empty()) {
        return fail("no PEM certificate chain in '" + chainFile + "'");
    }
    std::vector<BYTE> blob;
    std::string why;
    if (!RsaKeyBlob(keyText, blob, why)) {
        return fail(why + " in '" + keyFile + "'");
    }
    auto result = std::make_shared<SchannelCredentials>();
    result->cert_.reset(::CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                                       certs[0].data(),
                                                       static_cast<DWORD>(certs[0].size())));
    if (!result->cert_) {
        return fail("the first certificate in '" + chainFile + "' cannot be read");
    }
    // A container of its own per load: the key never meets another program's.
    static std::atomic<unsigned> serial{0};
    result->container_ = L"packwarden-tls-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                         std::to_wstring(++serial);
    HCRYPTPROV prov = 0;
    if (!::CryptAcquireContextW(&prov, result->container_.c_str(), MS_ENH_RSA_AES_PROV_W,
                                PROV_RSA_AES, CRYPT_NEWKEYSET)) {
        result->container_.clear();
        return fail("no key container, error " + std::to_string(::GetLastError()));
    }
    HCRYPTKEY key = 0;
    const BOOL imported = ::CryptImportKey(prov, blob.data(), static_cast<DWORD>(blob.size()), 0,
                                           CRYPT_EXPORTABLE, &key);
    if (key != 0) {
        ::CryptDestroyKey(key);
    }
    ::CryptReleaseContext(prov, 0);
    if (!imported) {
        return fail("the key in '" + keyFile + "' cannot be imported");
    }
    CRYPT_KEY_PROV_INFO info{};
    info.pwszContainerName = result->container_.data();
    std::wstring provider = MS_ENH_RSA_AES_PROV_W;
    info.pwszProvName = provider.data();
    info.dwProvType = PROV_RSA_AES;
    info.dwKeySpec = AT_KEYEXCHANGE;
    if (!::CertSetCertificateContextProperty(result->cert_.get(), CERT_KEY_PROV_INFO_PROP_ID, 0,
                                             &info)) {
        return fail("the key cannot be attached to the certificate");
    }
    // The key must be the certificate's: compare the public halves.
    HCRYPTPROV check = 0;
    if (::CryptAcquireContextW(&check, result->container_.c_str(), MS_ENH_RSA_AES_PROV_W,
                               PROV_RSA_AES, 0)) {
        DWORD size = 0;
        ::CryptExportPublicKeyInfo(check, AT_KEYEXCHANGE, X509_ASN_ENCODING, nullptr, &size);
        std::vector<BYTE> buffer(size);
        auto* mine = reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(buffer.data());
        const bool same =
            ::CryptExportPublicKeyInfo(check, AT_KEYEXCHANGE, X509_ASN_ENCODING, mine, &size) &&
            ::CertComparePublicKeyInfo(X509_ASN_ENCODING, mine,
                                       &result->cert_->pCertInfo->SubjectPublicKeyInfo);
        ::CryptReleaseContext(check, 0);
        if (!same) {
            return fail("the key in '" + keyFile + "' is not the certificate's");
        }
    }
    std::string acquireError;
    result->creds_ = Acquire(SECPKG_CRED_INBOUND, result->cert_.get(), acquireError);
    if (!result->creds_) {
        return fail(acquireError);
    }
    return result;
}

std::unique_ptr<TlsSession> TlsSession::Client(const std::string& serverName) {
    std::string error;
    auto creds = ClientCredentials(error);
    auto session = std::make_unique<SchannelSession>(creds, true, serverName);
    if (!creds) {
        session->FailNow(ms::TlsHandshakeFailed, error);
    } else {
        session->Start();
    }
    return session;
}

std::unique_ptr<TlsSession> TlsSession::Server(
    std::shared_ptr<const ServerCredentials> credentials) {
    const auto* own = dynamic_cast<const SchannelCredentials*>(credentials.get());
    auto session =
        std::make_unique<SchannelSession>(own ? own->creds_ : nullptr, false, std::string());
    if (!own) {
        session->FailNow(ms::TlsHandshakeFailed, "no server credentials");
    }
    return session;
}

}  // namespace packwarden::tls
