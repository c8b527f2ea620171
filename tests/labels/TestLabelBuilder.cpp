#include "FakeSocketEndpoint.h"
#include "RecordingLog.h"
#include "TestClock.h"

#include "common/GatewayState.h"
#include "common/StatusLine.h"
#include "labels/LabelBuilder.h"
#include "labels/PrintDataLookup.h"
#include "socket/Utf8Wire.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

struct FakePrintData : PrintDataLookup {
    QString data;
    QStringList calls;
    QString getDruckData(const QString &los, qint16 teil) override
    {
        calls << los + QLatin1Char('/') + QString::number(teil);
        return data;
    }
};

class TestLabelBuilder : public QObject
{
    Q_OBJECT

    const TestClock m_clock;
    QTemporaryDir m_home;
    QString m_labels = m_home.path() + QStringLiteral("/Labels");
    GatewayState m_state;
    RecordingLog m_log;
    FakeSocketEndpoint m_socket;
    FakePrintData m_data;
    LabelBuilder m_builder{m_state, m_log, m_socket, m_data, m_home.path()};

    void write(const QString &name, const QByteArray &bytes)
    {
        QFile f(m_labels + QLatin1Char('/') + name);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(bytes);
    }
    static QString frame(const QString &text)
    {
        return QStringLiteral("Content-Length: %1\n\n").arg(text.size()) + text;
    }
    // The frame a request queued, or "1:" and the rejection in lblError.
    QString run(const QString &request, const QString &data = {})
    {
        m_data.data = data;
        m_state.sendQueue.clear();
        m_state.lblError.clear();
        const int rc =
            request.startsWith("/SetJob") ? m_builder.setJob(request) : m_builder.setLabelContent(request);
        return rc == 0 && m_state.sendQueue.size() == 1 ? m_state.sendQueue[0] : "1:" + m_state.lblError;
    }
    QString label(const QString &data) { return run(QStringLiteral("/SetLabel=1##L1#1"), data); }

private slots:
    void init()
    {
        QDir(m_labels).removeRecursively();
        QVERIFY(QDir().mkpath(m_labels));
        m_state.settings.sendUtf8 = false;
        m_state.settings.statusReport = 0;
        m_socket.current = SocketEndpoint::Connected;
        m_log.records.clear();
    }

    void readsRequestsAndJobs()
    {
        write("defaultLabel.xml", "<a>#version#|#P#</a>");
        write("x.xml", "<x>#VERSION#</x>");
        for (const QString req : {"/SetLabel", "/SetLabel=1#a.xml#L1", "/SetJob=2.1"})
            QCOMPARE(run(req, "P=1"), "1:" + statusLine("Error Parsing Content :" + req));
        QCOMPARE(run("/SetLabel=2.1##L1#2=x#y", "P=1"), frame("<a>2.1|1</a>"));
        QCOMPARE(run("/SetLabel=v#x.xml#L4711#3.5#e#f#g#h#i#j", "P=1"), frame("<x>v</x>"));
        QCOMPARE(m_data.calls, QStringList({"L1/2", "L4711/4"}));
        // text=value
        for (const QString c : {"2.5=2", "1e3=1000", "-32768.5=-32768", "32767.5=0", "abc=0"})
            QCOMPARE(LabelBuilder::partNumber(c.section('=', 0, 0)), c.section('=', 1).toShort());

        // Jobs with the shipped example job template (the example label is printed end to end elsewhere).
        QVERIFY(QFile::copy(KAVETTA_SOURCE_DIR "/examples/Labels/defaultSetJob.xml",
                            m_labels + "/defaultSetJob.xml"));
        const QString job = run("/SetJob=2.1#Tj#B");
        QVERIFY2(job.contains("name=\"Tj\"") && job.contains("format=\"2.1\""), qPrintable(job));
    }

    void substitutesAndFramesThePrintData()
    {
        write("defaultLabel.xml", "<l a=\"#A#\">#b#|#C#|#a#</l>");
        QCOMPARE(label("A=1\r\nB=x=y\r"), frame("<l a=\"1\">x=y|#C#|1</l>"));
        // print data~reason
        for (const QString c :
             {"A=1\n\nB=2~(Empty)", "A=1\nB~(No = found)", "A=1\nB=~(No = found or no Value)"}) {
            const QString data = c.section('~', 0, 0);
            QCOMPARE(label(data),
                     "1:" + statusLine("Error Parsing Content " + c.section('~', 1) + " :" + data));
        }
        QCOMPARE(label("X=9\nA=1"), frame("<l a=\"1\">#b#|#C#|1</l>"));
        QCOMPARE(label(""), frame("<l a=\"A\">b|C|a</l>"));
        QCOMPARE(m_log.records, (QList<QPair<QString, bool>>{
                                    {statusLine("Error Parsing Content (Symbol not found) :X"), false},
                                    {statusLine("Error no print data found!"), false}}));

        // The length counts characters, or with UTF-8 on the bytes sent; status level 2 shows it all.
        write("defaultLabel.xml", "<a>#T#" + QByteArray(111, 'x') + "</a>");
        const QString doc = QStringLiteral("<a>äö") + QString(111, QLatin1Char('x')) + QStringLiteral("</a>");
        QCOMPARE(label("T=äö"), QStringLiteral("Content-Length: 120\n\n") + doc);
        m_state.settings.sendUtf8 = true;
        m_state.settings.statusReport = 2;
        QCOMPARE(label("T=äö"), QStringLiteral("Content-Length: 122\n\n") + encodeUTF8(doc));
        const QString raw = statusLine("RAW Data: Content-Length: 120\n\n" + doc + "/7");
        QVERIFY(m_state.lblError == raw && m_log.records.constLast() == qMakePair(raw, false));
    }

    void readsTemplatesWithinBounds()
    {
        QFile secret(m_home.path() + "/secret.xml");
        QVERIFY(secret.open(QIODevice::WriteOnly) && secret.write("<s>secret</s>") > 0);
        QVERIFY(QFile::link(secret.fileName(), m_labels + "/link.xml"));
        for (const QString name : {"missing.xml", "../secret.xml", "link.xml"})
            QCOMPARE(run("/SetLabel=1#" + name + "#L1#1"),
                     "1:" + statusLine("Template not found: " + m_labels + "/" + name + "\r\n"));
        write("bad.xml", "<a>\r\n<b>\r\n</a>\r\n");
        QCOMPARE(run("/SetLabel=1#bad.xml#L1#1"),
                 "1:" + statusLine("Opening and ending tag mismatch.\r\n</a>"));
        // Beyond the bounds (bytes, or markup that costs the parser most) a template is refused.
        write("dense.xml", "<a>" + QByteArray("<b/>").repeated(MaxTemplateMarkup) + "</a>");
        QCOMPARE(run("/SetLabel=1#dense.xml#L#1", "P=1"),
                 "1:" + statusLine("Template too large: " + m_labels +
                                   "/dense.xml (20002 markup elements, at most 20000)\r\n"));

        write("cp.xml", "<?xml version=\"1.0\" encoding=\"windows-1252\"?>\r\n<a>\xE4\x80 #P#</a>");
        QCOMPARE(run("/SetLabel=1#cp.xml#L#1", "P=1"), frame("<?xml version='1.0'?>\n<a>ä€ 1</a>"));
        write("cp.xml", "<b>#P#</b>"); // parsed texts are kept only while the file stays the same
        QCOMPARE(run("/SetLabel=1#cp.xml#L#1", "P=1"), frame("<b>1</b>"));
    }
};

QTEST_GUILESS_MAIN(TestLabelBuilder)
#include "TestLabelBuilder.moc"
