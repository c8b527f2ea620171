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
    s.connectToHost(QHostAddress::LocalHost, port);
    if (!s.waitForConnected(3000))
        return {};
    s.write(method + ' ' + path +
            " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\nContent-Length: 0\r\n\r\n");
    // The answer ends where its Content-Length says (the server may keep the connection open).
    QByteArray all;
    static const QRegularExpression length(u"\r\ncontent-length: *(\\d+)"_s,
                                           QRegularExpression::CaseInsensitiveOption);
    while (s.waitForReadyRead(3000)) {
        all += s.readAll();
        const qsizetype split = all.indexOf("\r\n\r\n");
        const auto m = length.match(QString::fromLatin1(all.left(split)));
        if (split >= 0 && m.hasMatch() && all.size() >= split + 4 + m.captured(1).toInt())
            break;
    }
    const qsizetype split = all.indexOf("\r\n\r\n");
    if (split < 0)
        return {};
    return {all.mid(9, 3).toInt(), all.mid(split + 4)};
}

// Sample values by name and labels: "kavetta_requests_taken_total{module=\"Stat\"}" -> 1.
QMap<QString, double> samples(const QByteArray &metrics)
{
    QMap<QString, double> out;
    for (const QByteArray &line : metrics.split('\n')) {
        const qsizetype blank = line.lastIndexOf(' ');
        if (line.isEmpty() || line.startsWith('#') || blank < 0)
            continue;
        out.insert(QString::fromUtf8(line.left(blank)), line.mid(blank + 1).toDouble());
    }
    return out;
}

// A program's exit code and output, with standard input given.
int run(const QString &program, const QStringList &args, const QByteArray &input,
        QByteArray *output = nullptr)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    if (!p.waitForStarted(5000))
        return -1;
    p.write(input);
    p.closeWriteChannel();
    if (!p.waitForFinished(60000))
        return -1;
    if (output)
        *output = p.readAll();
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

} // namespace

class TestStatusEndpoint : public QObject
{
    Q_OBJECT

    GatewayInstance m_in{"Stat"};
    QTemporaryDir &m_dir = m_in.dir;
    QString m_home = m_in.home;
    PlcSimProcess m_plc;
    QTcpServer m_printer;
    quint16 m_port = freePort();
    QString m_promtool = QStandardPaths::findExecutable(u"promtool"_s);

    void writeOptions(quint16 port)
    {
        QVERIFY(m_in.writeOptions("[status]\nport = " + QByteArray::number(port) + "\n"));
    }
    QJsonObject status() { return QJsonDocument::fromJson(http(m_port, "/status").body).object(); }
    QString eventLog() const
    {
        QFile f(m_dir.filePath(u"events.log"_s));
        return f.open(QIODevice::ReadOnly) ? QString::fromLatin1(f.readAll()) : QString();
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
        QVERIFY(m_in.writeConfig());
        writeOptions(m_port);
        m_in.start();
        QTRY_VERIFY_WITH_TIMEOUT(status().value(u"peer"_s).toObject().value(u"connected"_s).toBool() &&
                                     status().value(u"plc"_s).toObject().value(u"up"_s).toBool(),
                                 10000);
    }

    void cleanupTestCase() { QVERIFY(m_in.stop()); }

    // One entry says what the instance does.
    void theEventLogSaysWhatAStartDoes()
    {
        const QString start =
            u"Start Kavetta 1.0.0: module Stat; PLC link to the PLC runtime at 127.0.0.1:%1; TCP "
            "client to 127.0.0.1:%2, static connection; log folder %3; status endpoint "
            "http://127.0.0.1:%4/"_s.arg(m_plc.port())
                .arg(m_printer.serverPort())
                .arg(m_home)
                .arg(m_port);
        QVERIFY2(eventLog().contains(start), qPrintable(eventLog()));
    }

