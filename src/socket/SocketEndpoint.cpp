#include "socket/SocketEndpoint.h"

#include <array>

QString SocketEndpoint::stateText(int state)
{
    static const std::array<const char *, 10> texts = {
        "Port Closed",   "Port Open",       "Port Listening", "Port Pending", "Port Resolving",
        "Port Resolved", "Port Connecting", "Port Connected", "Port Closing", "Port Error"};
    if (state < 0 || state >= static_cast<int>(texts.size()))
        return {};
    return QString::fromLatin1(texts[static_cast<std::size_t>(state)]);
}
