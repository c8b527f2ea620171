#include "common/NearestName.h"

#include <algorithm>
#include <numeric>
#include <vector>

namespace
{

// Edit distance with adjacent swaps counted as one edit ("Prot" for "Port"); Qt has none.
int editDistance(const QString &a, const QString &b)
{
    const qsizetype n = a.size(), m = b.size();
    std::vector<std::vector<int>> d(size_t(n + 1), std::vector<int>(size_t(m + 1)));
    for (qsizetype i = 0; i <= n; ++i)
        d[size_t(i)][0] = int(i);
    std::iota(d[0].begin(), d[0].end(), 0);
    for (qsizetype i = 1; i <= n; ++i) {
        for (qsizetype j = 1; j <= m; ++j) {
            const int cost = a[i - 1] == b[j - 1] ? 0 : 1;
            int best = std::min({d[size_t(i - 1)][size_t(j)] + 1, d[size_t(i)][size_t(j - 1)] + 1,
                                 d[size_t(i - 1)][size_t(j - 1)] + cost});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                best = std::min(best, d[size_t(i - 2)][size_t(j - 2)] + 1);
            d[size_t(i)][size_t(j)] = best;
        }
    }
    return d[size_t(n)][size_t(m)];
}

} // namespace

QString nearestName(const QString &word, const QStringList &names)
{
    const QString folded = word.toCaseFolded();
    QString best;
    int bestDistance = 0;
    for (const QString &name : names) {
        const int distance = editDistance(folded, name.toCaseFolded());
        const int allowed = std::max<int>(2, int(name.size() / 3));
        if (distance <= allowed && (best.isEmpty() || distance < bestDistance)) {
            best = name;
            bestDistance = distance;
        }
    }
    return best;
}
