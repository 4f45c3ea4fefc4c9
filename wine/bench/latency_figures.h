/*
 * Samples of one method and the figures printed for them. Times are kept in
 * microseconds from QueryPerformanceCounter.
 */
#pragma once

#include <windows.h>

#include <string>
#include <vector>

class Stopwatch
{
  public:
    Stopwatch();
    LONGLONG Now() const;
    double Microseconds(LONGLONG from, LONGLONG to) const;

  private:
    double ticksPerMicrosecond_;
};

struct Figures
{
    size_t count = 0;
    double median = 0;
    double p90 = 0;
    double p99 = 0;
    double max = 0;
};

/* Nearest-rank percentiles: each figure is a latency that was measured. */
Figures Summarize(std::vector<double> samples);

/* One sample a line, for the plot. */
bool WriteSamples(const std::string& path, const std::vector<double>& samples);

void PrintFiguresHeader();
void PrintFigures(const char* label, const Figures& figures);
