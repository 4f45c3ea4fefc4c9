#include "latency_figures.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

Stopwatch::Stopwatch()
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    ticksPerMicrosecond_ = static_cast<double>(frequency.QuadPart) / 1e6;
}

LONGLONG Stopwatch::Now() const
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

double Stopwatch::Microseconds(LONGLONG from, LONGLONG to) const
{
    return static_cast<double>(to - from) / ticksPerMicrosecond_;
}

namespace
{

double Rank(const std::vector<double>& sorted, double fraction)
{
    size_t rank = static_cast<size_t>(std::ceil(fraction * sorted.size()));
    return sorted[rank == 0 ? 0 : rank - 1];
}

} // namespace

Figures Summarize(std::vector<double> samples)
{
    Figures figures;
    if (samples.empty())
        return figures;
    std::sort(samples.begin(), samples.end());
    figures.count = samples.size();
    figures.median = Rank(samples, 0.5);
    figures.p90 = Rank(samples, 0.9);
    figures.p99 = Rank(samples, 0.99);
    figures.max = samples.back();
    return figures;
}

bool WriteSamples(const std::string& path, const std::vector<double>& samples)
{
    FILE* file = std::fopen(path.c_str(), "w");
    if (file == NULL)
        return false;
    for (double sample : samples)
        std::fprintf(file, "%.1f\n", sample);
    return std::fclose(file) == 0;
}

void PrintFiguresHeader()
{
    std::printf("  %-46s %7s %8s %8s %8s %8s\n", "", "calls", "median", "p90", "p99", "max");
}

void PrintFigures(const char* label, const Figures& figures)
{
    std::printf("  %-46s %7u %8.1f %8.1f %8.1f %8.1f\n", label,
                static_cast<unsigned>(figures.count), figures.median, figures.p90, figures.p99,
                figures.max);
}
