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
        case 10004:
            return "Interrupted function call.";
        case 10013:
            return "Permission denied.";
        case 10014:
            return "Bad address.";
        case 10022:
            return "Invalid argument.";
        case 10024:
            return "Too many open files.";
        case 10035:
            return "Resource temporarily unavailable.";
        case 10036:
            return "Operation now in progress.";
        case 10037:
            return "Operation already in progress.";
        case 10038:
            return "Socket operation on nonsocket.";
        case 10039:
            return "Destination address required.";
        case 10040:
            return "Message too long.";
        case 10041:
            return "Protocol wrong type for socket.";
        case 10042:
            return "Bad protocol option.";
        case 10043:
            return "Protocol not supported.";
        case 10044:
            return "Socket type not supported.";
        case 10045:
            return "Operation not supported.";
        case 10046:
            return "Protocol family not supported.";
        case 10047:
            return "Address family not supported by protocol family.";
        case 10048:
            return "Address already in use.";
        case 10049:
            return "Cannot assign requested address.";
        case 10050:
            return "Network is down.";
        case 10051:
            return "Network is unreachable.";
        case 10052:
            return "Network dropped connection on reset.";
        case 10053:
            return "Software caused connection abort.";
        case 10054:
            return "Connection reset by peer.";
        case 10055:
            return "No buffer space available.";
        case 10056:
            return "Socket is already connected.";
        case 10057:
            return "Socket is not connected.";
        case 10058:
            return "Cannot send after socket shutdown.";
        case 10060:
            return "Connection timed out.";
        case 10061:
            return "Connection refused.";
        case 10064:
            return "Host is down.";
        case 10065:
            return "No route to host.";
        case 10067:
            return "Too many processes.";
        case 10091:
            return "Network subsystem is unavailable.";
        case 10092:
            return "Winsock.dll version out of range.";
        case 10093:
            return "Successful WSAStartup not yet performed.";
        case 10101:
            return "Graceful shutdown in progress.";
        case 10107:
            return "System call failure.";
        case 10109:
            return "Class type not found.";
        case 11001:
            return "Host not found.";
        case 11002:
            return "Nonauthoritative host not found.";
        case 11003:
            return "This is a nonrecoverable error.";
        case 11004:
            return "Valid name, no data record of requested type.";
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
            return 10004;
        case EACCES:
        case EPERM:
            return 10013;
        case EFAULT:
            return 10014;
        case EINVAL:
            return 10022;
        case EMFILE:
        case ENFILE:
            return 10024;
        case EAGAIN:
#if EWOULDBLOCK != EAGAIN
        case EWOULDBLOCK:
#endif
        case EINPROGRESS:
            return 10035;
        case EALREADY:
            return 10037;
        case ENOTSOCK:
        case EBADF:
            return 10038;
        case EDESTADDRREQ:
            return 10039;
        case EMSGSIZE:
            return 10040;
        case EPROTOTYPE:
            return 10041;
        case ENOPROTOOPT:
            return 10042;
        case EPROTONOSUPPORT:
            return 10043;
#ifdef ESOCKTNOSUPPORT
        case ESOCKTNOSUPPORT:
            return 10044;
#endif
        case EOPNOTSUPP:
            return 10045;
#ifdef EPFNOSUPPORT
        case EPFNOSUPPORT:
            return 10046;
#endif
        case EAFNOSUPPORT:
            return 10047;
        case EADDRINUSE:
            return 10048;
        case EADDRNOTAVAIL:
            return 10049;
        case ENETDOWN:
            return 10050;
        case ENETUNREACH:
            return 10051;
        case ENETRESET:
            return 10052;
        case ECONNABORTED:
            return 10053;
        case ECONNRESET:
            return 10054;
        case ENOBUFS:
        case ENOMEM:
            return 10055;
        case EISCONN:
            return 10056;
        case ENOTCONN:
            return 10057;
        case EPIPE:
#ifdef ESHUTDOWN
        case ESHUTDOWN:
#endif
            return 10058;
        case ETIMEDOUT:
            return 10060;
        case ECONNREFUSED:
            return 10061;
#ifdef EHOSTDOWN
        case EHOSTDOWN:
            return 10064;
#endif
        case EHOSTUNREACH:
            return 10065;
        default:
            return 10107;
    }
}

}  // namespace Platform

namespace detail {

std::string StartupFailureText(int32_t code) {
    // Each piece but the last ends in one space, so the description reads as one sentence.
    switch (code) {
        case 10022:
            return std::string("The Windows Sockets version specified by the ") +
                   "application is not supported by this DLL.";
        case 10091:
            return std::string("The underlying network subsystem is not ") +
                   "ready for network communication.";
        case 10092:
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
