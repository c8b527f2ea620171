#include "labels/XmlTemplateText.h"

#include <QHash>
#include <QStringDecoder>
#include <QStringView>

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

namespace
{

bool isSpace(char16_t c)
{
    return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r';
}

bool isNameStart(char16_t c)
{
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || c == u'_';
}

bool isNameChar(char16_t c)
{
    return isNameStart(c) || (c >= u'0' && c <= u'9') || c == u'.' || c == u'-';
}

// A character taken as it stands. Controls and the non-characters U+FFFE and U+FFFF are left to
// the parser; surrogates come here only in pairs, as the UTF-8 decoder made them.
bool isPlain(char16_t c)
{
    return c >= 0x20 ? c < 0x7F || (c >= 0xA0 && c < 0xFFFE) : c == u'\t' || c == u'\n';
}

// A character reference's code point that is taken on.
bool isPlainCode(char32_t c)
{
    if (c >= 0x10000)
        return c <= 0x10FFFF;
    return c == u'\r' || (isPlain(char16_t(c)) && (c < 0xD800 || c > 0xDFFF));
}

// Text that stands as it is in text: printable ASCII but for white space and the characters
// the writer may escape.
constexpr auto QuietAscii = [] {
    std::array<bool, 128> quiet{};
    for (char16_t c = 0x21; c < 0x7F; ++c)
        quiet[c] = c != u'&' && c != u'<' && c != u'>' && c != u']';
    return quiet;
}();

bool isQuiet(char16_t c)
{
    return c < 128 && QuietAscii[c];
}

// Deeper templates are left to the parser, so that this pass needs little stack.
constexpr int MaxDepth = 200;

// The text being written: a string filled through a pointer, as appending piece by piece to a
// string costs many times more than the characters themselves.
class Buffer
{
public:
    explicit Buffer(qsizetype capacity = 0) { grow(capacity); }

    Buffer &operator+=(char16_t c)
    {
        if (m_at == m_end)
            grow(1);
        *m_at++ = c;
        return *this;
    }

    Buffer &operator+=(QStringView s)
    {
        if (s.isEmpty()) // an empty view may have no data at all, which memcpy must not be given
            return *this;
        if (m_end - m_at < s.size())
            grow(s.size());
        std::memcpy(m_at, s.utf16(), size_t(s.size()) * sizeof(char16_t));
        m_at += s.size();
        return *this;
    }

    template <typename T> Buffer &append(const T &s) { return *this += s; }

    qsizetype size() const { return m_at - m_base; }
    void truncate(qsizetype n) { m_at = m_base + n; }
    QStringView sliced(qsizetype from, qsizetype n) const { return QStringView(m_base + from, n); }

    QString take()
    {
        m_text.truncate(size());
        if (m_text.capacity() - m_text.size() > m_text.size() / 4)
            m_text.squeeze();
        return std::move(m_text);
    }

private:
    void grow(qsizetype n)
    {
        const qsizetype used = size();
        m_text.resize(std::max(2 * m_text.size(), used + n + 64));
        m_base = reinterpret_cast<char16_t *>(m_text.data());
        m_at = m_base + used;
        m_end = m_base + m_text.size();
    }

    QString m_text;
    char16_t *m_base = nullptr;
    char16_t *m_at = nullptr;
    char16_t *m_end = nullptr;
};

struct NotCommon {
};

// One pass over the text: reads one construct after the other and writes it as the document
// writer would write the node it becomes. Throws NotCommon where the template leaves the
// common form; what was written so far is then dropped.
class Writer
{
public:
    explicit Writer(QStringView text) : m_at(text.utf16()), m_end(m_at + text.size()), m_out(text.size()) {}

    QString run()
    {
        if (startsWith(u"<?xml") && m_at + 5 < m_end && isSpace(m_at[5]))
            declaration();
        bool rootDone = false;
        for (;;) {
            skipSpace();
            if (m_at == m_end)
                break;
            expect(u'<');
            if (take(u"!--"))
                comment();
            else if (take(u'?'))
                instruction();
            else if (!rootDone && m_at < m_end && isNameStart(*m_at))
                element(), rootDone = true;
            else
                throw NotCommon{};
        }
        if (!rootDone)
            throw NotCommon{};
        if (m_afterComment)
            m_out += u'\n';
        return m_out.take();
    }

private:
    char16_t peek() const
    {
        if (m_at == m_end)
            throw NotCommon{};
        return *m_at;
    }

