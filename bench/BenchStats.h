#pragma once

#include <QVector>

// Statistics of repeated measurements: the median and the spread (lowest and highest value) of
// the per-block results, and percentiles of latency samples.
struct BenchSummary
{
    double median = 0;
    double low = 0;
    double high = 0;
    int samples = 0;

    bool IsValid() const { return samples > 0; }
    // (high - low) / median, in percent: how far apart the blocks were.
    double SpreadPercent() const;
};

class BenchStats
{
public:
    static BenchSummary Summarize(QVector<double> values);
    // The p-th percentile (0..100) by nearest rank.
    static double Percentile(QVector<double> values, double p);
};
