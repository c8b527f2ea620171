// What the status surfaces make of one view of an instance, without a running program: the JSON
// and the metrics of the status endpoint, the server manager's map and the start summary, for a
// client with a Modbus link and for the server role; and the tail of the communication log.
#include "common/InstanceView.h"
#include "status/StatusReport.h"
#include "status/StatusServer.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

class TestStatusReport : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    InstanceView clientView() const
    {
        InstanceView v;
        v.version = u"1.2.3"_s;
        v.module = u"Line1"_s;
        v.staticConnection = true;
        v.remoteHost = u"10.0.0.9"_s;
        v.socketPort = u"9100"_s;
        v.socketState = 7;
        v.socketStateText = u"Connected"_s;
        v.peerConnected = true;
        v.plc = {true, u"modbus"_s, u"10.0.0.5:502"_s, u"connected"_s, true, u"/srv/Line1.modbus"_s, {}};
        v.pending = 2;
        v.receiveQueue = 1;
        v.counters.requestFailed(LineCounters::Failure::Timeout);
        v.logFile = m_dir.filePath(u"Socketcomm-Line1-.dat"_s);
        v.logFreeBytes = 12345;
        v.statusPort = 8080;
        v.statusAddress = QHostAddress(u"::1"_s);
        return v;
    }

