#pragma once

// The label fill as the gateway first did it, kept as the measure for the one-pass fill: one
// symbol after the other, each searched for and replaced in the whole text and its case-folded
// copy. Simple enough to be right by reading; it costs symbols times template size.
#include "labels/PlaceholderText.h"

#include <limits>
#include <optional>

namespace sequential
{

class FoldedText
{
public:
    explicit FoldedText(const QString &text) : m_text(text), m_folded(text.toCaseFolded()) {}

    const QString &text() const { return m_text; }
    bool contains(const QString &placeholder) const { return m_folded.contains(placeholder.toCaseFolded()); }

    void replace(const QString &placeholder, const QString &value)
    {
        const QString needle = placeholder.toCaseFolded();
        qsizetype at = m_folded.indexOf(needle);
        if (at < 0)
            return;
        const QString foldedValue = value.toCaseFolded();
        QString text, folded;
        qsizetype done = 0;
        for (; at >= 0; at = m_folded.indexOf(needle, done)) {
            text.append(QStringView(m_text).mid(done, at - done)).append(value);
            folded.append(QStringView(m_folded).mid(done, at - done)).append(foldedValue);
            done = at + needle.size();
        }
        m_text = text.append(QStringView(m_text).mid(done));
        m_folded = folded.append(QStringView(m_folded).mid(done));
    }

private:
    QString m_text;
    QString m_folded;
};

// Values that hold their own placeholder can double the text with every line of print data; a
// caller that makes up print data gives a bound, and gets no result when the text outgrows it.
inline std::optional<FilledLabel> fillLabel(const QString &xml, const QString &version,
                                            const QString &printData,
                                            qsizetype bound = std::numeric_limits<qsizetype>::max())
{
    FilledLabel out;
    const auto reject = [&out](const QString &message) {
        out.rejected = true;
        out.text = message;
        return out;
    };
    FoldedText text(xml);
    text.replace(QStringLiteral("#version#"), version);
    const QStringList lines = printData.isEmpty() ? QStringList() : printData.split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        if (line.isEmpty())
            return reject(QStringLiteral("Error Parsing Content (Empty) :") + printData);
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (equals < 0)
            return reject(QStringLiteral("Error Parsing Content (No = found) :") + printData);
        QString value = line.mid(equals + 1);
        if (value.isEmpty())
            return reject(QStringLiteral("Error Parsing Content (No = found or no Value) :") + printData);
        value.remove(QLatin1Char('\r'));
        const QString symbol = line.left(equals);
        const QString placeholder = QLatin1Char('#') + symbol + QLatin1Char('#');
        if (!text.contains(placeholder)) {
            out.notFound << symbol;
            continue;
        }
        text.replace(placeholder, value);
        if (text.text().size() > bound)
            return std::nullopt;
    }
    out.text = text.text();
    if (printData.isEmpty())
        out.text.remove(QLatin1Char('#'));
    return out;
}

} // namespace sequential
