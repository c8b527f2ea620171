#include "labels/PlaceholderText.h"

#include <QHash>
#include <QVarLengthArray>

#include <algorithm>
#include <utility>

namespace
{

constexpr int None = -1;
constexpr QChar Mark = QLatin1Char('#');
const QChar Nothing; // what the two ends of the text point at, so that they are never taken for marks

// A stretch of the text: a slice of the template or of a value with its folded twin, or a "#"
// (text == nullptr). Marks also know their neighbouring marks and the length of the stretch up
// to the next one, their gap.
struct Piece {
    const QChar *text = nullptr;
    const QChar *folded = nullptr;
    qsizetype length = 0;
    int prev = None;
    int next = None;
    int prevMark = None;
    int nextMark = None;
    qsizetype gap = 0;
    quint32 stamp = 0; // counts the changes of the gap, so that stale filings are known
    int turn = None;   // the substitution that found this gap
    bool alive = true;
};

// A gap filed under the symbol it spells; the filings of one symbol are chained.
struct Filing {
    int mark;
    quint32 stamp;
    int next;
};

// The text case-folded as QString::toCaseFolded does it. Text in ASCII (templates and print data
// nearly always are) is folded here: for it folding is lowering A to Z, and the general tables
// cost tens of instructions per character, most of a label's build. A text without capitals
// comes back shared.
QString caseFolded(const QString &text)
{
    const char16_t *begin = reinterpret_cast<const char16_t *>(text.constData());
    const char16_t *end = begin + text.size();
    if (!QtPrivate::isAscii(QStringView(text)))
        return text.toCaseFolded();
    if (std::none_of(begin, end, [](char16_t c) { return c >= u'A' && c <= u'Z'; }))
        return text;
    QString out(text.size(), Qt::Uninitialized);
    std::transform(begin, end, reinterpret_cast<char16_t *>(out.data()),
                   [](char16_t c) { return c >= u'A' && c <= u'Z' ? char16_t(c + 32) : c; });
    return out;
}

// Where c first stands in text, or -1. For the short symbols and values of print data a plain
// loop costs a fraction of the general search.
qsizetype find(QStringView text, QChar c)
{
    const char16_t *begin = text.utf16();
    const char16_t *end = begin + text.size();
    const char16_t *at = std::find(begin, end, c.unicode());
    return at == end ? -1 : at - begin;
}

std::vector<qsizetype> marksOf(QStringView text)
{
    std::vector<qsizetype> marks;
    for (qsizetype i = text.indexOf(Mark); i >= 0; i = text.indexOf(Mark, i + 1))
        marks.push_back(i);
    return marks;
}

class Substituter
{
public:
    explicit Substituter(const std::vector<Substitution> &subs)
    {
        m_symbolOf.reserve(qsizetype(subs.size()));
        for (const Substitution &s : subs) {
            if (find(s.foldedSymbol, Mark) >= 0 || m_symbolOf.contains(s.foldedSymbol))
                continue;
            m_symbolOf.insert(s.foldedSymbol, int(m_firstFiling.size()));
            m_firstFiling.push_back(None);
            m_longest = std::max(m_longest, s.foldedSymbol.size());
        }
    }

    void load(QStringView text, QStringView folded, const std::vector<qsizetype> &marks)
    {
        m_pieces.clear();
        // A slice and a mark per "#", and room for the values that replacements put in (one slice
        // each, usually): growing copies every piece, while room never used costs no memory.
        m_pieces.reserve(marks.size() * 3 + 2);
        m_filings.clear();
        std::fill(m_firstFiling.begin(), m_firstFiling.end(), None);
        m_head = add({&Nothing, &Nothing, 0});
        int last = m_head;
        int lastMark = None;
        qsizetype done = 0;
        const auto slice = [&](qsizetype end) {
            if (end > done)
                last = link(last, add({text.data() + done, folded.data() + done, end - done}));
        };
        for (const qsizetype at : marks) {
            slice(at);
            const int mark = link(last, add({}));
            last = mark;
            m_pieces[mark].prevMark = lastMark;
            if (lastMark != None) {
                m_pieces[lastMark].nextMark = mark;
                m_pieces[lastMark].gap = at - done;
            }
            lastMark = mark;
            done = at + 1;
        }
        slice(text.size());
        link(last, add({&Nothing, &Nothing, 0}));
        for (int m = lastMark; m != None; m = m_pieces[m].prevMark)
            file(m);
    }

