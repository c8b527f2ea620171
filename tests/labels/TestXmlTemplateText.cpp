// The one-pass template writer against the document parser: for every template it takes on,
// exactly the parser's text, and it takes on the common templates. Random templates are made of
// the pieces where the two could part ways, now and then with a character dropped or doubled.
#include "DocumentTemplateText.h"

#include "labels/XmlTemplateText.h"

#include <QDir>
#include <QRandomGenerator>
#include <QTest>

namespace
{

const QStringList Names = {"a", "b", "label", "x:y", "t_1", "A.b-c", "xmlns", "xmlns:p", "p:", "é"};
const QStringList Chars = {"a",      "Z",       "1",         " ",     "  ",   "\t",    "\n",     "\r\n",
                           "\r",     "\"",      "'",         "&amp;", "&lt;", "&gt;",  "&quot;", "&apos;",
                           "]",      "]]",      ">",         "&#10;", "&#9;", "&#13;", "&#32;",  "&#x41;",
                           "&#160;", "&#0065;", "&#x1F600;", "ä",     "€",    "😀",     "\u00A0", "\u3000",
                           "-",      "?",       "=",         "#S1#"};
// Each in one template of twenty or so.
const QStringList Wrong = {"<",      "&",  "&#X41;", "&#xD800;", "&foo;", "\u0085",
                           "\u0001", "--", "]]>",    "\uFEFF",   "\uFFFE"};

QString pick(QRandomGenerator &r, const QStringList &from, int most)
{
    QString s;
    for (int n = r.bounded(most + 1); n > 0; --n)
        s += &from == &Chars && r.bounded(200) == 0 ? Wrong.at(r.bounded(Wrong.size()))
                                                    : from.at(r.bounded(from.size()));
    return s;
}

QString element(QRandomGenerator &r, int depth)
{
    const QString name = r.bounded(50) ? Names.at(r.bounded(4)) : Names.at(r.bounded(Names.size()));
    QString s = "<" + name;
    const int attributes = r.bounded(8) == 0 ? r.bounded(40) : r.bounded(4); // many, for their order
    for (int i = 0; i < attributes; ++i) {
        const QString quote = r.bounded(2) ? "\"" : "'";
        s += (r.bounded(30) ? " " : "") +
             (r.bounded(30) ? "k" + QString::number(r.bounded(60)) : pick(r, Names, 1)) +
             (r.bounded(10) ? "=" : " = ") + quote + pick(r, Chars, 4) + quote;
    }
    if (depth > 3 || r.bounded(4) == 0)
        return s + (r.bounded(2) ? "/>" : " />");
    s += ">";
    for (int n = r.bounded(5); n > 0; --n) {
        switch (r.bounded(6)) {
        case 0:
            s += "<!--" + pick(r, Chars, 3) + "-->";
            break;
        case 1:
            s += "<![CDATA[" + pick(r, Chars, 3) + "]]>";
            break;
        case 2:
            s += "<?" +
                 QStringList{"p ", "p", "xml-st ", "xml ", "XmL", "p:q"}.at(r.bounded(20) ? r.bounded(3)
                                                                                          : r.bounded(6)) +
                 pick(r, Chars, 3) + "?>";
            break;
        case 3:
            s += element(r, depth + 1);
            break;
        default:
            s += pick(r, Chars, 5);
        }
    }
    return s + "</" + (r.bounded(200) ? name : "q") + (r.bounded(5) ? ">" : " >");
}

QByteArray document(QRandomGenerator &r)
{
    const QStringList prologs = {"",
                                 "<?xml version=\"1.0\"?>",
                                 "<?xml version='1.0' encoding='UTF-8'?>\n",
                                 "<?xml version=\"1.0\" encoding=\"utf-8\" standalone=\"yes\" ?>",
                                 "<?xml version=\"1.0\" standalone='no'?>",
                                 "<?xml version=\"1.1\"?>",
                                 "<?xml  version = \"1.0\"encoding=\"UTF-8\"?>",
                                 "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>",
                                 " <?xml version=\"1.0\"?>",
                                 "<!DOCTYPE a>",
                                 "\uFEFF"};
    const QStringList around = {"", " ", "\r\n", "<!--c-->", "<!-- - -->", "<?p x?>", "x", "<!DOCTYPE a>"};
    const auto aside = [&] { return r.bounded(30) ? pick(r, around.mid(0, 6), 2) : pick(r, around, 2); };
    QString s = prologs.at(r.bounded(4) ? r.bounded(5) : r.bounded(prologs.size())) + aside() +
                element(r, 0) + aside();
    QByteArray bytes = s.toUtf8();
    if (r.bounded(10) == 0 && !bytes.isEmpty()) { // a character dropped or doubled
        const int at = r.bounded(int(bytes.size()));
        r.bounded(2) ? bytes.remove(at, 1) : bytes.insert(at, bytes.at(at));
    }
    return bytes;
}

} // namespace

