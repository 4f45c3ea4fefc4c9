// Drives vkprop.dll's "Port settings" page under Wine the way Device Manager
// and a user would: a root device made with SetupAPI, its five values and a
// serial port map, EnumPropPages, a modeless property sheet, the controls,
// Apply, OK and Cancel, and the message boxes of the live apply.
//
// Usage: pagetest <vkprop.dll> en|ja            runs the checks
//        pagetest <vkprop.dll> bad             the page over odd registry data
//        pagetest <vkprop.dll> shot <ready> <done> [ports]
//                          shows the page (with the port list dropped down)
//                          until the screenshot is taken
// Prints one line per check and the closing count; exits non-zero if a check
// failed.
#include <windows.h>
#include <commctrl.h>
#include <prsht.h>
#include <setupapi.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "check.h"
#include "device_setup.h"
#include "page_sheet.h"

namespace
{

// Ports class: any class serves, the page does not look at it.
const GUID kPortsClass = {
    0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

MessageBoxWatch* messageBoxes;

// ---------------------------------------------------------------- devices

struct Device
{
    HDEVINFO set;
    SP_DEVINFO_DATA data;

    HKEY Key(REGSAM access)
    {
        return SetupDiOpenDevRegKey(set, &data, DICS_FLAG_GLOBAL, 0, DIREG_DEV, access);
    }
};

struct Values
{
    const char* portName;
    DWORD keyFunc, pttFunc, keyLogic, pttLogic;
    const char* sampleInfo;
};

void SetProperty(Device& device, DWORD property, const std::string& text)
{
    SetupDiSetDeviceRegistryPropertyA(device.set, &device.data, property,
                                      reinterpret_cast<const BYTE*>(text.c_str()),
                                      static_cast<DWORD>(text.size() + 1));
}

std::string GetProperty(Device& device, DWORD property)
{
    char buffer[256] = {};
    if (!SetupDiGetDeviceRegistryPropertyA(device.set, &device.data, property, nullptr,
                                           reinterpret_cast<BYTE*>(buffer), sizeof buffer, nullptr))
        return "(none)";
    return buffer;
}

void SetRaw(HKEY key, const char* name, DWORD type, const std::string& bytes)
{
    RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                   static_cast<DWORD>(bytes.size()));
}

// A root device as an installer makes it, with the values its INF would write.
Device CreateDevice(const char* name, const Values& values)
{
    Device device{SetupDiCreateDeviceInfoList(&kPortsClass, nullptr), {}};
    if (!CreateRootDevice(device.set, kPortsClass, name, "Keyer", &device.data))
        Check(false, "create device", "a device", LastErrorText());
    SetProperty(device, SPDRP_DEVICEDESC, "Keyer");
    SetProperty(device, SPDRP_FRIENDLYNAME, std::string("Keyer (") + values.portName + ")");
    HKEY key = SetupDiCreateDevRegKeyA(device.set, &device.data, DICS_FLAG_GLOBAL, 0, DIREG_DEV,
                                       nullptr, nullptr);
    if (key == INVALID_HANDLE_VALUE)
    {
        Check(false, "create hardware key", "a key", LastErrorText());
        return device;
    }
    SetStringValue(key, "PortName", values.portName);
    SetDwordValue(key, "KeyFunc", values.keyFunc);
    SetDwordValue(key, "PttFunc", values.pttFunc);
    SetDwordValue(key, "KeyLogic", values.keyLogic);
    SetDwordValue(key, "PttLogic", values.pttLogic);
    if (values.sampleInfo)
        SetStringValue(key, "SampleInfo", values.sampleInfo);
    RegCloseKey(key);
    return device;
}

// The stored value as the driver would find it: "(missing)", a number, or text.
std::string StoredValue(Device& device, const char* name)
{
    HKEY key = device.Key(KEY_READ);
    if (key == INVALID_HANDLE_VALUE)
        return "(no key)";
    BYTE data[256] = {};
    DWORD size = sizeof data - 1, type = 0;
    const LONG result = RegQueryValueExA(key, name, nullptr, &type, data, &size);
    RegCloseKey(key);
    if (result != ERROR_SUCCESS)
        return "(missing)";
    if (type == REG_DWORD && size == 4)
    {
        DWORD number;
        std::memcpy(&number, data, 4);
        char text[16];
        std::snprintf(text, sizeof text, "%lu", static_cast<unsigned long>(number));
        return text;
    }
    // Text values: the bytes as stored, terminator included, so a missing
    // or extra terminator shows.
    return "sz:" + std::string(reinterpret_cast<char*>(data), size);
}

std::string Sz(const std::string& text)
{
    return "sz:" + text + std::string(1, '\0');
}

// The serial port map, or a failed check.
HKEY SerialPortMap()
{
    HKEY map = CreateSerialCommKey();
    if (!map)
        Check(false, "open SERIALCOMM", "a key", "none");
    return map;
}

void SetSerialPortMap()
{
    if (HKEY map = SerialPortMap())
    {
        SetStringValue(map, "\\Device\\VkTest3", "COM3");
        SetStringValue(map, "\\Device\\VkTest5", "COM5");
        SetRaw(map, "\\Device\\VkTest4", REG_EXPAND_SZ, std::string("COM4", 5));
        SetStringValue(map, "\\Device\\VkTest0", "COM257");
        RegCloseKey(map);
    }
    // The driver's record of another keyer, unplugged: its name stays taken.
    HKEY records;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE,
                        "SYSTEM\\CurrentControlSet\\Services\\vkserial\\Parameters", 0, nullptr, 0,
                        KEY_ALL_ACCESS, nullptr, &records, nullptr) != ERROR_SUCCESS)
        return (void)Check(false, "create the driver's Parameters key", "a key", "none");
    SetStringValue(records,
                   "\\??\\HID#VID_1234&PID_5678#7&9&0&0000#{86e0d1e0-8089-11d0-9ce4-08003e301f73}",
                   "COM77");
    RegCloseKey(records);
}

