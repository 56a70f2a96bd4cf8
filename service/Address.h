// IP socket addresses from the text an operator or a test writes, and back:
// the one place that turns "127.0.0.1" or "::1" and a port into a sockaddr.
#pragma once

#include <sys/socket.h>

#include <string>

namespace service {

// address (an IPv4 or IPv6 literal, no name lookup) and port as a socket
// address in *out; false when address is neither.
bool ParseSocketAddress(const std::string& address, int port, sockaddr_storage* out,
                        socklen_t* length);

// "ADDRESS:PORT", or "[ADDRESS]:PORT" for IPv6; "-" for anything else.
std::string FormatEndpoint(const sockaddr* address);

} // namespace service