    bool run(const Substitution &s, int turn)
    {
        if (find(s.foldedSymbol, Mark) >= 0)
            return replaceInFull(s);
        const auto symbol = m_symbolOf.constFind(s.foldedSymbol);
        if (symbol == m_symbolOf.cend())
            return false;
        std::vector<int> &found = m_found;
        found.clear();
        for (int f = std::exchange(m_firstFiling[size_t(*symbol)], None); f != None;
             f = m_filings[size_t(f)].next) {
            Piece &mark = m_pieces[size_t(m_filings[size_t(f)].mark)];
            if (mark.alive && mark.stamp == m_filings[size_t(f)].stamp) {
                mark.turn = turn;
                found.push_back(m_filings[size_t(f)].mark);
            }
        }
        // Neighbouring gaps that both spell the symbol share a "#": of such a run, from the
        // left, every second one is replaced.
        std::vector<int> &taken = m_taken;
        taken.clear();
        for (const int start : found) {
            const int before = m_pieces[size_t(start)].prevMark;
            if (before != None && m_pieces[size_t(before)].turn == turn)
                continue;
            bool take = true;
            for (int m = start; m != None && m_pieces[size_t(m)].turn == turn;
                 m = m_pieces[size_t(m)].nextMark) {
                if (take)
                    taken.push_back(m);
                take = !take;
            }
        }
        for (const int m : taken)
            replace(m, s.value, s.foldedValue);
        return !found.empty();
    }

    QString text(bool folded = false) const
    {
        QString out;
        out.reserve(length());
        for (int p = m_head; p != None; p = m_pieces[size_t(p)].next) {
            const Piece &piece = m_pieces[size_t(p)];
            if (piece.text)
                out.append(folded ? piece.folded : piece.text, piece.length);
            else
                out.append(Mark);
        }
        return out;
    }

private:
    int add(Piece piece)
    {
        m_pieces.push_back(piece);
        return int(m_pieces.size() - 1);
    }

    int link(int before, int piece)
    {
        m_pieces[size_t(before)].next = piece;
        m_pieces[size_t(piece)].prev = before;
        return piece;
    }

    qsizetype length() const
    {
        qsizetype n = 0;
        for (int p = m_head; p != None; p = m_pieces[size_t(p)].next)
            n += m_pieces[size_t(p)].text ? m_pieces[size_t(p)].length : 1;
        return n;
    }

    // Files the gap after mark under the symbol it spells, if any.
    void file(int mark)
    {
        const Piece &m = m_pieces[size_t(mark)];
        if (m.nextMark == None || m.gap > m_longest)
            return;
        QVarLengthArray<QChar, 64> joined;
        QStringView spelled;
        const int first = m.next;
        if (first == m.nextMark) {
            spelled = QStringView();
        } else if (m_pieces[size_t(first)].next == m.nextMark) {
            spelled = QStringView(m_pieces[size_t(first)].folded, m_pieces[size_t(first)].length);
        } else {
            for (int p = first; p != m.nextMark; p = m_pieces[size_t(p)].next)
                joined.append(m_pieces[size_t(p)].folded, m_pieces[size_t(p)].length);
            spelled = QStringView(joined.constData(), joined.size());
        }
        const auto symbol = m_symbolOf.constFind(spelled);
        if (symbol != m_symbolOf.cend()) {
            m_filings.push_back({mark, m.stamp, m_firstFiling[size_t(*symbol)]});
            m_firstFiling[size_t(*symbol)] = int(m_filings.size() - 1);
        }
    }

    void changed(int mark)
    {
        ++m_pieces[size_t(mark)].stamp;
        file(mark);
    }

    // Replaces the gap after mark a, together with its two marks, by the value. The gaps to the
    // left and right of it join the value's first and last part; "#" in the value make new gaps.
    void replace(int a, QStringView value, QStringView folded)
    {
        const int b = m_pieces[size_t(a)].nextMark;
        const int left = m_pieces[size_t(a)].prevMark;
        const int right = m_pieces[size_t(b)].nextMark;
        const qsizetype leftGap = left != None ? m_pieces[size_t(left)].gap : 0;
        const qsizetype rightGap = right != None ? m_pieces[size_t(b)].gap : 0;
        const int after = m_pieces[size_t(b)].next;
        int last = m_pieces[size_t(a)].prev;
        m_pieces[size_t(a)].alive = m_pieces[size_t(b)].alive = false;

        int mark = left;
        qsizetype carried = leftGap; // what the gap of `mark` holds before the part being added
        qsizetype done = 0;
        for (qsizetype at = value.indexOf(Mark); at >= 0; at = value.indexOf(Mark, done)) {
            if (at > done)
                last = link(last, add({value.data() + done, folded.data() + done, at - done}));
            const int added = link(last, add({}));
            last = added;
            m_pieces[size_t(added)].prevMark = mark;
            if (mark != None) {
                m_pieces[size_t(mark)].nextMark = added;
                m_pieces[size_t(mark)].gap = carried + (at - done);
                changed(mark);
            }
            mark = added;
            carried = 0;
            done = at + 1;
        }
        if (value.size() > done)
            last = link(last, add({value.data() + done, folded.data() + done, value.size() - done}));
        link(last, after);
        if (right != None)
            m_pieces[size_t(right)].prevMark = mark;
        if (mark != None) {
            m_pieces[size_t(mark)].nextMark = right;
            m_pieces[size_t(mark)].gap = carried + (value.size() - done) + rightGap;
            changed(mark);
        }
    }