std::vector<std::string> TakeMessages()
{
    Pump(200);
    return messageBoxes->Take();
}

// ---------------------------------------------------------------- the sheet

BOOL CALLBACK RefusePage(HPROPSHEETPAGE, LPARAM param)
{
    ++*reinterpret_cast<int*>(param);
    return FALSE;
}

struct Sheet
{
    HWND window;
    HWND page;
};

Sheet ShowSheet(Device& device, const char* caption)
{
    std::vector<HPROPSHEETPAGE> pages;
    CheckEqual("EnumPropPages returns TRUE", TRUE,
               OfferPages(device.set, &device.data, SPPSR_ENUM_ADV_DEVICE_PROPERTIES, CollectPage,
                          reinterpret_cast<LPARAM>(&pages)));
    CheckEqual("one page offered", 1, static_cast<long long>(pages.size()));
    Sheet sheet{ShowSheet(caption, PSH_PROPTITLE, pages), nullptr};
    sheet.page = sheet.window ? PropSheet_GetCurrentPageHwnd(sheet.window) : nullptr;
    Check(sheet.page != nullptr, "the page window exists", "a window",
          sheet.page ? "a window" : "none");
    return sheet;
}

// Like a click on the sheet's button; the sheet handles it at once.
void PressButton(Sheet& sheet, int button)
{
    SendMessageA(sheet.window, PSM_PRESSBUTTON, button, 0);
    Pump(100);
}

void CloseSheet(Sheet& sheet, int button)
{
    PressButton(sheet, button);
    // A modeless sheet that has ended has no current page; it is destroyed
    // by its owner.
    CheckEqual("sheet ended", 0, PropSheet_GetCurrentPageHwnd(sheet.window) != nullptr);
    DestroyWindow(sheet.window);
    Pump(100);
}

std::string ControlText(HWND page, int id)
{
    char text[256] = {};
    GetWindowTextA(GetDlgItem(page, id), text, sizeof text);
    return text;
}

std::string ComboRow(HWND page, int id, int row)
{
    char text[256] = {};
    SendDlgItemMessageA(page, id, CB_GETLBTEXT, row, reinterpret_cast<LPARAM>(text));
    return text;
}

// A row the test leaves unmarked: a host serial device that Wine maps to
// the name marks it "(in use)", as its DOS name would on Windows.
std::string Unmarked(int port)
{
    const std::string name = "COM" + std::to_string(port);
    char target[MAX_PATH];
    return QueryDosDeviceA(name.c_str(), target, sizeof target) ? name + "(in use)" : name;
}

long long ComboSelection(HWND page, int id)
{
    return SendDlgItemMessageA(page, id, CB_GETCURSEL, 0, 0);
}

long long Checked(HWND page, int id)
{
    return SendDlgItemMessageA(page, id, BM_GETCHECK, 0, 0);
}

bool Visible(HWND page, int id)
{
    return (GetWindowLongA(GetDlgItem(page, id), GWL_STYLE) & WS_VISIBLE) != 0;
}

