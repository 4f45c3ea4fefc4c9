/*
 * The demo: a keying program sends a short CW call with PTT around it, and
 * the Key and PTT outputs the device receives are printed beside each line
 * change.
 */
#include "scenarios.h"

#include "device_setup.h"
#include "port_access.h"
#include "standin_client.h"

#include <cstdio>

namespace
{

struct Step
{
    DWORD function;
    const char* action;
};

const char* LineName(DWORD function)
{
    switch (function)
    {
    case SETDTR:
        return "SETDTR";
    case CLRDTR:
        return "CLRDTR";
    case SETRTS:
        return "SETRTS";
    case CLRRTS:
        return "CLRRTS";
    default:
        return "?";
    }
}

} // namespace

int RunDemo(const char* portName)
{
    std::printf("Waiting for the Velkor keying port %s...\n", portName);
    std::string target;
    for (int tries = 0; tries < 200 && target.empty(); ++tries)
    {
        target = DosDeviceTarget(portName);
        if (target.empty())
            Sleep(50);
    }
    StandInClient standIn;
    HANDLE port = target.empty() ? INVALID_HANDLE_VALUE : OpenPort(portName);
    if (!standIn.IsOpen() || port == INVALID_HANDLE_VALUE)
    {
        std::printf("The port did not come up (error %lu).\n", GetLastError());
        return 1;
    }
    DeviceFacts facts = FindDevice(CollectionHardwareId);
    std::printf("%s is published for %s (driver %s),\n", portName, facts.instanceId.c_str(),
                facts.service.c_str());
    std::printf("mapped as installed: Key on DTR, PTT on RTS, neither inverted.\n\n");

    EscapeCommFunction(port, CLRDTR);
    EscapeCommFunction(port, CLRRTS);
    standIn.Clear();

    // PTT on, "K" (dah dit dah), PTT off.
    const Step steps[] = {
        {SETRTS, "PTT on"},         {SETDTR, "key down (dah)"}, {CLRDTR, "key up"},
        {SETDTR, "key down (dit)"}, {CLRDTR, "key up"},         {SETDTR, "key down (dah)"},
        {CLRDTR, "key up"},         {CLRRTS, "PTT off"},
    };
    std::printf(
        "  keying program          line     DTR RTS   report to the device          Key PTT\n");
    int dtr = 0, rts = 0;
    size_t seen = 0;
    for (const Step& step : steps)
    {
        EscapeCommFunction(port, step.function);
        if (step.function == SETDTR || step.function == CLRDTR)
            dtr = step.function == SETDTR;
        else
            rts = step.function == SETRTS;
        std::vector<STANDIN_REPORT> reports = standIn.WaitForReports(seen + 1, 1000);
        char report[40] = "(none)";
        int key = -1, ptt = -1;
        if (reports.size() > seen)
        {
            const STANDIN_REPORT& r = reports[seen];
            std::snprintf(report, sizeof(report), "00 %02X %02X %02X %02X %02X %02X %02X %02X",
                          r.Data[0], r.Data[1], r.Data[2], r.Data[3], r.Data[4], r.Data[5],
                          r.Data[6], r.Data[7]);
            key = r.Data[1] & 1;
            ptt = (r.Data[1] >> 1) & 1;
            seen = reports.size();
        }
        std::printf("  %-22s  %-7s   %d   %d    %-28s   %d   %d\n", step.action,
                    LineName(step.function), dtr, rts, report, key, ptt);
    }
    std::printf("\nWith neither output inverted a raised line drives its output to 0; "
                "an output\nwith no line stays 1. Invert them in the Port settings page.\n");
    CloseHandle(port);
    return 0;
}
