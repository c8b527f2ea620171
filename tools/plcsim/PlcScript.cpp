#include "PlcScript.h"

#include "PlcRuntime.h"
#include "common/Cp1252.h"
#include "plclink/RuntimeLink.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTextStream>
#include <QTimer>

using namespace plcproto;

namespace
{

QTextStream &out()
{
    static QTextStream stream(stdout);
    return stream;
}

void print(const QString &line)
{
    out() << line << '\n';
    out().flush();
}

QString ms(const QElapsedTimer &clock)
{
    return QString::number(double(clock.nsecsElapsed()) / 1e6, 'f', 3);
}

int refused(const QString &op, const QString &name, qint32 code)
{
    print(QStringLiteral("error op=%1 name=%2 code=%3 text=%4").arg(op, name).arg(code).arg(codeText(code)));
    return 2;
}

void setUp(RuntimeLink &link, const ScriptTarget &target)
{
    link.setCallTimeout(qMin(target.timeoutMs, 2000));
    if (!target.host.isEmpty())
        link.setNetId(target.host);
    if (!target.port.isEmpty())
        link.setPort(target.port);
}

QString valueText(const QVariant &v)
{
    if (v.typeId() == QMetaType::Bool)
        return v.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    if (v.typeId() == QMetaType::QString)
        return PlcRuntime::escape(cp1252::encode(v.toString()));
    return v.toString();
}

} // namespace

int runRequest(const ScriptTarget &target, const QString &module, const QString &data)
{
    RuntimeLink link;
    setUp(link, target);
    QElapsedTimer clock;
    clock.start();
    const QString names[] = {QStringLiteral(".SendData"), QStringLiteral(".anford"),
                             QStringLiteral(".RecData"), QStringLiteral(".antwort")};
    qint32 h[4] = {};
    for (int i = 0; i < 4; ++i) {
        if (const qint32 c = link.createVarHandle(module + names[i], h[i]))
            return refused(QStringLiteral("createVarHandle"), module + names[i], c);
    }
    const qint32 hSend = h[0], hAnford = h[1], hRec = h[2], hAntwort = h[3];

    // An answer nobody took would be mistaken for ours: take it away first.
    bool pending = false;
    if (const qint32 c = link.readVarBool(hAntwort, 2, pending))
        return refused(QStringLiteral("readVarBool"), module + names[3], c);
    if (pending) {
        QString old;
        link.readVarString(hRec, 2000, old);
        link.writeVarBool(hAntwort, 2, false);
        print(QStringLiteral("stale-answer data=%1").arg(PlcRuntime::escape(cp1252::encode(old))));
    }
    bool busy = false;
    link.readVarBool(hAnford, 2, busy);
    if (busy)
        print(QStringLiteral("warning previous request not yet taken"));

    QByteArray bytes;
    if (!PlcRuntime::unescape(data, bytes)) {
        print(QStringLiteral("error op=parse text=invalid escape in --data"));
        return 1;
    }
    const QString text = cp1252::decode(bytes);
    qint32 nAnford = 0, nAntwort = 0;
    int stage = 0; // 0 waiting for the gateway to take it, 1 waiting for the answer, 2 done
    int exitCode = 3;
    QEventLoop loop;
    QObject::connect(
        &link, &PlcLink::connectUpdate, &link, [&](qint32 notify, const QVariant &value, void *) {
            if (notify == nAnford && !value.toBool() && stage == 0) {
                print(QStringLiteral("taken t=%1").arg(ms(clock)));
                stage = 1;
            } else if (notify == nAntwort && value.toBool() && stage <= 1) {
                const QString t = ms(clock);
                QString answer;
                const qint32 c = link.readVarString(hRec, 2000, answer);
                if (c != Ok) {
                    exitCode = refused(QStringLiteral("readVarString"), module + names[2], c);
                } else {
                    const qint32 w = link.writeVarBool(hAntwort, 2, false);
                    print(QStringLiteral("answer t=%1 bytes=%2 data=%3")
                              .arg(t)
                              .arg(answer.size())
                              .arg(PlcRuntime::escape(cp1252::encode(answer))));
                    exitCode = w == Ok ? 0 : refused(QStringLiteral("writeVarBool"), module + names[3], w);
                }
                stage = 2;
                loop.quit();
            }
        });
    QObject::connect(&link, &PlcLink::stateChanged, &link, [&](qint32 state, qint32) {
        if (state != StateRun) {
            print(QStringLiteral("error op=wait text=PLC program state %1").arg(state));
            exitCode = 2;
            loop.quit();
        }
    });
    if (const qint32 c = link.connectVar(module + names[3], 4, 1, nAntwort, nullptr))
        return refused(QStringLiteral("connectVar"), module + names[3], c);
    if (const qint32 c = link.writeVarString(hSend, int(text.size() * 2), text))
        return refused(QStringLiteral("writeVarString"), module + names[0], c);
    clock.restart();
    if (const qint32 c = link.writeVarBool(hAnford, 2, true))
        return refused(QStringLiteral("writeVarBool"), module + names[1], c);
    print(QStringLiteral("request module=%1 bytes=%2 t=%3").arg(module).arg(bytes.size()).arg(ms(clock)));
    // Registered only now: its first notification is the current value, true while the request
    // waits and false once the gateway has taken it.
    if (const qint32 c = link.connectVar(module + names[1], 4, 1, nAnford, nullptr))
        return refused(QStringLiteral("connectVar"), module + names[1], c);
    QTimer::singleShot(target.timeoutMs, &loop, [&] {
        print(QStringLiteral("timeout stage=%1 t=%2")
                  .arg(stage == 0 ? QStringLiteral("taken") : QStringLiteral("answer"))
                  .arg(ms(clock)));
        exitCode = 3;
        loop.quit();
    });
    loop.exec();
    if (exitCode == 0)
        print(QStringLiteral("done t=%1").arg(ms(clock)));
    link.releaseLink();
    return exitCode;
}