    bool startsWith(std::u16string_view s) const
    {
        return size_t(m_end - m_at) >= s.size() && std::u16string_view(m_at, s.size()) == s;
    }

    bool take(std::u16string_view s)
    {
        if (!startsWith(s))
            return false;
        m_at += s.size();
        return true;
    }

    bool take(char16_t c)
    {
        if (m_at == m_end || *m_at != c)
            return false;
        ++m_at;
        return true;
    }

    void expect(char16_t c)
    {
        if (!take(c))
            throw NotCommon{};
    }

    bool skipSpace()
    {
        const char16_t *from = m_at;
        while (m_at < m_end && isSpace(*m_at))
            ++m_at;
        return m_at != from;
    }

    // An ASCII name with at most one ":" between two names.
    QStringView name()
    {
        const char16_t *from = m_at;
        if (!isNameStart(peek()))
            throw NotCommon{};
        bool colon = false;
        while (m_at < m_end && (isNameChar(*m_at) || *m_at == u':')) {
            if (*m_at == u':') {
                if (colon || m_at + 1 == m_end || !isNameStart(m_at[1]))
                    throw NotCommon{};
                colon = true;
            }
            ++m_at;
        }
        return QStringView(from, m_at - from);
    }

    // What comes before a node: the rest of its parent's start tag, or the line end the writer
    // puts after a comment that is not followed by text.
    void beforeNode(bool text)
    {
        if (m_openTag) {
            m_out += u'>';
            m_openTag = false;
        }
        if (m_afterComment && !text)
            m_out += u'\n';
        m_afterComment = false;
    }

    void declaration()
    {
        m_at += 5;
        const auto field = [this](std::u16string_view key) {
            const char16_t *from = m_at;
            if (!skipSpace() || !take(key)) {
                m_at = from;
                return QStringView();
            }
            const char16_t quote = valueQuote();
            const char16_t *value = m_at;
            while (peek() != quote)
                ++m_at;
            return QStringView(value, m_at++ - value);
        };
        if (field(u"version") != u"1.0")
            throw NotCommon{};
        if (const QStringView encoding = field(u"encoding");
            !encoding.isNull() && encoding.compare(u"utf-8", Qt::CaseInsensitive) != 0)
            throw NotCommon{};
        const QStringView standalone = field(u"standalone");
        if (!standalone.isNull() && standalone != u"yes" && standalone != u"no")
            throw NotCommon{};
        skipSpace();
        if (!take(u"?>"))
            throw NotCommon{};
        // The declared encoding is not written (the text is sent in another one).
        m_out +=
            standalone == u"yes" ? u"<?xml version='1.0' standalone='yes'?>\n" : u"<?xml version='1.0'?>\n";
    }

    // The plain characters up to end, which is then passed; anything else is not the common form.
    QStringView plainUntil(std::u16string_view end)
    {
        const char16_t *from = m_at;
        while (!startsWith(end)) {
            if (!isPlain(peek()))
                throw NotCommon{};
            ++m_at;
        }
        const QStringView text(from, m_at - from);
        m_at += end.size();
        return text;
    }

    // The "=" after a name and the quote that opens its value, which is then passed.
    char16_t valueQuote()
    {
        skipSpace();
        expect(u'=');
        skipSpace();
        const char16_t quote = peek();
        if (quote != u'"' && quote != u'\'')
            throw NotCommon{};
        ++m_at;
        return quote;
    }

    void comment()
    {
        const QStringView text = plainUntil(u"--");
        expect(u'>');
        beforeNode(false);
        m_out.append(u"<!--").append(text).append(u"-->");
        m_afterComment = true;
    }

