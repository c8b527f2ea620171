#include "config/OptionsText.h"

#include "common/Cp1252.h"
#include "config/InstanceOptions.h"

namespace
{

bool isComment(const QString &trimmed)
{
    return trimmed.startsWith(QLatin1Char(';')) || trimmed.startsWith(QLatin1Char('#'));
}

// The text of a value that the reader reads back as value: quoted where blanks at its ends or a
// comment sign would otherwise be lost.
bool formatValue(const QString &value, QString &text, QString &why)
{
    if (value.contains(QLatin1Char('\n')) || value.contains(QLatin1Char('\r'))) {
        why = QStringLiteral("holds a line break");
        return false;
    }
    const bool needsQuotes = value != value.trimmed() || value.startsWith(QLatin1Char('"')) ||
                             value.contains(QLatin1Char(';')) || value.contains(QLatin1Char('#'));
    text = needsQuotes ? QLatin1Char('"') + value + QLatin1Char('"') : value;
    if (InstanceOptions::valueOf(text) != value) {
        why = QStringLiteral("cannot be written so that it reads back the same (a double quote with "
                             "blanks at its ends, ';' or '#')");
        return false;
    }
    return true;
}

} // namespace

OptionsText::OptionsText(const QByteArray &content)
{
    const QString text = InstanceOptions::decode(content, &m_utf8);
    if (content.isEmpty())
        return;
    QStringList lines = text.split(QLatin1Char('\n'));
    m_finalNewline = lines.last().isEmpty();
    if (m_finalNewline)
        lines.removeLast();
    for (QString l : std::as_const(lines)) {
        const bool crlf = l.endsWith(QLatin1Char('\r'));
        if (crlf)
            l.chop(1);
        m_lines.append({l, crlf, false});
    }
    m_crlf = !m_lines.isEmpty() && m_lines.first().crlf;
}

const QList<QPair<QString, QString>> &OptionsText::defaults()
{
    static const QList<QPair<QString, QString>> list = {
        {QStringLiteral("safety.reportPeerFailures"), QStringLiteral("false")},
        {QStringLiteral("safety.answerTimeoutSec"), QStringLiteral("0")},
        {QStringLiteral("safety.answerFraming"), QStringLiteral("chunk")},
        {QStringLiteral("safety.answerTerminator"), QString()},
        {QStringLiteral("safety.answerMaxBytes"), QStringLiteral("65536")},
        {QStringLiteral("safety.dropLateAnswers"), QStringLiteral("false")},
        {QStringLiteral("safety.requirePrintData"), QStringLiteral("false")},
        {QStringLiteral("safety.allowedPeers"), QString()},
        {QStringLiteral("safety.maxQueuedItems"), QStringLiteral("0")},
        {QStringLiteral("journal.enabled"), QStringLiteral("false")},
        {QStringLiteral("journal.replayMaxAgeSec"), QStringLiteral("0")},
        {QStringLiteral("status.port"), QString()},
        {QStringLiteral("status.address"), QStringLiteral("127.0.0.1")},
    };
    return list;
}

QString OptionsText::canonicalName(const QString &name)
{
    for (const auto &d : defaults()) {
        if (d.first.compare(name, Qt::CaseInsensitive) == 0)
            return d.first;
    }
    return {};
}

QString OptionsText::keyOf(const QString &text)
{
    const QString t = text.trimmed();
    const qsizetype eq = t.indexOf(QLatin1Char('='));
    if (t.isEmpty() || isComment(t) || t.startsWith(QLatin1Char('[')) || eq < 0)
        return {};
    return t.left(eq).trimmed();
}

QString OptionsText::groupAt(qsizetype index) const
{
    for (qsizetype i = index; i >= 0; --i) {
        const QString t = m_lines[i].text.trimmed();
        if (t.startsWith(QLatin1Char('['))) {
            const qsizetype close = t.indexOf(QLatin1Char(']'));
            return close < 0 ? QString() : t.mid(1, close - 1).trimmed();
        }
    }
    return {};
}

QString OptionsText::value(const QString &name, bool *present) const
{
    const QString group = name.section(QLatin1Char('.'), 0, 0);
    const QString key = name.section(QLatin1Char('.'), 1);
    QString found;
    bool seen = false;
    for (qsizetype i = 0; i < m_lines.size(); ++i) {
        if (keyOf(m_lines[i].text).compare(key, Qt::CaseInsensitive) != 0 ||
            groupAt(i).compare(group, Qt::CaseInsensitive) != 0)
            continue;
        const QString &t = m_lines[i].text;
        found = InstanceOptions::valueOf(t.mid(t.indexOf(QLatin1Char('=')) + 1));
        seen = true;
    }
    if (present)
        *present = seen;
    if (seen)
        return found;
    for (const auto &d : defaults()) {
        if (d.first.compare(name, Qt::CaseInsensitive) == 0)
            return d.second;
    }
    return {};
}

bool OptionsText::set(const QString &name, const QString &value, QString &why)
{
    QString text;
    if (!formatValue(value, text, why))
        return false;
    const QString group = name.section(QLatin1Char('.'), 0, 0);
    const QString key = name.section(QLatin1Char('.'), 1);
    qsizetype lastOfGroup = -1;
    bool found = false;
    for (qsizetype i = 0; i < m_lines.size(); ++i) {
        if (groupAt(i).compare(group, Qt::CaseInsensitive) != 0)
            continue;
        lastOfGroup = i;
        if (keyOf(m_lines[i].text).compare(key, Qt::CaseInsensitive) != 0)
            continue;
        found = true;
        Line &line = m_lines[i];
        const qsizetype eq = line.text.indexOf(QLatin1Char('='));
        if (InstanceOptions::valueOf(line.text.mid(eq + 1)) == value)
            continue;
        line.text = line.text.left(eq + 1) + (text.isEmpty() ? QString() : QLatin1Char(' ') + text);
        line.changed = true;
    }
    if (found)
        return true;
    const Line added{key + QStringLiteral(" = ") + text, m_crlf, true};
    if (lastOfGroup >= 0) {
        // After the group's last setting, so that the comments of the next group stay with it.
        qsizetype at = lastOfGroup;
        while (at > 0 && keyOf(m_lines[at].text).isEmpty() &&
               !m_lines[at].text.trimmed().startsWith(QLatin1Char('[')))
            --at;
        m_lines.insert(at + 1, added);
        return true;
    }
    if (!m_lines.isEmpty() && !m_lines.last().text.trimmed().isEmpty())
        m_lines.append({QString(), m_crlf, true});
    m_lines.append({QLatin1Char('[') + group + QLatin1Char(']'), m_crlf, true});
    m_lines.append(added);
    return true;
}

QByteArray OptionsText::content() const
{
    QString text;
    for (qsizetype i = 0; i < m_lines.size(); ++i) {
        text += m_lines[i].text;
        if (m_lines[i].crlf)
            text += QLatin1Char('\r');
        if (i + 1 < m_lines.size() || m_finalNewline)
            text += QLatin1Char('\n');
    }
    return m_utf8 ? text.toUtf8() : cp1252::encode(text);
}

QList<int> OptionsText::changedLines() const
{
    QList<int> lines;
    for (qsizetype i = 0; i < m_lines.size(); ++i) {
        if (m_lines[i].changed)
            lines << int(i + 1);
    }
    return lines;
}
