#include "PrinterSim.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    app.setApplicationName(QStringLiteral("printersim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Label-printer stand-in: listens on 127.0.0.1, takes documents framed by "
        "\"Content-Length: <n>\\n\\n\" and plain text requests, and answers each one.\n"
        "Prints one line per event: <time> <event> ..."));
    parser.addHelpOption();
    const QCommandLineOption port(QStringLiteral("port"), QStringLiteral("TCP port (default 9100)."),
                                  QStringLiteral("port"), QStringLiteral("9100"));
    const QCommandLineOption reply(QStringLiteral("reply"),
                                   QStringLiteral("Answer to each request; %n = its length (default OK)."),
                                   QStringLiteral("text"), QStringLiteral("OK"));
    const QCommandLineOption delay(QStringLiteral("delay-ms"), QStringLiteral("Wait before answering."),
                                   QStringLiteral("ms"), QStringLiteral("0"));
    const QCommandLineOption close(QStringLiteral("close"), QStringLiteral("Close the connection after each answer."));
    const QCommandLineOption silent(QStringLiteral("silent"), QStringLiteral("Never answer."));
    parser.addOptions({port, reply, delay, close, silent});
    parser.process(app);

    PrinterSim::Options o;
    bool ok = false;
    const uint p = parser.value(port).toUInt(&ok);
    if (!ok || p > 65535) {
        std::fprintf(stderr, "printersim: invalid port %s\n", qPrintable(parser.value(port)));
        return 2;
    }
    o.port = static_cast<quint16>(p);
    o.reply = parser.value(reply).toLatin1();
    o.delayMs = qMax(0, parser.value(delay).toInt());
    o.closeAfterReply = parser.isSet(close);
    o.silent = parser.isSet(silent);

    PrinterSim sim(o);
    sim.onLine = [](const QString &line) {
        std::printf("%s %s\n", qPrintable(QTime::currentTime().toString(QStringLiteral("HH:mm:ss.zzz"))),
                    qPrintable(line));
        std::fflush(stdout);
    };
    QString error;
    if (!sim.start(&error)) {
        std::fprintf(stderr, "printersim: cannot listen on port %u: %s\n", p, qPrintable(error));
        return 1;
    }
    sim.onLine(QStringLiteral("listening port=%1").arg(sim.port()));
    return app.exec();
}
