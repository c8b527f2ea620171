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
        QVERIFY(o.safety.reportPeerFailures && o.safety.dropLateAnswers && o.safety.requirePrintData &&
                o.journal.enabled);
        QCOMPARE((QList<int>{o.safety.answerTimeoutSec, o.safety.answerMaxBytes, o.safety.maxQueuedItems,
                             o.journal.replayMaxAgeSec, o.status.port}),
                 (QList<int>{15, 4096, 100, 300, 9411}));
        QVERIFY(o.safety.answerFraming == AnswerFraming::Terminator &&
                o.safety.answerTerminator == "\r\n\x03\x45ND");
        QCOMPARE(o.status.address, QHostAddress(QHostAddress::AnyIPv4));

        // An IPv4 peer also as seen on a dual-stack socket; the networks end where their prefix does.
        for (const char *allowed : {"::ffff:10.1.2.7", "10.1.2.255", "::1", "192.168.7.9"})
            QVERIFY2(o.safety.peerAllowed(QHostAddress(QString::fromLatin1(allowed))), allowed);
        QVERIFY(!o.safety.peerAllowed(QHostAddress(u"10.1.3.0"_s)) &&
                !o.safety.peerAllowed(QHostAddress(u"192.168.7.10"_s)));
    }

    // Each bad line is named with its line and a reason; its option keeps the default.
    void badLinesAreNamedAndKeepTheDefault()
    {
        // file ~ line ~ reason; the first row is one text over two lines.
        for (const char *row :
             // NOLINTNEXTLINE(bugprone-suspicious-missing-comma)
             {"[safety]\nreportPeerFailure = true~2~unknown key reportPeerFailure in [safety] (did you mean "
              "reportPeerFailures?)",
              "[safty]\nreportPeerFailures = true~1~unknown group [safty] (did you mean [safety]?)",
              "port = 9400~1~stands before any group",
              "[safety]\n\ndropLateAnswers = maybe~3~dropLateAnswers = maybe is not true or false",
              "[safety]\nanswerFraming = packet~2~is not chunk, line, terminator or length",
              "[status]\nport = 70000~2~port = 70000 is not a whole number from 1 to 65535",
              "[journal]\nenabled = true\nenabled = false~3~enabled is set again (first in line 2)"}) {
            const QStringList c = QString::fromLatin1(row).split(u'~');
            const InstanceOptions o =
                InstanceOptions::parse(c[0].toLatin1() + '\n', u"/etc/kavetta/Line1.ini"_s);
            QVERIFY2(o.problems.size() == 1 && o.problems[0].line == c[1].toInt() &&
                         o.problems[0].reason.contains(c[2]) &&
                         o.problems[0].text().startsWith(u"/etc/kavetta/Line1.ini, line "_s),
                     row);
            QVERIFY(!o.safety.reportPeerFailures && !o.safety.dropLateAnswers);
            QVERIFY(o.safety.answerFraming == AnswerFraming::Chunk && o.status.port == 0);
        }
    }

    void theFileBesideTheConfiguration()
    {
        QTemporaryDir dir;
        const QString config = dir.filePath(u"Line1.zelb"_s);
        QCOMPARE(InstanceOptions::fileFor(config), dir.filePath(u"Line1.ini"_s));
        const InstanceOptions missing = InstanceOptions::load(config);
        QVERIFY(missing.problems.isEmpty() && !missing.status.enabled());
    }
};

QTEST_MAIN(TestInstanceOptions)
#include "TestInstanceOptions.moc"
