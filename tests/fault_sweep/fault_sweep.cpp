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
#include <cstdlib>
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
 * Runs the scenario with the fault (none: clean) and returns what was
 * wrong. Fills Points with the failure points the step passed through.
 */
Problems RunScenario(const Scenario& scenario, Answering answering, const Fault* fault,
                     std::vector<FailurePoint>* points)
{
    const FailurePoint* point = fault ? &fault->point : nullptr;
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
        if (fault)
            Arm(stack, *fault);
        NTSTATUS status = scenario.step(stack);
        bool lowerFailed = Disarm();
        Tally after = TakeTally();

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
                reached =
                    after.calls.at(point->call) - before.calls.at(point->call) >= point->ordinal;
                if (reached && point->call == hk::KernelCall::QueryValue)
                    reached = hk::QueriedValueNames().at(before.queried + point->ordinal - 1) ==
                              point->value;
                break;
            }
            if (!reached)
                problems.push_back("the step did not reach this point");
        }

        /* Undoing work never changes what the requester is told. */
        NTSTATUS expected = scenario.expected(point, stack);
        if (status != expected)
            problems.push_back(std::string(scenario.name) + " returned " + Hex(status) +
                               ", expected " + Hex(expected));
        scenario.check(fault, status, stack, problems);

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

const hk::KernelCall undoingCalls[] = {
    hk::KernelCall::DeleteSymbolicLink, hk::KernelCall::DeleteRegistryValue,
    hk::KernelCall::DeleteValue, hk::KernelCall::SetInterfaceState};

std::map<hk::KernelCall, unsigned> CountUndoing(const std::vector<FailurePoint>& points)
{
    std::map<hk::KernelCall, unsigned> counts;
    for (hk::KernelCall call : undoingCalls)
        counts[call] = 0;
    for (const FailurePoint& point : points)
        if (point.kind == PointKind::Kernel && UndoesWork(point.call))
            counts[point.call]++;
    return counts;
}

/*
 * Faulted runs of one scenario, each in a child, a few at a time. A child
 * also tells how many undoing calls its step made, so the calls that only
 * an error path makes can be failed in turn.
 */
class FaultRunner
{
  public:
    struct Result
    {
        bool passed = false;
        std::map<hk::KernelCall, unsigned> undoing;
    };

    FaultRunner(const Scenario& scenario, Answering answering, unsigned jobs)
        : scenario_(scenario), answering_(answering), jobs_(jobs)
    {
    }

    std::vector<Result> Run(const std::vector<Fault>& faults)
    {
        std::vector<Result> results(faults.size());
        std::map<pid_t, std::pair<size_t, int>> running; /* fault, pipe */
        size_t next = 0;
        while (next < faults.size() || !running.empty())
        {
            while (next < faults.size() && running.size() < jobs_)
            {
                int pipeFds[2];
                pid_t child = -1;
                if (pipe(pipeFds) == 0)
                {
                    child = Start(faults[next], pipeFds);
                    close(pipeFds[1]);
                }
                if (child < 0)
                    std::perror("starting a faulted run");
                else
                    running[child] = {next, pipeFds[0]};
                next++;
            }
            if (running.empty())
                continue;
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
            size_t index = found->second.first;
            results[index] = Finish(faults[index], status, found->second.second);
            running.erase(found);
        }
        return results;
    }

  private:
    pid_t Start(const Fault& fault, const int pipeFds[2])
    {
        std::fflush(stdout);
        std::fflush(stderr);
        pid_t child = fork();
        if (child != 0)
            return child;

        close(pipeFds[0]);
        alarm(secondsPerPoint);
        std::vector<FailurePoint> points;
        Problems problems = RunScenario(scenario_, answering_, &fault, &points);
        PrintProblems(scenario_, answering_, Describe(fault), problems);
        std::string counts;
        for (auto& entry : CountUndoing(points))
            counts += std::to_string(entry.second) + " ";
        if (write(pipeFds[1], counts.data(), counts.size()) < 0)
            std::perror("write");
        _exit(problems.empty() ? 0 : 1);
    }