    void instruction()
    {
        const char16_t *from = m_at;
        while (m_at < m_end && isNameChar(*m_at))
            ++m_at;
        const QStringView target(from, m_at - from);
        if (target.isEmpty() || !isNameStart(target.front().unicode()) ||
            target.compare(u"xml", Qt::CaseInsensitive) == 0)
            throw NotCommon{};
        QStringView data;
        if (!take(u"?>")) {
            if (!skipSpace())
                throw NotCommon{};
            data = plainUntil(u"?>");
        }
        beforeNode(false);
        m_out.append(u"<?").append(target).append(u' ');
        m_out.append(data).append(u"?>\n");
    }

    void cdata()
    {
        const QStringView text = plainUntil(u"]]>");
        beforeNode(true);
        m_out.append(u"<![CDATA[").append(text).append(u"]]>");
    }

    // The character after "&": a named entity or a character reference, as UTF-32.
    char32_t reference()
    {
        static constexpr std::pair<std::u16string_view, char16_t> Named[] = {
            {u"lt;", u'<'}, {u"gt;", u'>'}, {u"amp;", u'&'}, {u"apos;", u'\''}, {u"quot;", u'"'}};
        for (const auto &[entity, c] : Named)
            if (take(entity))
                return c;
        expect(u'#');
        const bool hex = take(u'x');
        char32_t code = 0;
        const char16_t *digits = m_at;
        for (;; ++m_at) {
            const char16_t c = peek();
            const int digit = c >= u'0' && c <= u'9'                            ? c - u'0'
                              : hex && (c | 0x20) >= u'a' && (c | 0x20) <= u'f' ? (c | 0x20) - u'a' + 10
                                                                                : -1;
            if (digit < 0)
                break;
            code = code * (hex ? 16 : 10) + char32_t(digit);
            if (code > 0x10FFFF)
                throw NotCommon{};
        }
        if (m_at == digits || !take(u';') || !isPlainCode(code))
            throw NotCommon{};
        return code;
    }

    // Appends c as the writer escapes it in text (attribute: in an attribute value); last two
    // are the two characters before it.
    static void escaped(Buffer &out, char32_t c, char32_t beforeLast, char32_t last, bool attribute)
    {
        switch (c) {
        case u'<':
            out += u"&lt;";
            return;
        case u'&':
            out += u"&amp;";
            return;
        case u'>':
            out += beforeLast == u']' && last == u']' ? QStringView(u"&gt;") : QStringView(u">");
            return;
        case u'\r':
            out += u"&#xd;";
            return;
        case u'"':
            if (attribute) {
                out += u"&quot;";
                return;
            }
            break;
        case u'\n':
        case u'\t':
            if (attribute) {
                out += c == u'\n' ? u"&#xa;" : u"&#x9;";
                return;
            }
            break;
        default:
            break;
        }
        if (c >= 0x10000)
            out.append(QChar::highSurrogate(c)).append(QChar::lowSurrogate(c));
        else
            out += char16_t(c);
    }

    // The value of an attribute after its quote, escaped into m_attributes.
    void attributeValue(char16_t quote)
    {
        char32_t beforeLast = 0, last = 0;
        for (char16_t c; (c = peek()) != quote;) {
            char32_t decoded = c;
            ++m_at;
            if (c == u'&')
                decoded = reference();
            else if (c == u'<' || !isPlain(c))
                throw NotCommon{};
            else if (c == u'\n' || c == u'\t')
                decoded = u' '; // white space in a value is a space
            escaped(m_attributes, decoded, beforeLast, last, true);
            beforeLast = last;
            last = decoded;
        }
        ++m_at;
    }