    void metricsFollowARequest()
    {
        const QByteArray before = http(m_port, "/metrics").body;
        // As the PLC: the printer of this test answers meanwhile, so the event loop runs.
        QProcess plc;
        plc.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        plc.start(PlcSimProcess::program(),
                  {u"request"_s, u"--port"_s, m_plc.portText(), u"--module"_s, u"Stat"_s, u"--data"_s,
                   u"Grüße 1"_s, u"--timeout-ms"_s, u"8000"_s});
        QTRY_COMPARE_WITH_TIMEOUT(plc.state(), QProcess::NotRunning, 10000);
        QCOMPARE(plc.exitCode(), 0);
        const Reply after = http(m_port, "/metrics");
        QCOMPARE(after.status, 200);

        const auto m0 = samples(before), m1 = samples(after.body);
        for (const char *name : {"kavetta_requests_taken_total", "kavetta_requests_sent_total",
                                 "kavetta_requests_answered_total", "kavetta_answer_handover_seconds_count",
                                 "kavetta_request_round_trip_seconds_count"}) {
            const QString key = QLatin1String(name) + u"{module=\"Stat\"}"_s;
            QVERIFY2(m1.contains(key), qPrintable(key));
            QCOMPARE(m1.value(key), m0.value(key) + 1);
        }
        QCOMPARE(m1.value(u"kavetta_plc_link_up{module=\"Stat\"}"_s), 1.0);
        QCOMPARE(m1.value(u"kavetta_peer_connected{module=\"Stat\"}"_s), 1.0);
        QCOMPARE(m1.value(u"kavetta_items_dropped_total{module=\"Stat\",reason=\"reset_on_error\"}"_s), 0.0);
        QVERIFY(m1.value(u"kavetta_log_folder_free_bytes{module=\"Stat\"}"_s) > 0);

        if (m_promtool.isEmpty())
            QSKIP("promtool (Debian package prometheus) is not installed: the metrics format is not checked");
        QByteArray lint;
        QVERIFY2(run(m_promtool, {u"check"_s, u"metrics"_s}, after.body, &lint) == 0, lint.constData());
    }

    void statusShowsTheScenario()
    {
        // The request leaves the queue with the supervision tick after its send.
        QTRY_COMPARE_WITH_TIMEOUT(status().value(u"pending"_s).toInt(), 0, 2000);
        const QJsonObject st = status();
        QCOMPARE(st.value(u"module"_s).toString(), u"Stat"_s);
        const QJsonObject plc = st.value(u"plc"_s).toObject();
        QCOMPARE(plc.value(u"kind"_s).toString(), u"runtime"_s);
        QCOMPARE(plc.value(u"target"_s).toString(), u"127.0.0.1:"_s + m_plc.portText());
        const QJsonObject peer = st.value(u"peer"_s).toObject();
        QCOMPARE(peer.value(u"target"_s).toString(),
                 u"127.0.0.1:"_s + QString::number(m_printer.serverPort()));
        QCOMPARE(peer.value(u"socketStateText"_s).toString(), u"Port Connected"_s);
        QCOMPARE(peer.value(u"role"_s).toString() + u' ' + peer.value(u"connection"_s).toString(),
                 u"client static"_s);
        QVERIFY(st.value(u"lastError"_s)
                    .toString()
                    .endsWith(u" msec) OK 7"_s)); // "Grüße 1": 7 bytes in Windows-1252
        QVERIFY(st.value(u"counters"_s).toObject().value(u"answered"_s).toInt() >= 1);
        // The communication log's records, from Windows-1252.
        const QJsonArray log = st.value(u"log"_s).toArray();
        QVERIFY(!log.isEmpty() && log.size() <= 50);
        const bool sent = std::any_of(log.begin(), log.end(), [](const QJsonValue &v) {
            return v.toString().endsWith(u"Send Data:Grüße 1"_s);
        });
        QVERIFY2(sent, QJsonDocument(log).toJson().constData());
    }

