#include "BenchStats.h"

#include <algorithm>
#include <cmath>

double BenchSummary::SpreadPercent() const
{
    return median != 0 ? 100.0 * (high - low) / median : 0;
}

BenchSummary BenchStats::Summarize(QVector<double> values)
{
    BenchSummary summary;
    if (values.isEmpty())
        return summary;
    std::sort(values.begin(), values.end());
    const int n = values.size();
    summary.median = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    summary.low = values.first();
    summary.high = values.last();
    summary.samples = n;
    return summary;
}

double BenchStats::Percentile(QVector<double> values, double p)
{
    if (values.isEmpty())
        return 0;
    std::sort(values.begin(), values.end());
    const int rank = int(std::ceil(p / 100.0 * values.size()));
    return values[std::clamp(rank - 1, 0, values.size() - 1)];
}
