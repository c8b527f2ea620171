// The instance options file: every key read, bad lines named with their line and left at their
// default, and the peer networks matched as the server role will use them.
#include "config/InstanceOptions.h"

#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

class TestInstanceOptions : public QObject
{
    Q_OBJECT

private slots:
    void everyKeyIsRead()
    {
        const QByteArray ini = "; recommended for new lines\r\n"
                               "[Safety]\r\n"
                               "reportPeerFailures = true     ; option 1\r\n"
                               "answerTimeoutSec   = 15\r\n"
                               "answerFraming      = Terminator\r\n"
                               "answerTerminator   = \\r\\n\\x03END\r\n"
                               "answerMaxBytes     = 4096\r\n"
                               "droplateanswers    = yes\r\n"
                               "requirePrintData   = on\r\n"
                               "allowedPeers       = 10.1.2.0/24, ::1 ,192.168.7.9\r\n"
                               "maxQueuedItems     = 100\r\n"
                               "[journal]\r\n"
                               "enabled = 1\r\n"
                               "replayMaxAgeSec = 300\r\n"
                               "[status]\r\n"
                               "port = 9411\r\n"
                               "address = \"0.0.0.0\"  # every interface\r\n";
        const InstanceOptions o = InstanceOptions::parse(ini, u"Line1.ini"_s);
        QVERIFY2(o.problems.isEmpty(), qPrintable(o.problems.value(0).text()));
        QVERIFY(o.safety.reportPeerFailures && o.safety.dropLateAnswers && o.safety.requirePrintData);
        QCOMPARE(o.safety.answerTimeoutSec, 15);
        QCOMPARE(o.safety.answerFraming, AnswerFraming::Terminator);
        QCOMPARE(o.safety.answerTerminator, QByteArray("\r\n\x03"
                                                       "END"));
        QCOMPARE(o.safety.answerMaxBytes, 4096);
        QCOMPARE(o.safety.maxQueuedItems, 100);
        QCOMPARE(o.safety.allowedPeers.size(), 3);
        QVERIFY(o.journal.enabled);
        QCOMPARE(o.journal.replayMaxAgeSec, 300);
        QCOMPARE(o.status.port, quint16(9411));
        QCOMPARE(o.status.address, QHostAddress(QHostAddress::AnyIPv4));

        QVERIFY(o.safety.peerAllowed(QHostAddress(u"10.1.2.200"_s)));
        QVERIFY(o.safety.peerAllowed(QHostAddress(u"::ffff:10.1.2.7"_s))); // IPv4 on a dual-stack socket
        QVERIFY(o.safety.peerAllowed(QHostAddress(u"::1"_s)));
        QVERIFY(!o.safety.peerAllowed(QHostAddress(u"10.1.3.1"_s)));
        QVERIFY(!o.safety.peerAllowed(QHostAddress(u"192.168.7.10"_s)));
    }

    // Each bad line is named with its line and a reason; its option keeps the default.
    void badLinesAreNamedAndKeepTheDefault_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<int>("line");
        QTest::addColumn<QString>("reason");
        QTest::newRow("misspelled key")
            << QByteArray("[safety]\nreportPeerFailure = true\n") << 2
            << u"unknown key reportPeerFailure in [safety] (did you mean reportPeerFailures?)"_s;
        QTest::newRow("key of another group")
            << QByteArray("[safety]\nport = 9400\n") << 2 << u"(port belongs to another group)"_s;
        QTest::newRow("misspelled group") << QByteArray("[safty]\nreportPeerFailures = true\n") << 1
                                          << u"unknown group [safty] (did you mean [safety]?)"_s;
        QTest::newRow("before any group") << QByteArray("port = 9400\n") << 1 << u"stands before any group"_s;
        QTest::newRow("not a boolean") << QByteArray("[safety]\n\ndropLateAnswers = maybe\n") << 3
                                       << u"dropLateAnswers = maybe is not true or false"_s;
        QTest::newRow("negative time-out") << QByteArray("[safety]\nanswerTimeoutSec = -1\n") << 2
                                           << u"is not a whole number from 0 to 86400"_s;
        QTest::newRow("unknown framing") << QByteArray("[safety]\nanswerFraming = packet\n") << 2
                                         << u"is not chunk, line, terminator or length"_s;
        QTest::newRow("terminator missing")
            << QByteArray("[safety]\nanswerFraming = terminator\n") << 2 << u"needs an answerTerminator"_s;
        QTest::newRow("bad escape") << QByteArray("[safety]\nanswerTerminator = \\q\n") << 2
                                    << u"unknown escape \\q"_s;
        QTest::newRow("bad network") << QByteArray("[safety]\nallowedPeers = 10.0.0.0/8, 10.0.0.0/33\n") << 2
                                     << u"\"10.0.0.0/33\", which is no IPv4 or IPv6 address"_s;
        QTest::newRow("port out of range") << QByteArray("[status]\nport = 70000\n") << 2
                                           << u"port = 70000 is not a whole number from 1 to 65535"_s;
        QTest::newRow("host name") << QByteArray("[status]\naddress = localhost\n") << 2
                                   << u"is no IPv4 or IPv6 address"_s;
        QTest::newRow("set twice") << QByteArray("[journal]\nenabled = true\nenabled = false\n") << 3
                                   << u"enabled is set again (first in line 2)"_s;
    }

    void badLinesAreNamedAndKeepTheDefault()
    {
        QFETCH(QByteArray, ini);
        QFETCH(int, line);
        QFETCH(QString, reason);
        const InstanceOptions o = InstanceOptions::parse(ini, u"/etc/kavetta/Line1.ini"_s);
        QCOMPARE(o.problems.size(), 1);
        QCOMPARE(o.problems[0].line, line);
        QVERIFY2(o.problems[0].reason.contains(reason), qPrintable(o.problems[0].reason));
        QVERIFY(o.problems[0].text().startsWith(u"/etc/kavetta/Line1.ini, line "_s));
        const InstanceOptions defaults;
        QCOMPARE(o.safety.reportPeerFailures, defaults.safety.reportPeerFailures);
        QCOMPARE(o.safety.dropLateAnswers, defaults.safety.dropLateAnswers);
        QCOMPARE(o.safety.answerTimeoutSec, 0);
        QCOMPARE(o.safety.answerFraming, AnswerFraming::Chunk);
        QVERIFY(o.safety.allowedPeers.isEmpty());
        QCOMPARE(o.status.port, quint16(0));
        QCOMPARE(o.status.address, QHostAddress(QHostAddress::LocalHost));
    }

    void theFileBesideTheConfiguration()
    {
        QTemporaryDir dir;
        const QString config = dir.filePath(u"Line1.zelb"_s);
        QCOMPARE(InstanceOptions::fileFor(config), dir.filePath(u"Line1.ini"_s));
        const InstanceOptions missing = InstanceOptions::load(config);
        QVERIFY(missing.problems.isEmpty());
        QVERIFY(!missing.status.enabled());

        QFile file(dir.filePath(u"Line1.ini"_s));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("[status]\nport = 9400\n") > 0);
        file.close();
        QCOMPARE(InstanceOptions::load(config).status.port, quint16(9400));
    }
};

QTEST_MAIN(TestInstanceOptions)
#include "TestInstanceOptions.moc"
