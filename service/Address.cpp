#include "service/Address.h"

#include <arpa/inet.h>
#include <netinet/in.h>

namespace service {

bool ParseSocketAddress(const std::string& address, int port, sockaddr_storage* out,
                        socklen_t* length) {
    *out = sockaddr_storage{};
    auto* v4 = reinterpret_cast<sockaddr_in*>(out);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(out);
    if (inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<uint16_t>(port));
        *length = sizeof *v4;
        return true;
    }
    if (inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<uint16_t>(port));
        *length = sizeof *v6;
        return true;
    }
    return false;
}

std::string FormatEndpoint(const sockaddr* address) {
    char text[INET6_ADDRSTRLEN] = "";
    if (address != nullptr && address->sa_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
        inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
        return std::string(text) + ":" + std::to_string(ntohs(v4->sin_port));
    }
    if (address != nullptr && address->sa_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
        inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
        return "[" + std::string(text) + "]:" + std::to_string(ntohs(v6->sin6_port));
    }
    return "-";
}

} // namespace service
