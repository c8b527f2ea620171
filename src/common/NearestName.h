#pragma once

#include <QString>
#include <QStringList>

// The known name closest to a mistyped one, for "did you mean" hints: letter case counts as no
// difference, and a name qualifies only while it needs at most a third of its letters changed
// (at least 2). Empty when none is close enough.
QString nearestName(const QString &word, const QStringList &names);
