#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

// An instance options file as text to edit: a value is set in the line that holds its key (or a
// line is added to its group, or the group to the end), and everything else - comments, order,
// blank lines, line ends, the file's encoding - stays as it was. What a value means is the
// reader's business (InstanceOptions::parse); this only places it.
class OptionsText
{
public:
    explicit OptionsText(const QByteArray &content = {});

    // Every option as "group.key" with the text of its default, in the order of the example file.
    static const QList<QPair<QString, QString>> &defaults();
    // The spelling of defaults() for a name given in any letter case; empty when there is none.
    static QString canonicalName(const QString &name);

    // The value text of an option as the file holds it (its last line holds), or its default's
    // text where the file does not set it.
    QString value(const QString &name, bool *present = nullptr) const;
    // Sets an option (a name from defaults()). False, with why, for a value that cannot be
    // written so that the reader reads it back unchanged.
    bool set(const QString &name, const QString &value, QString &why);

    QByteArray content() const;
    // The lines, counted from 1, that set() wrote or added.
    QList<int> changedLines() const;

private:
    struct Line {
        QString text;
        bool crlf = false;
        bool changed = false;
    };
    // The group a line belongs to (empty before the first group) and its key (empty for others).
    QString groupAt(qsizetype index) const;
    static QString keyOf(const QString &text);

    QList<Line> m_lines;
    bool m_finalNewline = true;
    bool m_utf8 = true;
    bool m_crlf = false; // line end for added lines
};
