/*
 * vkserial above Wine's hidclass and the stand-in, driven only through
 * kernel32 as keying software, an installer and Device Manager would drive it.
 * Every expected state byte is written out: 00 01 <state> 00 ... is the
 * report, bit 0 of the state is Key, bit 1 is PTT.
 */
#include "scenarios.h"

#include "check.h"
#include "device_setup.h"
#include "hid_access.h"
#include "page_apply.h"
#include "port_access.h"
#include "standin_client.h"

#include <winioctl.h>

#include <cstring>

namespace {

const char InstalledPortName[] = "COM40";  // the INF's default PortName
const DWORD HidGetManufacturerString = 0x000B01BA;
const DWORD SerialSetWaitMask = 0x001B0044;

const std::vector<DWORD> RaiseBothThenDrop = {SETDTR, SETRTS, CLRDTR, CLRRTS};

std::string Described(const std::string& target)
{
    return target.empty() ? "no such name" : target;
}

/* Both lines low and nothing recorded: the starting point of every sequence. */
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

void PackageBindsAndPublishes()
{
    BeginScenario("The staged package binds to the Velkor collection and publishes COM40");
    DeviceFacts facts = WaitForDevice(CollectionHardwareId, "vkserial", 10000);
    CheckEqualText("collection's service", "vkserial", facts.service);

    HKEY key = OpenDeviceKey(CollectionHardwareId);
    if (CheckCall(key != NULL, "open the collection's device key")) {
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
    for (int tries = 0; tries < 100 && target.empty(); ++tries) {
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

void KeyingUnderMappings(HANDLE port, StandInClient& standIn)
{
    struct Case {
        const char* title;
        KeyingSettings settings;
        std::vector<unsigned char> states;  // after SETDTR, SETRTS, CLRDTR, CLRRTS
    };
    const Case cases[] = {
        {"Key on DTR, PTT on RTS, neither inverted", {1, 2, 0, 0}, {0x02, 0x00, 0x01, 0x03}},
        {"Key on RTS, PTT on DTR, neither inverted", {2, 1, 0, 0}, {0x01, 0x00, 0x02, 0x03}},
        {"Key on DTR, PTT on RTS, both inverted", {1, 2, 1, 1}, {0x01, 0x03, 0x02, 0x00}},
        {"Key and PTT both on DTR, PTT inverted", {1, 1, 0, 1}, {0x02, 0x02, 0x01, 0x01}},
        {"Key on no line (inverted flag ignored), PTT on RTS", {0, 2, 1, 0},
         {0x03, 0x01, 0x01, 0x03}},
        {"Key on DTR with KeyLogic 2 (not inverted), PTT on line 3 (none)", {1, 3, 2, 1},
         {0x02, 0x02, 0x03, 0x03}},
    };
    for (const Case& c : cases) {
        BeginScenario(std::string("A keying program raises DTR, RTS, then drops them: ") + c.title);
        if (!CheckCall(ApplySettings(port, c.settings), "store and reload the mapping"))
            continue;
        ResetLines(port, standIn);
        CheckCall(RunLineSequence(port, RaiseBothThenDrop), "EscapeCommFunction x4");
        CheckKeyingReports("SETDTR SETRTS CLRDTR CLRRTS", standIn, c.states);
    }

    BeginScenario("A repeated line change is reported again");
    ApplySettings(port, {1, 2, 0, 0});
    ResetLines(port, standIn);
    CheckCall(RunLineSequence(port, {SETDTR, SETDTR}), "SETDTR twice");
    CheckKeyingReports("two identical reports", standIn, {0x02, 0x02});
}

void ReloadTakesEffectAtNextLineChange(HANDLE port, StandInClient& standIn)
{
    BeginScenario("The registry changes; only the reload makes the next report use it");
    ApplySettings(port, {1, 2, 0, 0});
    ResetLines(port, standIn);
    EscapeCommFunction(port, SETDTR);
    CheckCall(StoreKeyingSettings({1, 2, 1, 0}), "store KeyLogic 1 without reloading");
    EscapeCommFunction(port, SETDTR);
    CheckKeyingReports("before the reload", standIn, {0x02, 0x02});

    CheckEqual("reload status (Win32 error)", ERROR_SUCCESS,
               SendPrivateControl(port, IOCTL_KEYER_RELOAD_SETTINGS));
    CheckKeyingReports("the reload itself", standIn, {0x02, 0x02});
    EscapeCommFunction(port, SETDTR);
    CheckKeyingReports("after the reload", standIn, {0x02, 0x02, 0x03});

    BeginScenario("A reload with PttLogic missing takes the values read before the gap");
    // In force: Key DTR inverted, PTT RTS. Stored: Key RTS, not inverted, and
    // no PttLogic. The read order is KeyLogic, PttLogic, KeyFunc, PttFunc, so
    // only KeyLogic may change: SETDTR must then give 02 (neither 03 for a
    // kept KeyLogic nor 03 for a taken KeyFunc).
    HKEY key = OpenDeviceKey(CollectionHardwareId);
    if (!CheckCall(key != NULL, "open the device key"))
        return;
    SetDwordValue(key, "KeyLogic", 0);
    SetDwordValue(key, "KeyFunc", 2);
    DeleteValue(key, "PttLogic");
    ResetLines(port, standIn);
    CheckEqual("reload status (Win32 error)", ERROR_FILE_NOT_FOUND,
               SendPrivateControl(port, IOCTL_KEYER_RELOAD_SETTINGS));
    EscapeCommFunction(port, SETDTR);
    CheckKeyingReports("SETDTR after the failed reload", standIn, {0x02});
    SetDwordValue(key, "PttLogic", 0);
    RegCloseKey(key);
    CheckCall(ApplySettings(port, {1, 2, 0, 0}), "restore and reload");
}

void MismatchedIdentityWithholdsReports(StandInClient& standIn)
{
    BeginScenario("A device that is not the Velkor device gets no output reports");
    const wchar_t* impostors[] = {L"QX7LMN/2", L"QX7LMN/1X", L"QX7LMN/"};
    const char* labels[] = {"QX7LMN/2", "QX7LMN/1X (goes on)", "QX7LMN/ (one short)"};
    for (int i = 0; i < 3; ++i) {
        standIn.SetManufacturer(impostors[i]);
        HANDLE port = OpenPort(InstalledPortName);
        if (!CheckCall(port != INVALID_HANDLE_VALUE, std::string("open as ") + labels[i]))
            continue;
        ResetLines(port, standIn);
        // The port still answers: the application never learns of the refusal.
        CheckCall(RunLineSequence(port, RaiseBothThenDrop),
                  std::string("line changes with ") + labels[i]);
        CheckKeyingReports(labels[i], standIn, {});
        CloseHandle(port);
    }

    standIn.SetManufacturer(L"QX7LMN/1");
    HANDLE port = OpenPort(InstalledPortName);
    if (!CheckCall(port != INVALID_HANDLE_VALUE, "open as QX7LMN/1 again"))
        return;
    ResetLines(port, standIn);
    RunLineSequence(port, RaiseBothThenDrop);
    CheckKeyingReports("the Velkor device again", standIn, {0x02, 0x00, 0x01, 0x03});
    CloseHandle(port);
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

    const unsigned char raw[9] = {0x00, 0x01, 0x5A, 0, 0, 0, 0, 0, 0};
    ok = WriteFile(port, raw, sizeof(raw), &done, NULL);
    CheckCall(ok != FALSE, "9-byte write after the HID control");
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
    ok = WaitCommEvent(port, &events, &overlapped);
    DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    CheckEqual("wait on EV_CTS (Win32 error; 997 = pending)", ERROR_IO_PENDING, error);
    if (error == ERROR_IO_PENDING) {
        CheckEqual("still waiting after 200 ms (258 = timeout)", WAIT_TIMEOUT,
                   WaitForSingleObject(event, 200));
        CheckCall(SetCommMask(port, EV_CTS) != FALSE, "SetCommMask while waiting");
        DWORD waited = WaitForSingleObject(event, 5000);
        CheckEqual("wait ended by SetCommMask (0 = signalled)", WAIT_OBJECT_0, waited);
        if (waited == WAIT_OBJECT_0)
            CheckCall(GetOverlappedResult(port, &overlapped, &returned, FALSE) != FALSE,
                      "ended wait's result");
    }

    BeginScenario("A keying program gives up its wait with CancelIo");
    SetCommMask(port, EV_CTS);
    ResetEvent(event);
    ok = WaitCommEvent(port, &events, &overlapped);
    error = ok ? ERROR_SUCCESS : GetLastError();
    CheckEqual("wait on EV_CTS (Win32 error; 997 = pending)", ERROR_IO_PENDING, error);
    if (error == ERROR_IO_PENDING) {
        CheckCall(CancelIo(port) != FALSE, "CancelIo");
        DWORD waited = WaitForSingleObject(event, 5000);
        CheckEqual("wait ended by the cancel (0 = signalled)", WAIT_OBJECT_0, waited);
        if (waited == WAIT_OBJECT_0) {
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
    if (error == ERROR_IO_PENDING) {
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
    CheckEqual("reports sent by waits", 0, standIn.Reports().size());
    CloseHandle(event);
    CloseHandle(port);
}

void SecondOpenComesAndGoes(HANDLE port, StandInClient& standIn)
{
    BeginScenario("A second program opens the port, keys once and closes it; the first keys on");
    ApplySettings(port, {1, 2, 0, 0});
    ResetLines(port, standIn);
    HANDLE other = OpenPort(InstalledPortName);
    if (!CheckCall(other != INVALID_HANDLE_VALUE, "second open"))
        return;
    CheckCall(EscapeCommFunction(other, SETRTS) != FALSE, "SETRTS on the second handle");
    CloseHandle(other);
    // The reports were written in the context of the latest open; that open
    // is closed now and the class driver has forgotten it.
    CheckCall(EscapeCommFunction(port, SETDTR) != FALSE, "SETDTR on the first handle");
    CheckCall(EscapeCommFunction(port, CLRRTS) != FALSE, "CLRRTS on the first handle");
    CheckKeyingReports("SETRTS (second), SETDTR, CLRRTS (first)", standIn, {0x01, 0x00, 0x02});
}

std::string StateList(const std::vector<STANDIN_REPORT>& reports)
{
    std::string text;
    for (const STANDIN_REPORT& report : reports)
        text += (text.empty() ? "" : " ") + Hex(report.Data[1]).substr(2);
    return text.empty() ? "no reports" : text;
}

std::string MessagesSeen(const std::vector<std::string>& messages)
{
    if (messages.empty())
        return "no message box";
    // The texts are code page 932 bytes: show them as such.
    std::string text = std::to_string(messages.size()) + " message box(es):";
    for (const std::string& message : messages)
        text += " [" + HexBytes(reinterpret_cast<const unsigned char*>(message.data()),
                                message.size() < 8 ? message.size() : 8) + " ...]";
    return text;
}

void LiveApplyInPage(HANDLE port, StandInClient& standIn, const std::string& portName,
                     const char* knownFault)
{
    BeginScenario("On " + portName + ", the user puts Key on RTS and PTT on DTR in the page and " +
                  "presses Apply; the next line change shows it");
    if (!CheckCall(ApplySettings(port, {1, 2, 0, 0}), "start from Key on DTR, PTT on RTS"))
        return;
    ResetLines(port, standIn);
    if (knownFault != NULL) {
        // What the page does: names above COM9 are DOS device names only with \\.\.
        HANDLE bare = CreateFileA(portName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL,
                                  OPEN_EXISTING, 0, NULL);
        Note("CreateFileA(\"" + portName + "\") without \\\\.\\: " +
             (bare == INVALID_HANDLE_VALUE ? LastErrorText() : "a handle"));
        if (bare != INVALID_HANDLE_VALUE)
            CloseHandle(bare);
    }
    PageApplyResult result = ApplyInPage(CollectionHardwareId, {2, 1, false, false});
    if (!Check(result.shown, "the page", "shown for the collection",
               result.shown ? "shown" : result.error))
        return;
    CheckEqual("Key row the page showed (1 = DTR)", 1, result.keyRowBefore);
    CheckEqual("PTT row the page showed (2 = RTS)", 2, result.pttRowBefore);
    HKEY key = OpenDeviceKey(CollectionHardwareId);
    DWORD keyFunc = 99, pttFunc = 99;
    if (key != NULL) {
        ReadDwordValue(key, "KeyFunc", &keyFunc);
        ReadDwordValue(key, "PttFunc", &pttFunc);
        RegCloseKey(key);
    }
    CheckEqual("KeyFunc stored by the page (2 = RTS)", 2, keyFunc);
    CheckEqual("PttFunc stored by the page (1 = DTR)", 1, pttFunc);

    EscapeCommFunction(port, SETDTR);
    std::vector<STANDIN_REPORT> reports = standIn.Reports();
    bool applied = reports.size() == 1 && reports[0].Data[1] == 0x01;
    if (knownFault == NULL) {
        Check(result.messages.empty(), "message boxes", "no message box",
              MessagesSeen(result.messages));
        Check(applied, "SETDTR after Apply: state bytes", "01", StateList(reports));
    } else {
        CheckKnownFault(result.messages.empty(), "message boxes", "no message box",
                        MessagesSeen(result.messages), knownFault);
        CheckKnownFault(applied, "SETDTR after Apply: state bytes", "01", StateList(reports),
                        knownFault);
    }
    ApplySettings(port, {1, 2, 0, 0});
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
    if (CheckCall(moved != INVALID_HANDLE_VALUE, "open COM41")) {
        EscapeCommFunction(moved, SETRTS);
        CloseHandle(moved);
    }
    CheckKeyingReports("old handle then new name", standIn, {0x02, 0x00});

    CheckEqual("second republish, name unchanged (Win32 error)", ERROR_SUCCESS,
               SendPrivateControl(port, IOCTL_KEYER_REPUBLISH_PORT));
    CheckEqual("SERIALCOMM values with data COM41", 1, SerialCommEntriesFor("COM41").size());

    BeginScenario("PortName is gone: Identifier names the port, and without it nothing is published");
    DeleteValue(key, "PortName");
    SetStringValue(key, "Identifier", "COM43");
    CheckEqual("republish from Identifier (Win32 error)", ERROR_SUCCESS,
               SendPrivateControl(port, IOCTL_KEYER_REPUBLISH_PORT));
    Check(!DosDeviceTarget("COM43").empty(), "COM43", "a link", Described(DosDeviceTarget("COM43")));
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

struct LateLineChange {
    HANDLE port;
    BOOL succeeded;
    DWORD error;
};

DWORD WINAPI RaiseDtrLate(void* param)
{
    LateLineChange* call = static_cast<LateLineChange*>(param);
    call->succeeded = EscapeCommFunction(call->port, SETDTR);
    call->error = call->succeeded ? ERROR_SUCCESS : GetLastError();
    return 0;
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

    if (error == ERROR_IO_PENDING) {
        DWORD waited = WaitForSingleObject(event, 5000);
        CheckEqual("wait ended by the removal (0 = signalled)", WAIT_OBJECT_0, waited);
        DWORD returned = 0;
        if (waited == WAIT_OBJECT_0)
            CheckCall(GetOverlappedResult(port, &overlapped, &returned, FALSE) != FALSE,
                      "ended wait's result");
    }

    // The withdrawal runs in the removal, after DIF_REMOVE returned: poll.
    std::string target = DosDeviceTarget(name);
    for (int tries = 0; tries < 60 && !target.empty(); ++tries) {
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

    // The keying program does not know yet: its next line change must come
    // back (in a worker, so a hang shows as a failure, not a stuck suite).
    standIn.Clear();
    LateLineChange late = {port, FALSE, 0};
    HANDLE worker = CreateThread(NULL, 0, RaiseDtrLate, &late, 0, NULL);
    DWORD finished = WaitForSingleObject(worker, 5000);
    CheckEqual("SETDTR on the handle left open returns (0 = returned)", WAIT_OBJECT_0, finished);
    if (finished == WAIT_OBJECT_0)
        Note("SETDTR after removal: " + std::string(late.succeeded ? "success" : "error ") +
             (late.succeeded ? "" : std::to_string(late.error)));
    CloseHandle(worker);
    CheckKeyingReports("after removal", standIn, {});

    STANDIN_STATE after = {};
    if (standIn.State(&after)) {
        CheckEqual("stand-in reads pending after removal", 0, after.PendingReads);
        Check(after.ReadsCompletedAtRemoval >= before.PendingReads,
              "stand-in reads ended by the removal", "at least " +
                  std::to_string(before.PendingReads),
              std::to_string(after.ReadsCompletedAtRemoval));
    }
    CloseHandle(event);
    CloseHandle(port);
}

void FirstOpenOfAnotherDevice(StandInClient& standIn)
{
    BeginScenario("The device's key names it QX7LMN/9: from its first open it gets no reports");
    HANDLE port = OpenPort(InstalledPortName);
    if (!CheckCall(port != INVALID_HANDLE_VALUE, "CreateFileA(\\\\.\\COM40)"))
        return;
    ResetLines(port, standIn);
    CheckCall(RunLineSequence(port, RaiseBothThenDrop), "line changes");
    CheckKeyingReports("SETDTR SETRTS CLRDTR CLRRTS", standIn, {});
    CloseHandle(port);
}

}  // namespace

void RunPortScenarios(const char* pageDll, const char* pagePort)
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
    CommStateBeforeAnySet(port, standIn);
    KeyingUnderMappings(port, standIn);
    ReloadTakesEffectAtNextLineChange(port, standIn);
    DataAndPassThrough(port, standIn);
    WaitsOnTheMask(standIn);
    MismatchedIdentityWithholdsReports(standIn);
    SecondOpenComesAndGoes(port, standIn);

    std::string error;
    bool page = Check(LoadPageProvider(pageDll, &error), "load the page provider",
                      std::string("EnumPropPages in ") + pageDll, error.empty() ? "loaded" : error);
    if (page)
        LiveApplyInPage(port, standIn, InstalledPortName,
                        "the page opens the bare name; COM10 and above need \\\\.\\ (reported)");

    RepublishMovesThePort(port, standIn, pagePort);
    if (page)
        LiveApplyInPage(port, standIn, pagePort, NULL);
    CloseHandle(port);
    UnplugWithWaitPending(standIn, pagePort);
}
