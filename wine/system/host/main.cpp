/*
 * systemtest: installs the driver package and the stand-in device as an
 * installer would, then drives the port through kernel32 as keying software
 * would. One command per step so that the shell script can keep one
 * wineserver alive across them.
 */
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "check.h"
#include "device_setup.h"
#include "scenarios.h"

namespace
{

int Usage()
{
    std::printf("usage: systemtest stage <inf> <sys>\n"
                "       systemtest plug <stand-in inf> [manufacturer]\n"
                "       systemtest unplug\n"
                "       systemtest standin <manufacturer> [COMn]\n"
                "       systemtest standin-unplug\n"
                "       systemtest port <vkprop.dll> <free COM name for the page> <stand-in inf>\n"
                "       systemtest two-keyers <stand-in inf> <COMn held by the first>\n"
                "       systemtest demo <COMn>\n"
                "       systemtest plug-cycles <stand-in inf> <cycles>\n"
                "       systemtest catalog <vkserial.cat> <vkserial.inf> <member>...\n");
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    setvbuf(stdout, NULL, _IONBF, 0);
    if (argc < 2)
        return Usage();
    std::string command = argv[1];

    if (command == "stage" && argc == 4)
        return StageDriverPackage(argv[2], argv[3]) ? 0 : 1;
    if (command == "plug" && (argc == 3 || argc == 4))
        return PlugStandIn(argv[2], argc == 4 ? argv[3] : "") ? 0 : 1;
    if (command == "unplug" && argc == 2)
        return UnplugStandIn() ? 0 : 1;
    if (command == "standin" && (argc == 3 || argc == 4))
    {
        RunStandInScenarios(argv[2], argc == 4 ? argv[3] : NULL);
        return Summary();
    }
    if (command == "port" && argc == 5)
    {
        BOOL wow64 = FALSE;
        IsWow64Process(GetCurrentProcess(), &wow64);
        std::printf("(test host: %d-bit%s)\n", static_cast<int>(sizeof(void*) * 8),
                    wow64 ? ", under WoW64" : "");
        RunPortScenarios(argv[2], argv[3], argv[4]);
        return Summary();
    }
    if (command == "two-keyers" && argc == 4)
    {
        RunTwoKeyerScenario(argv[2], argv[3]);
        return Summary();
    }
    if (command == "hold-wait" && argc == 3)
        return HoldWaitAndExit(argv[2]);
    if (command == "hold-keyed" && argc == 3)
        return HoldKeyedUntilKilled(argv[2]);
    if (command == "plug-cycles" && argc == 4 && std::atoi(argv[3]) > 0)
    {
        int clean = RunPlugCycles(argv[2], std::atoi(argv[3]));
        return Summary() == 0 ? clean : 1;
    }
    if (command == "catalog" && argc >= 5)
    {
        RunCatalogScenario(argv[2], argv[3], std::vector<std::string>(argv + 4, argv + argc));
        return Summary();
    }
    if (command == "demo" && argc == 3)
        return RunDemo(argv[2]);
    if (command == "standin-unplug" && argc == 2)
    {
        RunStandInUnplugScenario();
        return Summary();
    }
    return Usage();
}
