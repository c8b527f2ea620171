#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

#include <functional>

class DesktopServices;
class GatewayState;
class LogWriter;
class SocketEndpoint;

// The configuration file of one instance (".zelb"): 15 two-field records, CR LF, Windows-1252.
// Loading fills the settings fields of the state, saving writes them; both end by applying
// the settings (program-wide copies, connection buttons, the listening socket in the server role).
class Configuration
{
public:
    using Record = QPair<QString, QString>;

    Configuration(GatewayState &state, SocketEndpoint &socket, LogWriter &log, DesktopServices &desktop);

    void loadConfiguration();
    void saveConfiguration();
    // The file dialog for Save As; done(true) when a ".zelb" name was chosen and configFile set.
    void chooseConfigFile(const std::function<void(bool)> &done);
    // chooseConfigFile and, when it succeeds, saveConfiguration.
    void saveAs();
    void apply();

    // The record form of the file, exposed for tests and tools.
    static QList<Record> parseRecords(const QByteArray &content);
    QByteArray serialize() const;
    // What a load takes from the file's content into the settings fields of a state, without
    // resolving the server path or applying anything; and what a save writes of a state.
    static void readInto(const QByteArray &content, GatewayState &state);
    static QByteArray serialize(const GatewayState &state);

private:
    GatewayState &m_state;
    SocketEndpoint &m_socket;
    LogWriter &m_log;
    DesktopServices &m_desktop;
};
