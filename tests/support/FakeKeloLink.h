#pragma once

#include "plc/KeloLink.h"

#include <QHash>
#include <QRegularExpression>
#include <QStringList>
#include <QVariant>

#include <functional>

// A PLC link that records every call as one line, with the variable's symbol name in place of
// its handle ("writeVarBool K1.anford 2 false"; "#0" for a handle that names nothing), keeps the
// values written, and fails the calls a test names ("readVarBool K1.antwort" -> code).
class FakeKeloLink : public KeloLink
{
public:
    QStringList calls;
    QHash<QString, qint32> failures; // "<operation> <symbol name>" -> code
    QHash<QString, QVariant> values; // symbol name -> value
    // Runs after each call is recorded, with its line (e.g. to move a test clock on).
    std::function<void(const QString &)> onCall;
    void *lastUser = nullptr;

    QString nameOf(qint32 handle) const { return m_names.value(handle, QStringLiteral("#%1").arg(handle)); }
    // Calls of one operation only, e.g. "deleteVarHandle".
    QStringList callsOf(const QString &operation) const
    {
        return calls.filter(QRegularExpression(QLatin1Char('^') + operation + QLatin1Char(' ')));
    }

    QString netId() const override { return {}; }
    void setNetId(const QString &) override {}
    QString netId2() const override { return {}; }
    void setNetId2(const QString &) override {}
    QString port() const override { return {}; }
    void setPort(const QString &) override {}

    qint32 createVarHandle(const QString &name, qint32 &handle) override
    {
        handle = 0;
        const qint32 code = record(QStringLiteral("createVarHandle ") + name, name);
        if (code == 0) {
            handle = m_next++;
            m_names.insert(handle, name);
        }
        return code;
    }
    qint32 deleteVarHandle(qint32 handle) override
    {
        return record(QStringLiteral("deleteVarHandle ") + nameOf(handle), nameOf(handle));
    }
    qint32 connectVar(const QString &name, qint32 mode, qint32 cycle, qint32 &notifyHandle, void *user) override
    {
        notifyHandle = 0;
        const qint32 code = record(QStringLiteral("connectVar %1 %2 %3").arg(name).arg(mode).arg(cycle), name);
        if (code == 0) {
            notifyHandle = m_next++;
            m_names.insert(notifyHandle, QStringLiteral("notify:") + name);
            lastUser = user;
        }
        return code;
    }
    qint32 disconnectVar(qint32 notifyHandle) override
    {
        return record(QStringLiteral("disconnectVar ") + nameOf(notifyHandle), nameOf(notifyHandle));
    }
    qint32 readVarBool(qint32 handle, qint32 size, bool &value) override
    {
        const QString name = nameOf(handle);
        const qint32 code = record(QStringLiteral("readVarBool %1 %2").arg(name).arg(size), name);
        if (code == 0)
            value = values.value(name).toBool();
        return code;
    }
    qint32 writeVarBool(qint32 handle, qint32 size, bool value) override
    {
        return write(QStringLiteral("writeVarBool %1 %2 %3").arg(nameOf(handle)).arg(size).arg(value ? "true" : "false"),
                     handle, value);
    }
    qint32 readVarString(qint32 handle, qint32 size, QString &text) override
    {
        const QString name = nameOf(handle);
        const qint32 code = record(QStringLiteral("readVarString %1 %2").arg(name).arg(size), name);
        if (code == 0)
            text = values.value(name).toString();
        return code;
    }
    qint32 writeVarString(qint32 handle, qint32 length, const QString &text) override
    {
        return write(QStringLiteral("writeVarString %1 %2 %3").arg(nameOf(handle)).arg(length).arg(text), handle,
                     text);
    }
    qint32 writeVarLong(qint32 handle, qint32 size, qint32 value) override
    {
        return write(QStringLiteral("writeVarLong %1 %2 %3").arg(nameOf(handle)).arg(size).arg(value), handle, value);
    }
    qint32 writeVarInt(qint32 handle, qint32 size, qint16 value) override
    {
        return write(QStringLiteral("writeVarInt %1 %2 %3").arg(nameOf(handle)).arg(size).arg(value), handle,
                     int(value));
    }
    qint32 releaseLink() override { return record(QStringLiteral("releaseLink"), {}); }
    qint32 showProperties() override { return record(QStringLiteral("showProperties"), {}); }

    void emitConnectUpdate(const QVariant &value, void *user) { emit connectUpdate(0, value, user); }
    void emitStateChanged(qint32 state) { emit stateChanged(state, 0); }

private:
    qint32 record(const QString &line, const QString &name)
    {
        calls << line;
        if (onCall)
            onCall(line);
        return failures.value(line.section(QLatin1Char(' '), 0, 0) + QLatin1Char(' ') + name, 0);
    }
    qint32 write(const QString &line, qint32 handle, const QVariant &value)
    {
        const QString name = nameOf(handle);
        const qint32 code = record(line, name);
        if (code == 0)
            values.insert(name, value);
        return code;
    }

    QHash<qint32, QString> m_names;
    qint32 m_next = 1;
};
