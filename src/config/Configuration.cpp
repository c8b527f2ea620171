#include "config/Configuration.h"

#include "common/Cp1252.h"
#include "common/DesktopServices.h"
#include "common/GatewayState.h"
#include "common/LogWriter.h"
#include "common/StatusLine.h"
#include "config/ConfigRecords.h"
#include "config/ProgramPaths.h"
#include "socket/SocketEndpoint.h"

#include <QFile>
#include <QHash>
#include <QSaveFile>

#include <limits>
#include <optional>

namespace
{

void setCheckBox(CheckMark &mark, const QString &text)
{
    const auto v = zelb::integer(text);
    if (v && *v >= 0 && *v <= 2)
        mark = CheckMark::fromValue(static_cast<int>(*v));
}

void setLevel(qint16 &level, int &box, const QString &text)
{
    const auto v = zelb::integer(text);
    if (!v)
        return;
    if (*v >= std::numeric_limits<qint16>::min() && *v <= std::numeric_limits<qint16>::max())
        level = static_cast<qint16>(*v);
    if (*v >= 0 && *v <= 2)
        box = *v;
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
    for (const zelb::Line &line : zelb::readLines(content))
        records.append({line.name.text, line.hasValue ? line.valueText() : QString()});
    return records;
}

void Configuration::loadConfiguration()
{
    m_state.editControls(false);
    m_state.settings.serverPath.clear();
    m_state.settings.moduleName.clear();

    QFile file(m_state.configFile);
    readInto(file.open(QIODevice::ReadOnly) ? file.read(zelb::MaxBytes) : QByteArray(), m_state);
    GatewayState &s = m_state;
    s.edited.serverPath = resolvePath(s.edited.serverPath, s.settings.serverPath, s.configFile, m_desktop);
    apply();
}

void Configuration::readInto(const QByteArray &content, GatewayState &s)
{
    QHash<QString, QString> table;
    for (const Record &r : parseRecords(content)) {
        if (!r.first.isEmpty())
            table.insert(r.first, r.second); // a later record with the same key wins
    }

    const auto value = [&table](const char *key) { return table.value(QString::fromLatin1(key)); };
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
    } else if (const auto b = zelb::boolean(*autoConnect)) {
        s.settings.autoConnectOff = *b;
    }
}

QByteArray Configuration::serialize() const
{
    return serialize(m_state);
}

QByteArray Configuration::serialize(const GatewayState &s)
{
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
        text += zelb::recordLine(r.first, r.second) + QStringLiteral("\r\n");
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
    if (const auto seconds = zelb::timeoutSeconds(s.edited.timeout))
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
            s.settings.remotePort.trimmed().isEmpty() ? std::nullopt : zelb::integer(s.settings.remotePort);
        if (!port)
            report("Error setting Port: <", QStringLiteral("Type mismatch"));
        else if (!m_socket.setLocalPort(*port))
            report("Error setting Port: <", m_socket.pendingError().description);
        if (!m_socket.listen())
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
