/*
 * What the keying program sees of its mapping: the Key and PTT outputs for
 * DTR/RTS sequences under several mappings and inversions, settings that
 * take effect at a reload (also one applied from the Port settings page),
 * and the identity check that withholds every report from another device.
 * Every expected state byte is written out: 00 01 <state> 00 ... is the
 * report, bit 0 of the state is Key, bit 1 is PTT.
 */
#include "port_scenarios.h"

#include "check.h"
#include "device_setup.h"
#include "page_apply.h"
#include "port_access.h"

namespace
{

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
        text += " [" +
                HexBytes(reinterpret_cast<const unsigned char*>(message.data()),
                         message.size() < 8 ? message.size() : 8) +
                " ...]";
    return text;
}

} // namespace

void KeyingUnderMappings(HANDLE port, StandInClient& standIn)
{
    struct Case
    {
        const char* title;
        KeyingSettings settings;
        std::vector<unsigned char> states; // after SETDTR, SETRTS, CLRDTR, CLRRTS
    };
    const Case cases[] = {
        {"Key on DTR, PTT on RTS, neither inverted", {1, 2, 0, 0}, {0x02, 0x00, 0x01, 0x03}},
        {"Key on RTS, PTT on DTR, neither inverted", {2, 1, 0, 0}, {0x01, 0x00, 0x02, 0x03}},
        {"Key on DTR, PTT on RTS, both inverted", {1, 2, 1, 1}, {0x01, 0x03, 0x02, 0x00}},
        {"Key and PTT both on DTR, PTT inverted", {1, 1, 0, 1}, {0x02, 0x02, 0x01, 0x01}},
        {"Key on no line (inverted flag ignored), PTT on RTS",
         {0, 2, 1, 0},
         {0x03, 0x01, 0x01, 0x03}},
        {"Key on DTR with KeyLogic 2 (not inverted), PTT on line 3 (none)",
         {1, 3, 2, 1},
         {0x02, 0x02, 0x03, 0x03}},
    };
    for (const Case& c : cases)
    {
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
    for (int i = 0; i < 3; ++i)
    {
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

void FirstOpenOfAnotherDevice(StandInClient& standIn)
{
    BeginScenario("The device's key names it QX7LMN/9: from its first open it gets no reports");
    HANDLE port = OpenPort(InstalledPortName);
    if (!CheckCall(port != INVALID_HANDLE_VALUE, "CreateFileA(\\\\.\\COM40)"))
        return;
    ResetLines(port, standIn);
    CheckCall(RunLineSequence(port, RaiseBothThenDrop), "line changes");
    CheckKeyingReports("SETDTR SETRTS CLRDTR CLRRTS", standIn, {});
    // The private controls do not depend on the identity.
    CheckEqual("reload (Win32 error)", ERROR_SUCCESS,
               SendPrivateControl(port, IOCTL_KEYER_RELOAD_SETTINGS));
    CheckEqual("republish, name unchanged (Win32 error)", ERROR_SUCCESS,
               SendPrivateControl(port, IOCTL_KEYER_REPUBLISH_PORT));
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

void LiveApplyInPage(HANDLE port, StandInClient& standIn, const std::string& portName,
                     const char* knownFault, int newPortNumber)
{
    BeginScenario("On " + portName + ", the user puts Key on RTS and PTT on DTR in the page" +
                  (newPortNumber > 0 ? ", chooses COM" + std::to_string(newPortNumber) : "") +
                  " and presses Apply; the next line change shows the mapping");
    if (!CheckCall(ApplySettings(port, {1, 2, 0, 0}), "start from Key on DTR, PTT on RTS"))
        return;
    ResetLines(port, standIn);
    if (knownFault != NULL)
    {
        // What the page does: names above COM9 are DOS device names only with \\.\.
        HANDLE bare = CreateFileA(portName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL,
                                  OPEN_EXISTING, 0, NULL);
        Note("CreateFileA(\"" + portName + "\") without \\\\.\\: " +
             (bare == INVALID_HANDLE_VALUE ? LastErrorText() : "a handle"));
        if (bare != INVALID_HANDLE_VALUE)
            CloseHandle(bare);
    }
    PageApplyResult result =
        ApplyInPage(CollectionHardwareId, {2, 1, false, false, newPortNumber - 1});
    if (!Check(result.shown, "the page", "shown for the collection",
               result.shown ? "shown" : result.error))
        return;
    CheckEqual("Key row the page showed (1 = DTR)", 1, result.keyRowBefore);
    CheckEqual("PTT row the page showed (2 = RTS)", 2, result.pttRowBefore);
    HKEY key = OpenDeviceKey(CollectionHardwareId);
    DWORD keyFunc = 99, pttFunc = 99;
    if (key != NULL)
    {
        ReadDwordValue(key, "KeyFunc", &keyFunc);
        ReadDwordValue(key, "PttFunc", &pttFunc);
        RegCloseKey(key);
    }
    CheckEqual("KeyFunc stored by the page (2 = RTS)", 2, keyFunc);
    CheckEqual("PttFunc stored by the page (1 = DTR)", 1, pttFunc);

    EscapeCommFunction(port, SETDTR);
    std::vector<STANDIN_REPORT> reports = standIn.Reports();
    bool applied = reports.size() == 1 && reports[0].Data[1] == 0x01;
    if (knownFault == NULL)
    {
        Check(result.messages.empty(), "message boxes", "no message box",
              MessagesSeen(result.messages));
        Check(applied, "SETDTR after Apply: state bytes", "01", StateList(reports));
    }
    else
    {
        CheckKnownFault(result.messages.empty(), "message boxes", "no message box",
                        MessagesSeen(result.messages), knownFault);
        CheckKnownFault(applied, "SETDTR after Apply: state bytes", "01", StateList(reports),
                        knownFault);
    }
    if (newPortNumber > 0)
    {
        // The new name waits for the device's next start: the page never
        // asks for a republish.
        std::string newName = "COM" + std::to_string(newPortNumber);
        HKEY stored = OpenDeviceKey(CollectionHardwareId);
        std::string storedName;
        if (stored != NULL)
        {
            ReadStringValue(stored, "PortName", &storedName);
            RegCloseKey(stored);
        }
        CheckEqualText("PortName stored by the page", newName, storedName);
        Check(DosDeviceTarget(newName).empty(), newName + " before a restart", "no such name",
              Described(DosDeviceTarget(newName)));
        Check(!DosDeviceTarget(portName).empty(), portName + " before a restart", "a link",
              Described(DosDeviceTarget(portName)));
    }
    ApplySettings(port, {1, 2, 0, 0});
}
