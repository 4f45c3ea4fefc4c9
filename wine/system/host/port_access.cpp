#include "port_access.h"

#include "check.h"
#include "device_setup.h"
#include "scenarios.h"

#include <cstdio>
#include <cstring>

const char InstalledPortName[] = "COM40";
const DWORD HidGetManufacturerString = 0x000B01BA;
const std::vector<DWORD> RaiseBothThenDrop = {SETDTR, SETRTS, CLRDTR, CLRRTS};

HANDLE OpenPort(const std::string& name, bool overlapped)
{
    return CreateFileA(("\\\\.\\" + name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL,
                       OPEN_EXISTING, overlapped ? FILE_FLAG_OVERLAPPED : 0, NULL);
}

DWORD SendPrivateControl(HANDLE port, DWORD code)
{
    DWORD returned = 0;
    if (DeviceIoControl(port, code, NULL, 0, NULL, 0, &returned, NULL))
        return ERROR_SUCCESS;
    return GetLastError();
}

bool RunLineSequence(HANDLE port, const std::vector<DWORD>& functions)
{
    for (DWORD function : functions)
        if (!EscapeCommFunction(port, function))
            return false;
    return true;
}

bool StoreKeyingSettings(const KeyingSettings& settings)
{
    HKEY key = OpenDeviceKey(CollectionHardwareId);
    if (key == NULL)
        return false;
    bool stored = SetDwordValue(key, "KeyFunc", settings.keyFunc) &&
                  SetDwordValue(key, "PttFunc", settings.pttFunc) &&
                  SetDwordValue(key, "KeyLogic", settings.keyLogic) &&
                  SetDwordValue(key, "PttLogic", settings.pttLogic);
    RegCloseKey(key);
    return stored;
}

std::string DosDeviceTarget(const std::string& name)
{
    char target[1024] = {};
    if (QueryDosDeviceA(name.c_str(), target, sizeof(target)) == 0)
        return "";
    return target;
}

std::vector<std::string> SerialCommEntriesFor(const std::string& portName)
{
    std::vector<std::string> names;
    for (const auto& value : ReadSerialComm())
        if (_stricmp(value.second.c_str(), portName.c_str()) == 0)
            names.push_back(value.first);
    return names;
}

std::string Described(const std::string& target)
{
    return target.empty() ? "no such name" : target;
}

bool ResetLines(HANDLE port, StandInClient& standIn)
{
    bool reset = RunLineSequence(port, {CLRDTR, CLRRTS});
    standIn.Clear();
    return reset;
}

bool ApplySettings(HANDLE port, const KeyingSettings& settings)
{
    return StoreKeyingSettings(settings) &&
           SendPrivateControl(port, IOCTL_KEYER_RELOAD_SETTINGS) == ERROR_SUCCESS;
}

namespace
{

std::string StateList(const std::vector<unsigned char>& states)
{
    return states.empty() ? "no reports" : HexBytes(states.data(), states.size());
}

} // namespace

bool CheckKeyingReports(const std::string& what, StandInClient& standIn,
                        const std::vector<unsigned char>& states)
{
    // Every line change completes only after its write completed below, so
    // the reports are already there when EscapeCommFunction returns.
    std::vector<STANDIN_REPORT> reports = standIn.Reports();
    std::vector<unsigned char> seen;
    std::string malformed;
    for (const STANDIN_REPORT& report : reports)
    {
        seen.push_back(report.Data[1]);
        static const unsigned char zeros[6] = {};
        if (report.ReportId != 0 || report.Length != 8 || report.Data[0] != 0x01 ||
            std::memcmp(report.Data + 2, zeros, sizeof(zeros)) != 0)
            malformed += " [id " + std::to_string(report.ReportId) + ": " +
                         HexBytes(report.Data, report.Length < 16 ? report.Length : 16) + "]";
    }
    bool passed = Check(seen == states, what + ": state bytes", StateList(states), StateList(seen));
    if (!malformed.empty())
        passed = Check(false, what + ": report layout", "01 <state> 00 00 00 00 00 00 after id 0",
                       malformed);
    return passed;
}

int HoldWaitAndExit(const char* portName)
{
    HANDLE port = OpenPort(portName, true);
    if (port == INVALID_HANDLE_VALUE)
        return 1;
    OVERLAPPED overlapped = {};
    overlapped.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    DWORD events = 0;
    SetCommMask(port, EV_CTS);
    if (WaitCommEvent(port, &events, &overlapped) || GetLastError() != ERROR_IO_PENDING)
        return 2;
    // Leave without closing or cancelling: the system must end the wait.
    ExitProcess(0);
}

int HoldKeyedUntilKilled(const char* portName)
{
    HANDLE port = OpenPort(portName);
    if (port == INVALID_HANDLE_VALUE || !EscapeCommFunction(port, SETRTS))
        return 1;
    // PTT on, and never let go: the parent kills this process.
    Sleep(INFINITE);
    return 0;
}
