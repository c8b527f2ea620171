#pragma once

#include "plclink/PlcLink.h"

#include <QHash>
#include <QStringList>
#include <QVariant>

#include <functional>

// A PLC link that records every call as one line, with the variable's symbol name in place of
// its handle ("writeVarBool K1.anford false"; "#0" for a handle that names nothing), keeps the
// values written, and fails the calls a test names ("readVarBool K1.antwort" -> code).
class FakePlcLink : public PlcLink
{
public:
    QStringList calls;
    QHash<QString, qint32> failures;             // "<operation> <symbol name>" -> code
    QHash<QString, QVariant> values;             // symbol name -> value
    std::function<void(const QString &)> onCall; // runs after each call is recorded, with its line
    void *lastUser = nullptr;

    void emitConnectUpdate(const QVariant &value, void *user) { emit connectUpdate(0, value, user); }
    void emitStateChanged(qint32 state) { emit stateChanged(state, 0); }

    QString netId() const override { return {}; }
    void setNetId(const QString &) override {}
    QString netId2() const override { return {}; }
    void setNetId2(const QString &) override {}
    QString port() const override { return {}; }
    void setPort(const QString &) override {}

    qint32 createVarHandle(const QString &name, qint32 &handle) override
    {
        return make(call("createVarHandle", name), name, handle);
    }
    qint32 deleteVarHandle(qint32 handle) override { return call("deleteVarHandle", nameOf(handle)); }
    qint32 connectVar(const QString &name, qint32 &notify, void *user) override
    {
        const qint32 code = make(call("connectVar", name), QStringLiteral("notify:") + name, notify);
        if (code == 0)
            lastUser = user;
        return code;
    }
    qint32 disconnectVar(qint32 notify) override { return call("disconnectVar", nameOf(notify)); }
    qint32 readVarBool(qint32 h, bool &value) override { return read("readVarBool", h, {}, value); }
    qint32 readVarString(qint32 h, qint32 size, QString &text) override
    {
        return read("readVarString", h, {size}, text);
    }
    qint32 writeVarBool(qint32 h, bool v) override { return write("writeVarBool", h, v); }
    qint32 writeVarString(qint32 h, const QString &v) override { return write("writeVarString", h, v); }
    qint32 writeVarLong(qint32 h, qint32 v) override { return write("writeVarLong", h, v); }
    qint32 writeVarInt(qint32 h, qint16 v) override { return write("writeVarInt", h, int(v)); }
    qint32 releaseLink() override { return call("releaseLink", {}); }
    qint32 showProperties() override { return call("showProperties", {}); }

private:
    QString nameOf(qint32 handle) const { return m_names.value(handle, QStringLiteral("#%1").arg(handle)); }
    qint32 call(const char *op, const QString &name, const QVariantList &args = {})
    {
        const QString key = QString::fromLatin1(op) + u' ' + name;
        QString line = key;
        for (const QVariant &arg : args)
            line += u' ' + arg.toString();
        calls << line;
        if (onCall)
            onCall(line);
        return failures.value(key, 0);
    }
    qint32 make(qint32 code, const QString &name, qint32 &handle)
    {
        handle = code == 0 ? m_next++ : 0;
        if (code == 0)
            m_names.insert(handle, name);
        return code;
    }
    template <typename T> qint32 read(const char *op, qint32 handle, const QVariantList &args, T &out)
    {
        const qint32 code = call(op, nameOf(handle), args);
        if (code == 0)
            out = values.value(nameOf(handle)).template value<T>();
        return code;
    }
    qint32 write(const char *op, qint32 handle, const QVariant &value)
    {
        const qint32 code = call(op, nameOf(handle), {value});
        if (code == 0)
            values.insert(nameOf(handle), value);
        return code;
    }

    QHash<qint32, QString> m_names;
    qint32 m_next = 1;
};
