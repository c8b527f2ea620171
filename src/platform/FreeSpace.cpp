#include "platform/FreeSpace.h"

#include "common/GatewayState.h"
#include "messages/MsgList.h"
#include "platform/Options.h"

#include <QLocale>
#include <QRegularExpression>
#include <QStorageInfo>

#include <cmath>
#include <limits>

std::optional<FreeSpaceSource::Reading> StorageFreeSpace::freeSpace(const QString &folder) const
{
    const QStorageInfo storage(folder);
    if (!storage.isValid() || !storage.isReady())
        return std::nullopt;
    const qint64 available = storage.bytesAvailable();
    if (available < 0)
        return std::nullopt;
    QString root = storage.rootPath();
    if (!root.endsWith(QLatin1Char('/')))
        root += QLatin1Char('/');
    return Reading{root, available};
}

FreeSpace::FreeSpace(GatewayState &state, Options &options, MsgList &messages, const FreeSpaceSource &source,
                     const QString &programFolder)
    : m_state(state), m_options(options), m_messages(messages), m_source(source),
      m_programFolder(programFolder)
{
}

qint32 FreeSpace::leadingNumber(const QString &text)
{
    static const QRegularExpression number(
        QStringLiteral("^\\s*([+-]?(?:\\d+\\.?\\d*|\\.\\d+)(?:[eE][+-]?\\d+)?)"));
    const QRegularExpressionMatch m = number.match(text);
    if (!m.hasMatch())
        return 0;
    const double value = std::nearbyint(m.captured(1).toDouble());
    // A number beyond 32 bits is no usable limit either.
    if (!std::isfinite(value) || value > std::numeric_limits<qint32>::max() ||
        value < std::numeric_limits<qint32>::min())
        return 0;
    return static_cast<qint32>(value);
}

QString FreeSpace::groupedBytes(qint64 bytes)
{
    // The pattern groups in threes even where the locale would leave the separator out.
    QLocale locale = QLocale::system();
    locale.setNumberOptions(QLocale::DefaultNumberOptions);
    return locale.toString(bytes);
}

bool FreeSpace::check(bool report)
{
    const bool before = m_state.logEnabled;
    const bool enabled = decide(report);
    m_state.logEnabled = enabled;
    if (enabled != before)
        m_state.notify();
    return enabled;
}

bool FreeSpace::decide(bool report)
{
    // A network path ("//host/share") has no local file system to measure.
    if (m_programFolder.startsWith(QStringLiteral("//")))
        return true;
    const auto reading = m_source.freeSpace(m_programFolder);
    if (!reading)
        return true;

    qint32 limitMb =
        leadingNumber(m_options.getOption(QStringLiteral("MaxFreeSpace(MB)"), QStringLiteral("LogDatei")));
    if (limitMb == 0) {
        limitMb = kDefaultLimitMb;
        m_options.setOption(QStringLiteral("MaxFreeSpace(MB)"), QString::number(kDefaultLimitMb),
                            QStringLiteral("LogDatei"));
    }
    if (reading->freeBytes >= qint64(limitMb) * 1000000)
        return true;

    if (report) {
        QString text = QStringLiteral("Free Diskspace Drive ") + reading->root + QStringLiteral("  ") +
                       groupedBytes(reading->freeBytes) + QStringLiteral(" bytes");
        QString area;
        bool flag = false;
        m_messages.addMsg(MsgList::Error, text, area, 0, flag, QString());
    }
    return false;
}
