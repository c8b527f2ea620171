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
        // file ~ line ~ reason
        for (const char *row :
             {"[safety]\nreportPeerFailure = true~2~unknown key reportPeerFailure in [safety] (did you mean "
              "reportPeerFailures?)",
              "[safety]\nport = 9400~2~(port belongs to another group)",
              "[safty]\nreportPeerFailures = true~1~unknown group [safty] (did you mean [safety]?)",
              "port = 9400~1~stands before any group",
              "[safety]\n\ndropLateAnswers = maybe~3~dropLateAnswers = maybe is not true or false",
              "[safety]\nanswerTimeoutSec = -1~2~is not a whole number from 0 to 86400",
              "[safety]\nanswerFraming = packet~2~is not chunk, line, terminator or length",
              "[safety]\nanswerFraming = terminator~2~needs an answerTerminator",
              "[safety]\nanswerTerminator = \\q~2~unknown escape \\q",
              "[safety]\nallowedPeers = 10.0.0.0/8, 10.0.0.0/33~2~\"10.0.0.0/33\", which is no IPv4 or IPv6 "
              "address",
              "[status]\nport = 70000~2~port = 70000 is not a whole number from 1 to 65535",
              "[status]\naddress = localhost~2~is no IPv4 or IPv6 address",
              "[journal]\nenabled = true\nenabled = false~3~enabled is set again (first in line 2)"}) {
            const QStringList c = QString::fromLatin1(row).split(u'~');
            QTest::newRow(qPrintable(c[2])) << (c[0] + u'\n').toLatin1() << c[1].toInt() << c[2];
        }
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
