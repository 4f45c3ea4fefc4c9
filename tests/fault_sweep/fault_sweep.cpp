/*
 * The fault sweep: every step of a port's life is run once clean to find
 * the failure points it passes through (pool allocations, requests to the
 * HID collection, registry, link and interface calls), then once for each
 * point with exactly that point failing. All of it twice: with the HID
 * collection answering at once, and with it pending its answers and
 * completing them from another thread. Each faulted run happens in a
 * child process, so a crash or a hang is reported against its point and
 * the sweep goes on.
 *
 *     fault_sweep [-v] [scenario...]
 *
 * -v lists every point; naming scenarios sweeps only those. Prints
 * "fault sweep: S scenarios, P failure points, R faulted runs (...),
 * F failures" and exits 1 when F is not 0.
 */
#include "scenarios.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <map>
#include <sys/wait.h>
#include <unistd.h>

using namespace sweep;

namespace
{

/* A step waits for nothing that takes long; this is a hang. */
const unsigned secondsPerPoint = 30;

const char* ModeName(Answering answering)
{
    return answering == Answering::AtOnce ? "HID answers at once" : "HID pends";
}

/*
 * Runs the scenario with the point failing (none: clean) and returns what
 * was wrong. Fills Points, when given, with the failure points the step
 * passed through.
 */
Problems RunScenario(const Scenario& scenario, Answering answering, const FailurePoint* point,
                     std::vector<FailurePoint>* points)
{
    Problems problems;
    hk::ResetBench();
    hk::WString interfaceName;
    {
        Stack stack(answering);
        scenario.prepare(stack, problems);
        if (!problems.empty())
            return problems;

        Tally before = TakeTally();
        stack.BeginStep();
        if (point)
            Arm(stack, *point);
        NTSTATUS status = scenario.step(stack);
        bool lowerFailed = Disarm();
        Tally after = TakeTally();

        if (points)
            *points = PointsBetween(before, after);
        if (point)
        {
            /* The faulted run must have reached the point the clean run
               found there, or the sweep is not failing what it names. */
            bool reached = false;
            switch (point->kind)
            {
            case PointKind::Pool:
                reached = after.pool - before.pool >= point->ordinal;
                break;
            case PointKind::Lower:
                reached = lowerFailed;
                break;
            case PointKind::Kernel:
                reached = after.calls.at(point->call) - before.calls.at(point->call) >=
                          point->ordinal;
                if (reached && point->call == hk::KernelCall::QueryValue)
                    reached = hk::QueriedValueNames().at(before.queried + point->ordinal - 1) ==
                              point->value;
                break;
            }
            if (!reached)
                problems.push_back("the step did not reach this point");
        }

        NTSTATUS expected = scenario.expected(point, stack);
        if (status != expected)
            problems.push_back(std::string(scenario.name) + " returned " + Hex(status) +
                               ", expected " + Hex(expected));
        scenario.check(point, status, stack, problems);

        interfaceName = stack.InterfaceName();
        for (const std::string& problem : stack.TearDown())
            problems.push_back(problem);
    }
    for (const std::string& problem : Leftovers(point, scenario.removes, interfaceName))
        problems.push_back(problem);
    hk::ResetBench();
    return problems;
}

void PrintProblems(const Scenario& scenario, Answering answering, const std::string& where,
                   const Problems& problems)
{
    std::string text;
    for (const std::string& problem : problems)
        text += std::string("FAIL ") + scenario.name + " (" + ModeName(answering) + "), " + where +
                ": " + problem + "\n";
    /* One write, so lines of children running side by side do not mix. */
    if (!text.empty() && write(STDOUT_FILENO, text.data(), text.size()) < 0)
        std::perror("write");
}

/* Failed points of one scenario, each run in a child, a few at a time. */
class PointRunner
{
  public:
    PointRunner(const Scenario& scenario, Answering answering, unsigned jobs)
        : scenario_(scenario), answering_(answering), jobs_(jobs)
    {
    }

