// plcsim: a PLC runtime stand-in that speaks the link protocol, and the PLC side of a gateway
// from the command line. See docs/plc-link-protocol.md.
#include "PlcProgram.h"
#include "PlcRuntime.h"
#include "PlcScript.h"
#include "PlcServer.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QHostAddress>
#include <QTextStream>

#include <csignal>
#include <memory>

namespace
{

const char *const Usage = R"(Usage:
  plcsim serve   [--host ADDR] [--port P] [--module NAME]... [--vars FILE] [--stopped] [--trace]
                 [--protocol V] [--plc NAME [--every MS] [--data TEXT]... [--count N]
                 [--after-answer]]
  plcsim request [--host ADDR] [--port P] --module NAME --data TEXT [--timeout-ms N]
  plcsim read    [--host ADDR] [--port P] NAME...
  plcsim write   [--host ADDR] [--port P] [--] NAME VALUE   (-- before a negative VALUE)
  plcsim watch   [--host ADDR] [--port P] [--count N] [--timeout-ms N] NAME...
  plcsim stop|start|restart [--host ADDR] [--port P]

serve      runs the runtime (default 127.0.0.1:48898; --port 0 picks a free port, printed in
           the first line "listening host=.. port=.. clock=..", clock= the monotonic clock in
           microseconds at t=0). Variables come from --module (the seven variables of one
           gateway instance) and/or --vars (lines "NAME TYPE [:= VALUE]",
           TYPE one of BOOL INT DINT STRING(n)). Commands on stdin: stop, start, restart, list,
           clients, handles [CLIENT], get NAME, set NAME VALUE, stats, quit. --trace reports
           every write and every handle a client makes or releases. --protocol 2 serves as a
           runtime of protocol version 2 (Batch without conditions), --protocol 1 as one of
           version 1 (no Batch). --plc runs the PLC program of
           gateway instance NAME inside the runtime: every --every ms (default 3000) it raises
           a request with the next --data text ("{n}" = request number), takes each answer
           and prints "plc request", "plc taken" and "plc answer ... rtt=" lines; --count
           ends it after N requests; --after-answer raises the next request only once the
           last one is answered, and then at once.
request    raises a request as the PLC does (writes .SendData, sets .anford), waits until the
           gateway has taken it and answered, takes the answer (reads .RecData, resets
           .antwort) and prints "request", "taken", "answer" and "done" lines with times in ms.
read/write any variable; watch prints every notification of the named variables.
Values: BOOL true/false, INT/DINT decimal, STRING text with \\ \n \r \t \0 \xHH escapes.
Exit codes: 0 done, 1 bad usage, 2 refused or not reachable, 3 timed out.
)";

int usage(int code)
{
    QTextStream(code == 0 ? stdout : stderr) << Usage;
    return code;
}

} // namespace

