#include "common/StatusLine.h"

#include "common/Clock.h"
#include "common/GatewayState.h"
#include "common/LogWriter.h"

#include <QLocale>
#include <QRegularExpression>

QString shortDateText(const QDate &date)
{
    return QLocale::system().toString(date, QLocale::ShortFormat);
}

QString longTimeText(const QTime &time)
{
    // The locale's long time form carries a time-zone name ("t"), which status lines never show.
    static const QString format = [] {
        QString f = QLocale::system().timeFormat(QLocale::LongFormat);
        f.remove(QRegularExpression(QStringLiteral("\\s*t+\\s*")));
        f = f.trimmed();
        if (!f.contains(QLatin1Char('s')))
            f = QStringLiteral("HH:mm:ss");
        return f;
    }();
    return QLocale::system().toString(time, format);
}

QString statusLine(const QDateTime &when, const QString &message)
{
    return shortDateText(when.date()) + QLatin1Char(' ') + longTimeText(when.time()) + QLatin1Char(' ') +
           message;
}

QString statusLine(const QString &message)
{
    return statusLine(currentDateTime(), message);
}

void reportStatus(GatewayState &state, LogWriter &log, const QString &message, bool forced)
{
    if (!forced && state.settings.statusReport == 0)
        return;
    const QString line = statusLine(message);
    state.setLblError(line);
    log.writeLog(line, forced || state.settings.statusReport == 1);
}