class TestXmlTemplateText : public QObject
{
    Q_OBJECT

    // True when the template was taken on; fails when the text is not the parser's.
    static bool sameAsParser(const QByteArray &bytes)
    {
        const std::optional<QString> got = commonTemplateText(bytes);
        if (!got)
            return false;
        const std::optional<QString> expected = documentTemplateText(bytes);
        [&] {
            QVERIFY2(expected, "taken on but does not parse: " + bytes);
            QCOMPARE(*got, *expected);
        }();
        if (QTest::currentTestFailed())
            qWarning("template: %s", bytes.constData());
        return true;
    }

private slots:
    void writesWhatTheParserWrites()
    {
        // The common forms and the shipped templates are taken on.
        const QByteArray common[] = {
            "<a/>",
            QByteArray("\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n") +
                "<label v=\"#version#\">\r\n <t x='1' y=\"2\" z=\"3\">" +
                "#A# &amp; &lt;b&gt; ]]&gt;</t>\n</label>\n",
            QByteArray("<a x=\"1&#10;2\t3\r\n4\" y='\"&apos;&lt;>]]>' z=\"&#13;&#9;\">") +
                "\xC3\xA4\xE2\x82\xAC\xF0\x9F\x98\x80&#x1F600;</a>",
            "<!--c--><?p  d ?><a> <!--x--><![CDATA[ <&> ]]><!--y--> <b/><?e?>t<!--z--></a><!--d-->",
            "<a>&#32;</a><!-- all white space: no text -->",
            "<a xmlns=\"u\" xmlns:p=\"v\" p:x=\"1\"><p:b/></a>",
        };
        const QByteArray spaces(70000, ' '), text = QByteArray("ab]c&amp;\xC3\xA4\n").repeated(8000);
        for (const QByteArray &bytes :
             {"<a>" + spaces + "</a>", "<a>x" + spaces + "y</a>", "<a>" + text + "</a>"})
            QVERIFY(sameAsParser(bytes));
        QByteArray attributes = "<a";
        for (int i = 0; i < 300; ++i) // their order through several sizes of the hash
            attributes += " k" + QByteArray::number((i * 7919) % 1000) + "=\"" + QByteArray::number(i) + "\"";
        QVERIFY(sameAsParser(attributes + "/>"));
        for (const QByteArray &bytes : common) {
            QVERIFY2(sameAsParser(bytes), bytes.constData());
            if (QTest::currentTestFailed())
                return;
        }
        const QDir examples(KAVETTA_SOURCE_DIR "/examples/Labels");
        for (const QString &name : examples.entryList({"*.xml"})) {
            QFile file(examples.filePath(name));
            QVERIFY(file.open(QIODevice::ReadOnly));
            QVERIFY2(sameAsParser(file.readAll()), qPrintable(name));
        }

        // Random templates: the same text wherever one is taken on, and many are.
        QRandomGenerator r(32);
        int taken = 0;
        constexpr int Count = 20000;
        for (int i = 0; i < Count; ++i) {
            taken += sameAsParser(document(r));
            if (QTest::currentTestFailed())
                return;
        }
        QVERIFY2(taken > Count / 2, qPrintable(QString::number(taken)));
    }

    void leavesTheRestToTheParser()
    {
        // Other encodings, document types, entities, controls and deep nesting are not taken on.
        const QByteArray rest[] = {
            "<?xml version=\"1.0\" encoding=\"windows-1252\"?><a>\xE4</a>",
            "<!DOCTYPE a [<!ENTITY e \"x\">]><a>&e;</a>",
            "<a>\x01</a>",
            "\xFF\xFE<\0a\0/\0>\0",
            QByteArray("<a>").repeated(300) + QByteArray("</a>").repeated(300),
        };
        for (const QByteArray &bytes : rest)
            QVERIFY2(!commonTemplateText(bytes), bytes.left(40).constData());
    }
};

QTEST_GUILESS_MAIN(TestXmlTemplateText)
#include "TestXmlTemplateText.moc"