int runRead(const ScriptTarget &target, const QStringList &names)
{
    RuntimeLink link;
    setUp(link, target);
    int rc = 0;
    for (const QString &name : names) {
        QElapsedTimer clock;
        clock.start();
        qint32 h = 0;
        Value v;
        qint32 c = link.createVarHandle(name, h);
        if (c == Ok)
            c = link.readValue(h, v);
        if (c != Ok) {
            rc = refused(QStringLiteral("read"), name, c);
            continue;
        }
        print(QStringLiteral("value t=%1 %2=%3").arg(ms(clock), name, PlcRuntime::formatValue(v)));
        link.deleteVarHandle(h);
    }
    link.releaseLink();
    return rc;
}

int runWrite(const ScriptTarget &target, const QString &name, const QString &value)
{
    RuntimeLink link;
    setUp(link, target);
    QElapsedTimer clock;
    clock.start();
    qint32 h = 0;
    if (const qint32 c = link.createVarHandle(name, h))
        return refused(QStringLiteral("write"), name, c);
    PlcRuntime::Variable var;
    link.variableType(h, var.type, var.capacity);
    Value v;
    if (!PlcRuntime::parseValue(var, value, v)) {
        print(QStringLiteral("error op=parse name=%1 text=not a %2 value")
                  .arg(name, typeName(var.type, var.capacity)));
        return 1;
    }
    if (const qint32 c = link.writeValue(h, v))
        return refused(QStringLiteral("write"), name, c);
    print(QStringLiteral("written t=%1 %2=%3").arg(ms(clock), name, PlcRuntime::formatValue(v)));
    link.deleteVarHandle(h);
    link.releaseLink();
    return 0;
}

int runWatch(const ScriptTarget &target, const QStringList &names, int count)
{
    RuntimeLink link;
    setUp(link, target);
    QElapsedTimer clock;
    clock.start();
    QHash<qint32, QString> byHandle;
    for (const QString &name : names) {
        qint32 n = 0;
        if (const qint32 c = link.connectVar(name, 4, 1, n, nullptr))
            return refused(QStringLiteral("connectVar"), name, c);
        byHandle.insert(n, name);
    }
    int seen = 0;
    QEventLoop loop;
    QObject::connect(
        &link, &PlcLink::connectUpdate, &link, [&](qint32 notify, const QVariant &value, void *) {
            print(
                QStringLiteral("update t=%1 %2=%3").arg(ms(clock), byHandle.value(notify), valueText(value)));
            if (count > 0 && ++seen >= count)
                loop.quit();
        });
    QObject::connect(&link, &PlcLink::stateChanged, &link, [&](qint32 state, qint32) {
        print(QStringLiteral("state t=%1 state=%2").arg(ms(clock)).arg(state));
        loop.quit();
    });
    QTimer::singleShot(target.timeoutMs, &loop, &QEventLoop::quit);
    loop.exec();
    print(QStringLiteral("end t=%1 updates=%2").arg(ms(clock)).arg(seen));
    link.releaseLink();
    return 0;
}

int runControl(const ScriptTarget &target, const QString &what)
{
    RuntimeLink link;
    setUp(link, target);
    const ControlOp op = what == QLatin1String("stop")    ? ControlStop
                         : what == QLatin1String("start") ? ControlStart
                                                          : ControlRestart;
    if (const qint32 c = link.controlProgram(op))
        return refused(what, QString(), c);
    print(QStringLiteral("ok %1").arg(what));
    link.releaseLink();
    return 0;
}