private slots:
    void surfacesFollowTheView()
    {
        InstanceView client = clientView();
        client.counters.answerHandedOver(0, 3);   // 3 ms
        client.counters.answerHandedOver(0, 700); // 0.7 s
        const QJsonObject json = statusJson(client);
        QCOMPARE(json[u"pending"].toInt(), 2);
        QCOMPARE(json[u"receiveQueue"].toInt(), 1);
        QCOMPARE(json[u"peer"][u"target"].toString(), u"10.0.0.9:9100"_s);
        QCOMPARE(json[u"peer"][u"connection"].toString(), u"static"_s);
        QCOMPARE(json[u"plc"][u"state"].toString(), u"connected"_s);
        QCOMPARE(json[u"counters"][u"failed"]
                     [QLatin1String(LineCounters::failureName(LineCounters::Failure::Timeout))]
                         .toInt(),
                 1);
        QCOMPARE(json[u"logFreeBytes"].toInteger(), 12345);
        QVERIFY(json[u"configurationOnDiskInUse"].toBool());
        // The error label holds the last status line, whatever it says.
        QVERIFY(json[u"lastErrorLevel"].toString().isEmpty());
        InstanceView lines = client;
        for (const auto &[line, level] :
             {std::pair{u"07.12.26 10:00:01 SocketData received: (458 msec) OK 310"_s, u"information"_s},
              {u"7 Dec 2026 10:00:01 Winsock Error  Winsock1\r\nConnection refused"_s, u"error"_s},
              {u"7 Dec 2026 10:00:01 Create VarHandle: Line1.SendData1801"_s, u"error"_s}}) {
            lines.lastError = line;
            QCOMPARE(statusJson(lines)[u"lastErrorLevel"].toString(), level);
        }

        const QByteArray metrics = metricsText(client);
        // The first line is one text over two lines.
        for (const char *line :
             // NOLINTNEXTLINE(bugprone-suspicious-missing-comma)
             {"kavetta_info{module=\"Line1\",version=\"1.2.3\",role=\"client\",connection=\"static\","
              "plc_link=\"modbus\"} 1\n",
              "kavetta_send_queue_length{module=\"Line1\"} 2\n",
              "kavetta_receive_queue_length{module=\"Line1\"} 1\n",
              "kavetta_plc_link_up{module=\"Line1\"} 1\n",
              "kavetta_log_folder_free_bytes{module=\"Line1\"} 12345\n"})
            QVERIFY2(metrics.contains(line), line);
        // The buckets of a histogram count every observation up to their bound.
        for (const char *bucket : {"le=\"0.0025\"} 0\n", "le=\"0.005\"} 1\n", "le=\"0.5\"} 1\n",
                                   "le=\"1\"} 2\n", "le=\"10\"} 2\n", "le=\"+Inf\"} 2\n"})
            QVERIFY2(metrics.contains(
                         QByteArray("kavetta_request_round_trip_seconds_bucket{module=\"Line1\",") + bucket),
                     bucket);
        QVERIFY(metrics.contains("kavetta_request_round_trip_seconds_count{module=\"Line1\"} 2\n"));

        // The page starts from the state written into its script: a text of the line that holds
        // "</script>" must not end that script early.
        InstanceView odd = client;
        odd.lastComm = u"Send Data:</script><script>alert(1)</script>"_s;
        const QByteArray page =
            StatusServer::page(QJsonDocument(statusJson(odd)).toJson(QJsonDocument::Compact));
        QCOMPARE(page.count("</script>"), 1);
        QVERIFY(page.contains("Send Data:<\\/script><script>alert(1)<\\/script>"));

        const QVariantMap manager = managerStatus(client);
        QCOMPARE(manager[u"plc"_s].toString(), u"connected (10.0.0.5:502)"_s);
        QCOMPARE(manager[u"peer"_s].toString(), u"Connected (10.0.0.9:9100)"_s);
        QCOMPARE(manager[u"pending"_s].toInt(), 2);
        QCOMPARE(startSummary(client),
                 u"Start Kavetta 1.2.3: module Line1; PLC link Modbus/TCP to 10.0.0.5:502 (map "
                 "/srv/Line1.modbus); TCP client to 10.0.0.9:9100, static connection; log folder %1; "
                 "status endpoint http://[::1]:8080/"_s.arg(m_dir.path()));

        // The server role: no PLC link, no status endpoint, no reading of the free space.
        InstanceView server = client;
        server.module.clear();
        server.server = true;
        server.staticConnection = false;
        server.plc = {};
        server.logFreeBytes.reset();
        server.statusPort = 0;
        // A reload refused the files on disk: the instance runs on what it loaded before.
        server.reloadsRefused = 2;
        server.refusedReload = u"/srv/Kavetta.zelb:8: unknown record"_s;
        const QJsonObject serverJson = statusJson(server);
        QVERIFY(!serverJson[u"configurationOnDiskInUse"].toBool());
        QCOMPARE(serverJson[u"refusedReload"].toString(), server.refusedReload);
        QCOMPARE(serverJson[u"plc"][u"state"].toString(), u"not used (server role)"_s);
        QCOMPARE(serverJson[u"peer"][u"target"].toString(), u"port 9100"_s);
        QVERIFY(serverJson[u"logFreeBytes"].isNull());
        const QByteArray serverMetrics = metricsText(server);
        QVERIFY(serverMetrics.contains("connection=\"per_request\",plc_link=\"none\"} 1\n"));
        QVERIFY(serverMetrics.contains("kavetta_config_reloads_refused_total{module=\"\"} 2\n") &&
                serverMetrics.contains("kavetta_config_on_disk_in_use{module=\"\"} 0\n"));
        QVERIFY(metrics.contains("kavetta_config_on_disk_in_use{module=\"Line1\"} 1\n"));
        QVERIFY(!serverMetrics.contains("kavetta_plc_link_up") &&
                !serverMetrics.contains("kavetta_log_folder_free_bytes"));
        QCOMPARE(managerStatus(server)[u"plc"_s].toString(), u"not used"_s);
        QCOMPARE(startSummary(server),
                 u"Start Kavetta 1.2.3: module (none); TCP server on port 9100 (the PLC "
                 "link is not used); log folder %1; no status endpoint"_s.arg(m_dir.path()));
    }

    // Records end in CR, CR LF and may hold a line break of their own; a large file is read from
    // its end, where the first piece is the rest of a record and is left out.
    void logTailReadsWholeRecords()
    {
        const QString file = m_dir.filePath(u"tail.dat"_s);
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(qsizetype(300) * 1024, 'x') + "\r\r\n");
        f.write("first\r\r\nsecond\nline\r\r\nGr\xFC\xDF"
                "e\r\r\n");
        f.close();
        QCOMPARE(logTail(file, 2), (QStringList{u"second\nline"_s, u"Grüße"_s}));
        QCOMPARE(logTail(file, 50), (QStringList{u"first"_s, u"second\nline"_s, u"Grüße"_s}));
        QVERIFY(logTail(file, 0).isEmpty() && logTail(m_dir.filePath(u"none"_s), 5).isEmpty());
    }
};

QTEST_MAIN(TestStatusReport)
#include "TestStatusReport.moc"
