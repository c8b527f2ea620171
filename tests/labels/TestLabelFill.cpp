// The one-pass label fill against the sequential fill it replaced: the same text, the same
// symbols reported as not found, the same rejections, for random templates and print data made
// of the pieces where the two could part ways.
#include "SequentialLabelFill.h"

#include "labels/PlaceholderText.h"

#include <QRandomGenerator>
#include <QTest>

namespace
{

const QString HighSurrogate(QChar(0xD801)), LowSurrogate(QChar(0xDC00));

const QStringList TemplatePieces = {
    "#",   "#",         "a",         "A",          "b",          "B",           "ab",         "x",   "<t>",
    "ä",   "Ä",         "ß",         "\U00010400", "\U00010428", HighSurrogate, LowSurrogate, "#a#", "#A#",
    "#b#", "#version#", "#VERSION#", "##",         "#a#b#",      " ",           "\r"};
const QStringList Symbols = {"a",          "A",           "b",          "B",   "",   "ab",
                             "version",    "a#b",         "#",          "x",   "ä",  "Ä",
                             "\U00010400", HighSurrogate, LowSurrogate, "a\r", "#a", "x b"};
const QStringList ValuePieces = {"1",          "#",           "#",          "a",        "b", "B", "#a#",
                                 "#b#",        "A#",          "#B",         "\r",       "x", "=", "ä",
                                 "\U00010428", HighSurrogate, LowSurrogate, "version#", " "};

QString pick(QRandomGenerator &r, const QStringList &from, int most)
{
    QString s;
    for (int n = r.bounded(most + 1); n > 0; --n)
        s += from.at(r.bounded(from.size()));
    return s;
}

QString printData(QRandomGenerator &r)
{
    // Now and then an empty line, a line without "=" or one without a value.
    QStringList lines;
    for (int n = r.bounded(7); n > 0; --n) {
        const int kind = r.bounded(40);
        lines << (kind < 2 ? pick(r, Symbols, kind)
                           : Symbols.at(r.bounded(Symbols.size())) + "=" +
                                 pick(r, ValuePieces, kind == 2 ? 0 : 3));
    }
    return lines.join('\n') + (r.bounded(30) == 0 ? "\n" : "");
}

} // namespace

class TestLabelFill : public QObject
{
    Q_OBJECT

    static void compare(const QString &xml, const QString &version, const QString &data)
    {
        // Readable in a failure message: line ends and UTF-16 units beyond ASCII as escapes.
        const auto shown = [](const QString &s) {
            QString out;
            for (const QChar c : s)
                out += c.unicode() - 0x20u < 0x5Fu ? QString(c) : QString::asprintf("\\u%04x", c.unicode());
            return out;
        };
        const auto result = [&](const FilledLabel &f) {
            return (f.rejected ? "rejected " : "") + shown(f.text) + " not found " +
                   shown(f.notFound.join('|'));
        };
        const FilledLabel expected = *sequential::fillLabel(xml, version, data);
        const FilledLabel got = fillLabel(PlaceholderText(xml), version, data);
        QVERIFY2(got.rejected == expected.rejected && got.text == expected.text &&
                     got.notFound == expected.notFound,
                 qPrintable("template " + shown(xml) + " version " + shown(version) + " print data " +
                            shown(data) + "\ngot      " + result(got) + "\nexpected " + result(expected)));
    }

private slots:
    void fillsAsTheSequentialFillDid()
    {
        // template, version, print data
        const QStringList corners[] = {
            {"<l>#A#|#B#</l>", "1", "A=#b#\nB=2"}, // a value holding a later placeholder
            {"#P#A#Q#", "", "A=v\nPvQ=joined"},    // a value joining the text around it
            {"# #", "x", "k=1\nX\n= 2"},           // rejected after a missing symbol
            {"#\U00010400#", "", "\U00010428=1"},  // a folded surrogate pair
        };
        for (const QStringList &c : corners)
            compare(c[0], c[1], c[2]);

        QRandomGenerator r(22);
        for (int i = 0; i < 30000 && !QTest::currentTestFailed(); ++i)
            compare(pick(r, TemplatePieces, 12), pick(r, ValuePieces, 2), printData(r));

        // The sizes of real labels, where the bookkeeping of many gaps and pieces could go wrong.
        for (int round = 0; round < 20 && !QTest::currentTestFailed(); ++round) {
            QString xml, data;
            for (int i = 0; i < 400; ++i)
                xml += QStringLiteral("<t x=\"%1\">#S%2#</t>").arg(i).arg(r.bounded(300)) +
                       (r.bounded(20) == 0 ? pick(r, TemplatePieces, 3) : QString());
            for (int i = 0; i < 300; ++i)
                data += QStringLiteral("\ns%1=%2%3").arg(r.bounded(320)).arg(i).arg(pick(r, ValuePieces, 1));
            compare(xml, "2.1", data.mid(1));
        }
    }
};

QTEST_GUILESS_MAIN(TestLabelFill)
#include "TestLabelFill.moc"
