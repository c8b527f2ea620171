#include "common/PeerFailure.h"

#include "common/GatewayState.h"

namespace
{

// Enough of an item to recognise it in ".anfordErrText" (a STRING(255) at most PLCs).
constexpr qsizetype PreviewLength = 80;

} // namespace

QString itemPreview(const QString &item)
{
    QString text = item.left(PreviewLength);
    for (QChar &c : text) {
        if (c == QLatin1Char('\r') || c == QLatin1Char('\n'))
            c = QLatin1Char(' ');
    }
    return item.size() > PreviewLength ? text + QStringLiteral("...") : text;
}

bool peerFailuresToPlc(const GatewayState &state)
{
    return state.safety.reportPeerFailures && !state.settings.serverRole;
}