    // The page as a browser shows it, after its script has run.
    void thePageShowsTheStateInABrowser()
    {
        const QString chromium = QStandardPaths::findExecutable(u"chromium"_s);
        if (chromium.isEmpty())
            QSKIP(
                "chromium (Debian package chromium) is not installed: the page is not checked in a browser");
        QStringList flags =
            u"--headless --no-sandbox --disable-gpu --disable-quic --no-first-run "
            u"--disable-background-networking "
            "--disable-component-update --disable-sync --virtual-time-budget=5000 --user-data-dir="_s.split(
                u' ');
        flags.last() += m_dir.filePath(u"browser"_s);
        const QString url = u"http://127.0.0.1:%1/"_s.arg(m_port);
        QByteArray dom;
        QCOMPARE(run(chromium, flags + QStringList{u"--dump-dom"_s, url}, {}, &dom), 0);
        const QString text = QString::fromUtf8(dom);
        for (const QString &shown :
             {u"id=\"module\">Stat<"_s, u"id=\"plc\">connected<"_s, u"id=\"peer\">Port Connected<"_s,
              u"id=\"pending\">0<"_s, u"id=\"health\" class=\"ok\">OK<"_s, u"Send Data:Grüße 1"_s})
            QVERIFY2(text.contains(shown), qPrintable(shown + u" not in\n"_s + text));
    }

    // Read-only, and it follows the options file when the configuration is loaded again.
    void readOnlyAndFollowsAReload()
    {
        QCOMPARE(http(m_port, "/status", "POST").status == 200, false);
        QCOMPARE(http(m_port, "/nothing").status, 404);

        const quint16 moved = freePort();
        writeOptions(moved);
        m_in.signal(SIGHUP);
        QTRY_COMPARE_WITH_TIMEOUT(http(moved, "/status").status, 200, 5000);
        QCOMPARE(http(m_port, "/status").status, 0); // nobody listens there any more
        m_port = moved;
    }

    // The dashboard and the alert rules shipped in docs/ ask for metrics the program serves, and
    // promtool takes the rules and the scrape configuration.
    void monitoringFilesFitTheMetrics()
    {
        const QString docs = QStringLiteral(KAVETTA_SOURCE_DIR "/docs/monitoring/");
        const QByteArray metrics = http(m_port, "/metrics").body;
        QStringList served;
        static const QRegularExpression type(u"^# TYPE (\\S+) "_s, QRegularExpression::MultilineOption);
        for (auto it = type.globalMatch(QString::fromUtf8(metrics)); it.hasNext();)
            served << it.next().captured(1);

        QFile dashboardFile(docs + u"grafana-dashboard.json"_s);
        QVERIFY(dashboardFile.open(QIODevice::ReadOnly));
        QJsonParseError error;
        const QJsonDocument dashboard = QJsonDocument::fromJson(dashboardFile.readAll(), &error);
        QVERIFY2(!dashboard.isNull(), qPrintable(error.errorString()));
        QString queries;
        for (const QJsonValue &panel : dashboard.object().value(u"panels"_s).toArray())
            for (const QJsonValue &target : panel.toObject().value(u"targets"_s).toArray())
                queries += target.toObject().value(u"expr"_s).toString() + u'\n';
        QFile rules(docs + u"kavetta-rules.yml"_s);
        QVERIFY(rules.open(QIODevice::ReadOnly));
        queries += QString::fromUtf8(rules.readAll());

        static const QRegularExpression name(u"kavetta_[a-z_]+"_s);
        int used = 0;
        for (auto it = name.globalMatch(queries); it.hasNext(); ++used) {
            QString metric = it.next().captured();
            metric.remove(QRegularExpression(u"_(bucket|sum|count)$"_s));
            QVERIFY2(served.contains(metric), qPrintable(metric + u" is not served"_s));
        }
        QVERIFY(used > 10);

        if (m_promtool.isEmpty())
            QSKIP("promtool (Debian package prometheus) is not installed: rules and configuration are not "
                  "checked");
        QByteArray out;
        QVERIFY2(run(m_promtool, {u"check"_s, u"rules"_s, docs + u"kavetta-rules.yml"_s}, {}, &out) == 0,
                 out.constData());
        QVERIFY2(run(m_promtool, {u"check"_s, u"config"_s, docs + u"prometheus.yml"_s}, {}, &out) == 0,
                 out.constData());
        QVERIFY2(run(m_promtool,
                     {u"test"_s, u"rules"_s,
                      QStringLiteral(KAVETTA_SOURCE_DIR "/tests/status/kavetta-rules.test.yml")},
                     {}, &out) == 0,
                 out.constData());
    }
};

QTEST_MAIN(TestStatusEndpoint)
#include "TestStatusEndpoint.moc"
