#pragma once

#include "platform/ManagerBus.h"

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusObjectPath>
#include <QList>
#include <QMap>
#include <QObject>
#include <QStringList>
#include <QVariantMap>

#include <functional>

class QDBusServiceWatcher;

// The server manager stand-in: owns the manager's bus name, keeps the clients that connect,
// answers PrevInstance by client name, and runs a client's commands for an operator
// (ListClients, RunCommand). A client is forgotten when it disconnects or its bus connection
// goes away.
class ServerManager : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "projHollenby.clsServerConnect")
public:
    struct Client {
        QString name;
        QStringList commandNames;
        QStringList procedureNames;
        QString owner; // unique bus name of the client's connection
        QString callbackPath;
        managerbus::Parameters parameters;
    };

    explicit ServerManager(const QDBusConnection &bus = QDBusConnection::sessionBus(),
                           QObject *parent = nullptr);
    ~ServerManager() override;

    // Offers the object and takes the bus name; false with the reason when the name is taken.
    bool start(QString *error);

    const QList<Client> &clients() const { return m_clients; }
    // One line per event: "connect ...", "disconnect ...", "vanished ...", "command ...".
    std::function<void(const QString &)> onLine;

public slots:
    int PrevInstance(const QString &clientName);
    int Connect(const QString &clientName, const QStringList &commandNames, const QStringList &procedureNames,
                const QDBusObjectPath &callback, const QMap<QString, QString> &parameters,
                QDBusObjectPath &callbackOut, QMap<QString, QString> &parametersOut);
    int Disconnect();

    // For the operator: one line per client, "<name>\t<ClientPath>\t<bus name>\t<state>", the
    // state as the client tells it (PLC link, peer, pending requests, uptime, last error). A
    // client that does not answer within 2 seconds is listed with the failure instead.
    QStringList ListClients();
    // The state column from what a client's serverStatus answered.
    static QString stateText(const QVariantMap &status);
    // Runs a command ("Start", "Stop", "Restart", any case) of the client with this name (or of
    // the one client whose name contains it); answers when the client's procedure has returned.
    QString RunCommand(const QString &client, const QString &command);

private:
    void forgetOwner(const QString &owner, const QString &why);
    void line(const QString &text);
    // The client of this name, or the only one whose name contains it; null and the reason else.
    const Client *findClient(const QString &name, QString *failure) const;

    QDBusConnection m_bus;
    QDBusServiceWatcher *m_watcher = nullptr;
    QList<Client> m_clients;
    bool m_registered = false;
};
