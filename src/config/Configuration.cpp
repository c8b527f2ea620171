#include "config/Configuration.h"

#include "common/Cp1252.h"
#include "common/DesktopServices.h"
#include "common/GatewayState.h"
#include "common/LogWriter.h"
#include "common/StatusLine.h"
#include "config/ProgramPaths.h"
#include "socket/SocketEndpoint.h"

#include <QFile>
#include <QHash>
#include <QSaveFile>

#include <clocale>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <optional>

namespace
{

// A configuration file is a few hundred bytes; anything past this is not a configuration and is
// not read, so a wrong file given on the command line cannot exhaust memory.
constexpr qint64 kMaxConfigBytes = 16LL * 1024 * 1024;

const QString kTrueText = QStringLiteral("True");
const QString kFalseText = QStringLiteral("False");

bool isBlank(QChar c)
{
    return c == QLatin1Char(' ') || c == QLatin1Char('\t');
}

// One field of a record line, starting at pos; pos ends after the field's comma (or at the end).
// A quoted field is the text between the quotes (an unterminated one runs to the line end) and
// whatever follows the closing quote up to the comma is dropped; an unquoted field is trimmed.
QString readField(QStringView line, qsizetype &pos)
{
    while (pos < line.size() && isBlank(line[pos]))
        ++pos;
    QString value;
    if (pos < line.size() && line[pos] == QLatin1Char('"')) {
        const qsizetype close = line.indexOf(QLatin1Char('"'), pos + 1);
        const qsizetype end = close < 0 ? line.size() : close;
        value = line.mid(pos + 1, end - pos - 1).toString();
        pos = end;
        const qsizetype comma = line.indexOf(QLatin1Char(','), pos);
        pos = comma < 0 ? line.size() : comma + 1;
        return value;
    }
    const qsizetype comma = line.indexOf(QLatin1Char(','), pos);
    const qsizetype end = comma < 0 ? line.size() : comma;
    value = line.mid(pos, end - pos).trimmed().toString();
    pos = comma < 0 ? line.size() : comma + 1;
    if (value == QLatin1String("#TRUE#"))
        return kTrueText;
    if (value == QLatin1String("#FALSE#"))
        return kFalseText;
    return value;
}

// The integer form of a stored value: empty reads as 0; a number with a fraction is rounded
// half to even; anything else (letters, out of range) has no integer form.
std::optional<int> toInteger(const QString &text)
{
    const QString t = text.trimmed();
    if (t.isEmpty())
        return 0;
    bool ok = false;
    const double d = t.toDouble(&ok);
    if (!ok || !std::isfinite(d))
        return std::nullopt;
    const double r = std::nearbyint(d);
    if (r < std::numeric_limits<int>::min() || r > std::numeric_limits<int>::max())
        return std::nullopt;
    return static_cast<int>(r);
}

std::optional<bool> toBoolean(const QString &text)
{
    const QString t = text.trimmed();
    if (t.compare(kTrueText, Qt::CaseInsensitive) == 0)
        return true;
    if (t.compare(kFalseText, Qt::CaseInsensitive) == 0)
        return false;
    bool ok = false;
    const double d = t.toDouble(&ok);
    if (ok)
        return d != 0.0;
    return std::nullopt;
}

void setCheckBox(CheckMark &mark, const QString &text)
{
    const auto v = toInteger(text);
    if (v && *v >= 0 && *v <= 2)
        mark = CheckMark::fromValue(static_cast<int>(*v));
}

void setLevel(qint16 &level, int &box, const QString &text)
{
    const auto v = toInteger(text);
    if (!v)
        return;
    if (*v >= std::numeric_limits<qint16>::min() && *v <= std::numeric_limits<qint16>::max())
        level = static_cast<qint16>(*v);
    if (*v >= 0 && *v <= 2)
        box = *v;
}

// The leading number of a text: optional blanks and sign, digits with "." as decimal point and
// an exponent, up to the first character that cannot continue it. No number gives 0.
double leadingNumber(const QString &text)
{
    const QByteArray s = text.toLatin1();
    qsizetype i = 0;
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t'))
        ++i;
    const qsizetype start = i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-'))
        ++i;
    const auto digits = [&s, &i] {
        const qsizetype from = i;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9')
            ++i;
        return i - from;
    };
    qsizetype mantissa = digits();
    if (i < s.size() && s[i] == '.') {
        ++i;
        mantissa += digits();
    }
    if (mantissa == 0)
        return 0.0;
    qsizetype end = i;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-'))
            ++i;
        if (digits() > 0)
            end = i;
    }
    // strtod_l in the C locale rather than QByteArray::toDouble, which reads a number too large
    // for a double as 0: here it must read as an infinity, which no later range check passes.
    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", locale_t(nullptr));
    const QByteArray number = s.mid(start, end - start);
    return cLocale ? strtod_l(number.constData(), nullptr, cLocale) : number.toDouble();
}

