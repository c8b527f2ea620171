#pragma once

#include <QDateTime>
#include <QString>

class GatewayState;
class LogWriter;

// "<short date> <long time> <message>": the system's short date, a blank, the time with
// seconds in the locale's form (without a time-zone name), a blank and the message.
QString statusLine(const QString &message);
QString statusLine(const QDateTime &when, const QString &message);
QString shortDateText(const QDate &date);
QString longTimeText(const QTime &time);

// Status report: when settings.statusReport is not 0, the status line goes into lblError and to writeLog
// (log only at level 1; level 2 also reaches the message list). A forced report ignores the
// level and always logs only.
void reportStatus(GatewayState &state, LogWriter &log, const QString &message, bool forced = false);