    /* Returns, per point, whether it passed. */
    std::vector<bool> Run(const std::vector<FailurePoint>& points)
    {
        std::vector<bool> passed(points.size(), false);
        std::map<pid_t, size_t> running;
        size_t next = 0;
        while (next < points.size() || !running.empty())
        {
            while (next < points.size() && running.size() < jobs_)
            {
                pid_t child = Start(points[next]);
                if (child < 0)
                    passed[next] = false;
                else
                    running[child] = next;
                next++;
            }
            int status = 0;
            pid_t done = waitpid(-1, &status, 0);
            if (done < 0)
            {
                if (errno == EINTR)
                    continue;
                std::perror("waitpid");
                break;
            }
            auto found = running.find(done);
            if (found == running.end())
                continue;
            passed[found->second] = Passed(points[found->second], status);
            running.erase(found);
        }
        return passed;
    }

  private:
    pid_t Start(const FailurePoint& point)
    {
        std::fflush(stdout);
        std::fflush(stderr);
        pid_t child = fork();
        if (child < 0)
        {
            std::perror("fork");
            return child;
        }
        if (child == 0)
        {
            alarm(secondsPerPoint);
            Problems problems = RunScenario(scenario_, answering_, &point, nullptr);
            PrintProblems(scenario_, answering_, Describe(point), problems);
            _exit(problems.empty() ? 0 : 1);
        }
        return child;
    }

    bool Passed(const FailurePoint& point, int status)
    {
        if (WIFEXITED(status))
            return WEXITSTATUS(status) == 0;
        std::string what = WTERMSIG(status) == SIGALRM
                               ? "no answer in " + std::to_string(secondsPerPoint) + " s"
                               : std::string("killed by signal ") + strsignal(WTERMSIG(status));
        PrintProblems(scenario_, answering_, Describe(point), {what});
        return false;
    }

    const Scenario& scenario_;
    Answering answering_;
    unsigned jobs_;
};

std::string Breakdown(const std::vector<FailurePoint>& points)
{
    unsigned pool = 0, lower = 0, kernel = 0;
    for (const FailurePoint& point : points)
    {
        pool += point.kind == PointKind::Pool;
        lower += point.kind == PointKind::Lower;
        kernel += point.kind == PointKind::Kernel;
    }
    return std::to_string(points.size()) + " points (" + std::to_string(pool) + " pool, " +
           std::to_string(lower) + " HID, " + std::to_string(kernel) + " registry/link/interface)";
}

} // namespace

int main(int argc, char** argv)
{
    bool verbose = false;
    std::vector<std::string> only;
    for (int i = 1; i < argc; i++)
    {
        if (std::strcmp(argv[i], "-v") == 0)
            verbose = true;
        else
            only.push_back(argv[i]);
    }
    long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    unsigned jobs = cpus > 1 ? (unsigned)cpus : 1;

    unsigned scenarios = 0, points = 0, runs = 0, failures = 0;
    for (const Scenario& scenario : Scenarios())
    {
        if (!only.empty() && std::find(only.begin(), only.end(), scenario.name) == only.end())
            continue;
        scenarios++;

        for (Answering answering : {Answering::AtOnce, Answering::Pending})
        {
            std::vector<FailurePoint> found;
            Problems problems = RunScenario(scenario, answering, nullptr, &found);
            PrintProblems(scenario, answering, "clean run", problems);
            failures += !problems.empty();

            std::vector<bool> passed = PointRunner(scenario, answering, jobs).Run(found);
            unsigned failed = 0;
            for (size_t i = 0; i < found.size(); i++)
            {
                failed += !passed[i];
                if (verbose)
                    std::printf("  %s (%s), %s: %s\n", scenario.name, ModeName(answering),
                                Describe(found[i]).c_str(), passed[i] ? "ok" : "FAILED");
            }
            std::printf("%s (%s): %s, %u failed\n", scenario.name, ModeName(answering),
                        Breakdown(found).c_str(), failed);
            /* The same points whichever way the collection answers. */
            if (answering == Answering::AtOnce)
                points += (unsigned)found.size();
            runs += (unsigned)found.size();
            failures += failed;
        }
    }

    std::printf("fault sweep: %u scenarios, %u failure points, %u faulted runs (HID answering at "
                "once and pending), %u failures\n",
                scenarios, points, runs, failures);
    return failures == 0 && scenarios > 0 ? 0 : 1;
}
