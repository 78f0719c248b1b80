#include "firewall/DivertSocket.h"

#include <cstring>

namespace quellbox {

sockaddr_in DivertSocket::makeToken(int port, std::uint64_t packetId) {
    sockaddr_in token{};
    token.sin_family = AF_INET;
    token.sin_port = htons(static_cast<std::uint16_t>(port));
    token.sin_addr.s_addr = htonl(INADDR_ANY);
    static_assert(sizeof token.sin_zero == sizeof packetId);
    std::memcpy(token.sin_zero, &packetId, sizeof packetId);
    return token;
}

std::uint64_t DivertSocket::tokenPacketId(const sockaddr_in& token, socklen_t tokenLength) {
    if (tokenLength != kTokenSize || token.sin_family != AF_INET) {
        return 0;
    }
    std::uint64_t packetId = 0;
    std::memcpy(&packetId, token.sin_zero, sizeof packetId);
    return packetId;
}

}  // namespace quellbox