int main(int argc, char *argv[])
{
    // The plain poll() dispatcher wakes faster than the glib one; round trips are what the
    // stand-in is measured by.
    qputenv("QT_NO_GLIB", "1");
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("plcsim"));
    // A client that vanishes mid-write must not end the runtime.
    std::signal(SIGPIPE, SIG_IGN);

    QCommandLineParser parser;
    parser.addOption({QStringLiteral("host"), QStringLiteral("address"), QStringLiteral("addr")});
    parser.addOption({QStringLiteral("port"), QStringLiteral("port"), QStringLiteral("port")});
    parser.addOption({QStringLiteral("module"), QStringLiteral("module name"), QStringLiteral("name")});
    parser.addOption({QStringLiteral("vars"), QStringLiteral("declaration file"), QStringLiteral("file")});
    parser.addOption({QStringLiteral("data"), QStringLiteral("send data"), QStringLiteral("text")});
    parser.addOption({QStringLiteral("timeout-ms"), QStringLiteral("time-out"), QStringLiteral("ms")});
    parser.addOption({QStringLiteral("count"), QStringLiteral("updates to wait for"), QStringLiteral("n")});
    parser.addOption(
        {QStringLiteral("plc"), QStringLiteral("scripted PLC of a module"), QStringLiteral("name")});
    parser.addOption({QStringLiteral("every"), QStringLiteral("request interval"), QStringLiteral("ms")});
    parser.addOption({QStringLiteral("stopped"), QStringLiteral("start with the program stopped")});
    parser.addOption({QStringLiteral("trace"), QStringLiteral("print every write")});
    parser.addOption({QStringLiteral("after-answer"), QStringLiteral("next request once answered")});
    parser.addOption(
        {QStringLiteral("protocol"), QStringLiteral("newest protocol version"), QStringLiteral("v")});
    parser.addOption({{QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("help")});
    if (!parser.parse(QCoreApplication::arguments())) {
        QTextStream(stderr) << parser.errorText() << '\n';
        return usage(1);
    }
    if (parser.isSet(QStringLiteral("help")))
        return usage(0);
    QStringList args = parser.positionalArguments();
    if (args.isEmpty())
        return usage(1);
    const QString command = args.takeFirst();

    ScriptTarget target;
    target.host = parser.value(QStringLiteral("host"));
    target.port = parser.value(QStringLiteral("port"));
    if (parser.isSet(QStringLiteral("timeout-ms")))
        target.timeoutMs = parser.value(QStringLiteral("timeout-ms")).toInt();

    if (command == QLatin1String("serve")) {
        PlcRuntime runtime;
        for (const QString &module : parser.values(QStringLiteral("module")))
            runtime.declareModule(module);
        if (parser.isSet(QStringLiteral("vars"))) {
            QString error;
            if (!runtime.loadDeclarations(parser.value(QStringLiteral("vars")), error)) {
                QTextStream(stdout) << "error " << error << '\n';
                return 1;
            }
        }
        if (parser.isSet(QStringLiteral("stopped")))
            runtime.stop();
        QHostAddress address(target.host.isEmpty() ? QStringLiteral("127.0.0.1") : target.host);
        bool ok = true;
        const uint port = target.port.isEmpty() ? plcproto::DefaultPort : target.port.toUInt(&ok);
        if (address.isNull() || !ok || port > 65535)
            return usage(1);
        PlcServer server(runtime, parser.isSet(QStringLiteral("trace")));
        if (parser.isSet(QStringLiteral("protocol"))) {
            const uint version = parser.value(QStringLiteral("protocol")).toUInt();
            if (version < plcproto::BaseVersion || version > plcproto::Version)
                return usage(1);
            server.setProtocolVersion(quint16(version));
        }
        std::unique_ptr<PlcProgram> program;
        if (parser.isSet(QStringLiteral("plc"))) {
            PlcProgram::Options options;
            options.module = parser.value(QStringLiteral("plc"));
            options.afterAnswer = parser.isSet(QStringLiteral("after-answer"));
            for (const QString &text : parser.values(QStringLiteral("data"))) {
                QByteArray bytes;
                if (!PlcRuntime::unescape(text, bytes)) {
                    QTextStream(stderr) << "invalid escape in --data\n";
                    return usage(1);
                }
                options.data << bytes;
            }
            if (parser.isSet(QStringLiteral("every")))
                options.everyMs = parser.value(QStringLiteral("every")).toInt();
            options.count = parser.value(QStringLiteral("count")).toInt();
            if (options.module.isEmpty() || options.everyMs < 1 || options.count < 0)
                return usage(1);
            program = std::make_unique<PlcProgram>(runtime, server, options);
        }
        if (!server.listen(address, quint16(port)))
            return 2;
        server.watchStdin();
        if (program)
            program->start();
        return app.exec();
    }
    if (command == QLatin1String("request")) {
        if (!parser.isSet(QStringLiteral("data")) || !parser.isSet(QStringLiteral("module")))
            return usage(1);
        return runRequest(target, parser.value(QStringLiteral("module")),
                          parser.value(QStringLiteral("data")));
    }
    if (command == QLatin1String("read") && !args.isEmpty())
        return runRead(target, args);
    if (command == QLatin1String("write") && args.size() == 2)
        return runWrite(target, args[0], args[1]);
    if (command == QLatin1String("watch") && !args.isEmpty())
        return runWatch(target, args, parser.value(QStringLiteral("count")).toInt());
    if (command == QLatin1String("stop") || command == QLatin1String("start") ||
        command == QLatin1String("restart"))
        return runControl(target, command);
    return usage(1);
}
