// The status endpoint of the real program without a window, with the PLC runtime stand-in and a
// printer made by this test: what /metrics, /status and the page show while a request goes
// through, checked with promtool and a real browser; the monitoring files in docs/ against the
// metrics the program serves.
#include "GatewayInstance.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>

using namespace Qt::StringLiterals;

namespace
{

struct Reply {
    int status = 0;
    QByteArray body;
};

// One request on its own connection, as a scraper makes it.
Reply http(quint16 port, const QByteArray &path, const QByteArray &method = "GET")
{
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, port); // nobody listening: no answer, status 0
    s.write(method + ' ' + path +
            " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\nContent-Length: 0\r\n\r\n");
    // The answer ends where its Content-Length says (the server may keep the connection open).
    static const QRegularExpression length(u"\r\ncontent-length: *(\\d+)"_s,
                                           QRegularExpression::CaseInsensitiveOption);
    QByteArray all;
    qsizetype split = -1;
    while (s.waitForReadyRead(3000)) {
        split = (all += s.readAll()).indexOf("\r\n\r\n");
        const auto m = length.match(QString::fromLatin1(all.left(split)));
        if (split >= 0 && m.hasMatch() && all.size() >= split + 4 + m.captured(1).toInt())
            break;
    }
    return split < 0 ? Reply{} : Reply{all.mid(9, 3).toInt(), all.mid(split + 4)};
}

// A program's exit code (-1: it did not end normally) and output, with standard input given.
int run(const QString &program, const QStringList &args, const QByteArray &input, QByteArray *output)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    p.write(input);
    p.closeWriteChannel();
    const bool ended = p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit;
    *output = p.readAll();
    return ended ? p.exitCode() : -1;
}

} // namespace

class TestStatusEndpoint : public QObject
{
    Q_OBJECT

    GatewayInstance m_in{"Stat"};
    PlcSimProcess m_plc;
    QTcpServer m_printer;
    quint16 m_port = freePort();
    QString m_promtool = QStandardPaths::findExecutable(u"promtool"_s);
    QByteArray m_out; // the last output of run()

    QJsonObject status() { return QJsonDocument::fromJson(http(m_port, "/status").body).object(); }

