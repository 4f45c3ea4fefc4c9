// Runs every bad-registry-data case of the page in a process of its own and
// prints what the page shows for each, then the figure:
//   bad registry data: N cases, 0 overruns, 0 crashes
// An overrun is a sanitizer report (the sanitize build: out-of-bounds
// access, or undefined behaviour); a crash is a case that died by a signal;
// a case whose outcome differs from the stated one is counted apart. Exits
// non-zero unless all three are zero.
#include "BadRegistryData.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace
{

constexpr int kSanitizerExit = 86;
constexpr int kDiffersExit = 3;

} // namespace

// Tell a sanitizer report apart from a plain failure; unused without them.
// Faults on signals are left to the signal, so that they count as crashes.
extern "C" const char* __asan_default_options()
{
    return "exitcode=86:handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0";
}
extern "C" const char* __ubsan_default_options()
{
    return "exitcode=86:print_stacktrace=1";
}

int main()
{
    using namespace vkprop::test;
    const auto& cases = BadDataCases();
    const PageOutcome intact = IntactOutcome();
    int overruns = 0, crashes = 0, differ = 0;
    for (const BadDataCase& badCase : cases)
    {
        std::fflush(stdout);
        const pid_t child = fork();
        if (child < 0)
        {
            std::perror("fork");
            return 2;
        }
        if (child == 0)
        {
            const PageOutcome outcome = ShowAndApply(badCase);
            const PageOutcome expected = ExpectedOutcome(badCase);
            std::string shown;
            for (const auto& [field, value] : outcome)
            {
                auto was = intact.find(field);
                if (was == intact.end() || was->second != value)
                    shown += (shown.empty() ? "" : "; ") + field + " " + value;
            }
            std::printf("%-4s %s | %s\n", outcome == expected ? "ok" : "DIFF",
                        badCase.title.c_str(), shown.empty() ? "as intact" : shown.c_str());
            if (outcome != expected)
            {
                for (const auto& [field, value] : expected)
                {
                    auto got = outcome.find(field);
                    if (got == outcome.end() || got->second != value)
                        std::printf("       %s: stated %s, shown %s\n", field.c_str(),
                                    value.c_str(),
                                    got == outcome.end() ? "(nothing)" : got->second.c_str());
                }
            }
            std::fflush(stdout);
            _exit(outcome == expected ? 0 : kDiffersExit);
        }
        int status = 0;
        waitpid(child, &status, 0);
        if (WIFSIGNALED(status))
        {
            ++crashes;
            std::printf("CRASH %s (signal %d)\n", badCase.title.c_str(), WTERMSIG(status));
        }
        else if (WEXITSTATUS(status) == kSanitizerExit)
        {
            ++overruns;
            std::printf("OVERRUN %s\n", badCase.title.c_str());
        }
        else if (WEXITSTATUS(status) != 0)
            ++differ;
    }
    std::printf("bad registry data: %zu cases, %d overruns, %d crashes", cases.size(), overruns,
                crashes);
    if (differ)
        std::printf(", %d outcomes other than stated", differ);
    std::printf("\n");
    return overruns || crashes || differ ? 1 : 0;
}
