/*
 * vkserial above Wine's hidclass and the stand-in, driven only through
 * kernel32 as keying software, an installer and Device Manager would drive
 * it: the port's publication, its line settings, data and pass-through,
 * waits, the republished name and the device's removal. The scenarios run
 * in this order on one device, which the last one unplugs.
 */
#include "scenarios.h"

#include "check.h"
#include "device_setup.h"
#include "hid_access.h"
#include "page_apply.h"
#include "port_access.h"
#include "port_scenarios.h"
#include "standin_client.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace
{

const DWORD SerialSetWaitMask = 0x001B0044;

void PackageBindsAndPublishes()
{
    BeginScenario("The staged package binds to the Velkor collection and publishes COM40");
    DeviceFacts facts = WaitForDevice(CollectionHardwareId, "vkserial", 10000);
    CheckEqualText("collection's service", "vkserial", facts.service);

    HKEY key = OpenDeviceKey(CollectionHardwareId);
    if (CheckCall(key != NULL, "open the collection's device key"))
    {
        std::string portName;
        DWORD keyFunc = 99, pttFunc = 99, keyLogic = 99, pttLogic = 99;
        ReadStringValue(key, "PortName", &portName);
        ReadDwordValue(key, "KeyFunc", &keyFunc);
        ReadDwordValue(key, "PttFunc", &pttFunc);
        ReadDwordValue(key, "KeyLogic", &keyLogic);
        ReadDwordValue(key, "PttLogic", &pttLogic);
        RegCloseKey(key);
        CheckEqualText("installed PortName", InstalledPortName, portName);
        CheckEqual("installed KeyFunc (DTR)", 1, keyFunc);
        CheckEqual("installed PttFunc (RTS)", 2, pttFunc);
        CheckEqual("installed KeyLogic", 0, keyLogic);
        CheckEqual("installed PttLogic", 0, pttLogic);
    }

    // The start publishes asynchronously to the installer: poll briefly.
    std::string target;
    for (int tries = 0; tries < 100 && target.empty(); ++tries)
    {
        target = DosDeviceTarget(InstalledPortName);
        if (target.empty())
            Sleep(50);
    }
    Check(!target.empty(), "DOS name COM40", "a link to the port's interface", Described(target));
    std::vector<std::string> entries = SerialCommEntriesFor(InstalledPortName);
    CheckEqual("SERIALCOMM values with data COM40", 1, entries.size());
    if (entries.size() == 1)
        Note("SERIALCOMM " + entries[0] + " = COM40");
}

void CommStateBeforeAnySet(HANDLE port, StandInClient& standIn)
{
    BeginScenario("A serial program reads and sets the line settings");
    standIn.Clear();
    DCB dcb = {};
    dcb.DCBlength = sizeof(dcb);
    if (CheckCall(GetCommState(port, &dcb) != FALSE, "GetCommState"))
        CheckEqual("baud rate before any set", 2048, dcb.BaudRate);
    dcb.BaudRate = 9600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    CheckCall(SetCommState(port, &dcb) != FALSE, "SetCommState 9600 8N1");
    DCB after = {};
    after.DCBlength = sizeof(after);
    if (CheckCall(GetCommState(port, &after) != FALSE, "GetCommState again"))
        CheckEqual("baud rate after set", 9600, after.BaudRate);

    DWORD mask = 0;
    CheckCall(SetCommMask(port, EV_RXCHAR | EV_CTS) != FALSE, "SetCommMask");
    if (CheckCall(GetCommMask(port, &mask) != FALSE, "GetCommMask"))
        CheckEqualHex("mask read back", EV_RXCHAR | EV_CTS, mask);
    CheckEqual("reports sent by line settings", 0, standIn.Reports().size());
}

void DataAndPassThrough(HANDLE port, StandInClient& standIn)
{
    BeginScenario("The port swallows data until a HID control hands it to the collection");
    ResetLines(port, standIn);
    unsigned char data[100];
    std::memset(data, 'V', sizeof(data));
    DWORD done = 0;
    BOOL ok = WriteFile(port, data, sizeof(data), &done, NULL);
    Check(ok && done == 100, "write 100 bytes", "100 bytes written",
          ok ? std::to_string(done) + " bytes written" : LastErrorText());
    ok = ReadFile(port, data, sizeof(data), &done, NULL);
    Check(ok && done == 0, "read", "success with 0 bytes",
          ok ? std::to_string(done) + " bytes" : LastErrorText());
    CheckKeyingReports("data on the port", standIn, {});

    wchar_t text[128] = {};
    DWORD returned = 0;
    ok = DeviceIoControl(port, HidGetManufacturerString, NULL, 0, text, sizeof(text), &returned,
                         NULL);
    std::string manufacturer;
    for (const wchar_t* p = text; *p; ++p)
        manufacturer += static_cast<char>(*p);
    CheckEqualText(ok ? "HID manufacturer control on the port"
                      : "HID manufacturer control on the port (" + LastErrorText() + ")",
                   "QX7LMN/1", manufacturer);

    // The private control is neither serial nor HID: it leaves the hand-over as it is.
    CheckEqual("reload between (Win32 error)", ERROR_SUCCESS,
               SendPrivateControl(port, IOCTL_KEYER_RELOAD_SETTINGS));
    const unsigned char raw[9] = {0x00, 0x01, 0x5A, 0, 0, 0, 0, 0, 0};
    ok = WriteFile(port, raw, sizeof(raw), &done, NULL);
    CheckCall(ok != FALSE, "9-byte write after the HID control and the reload");
    EscapeCommFunction(port, SETDTR);
    ok = WriteFile(port, raw, sizeof(raw), &done, NULL);
    CheckCall(ok != FALSE, "9-byte write after the next serial control");
    // 5A: the raw write reached the device; 02: SETDTR; nothing more: the
    // serial control took the port back from the HID stack.
    CheckKeyingReports("raw write, SETDTR, raw write", standIn, {0x5A, 0x02});
}

void WaitsOnTheMask(StandInClient& standIn)
{
    BeginScenario("A keying program waits for line events");
    standIn.Clear();
    HANDLE port = OpenPort(InstalledPortName, true);
    if (!CheckCall(port != INVALID_HANDLE_VALUE, "open overlapped"))
        return;
    HANDLE event = CreateEventA(NULL, TRUE, FALSE, NULL);
    OVERLAPPED overlapped = {};
    overlapped.hEvent = event;
    DWORD events = 0xFFFF;
    DWORD returned = 0;

    SetCommMask(port, EV_TXEMPTY | EV_CTS);
    BOOL ok = WaitCommEvent(port, &events, &overlapped);
    if (!ok && GetLastError() == ERROR_IO_PENDING)
        ok = GetOverlappedResult(port, &overlapped, &returned, TRUE);
    Check(ok && events == EV_TXEMPTY, "wait with EV_TXEMPTY in the mask", "EV_TXEMPTY at once",
          ok ? Hex(events) : LastErrorText());

    SetCommMask(port, 0);
    events = 0xFFFF;
    ResetEvent(event);
    ok = WaitCommEvent(port, &events, &overlapped);
    if (!ok && GetLastError() == ERROR_IO_PENDING)
        ok = GetOverlappedResult(port, &overlapped, &returned, TRUE);
    Check(ok && events == 0, "wait with an empty mask", "0 at once",
          ok ? Hex(events) : LastErrorText());

    SetCommMask(port, EV_CTS);
    ResetEvent(event);
    events = 0xCCCCCCCC;
    ok = WaitCommEvent(port, &events, &overlapped);
    DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    CheckEqual("wait on EV_CTS (Win32 error; 997 = pending)", ERROR_IO_PENDING, error);
    if (error == ERROR_IO_PENDING)
    {
        CheckEqual("still waiting after 200 ms (258 = timeout)", WAIT_TIMEOUT,
                   WaitForSingleObject(event, 200));
        CheckCall(SetCommMask(port, EV_CTS) != FALSE, "SetCommMask while waiting");
        DWORD waited = WaitForSingleObject(event, 5000);
        CheckEqual("wait ended by SetCommMask (0 = signalled)", WAIT_OBJECT_0, waited);
        ok = waited == WAIT_OBJECT_0 && GetOverlappedResult(port, &overlapped, &returned, FALSE);
        // The program's variable is overwritten: no event, 4 bytes.
        Check(ok && returned == 4 && events == 0, "ended wait's result",
              "success, 4 bytes, events 0",
              ok ? std::to_string(returned) + " bytes, events " + Hex(events) : LastErrorText());
    }

    BeginScenario("A keying program gives up its wait with CancelIo");
    SetCommMask(port, EV_CTS);
    ResetEvent(event);
    ok = WaitCommEvent(port, &events, &overlapped);
    error = ok ? ERROR_SUCCESS : GetLastError();
    CheckEqual("wait on EV_CTS (Win32 error; 997 = pending)", ERROR_IO_PENDING, error);
    if (error == ERROR_IO_PENDING)
    {
        CheckCall(CancelIo(port) != FALSE, "CancelIo");
        DWORD waited = WaitForSingleObject(event, 5000);
        CheckEqual("wait ended by the cancel (0 = signalled)", WAIT_OBJECT_0, waited);
        if (waited == WAIT_OBJECT_0)
        {
            ok = GetOverlappedResult(port, &overlapped, &returned, FALSE);
            CheckEqual("cancelled wait's result (Win32 error; 995 = aborted)",
                       ERROR_OPERATION_ABORTED, ok ? ERROR_SUCCESS : GetLastError());
        }
    }
    // The slot the cancelled wait held must be free for the next one.
    ResetEvent(event);
    ok = WaitCommEvent(port, &events, &overlapped);
    error = ok ? ERROR_SUCCESS : GetLastError();
    CheckEqual("next wait (Win32 error; 997 = pending)", ERROR_IO_PENDING, error);

    BeginScenario("A short SET_WAIT_MASK ends the pending wait and is refused");
    if (error == ERROR_IO_PENDING)
    {
        DWORD shortMask = EV_RXCHAR;
        returned = 0;
        ok = DeviceIoControl(port, SerialSetWaitMask, &shortMask, 2, NULL, 0, &returned, NULL);
        CheckEqual("2-byte SET_WAIT_MASK (Win32 error; 87 = invalid parameter)",
                   ERROR_INVALID_PARAMETER, ok ? ERROR_SUCCESS : GetLastError());
        CheckEqual("pending wait ended (0 = signalled)", WAIT_OBJECT_0,
                   WaitForSingleObject(event, 5000));
        DWORD mask = 0;
        if (CheckCall(GetCommMask(port, &mask) != FALSE, "GetCommMask"))
            CheckEqualHex("mask kept", EV_CTS, mask);
    }

    BeginScenario("Two programs wait on the port: the second wait ends the first");
    HANDLE other = OpenPort(InstalledPortName, true);
    if (CheckCall(other != INVALID_HANDLE_VALUE, "second overlapped open"))
    {
        HANDLE otherEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
        OVERLAPPED otherOverlapped = {};
        otherOverlapped.hEvent = otherEvent;
        DWORD otherEvents = 0;
        SetCommMask(port, EV_CTS);
        ResetEvent(event);
        ok = WaitCommEvent(port, &events, &overlapped);
        CheckEqual("first wait (997 = pending)", ERROR_IO_PENDING, ok ? 0 : GetLastError());
        ok = WaitCommEvent(other, &otherEvents, &otherOverlapped);
        CheckEqual("second wait (997 = pending)", ERROR_IO_PENDING, ok ? 0 : GetLastError());
        CheckEqual("first wait ended (0 = signalled)", WAIT_OBJECT_0,
                   WaitForSingleObject(event, 5000));
        CheckEqual("second wait still pending (258 = timeout)", WAIT_TIMEOUT,
                   WaitForSingleObject(otherEvent, 200));
        // The mask is the device's, so a SetCommMask on either handle ends it.
        SetCommMask(port, EV_CTS);
        CheckEqual("second wait ended by SetCommMask (0 = signalled)", WAIT_OBJECT_0,
                   WaitForSingleObject(otherEvent, 5000));
        // Wine sends no cleanup: the close itself must end the handle's wait.
        ResetEvent(otherEvent);
        ok = WaitCommEvent(other, &otherEvents, &otherOverlapped);
        CheckEqual("wait before CloseHandle (997 = pending)", ERROR_IO_PENDING,
                   ok ? 0 : GetLastError());
        CloseHandle(other);
        CheckEqual("wait ended by CloseHandle (0 = signalled)", WAIT_OBJECT_0,
                   WaitForSingleObject(otherEvent, 5000));
        CloseHandle(otherEvent);
    }
    CheckEqual("reports sent by waits", 0, standIn.Reports().size());
    CloseHandle(event);
    CloseHandle(port);
}

bool StartSelf(const std::string& arguments, PROCESS_INFORMATION* child)
{
    char self[MAX_PATH] = {};
    GetModuleFileNameA(NULL, self, sizeof(self));
    std::string command = std::string("\"") + self + "\" " + arguments;
    STARTUPINFOA startup = {sizeof(startup)};
    return CreateProcessA(NULL, &command[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, child) !=
           FALSE;
}

void ProgramExitsWhileWaiting(HANDLE port)
{
    BeginScenario("A keying program exits while its wait is pending; the port goes on");
    PROCESS_INFORMATION child = {};
    if (!CheckCall(StartSelf(std::string("hold-wait ") + InstalledPortName, &child),
                   "start the waiting program"))
        return;
    DWORD ended = WaitForSingleObject(child.hProcess, 10000);
    CheckEqual("the program ended (0 = signalled)", WAIT_OBJECT_0, ended);
    DWORD code = 99;
    GetExitCodeProcess(child.hProcess, &code);
    CheckEqual("its exit code (0 = its wait was pending when it left)", 0, code);
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    // The next program's wait pends and ends as usual.
    HANDLE next = OpenPort(InstalledPortName, true);
    if (!CheckCall(next != INVALID_HANDLE_VALUE, "the next program opens the port"))
        return;
    OVERLAPPED overlapped = {};
    overlapped.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    DWORD events = 0;
    SetCommMask(next, EV_CTS);
    BOOL ok = WaitCommEvent(next, &events, &overlapped);
    CheckEqual("its wait (997 = pending)", ERROR_IO_PENDING, ok ? 0 : GetLastError());
    CheckCall(SetCommMask(port, 0) != FALSE, "SetCommMask from the first program");
    CheckEqual("its wait ended (0 = signalled)", WAIT_OBJECT_0,
               WaitForSingleObject(overlapped.hEvent, 5000));
    CloseHandle(overlapped.hEvent);
    CloseHandle(next);
}

unsigned char LastState(StandInClient& standIn, size_t count, DWORD timeoutMs)
{
    std::vector<STANDIN_REPORT> reports = standIn.WaitForReports(count, timeoutMs);
    return reports.size() < count ? 0xEE : reports[count - 1].Data[1];
}

/* The program's handle is the only one that moved a line: port is closed
   first and opened again after. */
void ProgramKilledWhileKeyed(HANDLE& port, StandInClient& standIn)
{
    BeginScenario("A keying program is killed with PTT on: the port's close drops the lines");
    CloseHandle(port);
    standIn.Clear();
    PROCESS_INFORMATION child = {};
    if (!CheckCall(StartSelf(std::string("hold-keyed ") + InstalledPortName, &child),
                   "start the keying program"))
        return;
    CheckEqual("its report: PTT on (01)", 0x01, LastState(standIn, 1, 10000));
    CheckCall(TerminateProcess(child.hProcess, 3) != FALSE, "TerminateProcess");
    CheckEqual("the program ended (0 = signalled)", WAIT_OBJECT_0,
               WaitForSingleObject(child.hProcess, 10000));
    CheckEqual("the last report: Key and PTT off (03)", 0x03, LastState(standIn, 2, 5000));
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    port = OpenPort(InstalledPortName);
    CheckCall(port != INVALID_HANDLE_VALUE, "open COM40 again");
}

void SustainedKeying(HANDLE port, StandInClient& standIn)
{
    BeginScenario("A keying program sends 200 line changes: each is reported once, in order");
    ResetLines(port, standIn);
    const int changes = 200;
    LARGE_INTEGER frequency, begin, end;
    QueryPerformanceFrequency(&frequency);
    double slowest = 0;
    bool allSucceeded = true;
    QueryPerformanceCounter(&begin);
    for (int i = 0; i < changes; ++i)
    {
        LARGE_INTEGER before, after;
        QueryPerformanceCounter(&before);
        allSucceeded &= EscapeCommFunction(port, i % 2 == 0 ? SETDTR : CLRDTR) != FALSE;
        QueryPerformanceCounter(&after);
        double ms = 1000.0 * (after.QuadPart - before.QuadPart) / frequency.QuadPart;
        if (ms > slowest)
            slowest = ms;
    }
    QueryPerformanceCounter(&end);
    CheckCall(allSucceeded, "200 EscapeCommFunction calls");
    std::vector<STANDIN_REPORT> reports = standIn.Reports();
    CheckEqual("reports", changes, reports.size());
    // Key on DTR, PTT on RTS (low): DTR up gives 02, down gives 03.
    int wrong = -1;
    for (size_t i = 0; i < reports.size() && wrong < 0; ++i)
    {
        unsigned char expected = i % 2 == 0 ? 0x02 : 0x03;
        if (reports[i].Data[1] != expected ||
            (i > 0 && reports[i].Sequence != reports[i - 1].Sequence + 1))
            wrong = static_cast<int>(i);
    }
    Check(wrong < 0, "order", "02 03 02 03 ... with consecutive sequence numbers",
          wrong < 0 ? "as expected" : "report " + std::to_string(wrong) + " differs");
    char timing[128];
    std::snprintf(timing, sizeof(timing),
                  "line change to completed report under Wine: mean %.2f ms, slowest %.2f ms",
                  1000.0 * (end.QuadPart - begin.QuadPart) / frequency.QuadPart / changes, slowest);
    Note(timing);
}

void RepublishMovesThePort(HANDLE port, StandInClient& standIn, const std::string& finalName)
{
    BeginScenario("The port name changes to COM41 and the driver republishes it");
    HKEY key = OpenDeviceKey(CollectionHardwareId);
    if (!CheckCall(key != NULL, "open the device key"))
        return;
    SetStringValue(key, "PortName", "COM41");
    CheckEqual("republish status (Win32 error)", ERROR_SUCCESS,
               SendPrivateControl(port, IOCTL_KEYER_REPUBLISH_PORT));
    Check(DosDeviceTarget("COM40").empty(), "COM40 after republish", "no such name",
          Described(DosDeviceTarget("COM40")));
    Check(!DosDeviceTarget("COM41").empty(), "COM41 after republish", "a link",
          Described(DosDeviceTarget("COM41")));
    CheckEqual("SERIALCOMM values with data COM40", 0, SerialCommEntriesFor("COM40").size());
    CheckEqual("SERIALCOMM values with data COM41", 1, SerialCommEntriesFor("COM41").size());

    ResetLines(port, standIn);
    CheckCall(EscapeCommFunction(port, SETDTR) != FALSE, "SETDTR on the handle opened as COM40");
    HANDLE moved = OpenPort("COM41");
    if (CheckCall(moved != INVALID_HANDLE_VALUE, "open COM41"))
    {
        EscapeCommFunction(moved, SETRTS);
        CloseHandle(moved);
    }
    CheckKeyingReports("old handle then new name", standIn, {0x02, 0x00});

    CheckEqual("second republish, name unchanged (Win32 error)", ERROR_SUCCESS,
               SendPrivateControl(port, IOCTL_KEYER_REPUBLISH_PORT));
    CheckEqual("SERIALCOMM values with data COM41", 1, SerialCommEntriesFor("COM41").size());

    BeginScenario(
        "PortName is gone: Identifier names the port, and without it nothing is published");
    DeleteValue(key, "PortName");
    SetStringValue(key, "Identifier", "COM43");
    CheckEqual("republish from Identifier (Win32 error)", ERROR_SUCCESS,
               SendPrivateControl(port, IOCTL_KEYER_REPUBLISH_PORT));
    Check(!DosDeviceTarget("COM43").empty(), "COM43", "a link",
          Described(DosDeviceTarget("COM43")));
    Check(DosDeviceTarget("COM41").empty(), "COM41", "no such name",
          Described(DosDeviceTarget("COM41")));

    DeleteValue(key, "Identifier");
    CheckEqual("republish with no name (Win32 error)", ERROR_FILE_NOT_FOUND,
               SendPrivateControl(port, IOCTL_KEYER_REPUBLISH_PORT));
    Check(DosDeviceTarget("COM43").empty(), "COM43 after the failed republish", "no such name",
          Described(DosDeviceTarget("COM43")));
    CheckEqual("SERIALCOMM values with data COM43", 0, SerialCommEntriesFor("COM43").size());

    SetStringValue(key, "PortName", finalName);
    RegCloseKey(key);
    CheckEqual("republish as " + finalName + " (Win32 error)", ERROR_SUCCESS,
               SendPrivateControl(port, IOCTL_KEYER_REPUBLISH_PORT));
    Check(!DosDeviceTarget(finalName).empty(), finalName, "a link",
          Described(DosDeviceTarget(finalName)));
}

struct LateLineChange
{
    HANDLE port;
    BOOL succeeded;
    DWORD error;
    LONG status; // the NTSTATUS behind the error
};

DWORD WINAPI RaiseDtrLate(void* param)
{
    typedef LONG(WINAPI * LastNtStatus)(void);
    LastNtStatus lastStatus = reinterpret_cast<LastNtStatus>(
        GetProcAddress(GetModuleHandleA("ntdll.dll"), "RtlGetLastNtStatus"));
    LateLineChange* call = static_cast<LateLineChange*>(param);
    call->succeeded = EscapeCommFunction(call->port, SETDTR);
    call->error = call->succeeded ? ERROR_SUCCESS : GetLastError();
    call->status = call->succeeded || !lastStatus ? 0 : lastStatus();
    return 0;
}

// The stand-in's own removal, which Wine sends after the collection's.
bool WaitForStandInRemoval(StandInClient& standIn, const STANDIN_STATE& before,
                           STANDIN_STATE* after)
{
    for (int tries = 0; tries < 100; ++tries)
    {
        if (standIn.State(after) && after->RemovalsAfterSurprise > before.RemovalsAfterSurprise)
            return true;
        Sleep(50);
    }
    return false;
}

void UnplugWithWaitPending(StandInClient& standIn, const std::string& name)
{
    BeginScenario("The device is unplugged while a keying program waits on " + name);
    HANDLE port = OpenPort(name, true);
    if (!CheckCall(port != INVALID_HANDLE_VALUE, "open " + name + " overlapped"))
        return;
    HANDLE event = CreateEventA(NULL, TRUE, FALSE, NULL);
    OVERLAPPED overlapped = {};
    overlapped.hEvent = event;
    DWORD events = 0xFFFF;
    SetCommMask(port, EV_RXCHAR);
    BOOL ok = WaitCommEvent(port, &events, &overlapped);
    DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    CheckEqual("wait on EV_RXCHAR (Win32 error; 997 = pending)", ERROR_IO_PENDING, error);

    STANDIN_STATE before = {};
    standIn.State(&before);
    DWORD start = GetTickCount();
    CheckCall(UnplugStandIn(), "DIF_REMOVE on the stand-in's root device");
    Note("removal took " + std::to_string(GetTickCount() - start) + " ms");

    if (error == ERROR_IO_PENDING)
    {
        DWORD waited = WaitForSingleObject(event, 5000);
        CheckEqual("wait ended by the removal (0 = signalled)", WAIT_OBJECT_0, waited);
        DWORD returned = 0;
        if (waited == WAIT_OBJECT_0)
            CheckCall(GetOverlappedResult(port, &overlapped, &returned, FALSE) != FALSE,
                      "ended wait's result");
    }

    // The withdrawal runs in the removal, after DIF_REMOVE returned: poll.
    std::string target = DosDeviceTarget(name);
    for (int tries = 0; tries < 60 && !target.empty(); ++tries)
    {
        Sleep(50);
        target = DosDeviceTarget(name);
    }
    Check(target.empty(), name + " after removal", "no such name", Described(target));
    // Every name this run published, and Wine's own COM1 is all that may stay.
    std::string left;
    for (const auto& value : ReadSerialComm())
        if (_stricmp(value.second.c_str(), "COM1") != 0)
            left += " " + value.first + "=" + value.second;
    Check(left.empty(), "SERIALCOMM after removal", "only Wine's COM1",
          left.empty() ? "only COM1" : left);
    HANDLE again = OpenPort(name);
    Check(again == INVALID_HANDLE_VALUE, "open " + name + " after removal", "failure",
          again == INVALID_HANDLE_VALUE ? LastErrorText() : "a handle");
    if (again != INVALID_HANDLE_VALUE)
        CloseHandle(again);

    // What Wine sends: a surprise removal, then at once the removal, to the
    // collection's stack and then to the stand-in's, whether or not a
    // program holds the port; the program's close is not waited for.
    STANDIN_STATE after = {};
    CheckCall(WaitForStandInRemoval(standIn, before, &after),
              "the stand-in's removal after its surprise removal");
    CheckEqual("surprise removals the stand-in received", 1,
               after.SurpriseRemovals - before.SurpriseRemovals);
    CheckEqual("stand-in removals that followed a surprise removal", 1,
               after.RemovalsAfterSurprise - before.RemovalsAfterSurprise);
    CheckEqual("stand-in reads pending after removal", 0, after.PendingReads);
    Check(after.ReadsCompletedAtRemoval >= before.PendingReads,
          "stand-in reads ended by the removal", "at least " + std::to_string(before.PendingReads),
          std::to_string(after.ReadsCompletedAtRemoval));

    // The keying program does not know yet: its next line change must come
    // back, failed (in a worker, so a hang shows as a failure, not a stuck
    // suite). The device is deleted by now, so the answer is Wine's.
    standIn.Clear();
    LateLineChange late = {port, FALSE, 0, 0};
    HANDLE worker = CreateThread(NULL, 0, RaiseDtrLate, &late, 0, NULL);
    DWORD finished = WaitForSingleObject(worker, 5000);
    CheckEqual("SETDTR on the handle left open returns (0 = returned)", WAIT_OBJECT_0, finished);
    if (finished == WAIT_OBJECT_0)
    {
        Check(!late.succeeded, "SETDTR on the handle left open", "a failure",
              late.succeeded ? "success" : "error " + std::to_string(late.error));
        Note("SETDTR after removal: NTSTATUS " + Hex(static_cast<unsigned long>(late.status)));
    }
    CloseHandle(worker);
    CheckKeyingReports("after removal", standIn, {});
    CloseHandle(event);
    CheckCall(CloseHandle(port), "close the handle left open");
}

} // namespace

void SetPortNameForNextStart(const std::string& name)
{
    HKEY key = OpenDeviceKey(CollectionHardwareId);
    if (key != NULL)
    {
        SetStringValue(key, "PortName", name);
        RegCloseKey(key);
    }
}

void ReconnectComesBackAsStored(const std::string& standInInf, const std::string& newName,
                                const std::string& oldName)
{
    BeginScenario("The device is plugged in again: it starts as " + newName +
                  " with the settings stored while it was away");
    // Wine gives the new root device the removed one's instance id and keeps
    // that instance's device key, as Windows keeps a USB device's key across
    // a reconnect; the INF's values do not overwrite what is stored.
    if (!CheckCall(PlugStandIn(standInInf, "QX7LMN/1"), "install the device again"))
        return;
    std::string target;
    for (int tries = 0; tries < 200 && target.empty(); ++tries)
    {
        target = DosDeviceTarget(newName);
        if (target.empty())
            Sleep(50);
    }
    Check(!target.empty(), newName, "a link", Described(target));
    Check(DosDeviceTarget(oldName).empty(), oldName, "no such name",
          Described(DosDeviceTarget(oldName)));
    Check(DosDeviceTarget(InstalledPortName).empty(), InstalledPortName, "no such name",
          Described(DosDeviceTarget(InstalledPortName)));
    CheckEqual("SERIALCOMM values with data " + newName, 1, SerialCommEntriesFor(newName).size());

    StandInClient standIn;
    HANDLE port = OpenPort(newName);
    if (!CheckCall(standIn.IsOpen() && port != INVALID_HANDLE_VALUE, "open " + newName))
        return;
    standIn.Clear();
    // Stored, never reloaded: Key on RTS inverted, PTT on DTR. The lines
    // start low in the new device, so SETDTR gives Key 1 XOR 0 -> out 0 and
    // PTT 0 XOR 1 -> out 0.
    CheckCall(EscapeCommFunction(port, SETDTR) != FALSE, "SETDTR");
    CheckKeyingReports("the mapping read at start", standIn, {0x00});
    CloseHandle(port);
}

/* Polls for the DOS device name; its target, or empty after 10 s. */
std::string WaitForName(const std::string& name)
{
    std::string target;
    for (int tries = 0; tries < 200 && (target = DosDeviceTarget(name)).empty(); ++tries)
        Sleep(50);
    return target;
}

/* The stand-in devices a port's line changes reached, by their tags. */
std::vector<int> DevicesKeyedThrough(const std::string& name, StandInClient& standIn)
{
    std::vector<int> devices;
    HANDLE port = OpenPort(name);
    if (!CheckCall(port != INVALID_HANDLE_VALUE, "open " + name))
        return devices;
    standIn.Clear();
    CheckCall(RunLineSequence(port, {SETDTR, CLRDTR}), "SETDTR, CLRDTR on " + name);
    for (const STANDIN_REPORT& report : standIn.WaitForReports(2, 2000))
        if (std::find(devices.begin(), devices.end(), report.Device) == devices.end())
            devices.push_back(report.Device);
    CloseHandle(port);
    return devices;
}

void RunTwoKeyerScenario(const char* standInInf, const char* heldName)
{
    BeginScenario("Two more keyers, both installed with PortName COM40, are plugged in beside the "
                  "one on " +
                  std::string(heldName));
    for (const char* name : {"COM40", "COM41"})
        if (CheckCall(PlugStandIn(standInInf, "QX7LMN/1"), "plug in a keyer"))
        {
            std::string target = WaitForName(name);
            Check(!target.empty(), name, "a link", Described(target));
        }
    StandInClient standIn;
    std::vector<int> seen;
    for (const char* name : {heldName, "COM40", "COM41"})
    {
        CheckEqual("SERIALCOMM values with data " + std::string(name), 1,
                   SerialCommEntriesFor(name).size());
        std::vector<int> devices = DevicesKeyedThrough(name, standIn);
        CheckEqual(std::string(name) + " keys one device", 1, devices.size());
        if (devices.size() == 1)
        {
            Check(std::find(seen.begin(), seen.end(), devices[0]) == seen.end(),
                  std::string(name) + " keys a device of its own", "a device no other port keys",
                  "device " + std::to_string(devices[0]));
            seen.push_back(devices[0]);
        }
    }
}

void RunPortScenarios(const char* pageDll, const char* pagePort, const char* standInInf)
{
    PackageBindsAndPublishes();
    StandInClient standIn;
    if (!CheckCall(standIn.IsOpen(), "open " STANDIN_DOS_NAME))
        return;
    FirstOpenOfAnotherDevice(standIn);

    BeginScenario("A keying program opens COM40 on a device that now answers QX7LMN/1");
    CheckCall(standIn.SetManufacturer(L"QX7LMN/1"), "give the stand-in the Velkor identity");
    HANDLE port = OpenPort(InstalledPortName);
    if (!CheckCall(port != INVALID_HANDLE_VALUE, "CreateFileA(\\\\.\\COM40)"))
        return;
    SerialQueriesBeforeAnySet(port, standIn);
    CommStateBeforeAnySet(port, standIn);
    SerialQueriesAnswered(port, standIn);
    KeyingThroughTheDcb(port, standIn);
    KeyingUnderMappings(port, standIn);
    ReloadTakesEffectAtNextLineChange(port, standIn);
    DataAndPassThrough(port, standIn);
    HidProgramLeavesTheKeyingHandleSerial(port, standIn);
    WaitsOnTheMask(standIn);
    MismatchedIdentityWithholdsReports(standIn);
    SecondOpenComesAndGoes(port, standIn);
    ProgramExitsWhileWaiting(port);
    SustainedKeying(port, standIn);
    ProgramKilledWhileKeyed(port, standIn);

    BeginScenario("Device Manager loads the page provider");
    std::string error;
    bool page = Check(LoadPageProvider(pageDll, &error), "load the page provider",
                      std::string("EnumPropPages in ") + pageDll, error.empty() ? "loaded" : error);
    if (page)
        LiveApplyInPage(port, standIn, InstalledPortName, NULL, 0);

    RepublishMovesThePort(port, standIn, pagePort);
    const int movedPortNumber = 44;
    if (page)
        LiveApplyInPage(port, standIn, pagePort, NULL, movedPortNumber);
    else
        SetPortNameForNextStart("COM" + std::to_string(movedPortNumber));
    // Stored while the device runs, without a reload: only its next start reads it.
    CheckCall(StoreKeyingSettings({2, 1, 1, 0}), "store Key on RTS inverted, PTT on DTR");
    CloseHandle(port);
    UnplugWithWaitPending(standIn, pagePort);
    ReconnectComesBackAsStored(standInInf, "COM" + std::to_string(movedPortNumber), pagePort);
}