    // The page on that port as a browser shows it once its script has run; empty without
    // chromium.
    QString browse(quint16 port, const QString &profile)
    {
        const QString chromium = QStandardPaths::findExecutable(u"chromium"_s);
        if (chromium.isEmpty())
            return {};
        QStringList flags =
            u"--headless --no-sandbox --disable-gpu --no-first-run --disable-background-networking "
            "--virtual-time-budget=5000 --dump-dom --user-data-dir="_s.split(u' ');
        flags.last() += m_in.dir.filePath(profile);
        if (run(chromium, flags << u"http://127.0.0.1:%1/"_s.arg(port), {}, &m_out) != 0)
            return u"chromium failed: "_s + QString::fromUtf8(m_out);
        return QString::fromUtf8(m_out);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_plc.start({u"--module"_s, u"Stat"_s}));
        // The printer answers every piece it gets with "OK".
        QVERIFY(m_printer.listen(QHostAddress::LocalHost, 0));
        connect(&m_printer, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *s = m_printer.nextPendingConnection())
                connect(s, &QTcpSocket::readyRead, s,
                        [s] { s->write("OK " + QByteArray::number(s->readAll().size())); });
        });
        m_in.config.plcPort = m_plc.port();
        m_in.config.remotePort = m_printer.serverPort();
        QVERIFY(m_in.writeConfig() &&
                m_in.writeOptions("[status]\nport = " + QByteArray::number(m_port) + '\n'));
        m_in.start();
        QTRY_VERIFY_WITH_TIMEOUT(status().value(u"peer"_s).toObject().value(u"connected"_s).toBool() &&
                                     status().value(u"plc"_s).toObject().value(u"up"_s).toBool(),
                                 10000);
    }

    void cleanupTestCase() { QVERIFY(m_in.stop()); }

    void aRequestShowsInTheEventLogMetricsAndStatus()
    {
        // One event log entry says what the instance does.
        const QString start =
            u"Start Kavetta 1.0.0: module Stat; PLC link to the PLC runtime at 127.0.0.1:%1; TCP "
            "client to 127.0.0.1:%2, static connection; log folder %3; status endpoint "
            "http://127.0.0.1:%4/"_s.arg(m_plc.portText(), QString::number(m_printer.serverPort()), m_in.home,
                                         QString::number(m_port));
        QVERIFY2(m_in.entries(start).size() == 1, qPrintable(m_in.entries().join(u'\n')));

        // As the PLC: the printer of this test answers meanwhile, so the event loop runs.
        QProcess plc;
        plc.start(PlcSimProcess::program(),
                  {u"request"_s, u"--port"_s, m_plc.portText(), u"--module"_s, u"Stat"_s, u"--data"_s,
                   u"Grüße 1"_s, u"--timeout-ms"_s, u"8000"_s});
        QTRY_COMPARE_WITH_TIMEOUT(plc.state(), QProcess::NotRunning, 10000);
        QCOMPARE(plc.exitCode(), 0);
        const QByteArray metrics = http(m_port, "/metrics").body;
        // The first request of this instance.
        for (const QByteArray name : {"requests_taken_total", "requests_answered_total",
                                      "request_round_trip_seconds_count", "peer_connected"})
            QVERIFY2(metrics.contains("\nkavetta_" + name + "{module=\"Stat\"} 1\n"), name.constData());

        // The request leaves the queue with the supervision tick after its send.
        QTRY_COMPARE_WITH_TIMEOUT(status().value(u"pending"_s).toInt(), 0, 2000);
        const QJsonObject peer = status().value(u"peer"_s).toObject();
        QCOMPARE(peer.value(u"role"_s).toString() + u' ' + peer.value(u"connection"_s).toString(),
                 u"client static"_s);
        // The communication log's records, read back from Windows-1252 without their line ends.
        const QJsonArray log = status().value(u"log"_s).toArray();
        QVERIFY2(
            std::any_of(log.begin(), log.end(),
                        [](const QJsonValue &v) { return v.toString().endsWith(u"Send Data:Grüße 1"_s); }),
            QJsonDocument(log).toJson().constData());

        if (m_promtool.isEmpty())
            QSKIP("promtool (Debian package prometheus) is not installed: the metrics format is not checked");
        QVERIFY2(run(m_promtool, {u"check"_s, u"metrics"_s}, metrics, &m_out) == 0, m_out.constData());
    }

    // The page as a browser shows it, after its script has run.
    void thePageShowsTheStateInABrowser()
    {
        const QString page = browse(m_port, u"browser"_s);
        if (page.isEmpty())
            QSKIP("chromium is not installed: the page is not checked in a browser");
        // The communication log's records come from Windows-1252. The error label's line is the
        // last status line, here a received answer; the times of the last request and answer
        // are in the form the status lines use.
        const QJsonObject st = status();
        for (const QString &shown :
             {u"id=\"peer\">Port Connected<"_s, u"id=\"pending\">0<"_s, u"id=\"health\" class=\"ok\">OK<"_s,
              u"Send Data:Grüße 1"_s, u"id=\"why\" class=\"ok\"></ul>"_s, u"Last status line"_s,
              u"class=\"level information\" id=\"level\">information<"_s,
              u"last request taken: "_s + st[u"lastRequestText"].toString(),
              u"id=\"peerTarget\">set up to connect to 127.0.0.1:%1 and keep the connection open<"_s.arg(
                  m_printer.serverPort())})
            QVERIFY2(page.contains(shown), qPrintable(shown + u" not in\n"_s + page));
        QVERIFY(!page.contains(u"Last error"_s) && !st[u"lastRequestText"].toString().isEmpty());
    }

    // An instance whose module name the PLC does not know: the badge, the PLC card and the
    // sentence under the badge agree, and say why in the link's words.
    void thePageSaysWhyAnInstanceIsDown()
    {
        GatewayInstance other("Nope");
        const quint16 port = freePort();
        other.config.plcPort = m_plc.port();
        other.config.remotePort = m_printer.serverPort();
        QVERIFY(other.writeConfig() &&
                other.writeOptions("[status]\nport = " + QByteArray::number(port) + '\n'));
        other.start();
        const auto problem = [port] {
            return QJsonDocument::fromJson(http(port, "/status").body)[u"plc"][u"problem"].toString();
        };
        QTRY_VERIFY_WITH_TIMEOUT(problem().contains(u"no variable Nope."_s), 10000);
        const QString page = browse(port, u"browser-down"_s);
        if (page.isEmpty())
            QSKIP("chromium is not installed: the page is not checked in a browser");
        for (const QString &shown :
             {u"id=\"health\" class=\"bad\">DOWN<"_s, u"class=\"tile bad\" id=\"plcTile\""_s,
              u"id=\"plc\">variables not reachable<"_s,
              u"The PLC variables cannot be reached: no variable Nope."_s,
              u"is the module name Nope right?"_s})
            QVERIFY2(page.contains(shown), qPrintable(shown + u" not in\n"_s + page));
        QVERIFY(other.stop());
    }

    // Read-only, and it follows the options file when the configuration is loaded again.
    void readOnlyAndFollowsAReload()
    {
        QVERIFY(http(m_port, "/status", "POST").status != 200);
        const quint16 moved = freePort();
        QVERIFY(m_in.writeOptions("[status]\nport = " + QByteArray::number(moved) + '\n'));
        m_in.signal(SIGHUP);
        QTRY_COMPARE_WITH_TIMEOUT(http(moved, "/status").status, 200, 5000);
        QCOMPARE(http(m_port, "/status").status, 0); // nobody listens there any more
        m_port = moved;
    }

    // The dashboard and the alert rules shipped in docs/ ask for metrics the program serves, and
    // promtool takes the scrape configuration and the rules with their tests.
    void monitoringFilesFitTheMetrics()
    {
        const QString docs = QStringLiteral(KAVETTA_SOURCE_DIR "/docs/monitoring/");
        QString served, queries;
        static const QRegularExpression type(u"^# TYPE (\\S+) "_s, QRegularExpression::MultilineOption);
        for (auto it = type.globalMatch(QString::fromUtf8(http(m_port, "/metrics").body)); it.hasNext();)
            served += it.next().captured(1) + u' ';
        for (const QString &name : {u"grafana-dashboard.json"_s, u"kavetta-rules.yml"_s}) {
            QFile file(docs + name);
            QVERIFY(file.open(QIODevice::ReadOnly));
            queries += QString::fromUtf8(file.readAll());
        }
        for (auto it = QRegularExpression(u"kavetta_[a-z_]+"_s).globalMatch(queries); it.hasNext();) {
            const QString metric = it.next().captured().remove(QRegularExpression(u"_(bucket|sum|count)$"_s));
            QVERIFY2(served.contains(metric + u' '), qPrintable(metric + u" is not served"_s));
        }

        if (m_promtool.isEmpty())
            QSKIP("promtool (Debian package prometheus) is not installed: the files are not checked");
        for (const QStringList &args :
             {QStringList{u"check"_s, u"config"_s, docs + u"prometheus.yml"_s},
              QStringList{u"test"_s, u"rules"_s,
                          QStringLiteral(KAVETTA_SOURCE_DIR "/tests/status/kavetta-rules.test.yml")}})
            QVERIFY2(run(m_promtool, args, {}, &m_out) == 0, m_out.constData());
    }
};

QTEST_MAIN(TestStatusEndpoint)
#include "TestStatusEndpoint.moc"