    // The text up to the next "<": kept unless it is all white space. It is written at once,
    // after the ">" its parent's start tag may still wait for, and taken back if it is blank.
    void text()
    {
        const qsizetype mark = m_out.size();
        if (m_openTag)
            m_out += u'>';
        bool blank = true;
        char32_t beforeLast = 0, last = 0;
        const char16_t *from = m_at;
        while (m_at < m_end && *m_at != u'<') {
            if (isQuiet(*m_at)) {
                const char16_t *run = m_at;
                while (++m_at < m_end && isQuiet(*m_at)) {
                }
                m_out.append(QStringView(run, m_at - run));
                blank = false;
                beforeLast = last = 0;
                continue;
            }
            const char16_t c = *m_at++;
            char32_t decoded = c;
            if (c == u'&')
                decoded = reference();
            else if (!isPlain(c) || (c == u'>' && m_at - from >= 3 && m_at[-2] == u']' && m_at[-3] == u']'))
                throw NotCommon{}; // "]]>" does not belong in text
            blank = blank && decoded < 0x10000 && QChar::isSpace(decoded);
            escaped(m_out, decoded, beforeLast, last, false);
            beforeLast = last;
            last = decoded;
        }
        if (blank) {
            m_out.truncate(mark);
            return;
        }
        m_openTag = m_afterComment = false;
    }

    void element()
    {
        if (++m_depth > MaxDepth)
            throw NotCommon{};
        const QStringView tag = name();
        beforeNode(false);
        m_out.append(u'<').append(tag);
        attributes();
        if (take(u"/>")) {
            m_out.append(u"/>");
            --m_depth;
            return;
        }
        expect(u'>');
        m_openTag = true;
        for (;;) {
            text();
            expect(u'<');
            if (take(u'/'))
                break;
            if (take(u"!--"))
                comment();
            else if (take(u"![CDATA["))
                cdata();
            else if (take(u'?'))
                instruction();
            else
                element();
        }
        if (name() != tag)
            throw NotCommon{};
        skipSpace();
        expect(u'>');
        if (m_afterComment)
            m_out += u'\n';
        m_afterComment = false;
        if (m_openTag)
            m_out += u"/>";
        else
            m_out.append(u"</").append(tag).append(u'>');
        m_openTag = false;
        --m_depth;
    }

    // The attributes of a start tag, written in the order the document keeps them: that of a
    // hash by name, which the same hash gives here.
    void attributes()
    {
        m_attributes.truncate(0);
        m_parts.clear();
        QHash<QStringView, qsizetype> order;
        for (;;) {
            const bool spaced = skipSpace();
            if (peek() == u'>' || peek() == u'/')
                break;
            if (!spaced)
                throw NotCommon{};
            const QStringView key = name();
            const char16_t quote = valueQuote();
            const qsizetype start = m_attributes.size();
            m_attributes.append(u' ').append(key).append(u"=\"");
            attributeValue(quote);
            m_attributes += u'"';
            m_parts.emplace_back(start, m_attributes.size() - start);
            if (m_parts.size() > 1) {
                if (m_parts.size() == 2)
                    order.insert(m_firstKey, 0);
                if (order.contains(key))
                    throw NotCommon{};
                order.insert(key, qsizetype(m_parts.size() - 1));
            } else {
                m_firstKey = key;
            }
        }
        if (m_parts.size() == 1)
            m_out += m_attributes.sliced(0, m_attributes.size());
        for (const qsizetype part : std::as_const(order))
            m_out += m_attributes.sliced(m_parts[size_t(part)].first, m_parts[size_t(part)].second);
    }

    const char16_t *m_at;
    const char16_t *m_end;
    Buffer m_out;
    Buffer m_attributes; // the attributes of one start tag as written, one after the other
    std::vector<std::pair<qsizetype, qsizetype>> m_parts;
    QStringView m_firstKey;
    int m_depth = 0;
    bool m_openTag = false;      // a start tag waits for its ">" or "/>"
    bool m_afterComment = false; // the last node written was a comment
};

} // namespace

std::optional<QString> commonTemplateText(const QByteArray &bytes)
{
    QByteArrayView view(bytes);
    if (view.startsWith("\xEF\xBB\xBF"))
        view = view.sliced(3);
    QStringDecoder utf8(QStringDecoder::Utf8,
                        QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    QString text = utf8.decode(view);
    if (utf8.hasError())
        return std::nullopt;
    // Line ends are read as "\n", wherever they stand.
    if (text.contains(u'\r'))
        text.replace(QStringLiteral("\r\n"), QStringLiteral("\n")).replace(u'\r', u'\n');
    try {
        return Writer(text).run();
    } catch (const NotCommon &) {
        return std::nullopt;
    }
}
