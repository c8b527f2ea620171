#pragma once

#include <QMap>
#include <QString>

// The server manager on the D-Bus session bus, as the gateway and the manager stand-in both use
// it. The manager owns the bus name below and serves one object:
//
//   PrevInstance(s clientName) -> i           clients registered under this name
//   Connect(s clientName, as commandNames, as procedureNames, o callback, a{ss} parameters)
//       -> (i result, o callback, a{ss} parameters)
//                                             registers the calling connection as a client; the
//                                             manager may hand back another callback and changed
//                                             parameters
//   Disconnect() -> i                         forgets the calling connection's client
//
// A client's commands are run by calling the procedure that pairs with the command's name, without
// arguments, on the client's connection at the callback path, in the interface named by the
// parameter "ClientClass".
namespace managerbus
{

inline const QString service = QStringLiteral("projHollenby.clsServerConnect");
inline const QString path = QStringLiteral("/clsServerConnect");
inline const QString interface = QStringLiteral("projHollenby.clsServerConnect");

inline const QString callbackClass = QStringLiteral("projKavetta.clsCallBack");
inline const QString callbackPath = QStringLiteral("/clsCallBack");

inline const QString clientClassKey = QStringLiteral("ClientClass");
inline const QString clientPathKey = QStringLiteral("ClientPath");

using Parameters = QMap<QString, QString>;

// Makes Parameters known to the D-Bus type system; any number of calls.
void registerTypes();

} // namespace managerbus
