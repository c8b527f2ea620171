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

    // After a bad frame the framer says whether it still knows where the next answer begins,
    // and where among the answers of the same piece the bad one stood.
    void stepAfterABadFrame()
    {
        const auto N = AnswerFraming::Length;
        AnswerFramer honest(N, {}, 10);
        // An oversized length whose bytes all came: in step again.
        QVERIFY(honest.feed("Content-Length: 1\n\naContent-Length: 12\n\n012345678901").answers ==
                QStringList{"a"});
        QVERIFY(!honest.outOfStep() && !honest.inAnswer());
        // One whose bytes have not come (yet): they may never.
        AnswerFramer skipping(N, {}, 10);
        const AnswerFramer::Result r = skipping.feed("Content-Length: 1\n\naContent-Length: 99\n\n0");
        QCOMPARE(r.problems.size(), 1);
        QCOMPARE(r.problems.first().answersBefore, 1);
        QVERIFY(skipping.outOfStep() && skipping.inAnswer());
        // A length that is no number: its body would be read as the next header.
        AnswerFramer unreadable(N, {}, 10);
        QCOMPARE(unreadable.feed("Content-Length: -1\n\n").problems.size(), 1);
        QVERIFY(unreadable.outOfStep());
        unreadable.end();
        QVERIFY(!unreadable.outOfStep());
        // A body within the bound still coming: in an answer, in step.
        AnswerFramer body(N, {}, 10);
        body.feed("Content-Length: 5\n\nab");
        QVERIFY(body.inAnswer() && !body.outOfStep());
        // A line beyond the bound without its end: out of step until the end comes.
        AnswerFramer line(AnswerFraming::Line, {}, 4);
        QCOMPARE(line.feed("okay\n12345").answers, QStringList{"okay"});
        QVERIFY(line.outOfStep());
        line.feed("6\n");
        QVERIFY(!line.outOfStep() && !line.inAnswer());
    }
};

QTEST_GUILESS_MAIN(TestAnswerFramer)
#include "TestAnswerFramer.moc"