    Result Finish(const Fault& fault, int status, int readFd)
    {
        Result result;
        char text[256] = {};
        ssize_t length = read(readFd, text, sizeof(text) - 1);
        close(readFd);
        if (length > 0)
        {
            const char* cursor = text;
            for (hk::KernelCall call : undoingCalls)
            {
                char* end;
                result.undoing[call] = (unsigned)std::strtoul(cursor, &end, 10);
                cursor = end;
            }
        }

        if (WIFEXITED(status))
        {
            result.passed = WEXITSTATUS(status) == 0;
            return result;
        }
        std::string what = WTERMSIG(status) == SIGALRM
                               ? "no answer in " + std::to_string(secondsPerPoint) + " s"
                               : std::string("killed by signal ") + strsignal(WTERMSIG(status));
        PrintProblems(scenario_, answering_, Describe(fault), {what});
        return result;
    }

    const Scenario& scenario_;
    Answering answering_;
    unsigned jobs_;
};

/*
 * The undoing calls a faulted run made beyond those of the clean run: its
 * error path. Each becomes a second failure on top of the first.
 */
std::vector<Fault> OnTheWayBack(const std::vector<FailurePoint>& clean,
                                const std::vector<Fault>& faults,
                                const std::vector<FaultRunner::Result>& results)
{
    std::map<hk::KernelCall, unsigned> cleanCounts = CountUndoing(clean);
    std::vector<Fault> unwinding;
    for (size_t i = 0; i < faults.size(); i++)
    {
        for (auto& entry : results[i].undoing)
        {
            hk::KernelCall call = entry.first;
            /* One failure per kind of call can be armed at a time. */
            if (faults[i].point.kind == PointKind::Kernel && faults[i].point.call == call)
                continue;
            for (unsigned ordinal = cleanCounts[call] + 1; ordinal <= entry.second; ordinal++)
            {
                Fault fault = faults[i];
                fault.unwinding = true;
                fault.onTheWayBack.kind = PointKind::Kernel;
                fault.onTheWayBack.call = call;
                fault.onTheWayBack.ordinal = ordinal;
                fault.onTheWayBack.of = entry.second;
                unwinding.push_back(fault);
            }
        }
    }
    return unwinding;
}

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

    unsigned scenarios = 0, points = 0, unwindingPoints = 0, runs = 0, failures = 0;
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

            std::vector<Fault> faults;
            for (const FailurePoint& point : found)
                faults.push_back(Fault{point, false, FailurePoint()});
            FaultRunner runner(scenario, answering, jobs);
            std::vector<FaultRunner::Result> results = runner.Run(faults);
            std::vector<Fault> unwinding = OnTheWayBack(found, faults, results);
            std::vector<FaultRunner::Result> unwound = runner.Run(unwinding);
            faults.insert(faults.end(), unwinding.begin(), unwinding.end());
            results.insert(results.end(), unwound.begin(), unwound.end());

            unsigned failed = 0;
            for (size_t i = 0; i < faults.size(); i++)
            {
                failed += !results[i].passed;
                if (verbose)
                    std::printf("  %s (%s), %s: %s\n", scenario.name, ModeName(answering),
                                Describe(faults[i]).c_str(), results[i].passed ? "ok" : "FAILED");
            }
            std::printf("%s (%s): %s, %zu on error paths, %u failed\n", scenario.name,
                        ModeName(answering), Breakdown(found).c_str(), unwinding.size(), failed);
            /* The same points whichever way the collection answers. */
            if (answering == Answering::AtOnce)
            {
                points += (unsigned)found.size();
                unwindingPoints += (unsigned)unwinding.size();
            }
            runs += (unsigned)faults.size();
            failures += failed;
        }
    }

    std::printf("fault sweep: %u scenarios, %u failure points (%u more on error paths), %u "
                "faulted runs (HID answering at once and pending), %u failures\n",
                scenarios, points, unwindingPoints, runs, failures);
    return failures == 0 && scenarios > 0 ? 0 : 1;
}