// The whole seconds of a timeout text, at least 2; none when the rounded number does not fit
// 32 bits (the setting is then not taken and the previous timeout stays).
std::optional<qint32> timeoutSeconds(const QString &text)
{
    const double rounded = std::nearbyint(leadingNumber(text)); // the default mode rounds halves to even
    if (!(rounded >= std::numeric_limits<qint32>::min() && rounded <= std::numeric_limits<qint32>::max()))
        return std::nullopt;
    return rounded < 2.0 ? 2 : static_cast<qint32>(rounded);
}

QString quoted(const QString &text)
{
    return QLatin1Char('"') + text + QLatin1Char('"');
}

} // namespace

Configuration::Configuration(GatewayState &state, SocketEndpoint &socket, LogWriter &log,
                             DesktopServices &desktop)
    : m_state(state), m_socket(socket), m_log(log), m_desktop(desktop)
{
}

QList<Configuration::Record> Configuration::parseRecords(const QByteArray &content)
{
    QList<Record> records;
    const QString text = cp1252::decode(content);
    const QStringView all(text);
    qsizetype lineStart = 0;
    while (lineStart < all.size()) {
        qsizetype lineEnd = lineStart;
        while (lineEnd < all.size() && all[lineEnd] != QLatin1Char('\r') && all[lineEnd] != QLatin1Char('\n'))
            ++lineEnd;
        const QStringView line = all.mid(lineStart, lineEnd - lineStart);
        // CR LF, LF or a lone CR end a line.
        lineStart = lineEnd;
        if (lineStart < all.size() && all[lineStart] == QLatin1Char('\r'))
            ++lineStart;
        if (lineStart < all.size() && all[lineStart] == QLatin1Char('\n'))
            ++lineStart;

        if (line.trimmed().isEmpty())
            continue;
        qsizetype pos = 0;
        Record r;
        r.first = readField(line, pos);
        if (pos < line.size() || line.endsWith(QLatin1Char(',')))
            r.second = readField(line, pos);
        records.append(r);
    }
    return records;
}

void Configuration::loadConfiguration()
{
    m_state.editControls(false);
    m_state.settings.serverPath.clear();
    m_state.settings.moduleName.clear();

    QHash<QString, QString> table;
    QFile file(m_state.configFile);
    if (file.open(QIODevice::ReadOnly)) {
        for (const Record &r : parseRecords(file.read(kMaxConfigBytes))) {
            if (!r.first.isEmpty())
                table.insert(r.first, r.second); // a later record with the same key wins
        }
    }

    const auto value = [&table](const char *key) { return table.value(QString::fromLatin1(key)); };
    GatewayState &s = m_state;
    s.edited.serverPath = value("ServerPath");
    s.edited.plcNetId = value("Netid");
    s.edited.plcPort = value("Port");
    s.edited.moduleName = value("Modulname");
    s.edited.machineName = value("Maschinenname");
    s.edited.remoteHost = value("RemoteHost");
    s.edited.remotePort = value("RemotePort");
    s.edited.timeout = value("Timeout");
    setLevel(s.settings.xmlExportLevel, s.settings.xmlExport, value("XML-Export"));
    setLevel(s.settings.statusLevel, s.settings.statusReport, value("Status"));
    setCheckBox(s.settings.serverRole, value("ServerTest"));
    setCheckBox(s.settings.staticConnection, value("StaticConnect"));
    setCheckBox(s.settings.sendUtf8, value("UTF8Codierung"));
    const QString reset = value("ResetOnError");
    setCheckBox(s.settings.dropRequestOnError, reset.isEmpty() ? QStringLiteral("1") : reset);
    s.settings.autoConnectOff = true;
    const auto autoConnect = table.constFind(QStringLiteral("AutoConnectOff"));
    if (autoConnect == table.constEnd()) {
        s.settings.autoConnectOff = false;
    } else if (const auto b = toBoolean(*autoConnect)) {
        s.settings.autoConnectOff = *b;
    }

    s.edited.serverPath = resolvePath(s.edited.serverPath, s.settings.serverPath, s.configFile, m_desktop);
    apply();
}

