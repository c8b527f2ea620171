#include "PrinterSim.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QTime>

#include <cstdio>
#include <limits>

namespace
{

int fail(const QString &message)
{
    std::fprintf(stderr, "printersim: %s\n", qPrintable(message));
    return 2;
}

// A whole number in [min, max] from an option, or an error message.
bool number(const QCommandLineParser &parser, const QCommandLineOption &option, qint64 min, qint64 max,
            qint64 *out, QString *error)
{
    bool ok = false;
    const qint64 value = parser.value(option).toLongLong(&ok);
    if (!ok || value < min || value > max) {
        *error = QStringLiteral("invalid --%1 %2 (a whole number from %3 to %4)")
                     .arg(option.names().constFirst(), parser.value(option))
                     .arg(min)
                     .arg(max);
        return false;
    }
    *out = value;
    return true;
}

// "host:port", "[v6]:port"
bool splitTarget(const QString &text, QString *host, quint16 *port)
{
    const qsizetype colon = text.lastIndexOf(':');
    if (colon <= 0)
        return false;
    QString h = text.left(colon);
    if (h.startsWith('[') && h.endsWith(']'))
        h = h.mid(1, h.size() - 2);
    bool ok = false;
    const uint p = text.mid(colon + 1).toUInt(&ok);
    if (h.isEmpty() || !ok || p == 0 || p > 65535)
        return false;
    *host = h;
    *port = static_cast<quint16>(p);
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    app.setApplicationName(QStringLiteral("printersim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Label-printer stand-in.\n"
        "\n"
        "Server mode (default): listens on 127.0.0.1, takes documents framed by\n"
        "\"Content-Length: <n>\\n\\n\" and plain text requests, and answers each one.\n"
        "The fault options make it behave like a printer that is off (--refuse), resets\n"
        "(--reset, --reset-after), hangs while taking data (--no-read), closes mid-document\n"
        "(--close-after), or answers late and in pieces (--delay-ms, --pieces, --gap-ms).\n"
        "\n"
        "Client mode (--connect): connects to a gateway in the server role, sends --send\n"
        "or --send-file (--count times, every --every-ms) and prints what comes back.\n"
        "\n"
        "Output: one line per event, \"<time> <event> ...\", with byte counts and a short\n"
        "preview (control bytes as \\n, \\r, \\t, \\xHH). The first line names the port:\n"
        "\"listening port=<p>\" or \"refusing port=<p>\" (--port 0 lets the system pick it),\n"
        "or \"connecting <host>:<port>\" in client mode.\n"
        "\n"
        "Examples:\n"
        "  printersim --port 9100 --reply \"OK %n\"\n"
        "  printersim --port 0 --pieces 3 --gap-ms 200 --save /tmp/labels\n"
        "  printersim --connect 192.168.0.20:4000 --send \"hello\\r\\n\" --count 5 --every-ms 2000"));
    parser.addHelpOption();

    const QCommandLineOption port(QStringLiteral("port"),
                                  QStringLiteral("TCP port to listen on; 0 = any free one (default 9100)."),
                                  QStringLiteral("port"), QStringLiteral("9100"));
    const QCommandLineOption bind(QStringLiteral("bind"),
                                  QStringLiteral("Address to listen on (default 127.0.0.1; 0.0.0.0 = all)."),
                                  QStringLiteral("address"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption reply(
        QStringLiteral("reply"),
        QStringLiteral("Answer to each request; %n = its length, %r = the request itself, %t = the "
                       "monotonic clock in microseconds when the request was complete (the answer "
                       "leaves then unless delayed), escapes as for --send (default OK)."),
        QStringLiteral("text"), QStringLiteral("OK"));
    const QCommandLineOption delay(QStringLiteral("delay-ms"), QStringLiteral("Wait before answering."),
                                   QStringLiteral("ms"), QStringLiteral("0"));
    const QCommandLineOption pieces(QStringLiteral("pieces"),
                                    QStringLiteral("Send each answer (client mode: each send) in K pieces."),
                                    QStringLiteral("K"), QStringLiteral("1"));
    const QCommandLineOption gap(QStringLiteral("gap-ms"),
                                 QStringLiteral("Time between two pieces (default 50)."),
                                 QStringLiteral("ms"), QStringLiteral("50"));
    const QCommandLineOption close(QStringLiteral("close"),
                                   QStringLiteral("Close the connection after each answer."));
    const QCommandLineOption silent(QStringLiteral("silent"), QStringLiteral("Never answer."));
    const QCommandLineOption refuse(
        QStringLiteral("refuse"),
        QStringLiteral("Hold the port without listening: every connect is refused."));
    const QCommandLineOption reset(QStringLiteral("reset"),
                                   QStringLiteral("Accept each connection and reset it at once."));
    const QCommandLineOption resetAfter(QStringLiteral("reset-after"),
                                        QStringLiteral("Reset a connection once N bytes have arrived on it."),
                                        QStringLiteral("N"));
    const QCommandLineOption closeAfter(
        QStringLiteral("close-after"),
        QStringLiteral("Close a connection once N bytes have arrived on it (0 = close at once)."),
        QStringLiteral("N"));
    const QCommandLineOption noRead(QStringLiteral("no-read"),
                                    QStringLiteral("Accept and never read: the sender stalls once its own "
                                                   "kernel send buffer is full (up to 4 MB on loopback)."));
    const QCommandLineOption save(
        QStringLiteral("save"),
        QStringLiteral("Write each received document to DIR as doc-00001.dat, "
                       "doc-00002.dat, ... (numbering goes on after existing files)."),
        QStringLiteral("DIR"));
    const QCommandLineOption connectTo(
        QStringLiteral("connect"), QStringLiteral("Client mode: connect to a gateway in the server role."),
        QStringLiteral("host:port"));
    const QCommandLineOption send(
        QStringLiteral("send"),
        QStringLiteral("Client mode: data to send; \\n \\r \\t \\0 \\\\ \\xHH are escapes."),
        QStringLiteral("text"));
    const QCommandLineOption sendFile(QStringLiteral("send-file"),
                                      QStringLiteral("Client mode: send the bytes of this file."),
                                      QStringLiteral("file"));
    const QCommandLineOption count(
        QStringLiteral("count"),
        QStringLiteral("Client mode: number of sends; 0 = until stopped (default 1)."), QStringLiteral("N"),
        QStringLiteral("1"));
    const QCommandLineOption every(QStringLiteral("every-ms"),
                                   QStringLiteral("Client mode: period between sends (default 1000)."),
                                   QStringLiteral("ms"), QStringLiteral("1000"));
    const QCommandLineOption wait(
        QStringLiteral("wait-ms"),
        QStringLiteral("Client mode: after the last send wait this long for answers, "
                       "then close and exit; default: stay until the peer closes."),
        QStringLiteral("ms"), QStringLiteral("-1"));
    parser.addOptions({port,      bind,   reply,    delay,      pieces,     gap,    close,
                       silent,    refuse, reset,    resetAfter, closeAfter, noRead, save,
                       connectTo, send,   sendFile, count,      every,      wait});
    parser.process(app);
    if (!parser.positionalArguments().isEmpty())
        return fail(QStringLiteral("unexpected argument %1 (see --help)")
                        .arg(parser.positionalArguments().constFirst()));

    PrinterSim::Options o;
    QString error;
    qint64 v = 0;
    if (!number(parser, port, 0, 65535, &v, &error))
        return fail(error);
    o.port = static_cast<quint16>(v);
    if (!o.address.setAddress(parser.value(bind)))
        return fail(QStringLiteral("invalid --bind %1 (an IP address)").arg(parser.value(bind)));
    o.reply = PrinterSim::unescape(parser.value(reply));
    if (!number(parser, delay, 0, 3600000, &v, &error))
        return fail(error);
    o.delayMs = static_cast<int>(v);
    if (!number(parser, pieces, 1, 1000000, &v, &error))
        return fail(error);
    o.pieces = static_cast<int>(v);
    if (!number(parser, gap, 0, 3600000, &v, &error))
        return fail(error);
    o.pieceGapMs = static_cast<int>(v);
    o.closeAfterReply = parser.isSet(close);
    o.silent = parser.isSet(silent);
    o.refuse = parser.isSet(refuse);
    o.noRead = parser.isSet(noRead);
    if (parser.isSet(reset))
        o.resetAfterBytes = 0;
    if (parser.isSet(resetAfter)) {
        if (!number(parser, resetAfter, 0, std::numeric_limits<qint64>::max(), &o.resetAfterBytes, &error))
            return fail(error);
    }
    if (parser.isSet(closeAfter)) {
        if (!number(parser, closeAfter, 0, std::numeric_limits<qint64>::max(), &o.closeAfterBytes, &error))
            return fail(error);
    }
    o.saveDir = parser.value(save);

    const int faults = int(o.refuse) + int(o.noRead) + int(parser.isSet(reset) || parser.isSet(resetAfter)) +
                       int(parser.isSet(closeAfter));
    if (faults > 1)
        return fail(
            QStringLiteral("choose one of --refuse, --no-read, --reset/--reset-after, --close-after"));

    if (parser.isSet(connectTo)) {
        for (const QCommandLineOption *serverOnly : {&bind, &reply, &delay, &close, &silent, &refuse, &reset,
                                                     &resetAfter, &closeAfter, &noRead, &save}) {
            if (parser.isSet(*serverOnly))
                return fail(QStringLiteral("--%1 is for server mode, not with --connect")
                                .arg(serverOnly->names().constFirst()));
        }
        if (parser.isSet(port))
            return fail(QStringLiteral("give the port with --connect host:port"));
        if (!splitTarget(parser.value(connectTo), &o.connectHost, &o.connectPort))
            return fail(QStringLiteral("invalid --connect %1 (host:port)").arg(parser.value(connectTo)));
        if (parser.isSet(send) && parser.isSet(sendFile))
            return fail(QStringLiteral("give --send or --send-file, not both"));
        if (parser.isSet(send))
            o.send = PrinterSim::unescape(parser.value(send));
        if (parser.isSet(sendFile)) {
            QFile file(parser.value(sendFile));
            if (!file.open(QIODevice::ReadOnly))
                return fail(QStringLiteral("cannot read %1: %2").arg(file.fileName(), file.errorString()));
            o.send = file.readAll();
        }
        if (!number(parser, count, 0, std::numeric_limits<int>::max(), &v, &error))
            return fail(error);
        o.count = static_cast<int>(v);
        if (!number(parser, every, 0, 3600000, &v, &error))
            return fail(error);
        o.everyMs = static_cast<int>(v);
        if (!number(parser, wait, -1, 3600000, &v, &error))
            return fail(error);
        o.waitMs = static_cast<int>(v);
    } else {
        for (const QCommandLineOption *clientOnly : {&send, &sendFile, &count, &every, &wait}) {
            if (parser.isSet(*clientOnly))
                return fail(QStringLiteral("--%1 needs --connect").arg(clientOnly->names().constFirst()));
        }
    }

    PrinterSim sim(o);
    sim.onLine = [](const QString &line) {
        std::printf("%s %s\n", qPrintable(QTime::currentTime().toString(QStringLiteral("HH:mm:ss.zzz"))),
                    qPrintable(line));
        std::fflush(stdout);
    };
    QObject::connect(
        &sim, &PrinterSim::finished, &app, [](int code) { QCoreApplication::exit(code); },
        Qt::QueuedConnection);
    if (!sim.start(&error)) {
        std::fprintf(stderr, "printersim: cannot start: %s\n", qPrintable(error));
        return 1;
    }
    return app.exec();
}