    // A symbol with "#" inside: the whole text replaced as one string, then taken apart again.
    bool replaceInFull(const Substitution &s)
    {
        const QString text = this->text(), folded = this->text(true);
        const QString needle = Mark + s.foldedSymbol.toString() + Mark;
        qsizetype at = folded.indexOf(needle);
        if (at < 0)
            return false;
        QString newText, newFolded;
        qsizetype done = 0;
        for (; at >= 0; at = folded.indexOf(needle, done)) {
            newText.append(QStringView(text).mid(done, at - done)).append(s.value);
            newFolded.append(QStringView(folded).mid(done, at - done)).append(s.foldedValue);
            done = at + needle.size();
        }
        newText.append(QStringView(text).mid(done));
        newFolded.append(QStringView(folded).mid(done));
        m_owned.push_back(std::move(newText));
        m_owned.push_back(std::move(newFolded));
        load(m_owned[m_owned.size() - 2], m_owned.back(), marksOf(m_owned.back()));
        return true;
    }

    QHash<QStringView, int> m_symbolOf;
    std::vector<Filing> m_filings;
    std::vector<int> m_firstFiling; // by symbol
    qsizetype m_longest = 0;
    std::vector<Piece> m_pieces;
    int m_head = None;
    std::vector<int> m_found, m_taken;
    std::vector<QString> m_owned; // texts put together for symbols with "#"; pieces point into them
};

} // namespace

PlaceholderText::PlaceholderText(const QString &text)
    : m_text(text), m_folded(caseFolded(text)), m_marks(marksOf(m_folded))
{
}

QString PlaceholderText::substitute(const std::vector<Substitution> &substitutions,
                                    std::vector<char> &found) const
{
    Substituter s(substitutions);
    s.load(m_text, m_folded, m_marks);
    found.assign(substitutions.size(), 0);
    for (size_t i = 0; i < substitutions.size(); ++i)
        found[i] = s.run(substitutions[i], int(i)) ? 1 : 0;
    return s.text();
}

FilledLabel fillLabel(const PlaceholderText &label, const QString &version, const QString &printData)
{
    FilledLabel out;
    const QString foldedVersion = caseFolded(version);
    std::vector<Substitution> subs{{u"version", u"version", version, foldedVersion}};
    // Case folding turns a lone surrogate into U+FFFD once a character before it in the same
    // text has changed, so with surrogates about every symbol and value is folded on its own,
    // as the search for it does. Without them one fold of the whole print data serves all.
    const bool apart =
        !QtPrivate::isAscii(QStringView(printData)) &&
        std::any_of(printData.cbegin(), printData.cend(), [](QChar c) { return c.isSurrogate(); });
    const QString folded = apart ? QString() : caseFolded(printData);
    std::vector<QString> owned; // texts that the substitutions point into
    const auto keep = [&owned](QString text) {
        owned.push_back(std::move(text));
        return QStringView(owned.back());
    };
    owned.reserve(apart ? 4 * size_t(printData.count(QLatin1Char('\n')) + 1) : 0);
    for (qsizetype start = 0; !printData.isEmpty();) {
        qsizetype end = printData.indexOf(QLatin1Char('\n'), start);
        if (end < 0)
            end = printData.size();
        const QStringView line = QStringView(printData).sliced(start, end - start);
        const qsizetype equals = find(line, u'=');
        const char *problem = line.isEmpty()              ? "Error Parsing Content (Empty) :"
                              : equals < 0                ? "Error Parsing Content (No = found) :"
                              : equals + 1 == line.size() ? "Error Parsing Content (No = found or no Value) :"
                                                          : nullptr;
        if (problem) {
            out.rejected = true;
            out.text = QLatin1String(problem) + printData;
            break;
        }
        Substitution s{line.first(equals), {}, line.sliced(equals + 1), {}};
        const qsizetype cr = find(s.value, u'\r');
        const bool crInside = cr >= 0 && cr < s.value.size() - 1;
        if (crInside)
            s.value = keep(s.value.toString().remove(QLatin1Char('\r')));
        else if (cr >= 0)
            s.value.chop(1);
        if (apart) {
            s.foldedSymbol =
                keep((Mark + s.symbol.toString() + Mark).toCaseFolded()).sliced(1, s.symbol.size());
            s.foldedValue = keep(s.value.toString().toCaseFolded());
        } else {
            s.foldedSymbol = QStringView(folded).sliced(start, equals);
            s.foldedValue = crInside ? keep(s.value.toString().toCaseFolded())
                                     : QStringView(folded).sliced(start + equals + 1, s.value.size());
        }
        subs.push_back(s);
        if (end == printData.size())
            break;
        start = end + 1;
    }

    std::vector<char> found;
    QString text = label.substitute(subs, found);
    for (size_t i = 1; i < subs.size(); ++i)
        if (!found[i])
            out.notFound << subs[i].symbol.toString();
    if (out.rejected)
        return out;
    if (printData.isEmpty())
        text.remove(Mark);
    out.text = std::move(text);
    return out;
}
