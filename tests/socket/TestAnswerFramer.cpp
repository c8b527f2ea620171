// The framer's corner cases: pieces cut anywhere, several answers in one piece, answers beyond
// the bound, a header that is no header, and what an ended connection leaves.
#include "socket/AnswerFramer.h"

#include <QTest>

Q_DECLARE_METATYPE(AnswerFraming)

class TestAnswerFramer : public QObject
{
    Q_OBJECT

private slots:
    void framing_data()
    {
        QTest::addColumn<AnswerFraming>("framing");
        QTest::addColumn<QString>("terminator");
        QTest::addColumn<QStringList>("pieces");
        QTest::addColumn<QStringList>("answers");
        QTest::addColumn<QString>("problems"); // "T<bytes>" too large, "H<bytes>" bad header
        QTest::addColumn<int>("leftAtEnd");    // bytes of an incomplete answer when the connection ends

        const auto L = AnswerFraming::Line, T = AnswerFraming::Terminator, N = AnswerFraming::Length;
        QTest::newRow("line in pieces, CR LF")
            << L << "" << QStringList{"O", "K 1\r", "\n"} << QStringList{"OK 1"} << "" << 0;
        QTest::newRow("two lines in one piece, blank line between")
            << L << "" << QStringList{"A\n\r\nB\nC"} << QStringList{"A", "B"} << "" << 1;
        QTest::newRow("line beyond the bound, the next one whole")
            << L << "" << QStringList{"0123456789", "012\nok\n"} << QStringList{"ok"} << "T10" << 0;
        QTest::newRow("line exactly at the bound")
            << L << "" << QStringList{"01234567\n"} << QStringList{"01234567"} << "" << 0;
        QTest::newRow("terminator split across pieces")
            << T << "\x03\r" << QStringList{"one\x03", "\rtwo\x03", "\r"} << QStringList{"one", "two"} << ""
            << 0;
        QTest::newRow("length: header and body in pieces, CR LF header")
            << N << "" << QStringList{"Content-Len", "gth: 5\r\n\r\nhel", "lo"} << QStringList{"hello"} << ""
            << 0;
        QTest::newRow("length: two frames in one piece, body with line feeds")
            << N << "" << QStringList{"Content-Length: 3\n\na\nbContent-Length: 1\n\nc"}
            << QStringList{"a\nb", "c"} << "" << 0;
        QTest::newRow("length: body beyond the bound is skipped, the next frame kept")
            << N << "" << QStringList{"Content-Length: 12\n\n0123", "45678901Content-Length: 2\n\nok"}
            << QStringList{"ok"} << "T12" << 0;
        QTest::newRow("length: no Content-Length line")
            << N << "" << QStringList{"X-Other: 1\n\nbody"} << QStringList{} << "H12" << 4;
        QTest::newRow("length: cut in the body")
            << N << "" << QStringList{"Content-Length: 9\n\nabc"} << QStringList{} << "" << 22;
    }

    void framing()
    {
        QFETCH(AnswerFraming, framing);
        QFETCH(QString, terminator);
        QFETCH(QStringList, pieces);
        QFETCH(QStringList, answers);
        QFETCH(QString, problems);
        QFETCH(int, leftAtEnd);

        AnswerFramer framer(framing, terminator, 8 + (framing == AnswerFraming::Length ? 2 : 0));
        QStringList got;
        QString said;
        for (const QString &piece : pieces) {
            const AnswerFramer::Result r = framer.feed(piece);
            got += r.answers;
            for (const auto &p : r.problems)
                said += (p.kind == AnswerFramer::Problem::TooLarge ? "T" : "H") + QString::number(p.bytes);
        }
        QCOMPARE(got, answers);
        QCOMPARE(said, problems);
        QCOMPARE(framer.end(), qint64(leftAtEnd));
        QCOMPARE(framer.end(), qint64(0)); // emptied for the next connection
    }
};

QTEST_GUILESS_MAIN(TestAnswerFramer)
#include "TestAnswerFramer.moc"