void Click(HWND page, int id)
{
    SendDlgItemMessageA(page, id, BM_CLICK, 0, 0);
}

// Another page of Device Manager's sheet enabling Apply.
void EnableApply(Sheet& sheet)
{
    SendMessageA(sheet.window, PSM_CHANGED, reinterpret_cast<WPARAM>(sheet.page), 0);
}

std::string TabCaption(Sheet& sheet)
{
    char text[128] = {};
    TCITEMA item = {};
    item.mask = TCIF_TEXT;
    item.pszText = text;
    item.cchTextMax = sizeof text;
    SendMessageA(PropSheet_GetTabControl(sheet.window), TCM_GETITEMA, 0,
                 reinterpret_cast<LPARAM>(&item));
    return text;
}

// The page's first child whose text begins with the prefix; the labels and
// the hidden hint have no id of their own.
HWND FindChildByText(HWND page, const char* prefix)
{
    for (HWND child = GetWindow(page, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
    {
        char text[64] = {};
        GetWindowTextA(child, text, sizeof text);
        if (std::strncmp(text, prefix, std::strlen(prefix)) == 0)
            return child;
    }
    return nullptr;
}

// ---------------------------------------------------------------- texts

struct Texts
{
    const char* tab;
    const char* portLabel;
    const char* invert;
    const char* hint;
    const char* openFailed;
    const char* reloadFailed;
};

// The Japanese texts in code page 932, as the page must show them.
const Texts kJapanese = {
    "\x83\x7c\x81\x5b\x83\x67\x82\xcc\x90\xdd\x92\xe8",
    "\x83\x7c\x81\x5b\x83\x67\x94\xd4\x8d\x86",
    "\x98\x5f\x97\x9d\x94\xbd\x93\x5d",
    "\x8d\xc4\x90\xda\x91\xb1\x82\xc5\x90\xdd\x92\xe8\x94\xbd\x89\x66",
    "\x83\x7c\x81\x5b\x83\x67\x82\xf0\x8a\x4a\x82\xaf\x82\xdc\x82\xb9\x82\xf1\x81\x44"
    "\x8d\xc4\x90\xda\x91\xb1\x82\xdc\x82\xc5\x90\xdd\x92\xe8\x82\xcd\x94\xbd\x89\x66"
    "\x82\xb3\x82\xea\x82\xdc\x82\xb9\x82\xf1\x81\x44",
    "\x90\xdd\x92\xe8\x82\xcc\x94\xbd\x89\x66\x82\xc9\x8e\xb8\x94\x73\x82\xb5\x82\xdc"
    "\x82\xb5\x82\xbd\x81\x44"
    "\x8d\xc4\x90\xda\x91\xb1\x82\xdc\x82\xc5\x90\xdd\x92\xe8\x82\xcd\x94\xbd\x89\x66"
    "\x82\xb3\x82\xea\x82\xdc\x82\xb9\x82\xf1\x81\x44",
};

const Texts kEnglish = {"Port settings", "PortName", "Invert", "Recconect to apply settings.",
                        nullptr,         nullptr};

// ---------------------------------------------------------------- scenarios

void StoredSettingsAreShownAndOkWritesThemBack(const Texts& texts)
{
    BeginScenario("a user opens the page of a configured device and presses OK");
    Device device = CreateDevice("VKSHOWN", {"COM5", 2, 1, 1, 0, nullptr});
    Sheet sheet = ShowSheet(device, "Keyer");
    HWND page = sheet.page;
    CheckEqualText("tab caption", texts.tab, TabCaption(sheet));
    CheckEqualText("device name", "Keyer (COM5)", ControlText(page, 1001));
    CheckEqual("port rows", 256, SendDlgItemMessageA(page, 1004, CB_GETCOUNT, 0, 0));
    CheckEqualText("row COM2", Unmarked(2), ComboRow(page, 1004, 1));
    CheckEqualText("row COM3", "COM3(in use)", ComboRow(page, 1004, 2));
    CheckEqualText("row COM4 (REG_EXPAND_SZ marks nothing)", Unmarked(4), ComboRow(page, 1004, 3));
    CheckEqualText("row COM5", "COM5(current setting)", ComboRow(page, 1004, 4));
    CheckEqualText("row COM77 (recorded for another keyer)", "COM77(in use)",
                   ComboRow(page, 1004, 76));
    CheckEqualText("last row", Unmarked(256), ComboRow(page, 1004, 255));
    CheckEqualText("port box text", "COM5(current setting)", ControlText(page, 1004));
    RECT box = {};
    GetWindowRect(GetDlgItem(page, 1004), &box);
    CheckEqual("the list drops wider than the box", 1,
               SendDlgItemMessageA(page, 1004, CB_GETDROPPEDWIDTH, 0, 0) > box.right - box.left);
    CheckEqual("port row selected", 4, ComboSelection(page, 1004));
    CheckEqualText("Key shows RTS", "RTS",
                   ComboRow(page, 1003, static_cast<int>(ComboSelection(page, 1003))));
    CheckEqualText("PTT shows DTR", "DTR",
                   ComboRow(page, 1005, static_cast<int>(ComboSelection(page, 1005))));
    CheckEqual("line rows", 3, SendDlgItemMessageA(page, 1003, CB_GETCOUNT, 0, 0));
    CheckEqualText("line row 0", "None", ComboRow(page, 1005, 0));
    CheckEqual("Key inverted", BST_CHECKED, Checked(page, 1007));
    CheckEqual("PTT not inverted", BST_UNCHECKED, Checked(page, 1008));
    CheckEqualText("invert label", texts.invert, ControlText(page, 1007));
    CheckEqual("More info hidden without SampleInfo", 0, Visible(page, 1000));
    HWND label = FindChildByText(page, texts.portLabel);
    Check(label != nullptr, "port label", Quote(texts.portLabel),
          label ? Quote(texts.portLabel) : "no such control");
    HWND hint = FindChildByText(page, texts.hint);
    Check(hint != nullptr, "reconnect hint exists", Quote(texts.hint),
          hint ? Quote(texts.hint) : "no such control");
    CheckEqual("reconnect hint hidden", 0, hint && IsWindowVisible(hint));

    // The friendly name is rebuilt from the description, whatever it was.
    SetProperty(device, SPDRP_FRIENDLYNAME, "Keyer (COM5) (COM5)");
    CloseSheet(sheet, PSBTN_OK);
    CheckEqualText("PortName kept", Sz("COM5"), StoredValue(device, "PortName"));
    CheckEqualText("KeyFunc kept", "2", StoredValue(device, "KeyFunc"));
    CheckEqualText("PttFunc kept", "1", StoredValue(device, "PttFunc"));
    CheckEqualText("KeyLogic kept", "1", StoredValue(device, "KeyLogic"));
    CheckEqualText("PttLogic kept", "0", StoredValue(device, "PttLogic"));
    CheckEqualText("friendly name", "Keyer (COM5)", GetProperty(device, SPDRP_FRIENDLYNAME));
    // Nothing answers COM5: the live apply cannot open it.
    std::vector<std::string> shown = TakeMessages();
    CheckEqual("one message", 1, static_cast<long long>(shown.size()));
    if (texts.openFailed && !shown.empty())
        CheckEqualText("port-not-opened message", texts.openFailed, shown[0]);
}

void ApplyStoresChangesAndCancelStoresNothing()
{
    BeginScenario("a user changes everything, presses Apply, changes again and cancels");
    Device device = CreateDevice("VKCHANGE", {"COM5", 2, 1, 1, 0, nullptr});
    Sheet sheet = ShowSheet(device, "Keyer");
    HWND page = sheet.page;
    ChooseRow(page, 1004, 6);
    ChooseRow(page, 1003, 0);
    ChooseRow(page, 1005, 2);
    Click(page, 1007);
    Click(page, 1008);
    EnableApply(sheet);
    PressButton(sheet, PSBTN_APPLYNOW);
    CheckEqualText("PortName stored", Sz("COM7"), StoredValue(device, "PortName"));
    CheckEqualText("KeyFunc stored", "0", StoredValue(device, "KeyFunc"));
    CheckEqualText("PttFunc stored", "2", StoredValue(device, "PttFunc"));
    CheckEqualText("KeyLogic stored", "0", StoredValue(device, "KeyLogic"));
    CheckEqualText("PttLogic stored", "1", StoredValue(device, "PttLogic"));
    CheckEqualText("friendly name shows the new port", "Keyer (COM7)",
                   GetProperty(device, SPDRP_FRIENDLYNAME));
    CheckEqual("one message after Apply", 1, static_cast<long long>(TakeMessages().size()));

    ChooseRow(page, 1003, 1);
    SetWindowTextA(GetDlgItem(page, 1004), "COM9");
    CloseSheet(sheet, PSBTN_CANCEL);
    CheckEqualText("Cancel keeps KeyFunc", "0", StoredValue(device, "KeyFunc"));
    CheckEqualText("Cancel keeps PortName", Sz("COM7"), StoredValue(device, "PortName"));
    CheckEqual("no message after Cancel", 0, static_cast<long long>(TakeMessages().size()));

    BeginScenario("the same device opened again shows what was stored");
    Sheet again = ShowSheet(device, "Keyer");
    CheckEqualText("port box text", "COM7(current setting)", ControlText(again.page, 1004));
    CheckEqualText("row COM5 still in use", "COM5(in use)", ComboRow(again.page, 1004, 4));
    CloseSheet(again, PSBTN_CANCEL);
}

void ValuesOutsideTheChoicesAndSampleInfo()
{
    BeginScenario("a device with values outside the choices and a SampleInfo path");
    Device device = CreateDevice("VKODD", {"COM300", 5, 0, 2, 1, "%windir%\\vkinfo.txt"});
    Sheet sheet = ShowSheet(device, "Keyer");
    HWND page = sheet.page;
    CheckEqual("Key box without selection", CB_ERR, ComboSelection(page, 1003));
    CheckEqualText("Key box text empty", "", ControlText(page, 1003));
    CheckEqual("KeyLogic 2 unchecked", BST_UNCHECKED, Checked(page, 1007));
    CheckEqual("PttLogic 1 checked", BST_CHECKED, Checked(page, 1008));
    CheckEqualText("COM300 selects no port row", "", ControlText(page, 1004));
    CheckEqual("no row is the current setting", CB_ERR,
               SendDlgItemMessageA(page, 1004, CB_FINDSTRING, static_cast<WPARAM>(-1),
                                   reinterpret_cast<LPARAM>("COM300")));
    CheckEqual("More info shown", 1, Visible(page, 1000));
    char windir[MAX_PATH] = {};
    GetEnvironmentVariableA("windir", windir, sizeof windir);
    const char* info = reinterpret_cast<const char*>(GetWindowLongPtrA(page, DWLP_USER));
    CheckEqualText("More info target expanded", std::string(windir) + "\\vkinfo.txt",
                   info ? info : "(none)");
    CloseSheet(sheet, PSBTN_OK);
    CheckEqualText("empty Key box stores no line", "4294967295", StoredValue(device, "KeyFunc"));
    CheckEqualText("KeyLogic 2 stored as 0", "0", StoredValue(device, "KeyLogic"));
    CheckEqualText("empty port box keeps PortName", Sz("COM300"), StoredValue(device, "PortName"));
    CheckEqualText("empty port box keeps the friendly name", "Keyer (COM300)",
                   GetProperty(device, SPDRP_FRIENDLYNAME));
    CheckEqual("one message", 1, static_cast<long long>(TakeMessages().size()));
}

void TwoSheetsApplyToTheirOwnDevices()
{
    BeginScenario("two devices' sheets open at once, closed in the other order");
    Device first = CreateDevice("VKFIRST", {"COM5", 1, 2, 0, 0, nullptr});
    Device second = CreateDevice("VKSECOND", {"COM6", 2, 1, 1, 1, nullptr});
    Sheet firstSheet = ShowSheet(first, "First");
    Sheet secondSheet = ShowSheet(second, "Second");
    ChooseRow(firstSheet.page, 1004, 7);
    ChooseRow(secondSheet.page, 1004, 8);
    CloseSheet(firstSheet, PSBTN_OK);
    ChooseRow(secondSheet.page, 1003, 0);
    CloseSheet(secondSheet, PSBTN_OK);
    CheckEqualText("first PortName", Sz("COM8"), StoredValue(first, "PortName"));
    CheckEqualText("first KeyFunc", "1", StoredValue(first, "KeyFunc"));
    CheckEqualText("first friendly name", "Keyer (COM8)", GetProperty(first, SPDRP_FRIENDLYNAME));
    CheckEqualText("second PortName", Sz("COM9"), StoredValue(second, "PortName"));
    CheckEqualText("second KeyFunc", "0", StoredValue(second, "KeyFunc"));
    CheckEqualText("second PttLogic", "1", StoredValue(second, "PttLogic"));
    CheckEqualText("second friendly name", "Keyer (COM9)", GetProperty(second, SPDRP_FRIENDLYNAME));
    CheckEqual("one message per sheet", 2, static_cast<long long>(TakeMessages().size()));
}

void RefusedPagesAndEveryRequestKind()
{
    BeginScenario("Device Manager refuses the page, and asks for other page kinds");
    Device device = CreateDevice("VKREFUSE", {"COM5", 1, 2, 0, 0, nullptr});
    for (DWORD kind : {SPPSR_SELECT_DEVICE_RESOURCES, SPPSR_ENUM_BASIC_DEVICE_PROPERTIES,
                       SPPSR_ENUM_ADV_DEVICE_PROPERTIES})
    {
        int offered = 0;
        CheckEqual("EnumPropPages returns TRUE when refused", TRUE,
                   OfferPages(device.set, &device.data, kind, RefusePage,
                              reinterpret_cast<LPARAM>(&offered)));
        CheckEqual("one page offered for kind " + std::to_string(kind), 1, offered);
    }
}

void ReloadRefusedByThePort(const Texts& texts)
{
    BeginScenario("the port opens but does not take the reload control");
    // COM9 stands for a port whose driver answers no private control.
    Device device = CreateDevice("VKNORELOAD", {"COM9", 1, 2, 0, 0, nullptr});
    HANDLE port =
        CreateFileA("COM9", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE)
    {
        Note("skip: COM9 does not open here");
        return;
    }
    CloseHandle(port);
    Sheet sheet = ShowSheet(device, "Keyer");
    CloseSheet(sheet, PSBTN_OK);
    std::vector<std::string> shown = TakeMessages();
    CheckEqual("one message", 1, static_cast<long long>(shown.size()));
    if (texts.reloadFailed && !shown.empty())
        CheckEqualText("reload-failed message", texts.reloadFailed, shown[0]);
}

// ---------------------------------------------------------------- bad data

// RegSetValueExA adds the terminator a caller seems to have forgotten (a
// string whose next byte is zero): a byte other than zero after the data
// keeps it unterminated.
void SetUnterminated(HKEY key, const char* name, const std::string& bytes)
{
    const std::string followed = bytes + '#';
    RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(followed.data()),
                   static_cast<DWORD>(bytes.size()));
}

// The size of a value as stored, or -1 when it is missing.
long long StoredSize(Device& device, const char* name)
{
    HKEY key = device.Key(KEY_READ);
    if (key == INVALID_HANDLE_VALUE)
        return -2;
    DWORD size = 0;
    const LONG result = RegQueryValueExA(key, name, nullptr, nullptr, nullptr, &size);
    RegCloseKey(key);
    return result == ERROR_SUCCESS ? size : -1;
}

// Odd values in SERIALCOMM among the ordinary ones. The two that do not fit
// in 256 bytes are set last and named to sort last (Wine enumerates values
// by name, Windows in the order they were set): the page's scan ends at the
// first of them.
void AddOddSerialPortMapValues()
{
    HKEY map = SerialPortMap();
    if (!map)
        return;
    SetRaw(map, std::string(255, 'N').c_str(), REG_SZ, std::string("COM11", 6));
    SetUnterminated(map, "\\Device\\VkOdd12", "COM12" + std::string(251, ' '));
    SetRaw(map, "\\Device\\VkOdd13", REG_BINARY, "COM13");
    SetRaw(map, "\\Device\\VkOdd14", REG_SZ, std::string("COM 14", 7));
    SetRaw(map, "\\Device\\VkOdd15", REG_SZ, std::string("com15", 6));
    SetRaw(map, "\\Device\\VkOddDword", REG_DWORD, std::string("\x12\0\0\0", 4));
    SetRaw(map, "\\Device\\VkOddEmpty", REG_SZ, "");
    SetRaw(map, "\\Device\\VkOddMulti", REG_MULTI_SZ, std::string("COM18\0\0", 7));
    for (const char* odd : {"COM0", "COM-3", "COM257"})
        SetRaw(map, (std::string("\\Device\\VkOdd") + odd).c_str(), REG_SZ,
               std::string(odd) + '\0');
    SetRaw(map, "\\Device\\VkTwice3", REG_SZ, std::string("COM3", 5));
    for (int i = 0; i < 300; ++i)
        SetRaw(map, ("\\Device\\VkMany" + std::to_string(i)).c_str(), REG_SZ,
               "COM" + std::to_string(200 + i) + '\0');
    SetRaw(map, ("~" + std::string(299, 'L')).c_str(), REG_SZ, std::string("COM16", 6));
    SetRaw(map, "~Device\\VkOdd17", REG_SZ, "COM17" + std::string(400, ' ') + '\0');
    RegCloseKey(map);
}

// The page over values of the wrong type, empty, too long for its buffers,
// unterminated, or missing, and a SERIALCOMM map with odd values: it shows
// what the host tests state, applies, and the process lives on.
void BadRegistryData()
{
    BeginScenario("values of the wrong types, and a port map with odd values");
    AddOddSerialPortMapValues();
    Device device = CreateDevice("VKBADTYPES", {"COM5", 2, 1, 1, 0, nullptr});
    HKEY key = device.Key(KEY_ALL_ACCESS);
    SetRaw(key, "PortName", REG_MULTI_SZ, std::string("COM7\0COM8\0\0", 11));
    SetRaw(key, "KeyFunc", REG_SZ, std::string("1", 2));
    SetRaw(key, "PttFunc", REG_BINARY, std::string("\1\0\0\0", 4));
    SetRaw(key, "KeyLogic", REG_BINARY, std::string(4096, '\1'));
    RegDeleteValueA(key, "PttLogic");
    SetRaw(key, "SampleInfo", REG_DWORD, std::string(4, '\0'));
    RegCloseKey(key);
    Sheet sheet = ShowSheet(device, "Keyer");
    HWND page = sheet.page;
    CheckEqualText("REG_MULTI_SZ PortName shows its first string", "COM7(current setting)",
                   ControlText(page, 1004));
    CheckEqualText("row COM3 (twice in the map)", "COM3(in use)", ComboRow(page, 1004, 2));
    CheckEqualText("row COM5", "COM5(in use)", ComboRow(page, 1004, 4));
    CheckEqualText("row COM11 (name of 255 characters)", "COM11(in use)", ComboRow(page, 1004, 10));
    CheckEqualText("row COM12 (data of 256 bytes, no terminator)", "COM12(in use)",
                   ComboRow(page, 1004, 11));
    CheckEqualText("row COM13 (REG_BINARY)", Unmarked(13), ComboRow(page, 1004, 12));
    CheckEqualText("row COM14 (\"COM 14\")", "COM14(in use)", ComboRow(page, 1004, 13));
    CheckEqualText("row COM15 (\"com15\")", Unmarked(15), ComboRow(page, 1004, 14));
    CheckEqualText("row COM16 (name of 300 characters)", "COM16", ComboRow(page, 1004, 15));
    CheckEqualText("row COM17 (data of 406 bytes)", Unmarked(17), ComboRow(page, 1004, 16));
    CheckEqualText("row COM18 (REG_MULTI_SZ)", Unmarked(18), ComboRow(page, 1004, 17));
    CheckEqualText("row COM199", Unmarked(199), ComboRow(page, 1004, 198));
    CheckEqualText("row COM200 (one of 300 values)", "COM200(in use)", ComboRow(page, 1004, 199));
    CheckEqualText("row COM256", "COM256(in use)", ComboRow(page, 1004, 255));
    CheckEqual("port rows", 256, SendDlgItemMessageA(page, 1004, CB_GETCOUNT, 0, 0));
    CheckEqual("KeyFunc REG_SZ \"1\" selects no line", CB_ERR, ComboSelection(page, 1003));
    CheckEqual("PttFunc REG_BINARY 1 shows DTR", 1, ComboSelection(page, 1005));
    CheckEqual("KeyLogic of 4 KB unchecked", BST_UNCHECKED, Checked(page, 1007));
    CheckEqual("PttLogic missing unchecked", BST_UNCHECKED, Checked(page, 1008));
    CheckEqual("SampleInfo REG_DWORD 0 hides More info", 0, Visible(page, 1000));
    CloseSheet(sheet, PSBTN_OK);
    CheckEqualText("PortName stored as REG_SZ", Sz("COM7"), StoredValue(device, "PortName"));
    CheckEqualText("KeyFunc stored as no line", "4294967295", StoredValue(device, "KeyFunc"));
    CheckEqualText("PttFunc stored as DTR", "1", StoredValue(device, "PttFunc"));
    CheckEqualText("KeyLogic stored as 0", "0", StoredValue(device, "KeyLogic"));
    CheckEqualText("PttLogic stored as 0", "0", StoredValue(device, "PttLogic"));
    CheckEqualText("friendly name", "Keyer (COM7)", GetProperty(device, SPDRP_FRIENDLYNAME));
    CheckEqual("one message (nothing answers COM7)", 1,
               static_cast<long long>(TakeMessages().size()));

    BeginScenario("values too long for the page's buffers, and unterminated");
    Device longer = CreateDevice("VKBADLONG", {"COM5", 2, 1, 1, 0, nullptr});
    SetProperty(longer, SPDRP_FRIENDLYNAME, std::string(299, 'F'));
    key = longer.Key(KEY_ALL_ACCESS);
    SetUnterminated(key, "PortName", "COM5" + std::string(252, 'x'));
    SetRaw(key, "KeyFunc", REG_DWORD, "");
    SetUnterminated(key, "PttFunc", std::string(256, '2'));
    SetUnterminated(key, "SampleInfo", std::string(256, 'y'));
    RegCloseKey(key);
    sheet = ShowSheet(longer, "Keyer");
    page = sheet.page;
    CheckEqualText("friendly name of 300 bytes shows the description", "Keyer",
                   ControlText(page, 1001));
    CheckEqualText("PortName of 256 bytes selects no row", "", ControlText(page, 1004));
    CheckEqualText("its number still marks the current row", "COM5(current setting)",
                   ComboRow(page, 1004, 4));
    CheckEqual("empty KeyFunc selects no line", CB_ERR, ComboSelection(page, 1003));
    CheckEqual("PttFunc of 256 bytes selects no line", CB_ERR, ComboSelection(page, 1005));
    CheckEqual("More info shown", 1, Visible(page, 1000));
    const char* info = reinterpret_cast<const char*>(GetWindowLongPtrA(page, DWLP_USER));
    CheckEqualText("More info target: 256 unterminated bytes, cut at the buffer",
                   std::string(256, 'y'), info ? info : "(none)");
    CloseSheet(sheet, PSBTN_OK);
    CheckEqual("PortName kept as it was", 256, StoredSize(longer, "PortName"));
    CheckEqualText("KeyFunc stored as no line", "4294967295", StoredValue(longer, "KeyFunc"));
    CheckEqualText("PttFunc stored as no line", "4294967295", StoredValue(longer, "PttFunc"));
    CheckEqualText("friendly name kept (too long to read)", "(none)",
                   GetProperty(longer, SPDRP_FRIENDLYNAME));
    CheckEqual("one message (the name read opens nothing)", 1,
               static_cast<long long>(TakeMessages().size()));
}

// Shows a configured device's page until the screenshot is taken.
int ShowForScreenshot(const char* readyFile, const char* doneFile, bool portList)
{
    Device device = CreateDevice("VKSHOT", {"COM5", 2, 1, 1, 0, nullptr});
    Sheet sheet = ShowSheet(device, "Keyer");
    if (portList)
    {
        // From the top, so that the marked rows COM3 and COM5 show.
        SendDlgItemMessageA(sheet.page, 1004, CB_SHOWDROPDOWN, TRUE, 0);
        COMBOBOXINFO combo = {sizeof combo};
        if (GetComboBoxInfo(GetDlgItem(sheet.page, 1004), &combo))
            SendMessageA(combo.hwndList, LB_SETTOPINDEX, 0, 0);
    }
    RECT rect;
    GetWindowRect(sheet.window, &rect);
    Pump(500);
    if (FILE* ready = std::fopen(readyFile, "w"))
    {
        std::fprintf(ready, "%ldx%ld+%ld+%ld\n", rect.right - rect.left, rect.bottom - rect.top,
                     rect.left, rect.top);
        std::fclose(ready);
    }
    for (int i = 0; i < 300 && GetFileAttributesA(doneFile) == INVALID_FILE_ATTRIBUTES; ++i)
        Pump(100);
    CloseSheet(sheet, PSBTN_CANCEL);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3)
    {
        std::printf("usage: pagetest <vkprop.dll> en|ja|shot <ready> <done> [ports]\n");
        return 100;
    }
    std::string error;
    if (!LoadPageProvider(argv[1], &error))
    {
        std::printf("FAIL %s\n", error.c_str());
        return 100;
    }
    SetSerialPortMap();
    MessageBoxWatch watch;
    messageBoxes = &watch;

    const std::string mode = argv[2];
    if (mode == "shot" && argc >= 5)
        return ShowForScreenshot(argv[3], argv[4], argc >= 6 && std::strcmp(argv[5], "ports") == 0);
    if (mode == "bad")
    {
        BadRegistryData();
        return Summary();
    }
    const bool japanese = mode == "ja";
    if (japanese)
        CheckEqual("ANSI code page", 932, GetACP());
    const Texts& texts = japanese ? kJapanese : kEnglish;

    StoredSettingsAreShownAndOkWritesThemBack(texts);
    ApplyStoresChangesAndCancelStoresNothing();
    ValuesOutsideTheChoicesAndSampleInfo();
    TwoSheetsApplyToTheirOwnDevices();
    RefusedPagesAndEveryRequestKind();
    ReloadRefusedByThePort(texts);
    return Summary();
}
