// SPDX-License-Identifier: MIT
// The error type, the recorded error and the socket error texts.
#include <cerrno>
#include <utility>

#include "ServiceState.h"
#include "packwarden/MSocketSupport.h"
#include "packwarden/detail/Platform.h"

namespace packwarden::MSocketSupport {

SocketError::SocketError(int32_t number, std::string source, std::string description)
    : std::runtime_error(description.empty() ? source : description),
      Number(number),
      Source(std::move(source)),
      Description(std::move(description)) {}

ErrorRecord& CurrentError() {
    static ErrorRecord record;
    return record;
}

std::string SocketErrorText(int32_t number) {
    switch (number) {
#define PACKWARDEN_SOCKET_ERROR_TEXT(name, number, text) \
    case name:                                           \
        return text;
        PACKWARDEN_SOCKET_ERRORS(PACKWARDEN_SOCKET_ERROR_TEXT)
#undef PACKWARDEN_SOCKET_ERROR_TEXT
        default:
            return "Unknown error.";
    }
}

namespace Platform {

// Four of these names are missing from some C libraries (MinGW's, for one).
int32_t WinsockErrorFromErrno(int err) {
    switch (err) {
        case 0:
            return 0;
        case EINTR:
            return WsaEIntr;
        case EACCES:
        case EPERM:
            return WsaEAcces;
        case EFAULT:
            return WsaEFault;
        case EINVAL:
            return WsaEInval;
        case EMFILE:
        case ENFILE:
            return WsaEMFile;
        case EAGAIN:
#if EWOULDBLOCK != EAGAIN
        case EWOULDBLOCK:
#endif
        case EINPROGRESS:
            return WsaEWouldBlock;
        case EALREADY:
            return WsaEAlready;
        case ENOTSOCK:
        case EBADF:
            return WsaENotSock;
        case EDESTADDRREQ:
            return WsaEDestAddrReq;
        case EMSGSIZE:
            return WsaEMsgSize;
        case EPROTOTYPE:
            return WsaEPrototype;
        case ENOPROTOOPT:
            return WsaENoProtoOpt;
        case EPROTONOSUPPORT:
            return WsaEProtoNoSupport;
#ifdef ESOCKTNOSUPPORT
        case ESOCKTNOSUPPORT:
            return WsaESocktNoSupport;
#endif
        case EOPNOTSUPP:
            return WsaEOpNotSupp;
#ifdef EPFNOSUPPORT
        case EPFNOSUPPORT:
            return WsaEPfNoSupport;
#endif
        case EAFNOSUPPORT:
            return WsaEAfNoSupport;
        case EADDRINUSE:
            return WsaEAddrInUse;
        case EADDRNOTAVAIL:
            return WsaEAddrNotAvail;
        case ENETDOWN:
            return WsaENetDown;
        case ENETUNREACH:
            return WsaENetUnreach;
        case ENETRESET:
            return WsaENetReset;
        case ECONNABORTED:
            return WsaEConnAborted;
        case ECONNRESET:
            return WsaEConnReset;
        case ENOBUFS:
        case ENOMEM:
            return WsaENoBufs;
        case EISCONN:
            return WsaEIsConn;
        case ENOTCONN:
            return WsaENotConn;
        case EPIPE:
#ifdef ESHUTDOWN
        case ESHUTDOWN:
#endif
            return WsaEShutdown;
        case ETIMEDOUT:
            return WsaETimedOut;
        case ECONNREFUSED:
            return WsaEConnRefused;
#ifdef EHOSTDOWN
        case EHOSTDOWN:
            return WsaEHostDown;
#endif
        case EHOSTUNREACH:
            return WsaEHostUnreach;
        default:
            return 10107;
    }
}

}  // namespace Platform

namespace detail {

std::string StartupFailureText(int32_t code) {
    // Each piece but the last ends in one space, so the description reads as one sentence.
    switch (code) {
        case WsaEInval:
            return std::string("The Windows Sockets version specified by the ") +
                   "application is not supported by this DLL.";
        case WsaSysNotReady:
            return std::string("The underlying network subsystem is not ") +
                   "ready for network communication.";
        case WsaVerNotSupported:
            return std::string("The version of Windows Sockets API support ") +
                   "requested is not provided by this particular " +
                   "Windows Sockets implementation.";
        default:
            return {};
    }
}

void RecordError(int32_t number, const char* source) {
    CurrentError() = ErrorRecord{number, source, SocketErrorText(number)};
}

}  // namespace detail

}  // namespace packwarden::MSocketSupport
