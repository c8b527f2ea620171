#pragma once

#include <QString>
#include <QStringList>
#include <QStringView>

#include <vector>

// One substitution of a label: every "#symbol#" of the text, in any letter case, becomes value.
// The views must stay valid while the substitution runs. foldedSymbol is "#symbol#" case-folded
// without its two "#", foldedValue the value case-folded on its own: folding turns a lone
// surrogate into U+FFFD once a character before it has changed, so a text can fold differently
// alone and inside a longer one, and the placeholders are matched as they fold in place.
struct Substitution {
    QStringView symbol;
    QStringView foldedSymbol;
    QStringView value;
    QStringView foldedValue;
};

// A template's XML text with its "#" characters found once, kept while the template stays the
// same, so that a label costs the size of the template plus the size of the print data.
//
// substitute() gives exactly what replacing the placeholders one substitution after the other
// gives: each substitution replaces, from left to right and without overlaps, every "#symbol#"
// of the text as the substitutions before it left it, and the values it puts in are searched
// again only by the substitutions after it. Its own placeholders can thus come from values of
// earlier ones, can be taken apart by them ("#A#B#" loses "#B#" when A comes first), and can
// arise where a value joins the text around it ("#P#A#Q#" becomes "#PvQ#").
//
// Placeholders are matched on the case-folded text: a placeholder without "#" inside is the text
// between two neighbouring "#". The text is kept as a list of pieces (template slices, values,
// "#" marks); every stretch between two neighbouring marks that is no longer than the longest
// symbol is filed under the symbol it spells, so a substitution finds its placeholders by one
// look-up and replaces each by relinking pieces. A symbol with "#" inside spans several such
// stretches; for it the text is put together, replaced in full and taken apart again (print
// data are not expected to hold such symbols).
class PlaceholderText
{
public:
    explicit PlaceholderText(const QString &text);

    const QString &text() const { return m_text; }

    // The text after all substitutions, in their order; found[i] tells whether substitution i
    // found its placeholder in the text as it stood at its turn.
    QString substitute(const std::vector<Substitution> &substitutions, std::vector<char> &found) const;

private:
    QString m_text;
    QString m_folded;
    std::vector<qsizetype> m_marks;
};

// A label filled from its template, the version of the request and the print data (lines of
// symbol=value): "#version#" first, then the lines in order. A line that is empty, has no "=" or
// no value rejects the label; the symbols of the lines before it that were not found are still
// given. Without print data every "#" is taken out of the text.
struct FilledLabel {
    bool rejected = false;
    QString text;         // the label, or the rejection's message
    QStringList notFound; // symbols whose placeholder was not in the text, in print data order
};

FilledLabel fillLabel(const PlaceholderText &label, const QString &version, const QString &printData);