QByteArray Configuration::serialize() const
{
    const GatewayState &s = m_state;
    const QList<Record> records = {
        {QStringLiteral("ServerPath"), quoted(s.edited.serverPath)},
        {QStringLiteral("Netid"), quoted(s.edited.plcNetId)},
        {QStringLiteral("Port"), quoted(s.edited.plcPort)},
        {QStringLiteral("Modulname"), quoted(s.edited.moduleName)},
        {QStringLiteral("Maschinenname"), quoted(s.edited.machineName)},
        {QStringLiteral("XML-Export"), QString::number(s.settings.xmlExport)},
        {QStringLiteral("RemoteHost"), quoted(s.edited.remoteHost)},
        {QStringLiteral("RemotePort"), quoted(s.edited.remotePort)},
        {QStringLiteral("ServerTest"), QString::number(s.settings.serverRole.value())},
        {QStringLiteral("Status"), QString::number(s.settings.statusReport)},
        {QStringLiteral("Timeout"), quoted(s.edited.timeout)},
        {QStringLiteral("StaticConnect"), QString::number(s.settings.staticConnection.value())},
        {QStringLiteral("ResetOnError"), QString::number(s.settings.dropRequestOnError.value())},
        {QStringLiteral("UTF8Codierung"), QString::number(s.settings.sendUtf8.value())},
        {QStringLiteral("AutoConnectOff"),
         s.settings.autoConnectOff ? QStringLiteral("#TRUE#") : QStringLiteral("#FALSE#")},
    };
    QString text;
    for (const Record &r : records)
        text += quoted(r.first) + QLatin1Char(',') + r.second + QStringLiteral("\r\n");
    return cp1252::encode(text);
}

void Configuration::saveConfiguration()
{
    m_state.settings.xmlExportLevel = static_cast<qint16>(m_state.settings.xmlExport);
    m_state.edited.serverPath =
        resolvePath(m_state.edited.serverPath, m_state.settings.serverPath, m_state.configFile, m_desktop);

    // Written aside and renamed over the old file, so a crash mid-write never leaves a plant with
    // half a configuration; where the folder forbids that, the file is written in place.
    QSaveFile file(m_state.configFile);
    file.setDirectWriteFallback(true);
    if (file.open(QIODevice::WriteOnly)) {
        file.write(serialize());
        file.commit();
    }
    apply();
}

void Configuration::apply()
{
    GatewayState &s = m_state;
    if (s.settings.serverPath.isEmpty()) {
        s.settings.serverPath = programFolder();
        if (s.settings.serverPath.right(7).toUpper() == QLatin1String("/SERVER"))
            s.settings.serverPath.remove(QStringLiteral("/SERVER"), Qt::CaseInsensitive);
    }
    s.settings.moduleName = s.edited.moduleName;
    s.settings.remoteHost = s.edited.remoteHost;
    s.settings.remotePort = s.edited.remotePort;
    if (const auto seconds = timeoutSeconds(s.edited.timeout))
        s.settings.timeoutSeconds = *seconds;

    if (!s.settings.staticConnection) {
        s.connectButtonVisible = false;
        s.closeButtonVisible = false;
    } else {
        s.closeButtonVisible = true;
        s.connectButtonVisible = !s.settings.serverRole;
    }

    if (s.settings.serverRole) {
        const auto report = [this, &s](const char *what, const QString &description) {
            reportStatus(s, m_log,
                         QString::fromLatin1(what) + s.settings.remotePort + QLatin1Char('/') +
                             QString::number(m_socket.state()) + QStringLiteral(">\r\n") + description);
            m_socket.clearError();
        };
        m_socket.clearError();
        if (m_socket.state() != SocketEndpoint::Closed)
            m_socket.close();
        // A port text without a number is a conversion failure; the endpoint keeps its old port.
        const auto port =
            s.settings.remotePort.trimmed().isEmpty() ? std::nullopt : toInteger(s.settings.remotePort);
        if (!port)
            report("Error setting Port: <", QStringLiteral("Type mismatch"));
        else if (!m_socket.setLocalPort(*port))
            report("Error setting Port: <", m_socket.pendingError().description);
        if (!m_socket.Listen())
            report("Error Listen Port: <", m_socket.pendingError().description);
        s.connAccepted = false;
    }
    m_socket.clearError();
    s.notify();
}

void Configuration::chooseConfigFile(const std::function<void(bool)> &done)
{
    m_desktop.chooseSaveFileName(
        m_state.configFile, QStringLiteral("Configuration (*.zelb)"), [this, done](const QString &name) {
            if (name.isEmpty()) { // the operator cancelled the dialog
                if (done)
                    done(false);
                return;
            }
            const bool ok = name.right(5).toUpper() == QLatin1String(".ZELB");
            if (ok) {
                m_state.configFile = name;
                m_state.notify();
            } else {
                m_desktop.message(QStringLiteral("Wrong Filename :") + name, m_state.applicationTitle);
            }
            if (done)
                done(ok);
        });
}

void Configuration::saveAs()
{
    chooseConfigFile([this](bool chosen) {
        if (chosen)
            saveConfiguration();
    });
}
