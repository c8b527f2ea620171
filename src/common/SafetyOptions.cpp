#include "common/SafetyOptions.h"

QString framingName(AnswerFraming framing)
{
    switch (framing) {
    case AnswerFraming::Chunk:
        return QStringLiteral("chunk");
    case AnswerFraming::Line:
        return QStringLiteral("line");
    case AnswerFraming::Terminator:
        return QStringLiteral("terminator");
    case AnswerFraming::Length:
        return QStringLiteral("length");
    }
    return {};
}

bool SafetyOptions::peerAllowed(const QHostAddress &address) const
{
    if (allowedPeers.isEmpty())
        return true;
    QHostAddress peer = address;
    bool mapped = false;
    const quint32 v4 = address.toIPv4Address(&mapped);
    if (mapped)
        peer = QHostAddress(v4);
    for (const auto &net : allowedPeers) {
        if (peer.isInSubnet(net) || address.isInSubnet(net))
            return true;
    }
    return false;
}
