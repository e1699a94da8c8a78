// SPDX-License-Identifier: MIT
// The socket layer's error numbers (Winsock's numbering on every platform) and their texts.
#pragma once

#include <cstdint>

// Every error number the socket layer raises or records, with its description: one row
// XX(name, number, text) each. The rows give the named constants below and the texts of
// MSocketSupport::SocketErrorText, so a number and its text are written once. The names follow
// Winsock's, in this library's case: Winsock's own are macros.
//
// The Tls* rows are this library's own, for secure sockets. They sit at 31001-31006: clear of
// Winsock (10000-11999), WinINet and WinHTTP (12000-12999) and every other Windows system error
// code (below 16000), so no platform raises the same number meaning something else; and below
// 32768, so they fit the 16 bits a notification record carries an error in.
#define PACKWARDEN_SOCKET_ERRORS(XX)                                               \
    XX(WsaEIntr, 10004, "Interrupted function call.")                              \
    XX(WsaEAcces, 10013, "Permission denied.")                                     \
    XX(WsaEFault, 10014, "Bad address.")                                           \
    XX(WsaEInval, 10022, "Invalid argument.")                                      \
    XX(WsaEMFile, 10024, "Too many open files.")                                   \
    XX(WsaEWouldBlock, 10035, "Resource temporarily unavailable.")                 \
    XX(WsaEInProgress, 10036, "Operation now in progress.")                        \
    XX(WsaEAlready, 10037, "Operation already in progress.")                       \
    XX(WsaENotSock, 10038, "Socket operation on nonsocket.")                       \
    XX(WsaEDestAddrReq, 10039, "Destination address required.")                    \
    XX(WsaEMsgSize, 10040, "Message too long.")                                    \
    XX(WsaEPrototype, 10041, "Protocol wrong type for socket.")                    \
    XX(WsaENoProtoOpt, 10042, "Bad protocol option.")                              \
    XX(WsaEProtoNoSupport, 10043, "Protocol not supported.")                       \
    XX(WsaESocktNoSupport, 10044, "Socket type not supported.")                    \
    XX(WsaEOpNotSupp, 10045, "Operation not supported.")                           \
    XX(WsaEPfNoSupport, 10046, "Protocol family not supported.")                   \
    XX(WsaEAfNoSupport, 10047, "Address family not supported by protocol family.") \
    XX(WsaEAddrInUse, 10048, "Address already in use.")                            \
    XX(WsaEAddrNotAvail, 10049, "Cannot assign requested address.")                \
    XX(WsaENetDown, 10050, "Network is down.")                                     \
    XX(WsaENetUnreach, 10051, "Network is unreachable.")                           \
    XX(WsaENetReset, 10052, "Network dropped connection on reset.")                \
    XX(WsaEConnAborted, 10053, "Software caused connection abort.")                \
    XX(WsaEConnReset, 10054, "Connection reset by peer.")                          \
    XX(WsaENoBufs, 10055, "No buffer space available.")                            \
    XX(WsaEIsConn, 10056, "Socket is already connected.")                          \
    XX(WsaENotConn, 10057, "Socket is not connected.")                             \
    XX(WsaEShutdown, 10058, "Cannot send after socket shutdown.")                  \
    XX(WsaETimedOut, 10060, "Connection timed out.")                               \
    XX(WsaEConnRefused, 10061, "Connection refused.")                              \
    XX(WsaEHostDown, 10064, "Host is down.")                                       \
    XX(WsaEHostUnreach, 10065, "No route to host.")                                \
    XX(WsaEProcLim, 10067, "Too many processes.")                                  \
    XX(WsaSysNotReady, 10091, "Network subsystem is unavailable.")                 \
    XX(WsaVerNotSupported, 10092, "Winsock.dll version out of range.")             \
    XX(WsaNotInitialised, 10093, "Successful WSAStartup not yet performed.")       \
    XX(WsaEDiscon, 10101, "Graceful shutdown in progress.")                        \
    XX(WsaSysCallFailure, 10107, "System call failure.")                           \
    XX(WsaTypeNotFound, 10109, "Class type not found.")                            \
    XX(WsaHostNotFound, 11001, "Host not found.")                                  \
    XX(WsaTryAgain, 11002, "Nonauthoritative host not found.")                     \
    XX(WsaNoRecovery, 11003, "This is a nonrecoverable error.")                    \
    XX(WsaNoData, 11004, "Valid name, no data record of requested type.")          \
    XX(TlsUntrusted, 31001, "TLS: certificate not from a trusted authority.")      \
    XX(TlsNameMismatch, 31002, "TLS: certificate is for another name or address.") \
    XX(TlsExpired, 31003, "TLS: certificate expired or not yet valid.")            \
    XX(TlsHandshakeFailed, 31004, "TLS: handshake failed.")                        \
    XX(TlsProtocolError, 31005, "TLS: the peer sent data that is not TLS.")        \
    XX(TlsCredentials, 31006, "TLS: certificate or private key not loaded.")

namespace packwarden::MSocketSupport {

#define PACKWARDEN_SOCKET_ERROR_CONSTANT(name, number, text) constexpr int32_t name = number;
PACKWARDEN_SOCKET_ERRORS(PACKWARDEN_SOCKET_ERROR_CONSTANT)
#undef PACKWARDEN_SOCKET_ERROR_CONSTANT

}  // namespace packwarden::MSocketSupport
