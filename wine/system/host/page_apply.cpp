#include "page_apply.h"

#include <commctrl.h>
#include <prsht.h>
#include <setupapi.h>

#include <cstring>

namespace {

// The page's controls (its dialog template 101).
const int KeyLineCombo = 1003;
const int PortNameCombo = 1004;
const int PttLineCombo = 1005;
const int KeyInvertBox = 1007;
const int PttInvertBox = 1008;

using EnumPropPagesFn = BOOL(WINAPI*)(PSP_PROPSHEETPAGE_REQUEST, LPFNADDPROPSHEETPAGE, LPARAM);
EnumPropPagesFn enumPropPages;

void Pump(DWORD milliseconds)
{
    DWORD end = GetTickCount() + milliseconds;
    do {
        MSG message;
        while (PeekMessageA(&message, NULL, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
        Sleep(10);
    } while (static_cast<LONG>(end - GetTickCount()) > 0);
}

/*
 * The live apply's message boxes are modal inside PSN_APPLY on this thread:
 * a watcher thread records their text and answers them.
 */
struct MessageWatch {
    CRITICAL_SECTION lock;
    std::vector<std::string> texts;
    volatile bool running = true;
};

BOOL CALLBACK AnswerMessageBox(HWND window, LPARAM param)
{
    MessageWatch* watch = reinterpret_cast<MessageWatch*>(param);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    char className[16] = {};
    GetClassNameA(window, className, sizeof(className));
    HWND text = GetDlgItem(window, 0xFFFF);
    if (process != GetCurrentProcessId() || std::strcmp(className, "#32770") != 0 ||
        text == NULL || !IsWindowVisible(window) || GetDlgItem(window, IDOK) == NULL)
        return TRUE;
    char body[512] = {};
    GetWindowTextA(text, body, sizeof(body));
    EnterCriticalSection(&watch->lock);
    watch->texts.push_back(body);
    LeaveCriticalSection(&watch->lock);
    PostMessageA(window, WM_COMMAND, IDOK, 0);
    return FALSE;
}

DWORD WINAPI WatchMessageBoxes(void* param)
{
    MessageWatch* watch = static_cast<MessageWatch*>(param);
    while (watch->running) {
        if (!EnumWindows(AnswerMessageBox, reinterpret_cast<LPARAM>(watch)))
            Sleep(300);  // let the answered box go before looking again
        Sleep(30);
    }
    return 0;
}

BOOL CALLBACK CollectPage(HPROPSHEETPAGE page, LPARAM param)
{
    reinterpret_cast<std::vector<HPROPSHEETPAGE>*>(param)->push_back(page);
    return TRUE;
}

void ChooseRow(HWND page, int id, int row)
{
    SendDlgItemMessageA(page, id, CB_SETCURSEL, row, 0);
    SendMessageA(page, WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(GetDlgItem(page, id)));
}

void SetChecked(HWND page, int id, bool checked)
{
    bool now = SendDlgItemMessageA(page, id, BM_GETCHECK, 0, 0) == BST_CHECKED;
    if (now != checked)
        SendDlgItemMessageA(page, id, BM_CLICK, 0, 0);
}

}  // namespace

bool LoadPageProvider(const std::string& dllPath, std::string* error)
{
    if (enumPropPages != NULL)
        return true;
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_WIN95_CLASSES};
    InitCommonControlsEx(&controls);
    HMODULE library = LoadLibraryA(dllPath.c_str());
    if (library != NULL)
        enumPropPages = reinterpret_cast<EnumPropPagesFn>(
            reinterpret_cast<void*>(GetProcAddress(library, "EnumPropPages")));
    if (enumPropPages == NULL)
        *error = "cannot load EnumPropPages from " + dllPath + ": error " +
                 std::to_string(GetLastError());
    return enumPropPages != NULL;
}

PageApplyResult ApplyInPage(const char* hardwareId, const PageChoice& choice)
{
    PageApplyResult result;
    HDEVINFO set = SetupDiGetClassDevsA(NULL, NULL, NULL, DIGCF_ALLCLASSES | DIGCF_PRESENT);
    SP_DEVINFO_DATA device = {sizeof(device)};
    bool found = false;
    for (DWORD index = 0; !found && SetupDiEnumDeviceInfo(set, index, &device); ++index) {
        char ids[1024] = {};
        if (!SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID, NULL,
                                               reinterpret_cast<BYTE*>(ids), sizeof(ids) - 2,
                                               NULL))
            continue;
        for (const char* id = ids; *id && !found; id += std::strlen(id) + 1)
            found = _stricmp(id, hardwareId) == 0;
    }
    if (!found) {
        result.error = "no device listing the hardware id";
        SetupDiDestroyDeviceInfoList(set);
        return result;
    }

    std::vector<HPROPSHEETPAGE> pages;
    SP_PROPSHEETPAGE_REQUEST request = {sizeof(request), SPPSR_ENUM_ADV_DEVICE_PROPERTIES, set,
                                        &device};
    if (!enumPropPages(&request, CollectPage, reinterpret_cast<LPARAM>(&pages)) ||
        pages.size() != 1) {
        result.error = "EnumPropPages offered " + std::to_string(pages.size()) + " pages";
        SetupDiDestroyDeviceInfoList(set);
        return result;
    }
    PROPSHEETHEADERA header = {};
    header.dwSize = sizeof(header);
    header.dwFlags = PSH_MODELESS | PSH_NOCONTEXTHELP;
    header.pszCaption = "Velkor keying interface";
    header.nPages = 1;
    header.phpage = pages.data();
    HWND sheet = reinterpret_cast<HWND>(PropertySheetA(&header));
    Pump(100);
    HWND page = sheet != NULL && sheet != reinterpret_cast<HWND>(-1)
                    ? PropSheet_GetCurrentPageHwnd(sheet)
                    : NULL;
    if (page == NULL) {
        result.error = "the property sheet showed no page (error " +
                       std::to_string(GetLastError()) + ")";
        SetupDiDestroyDeviceInfoList(set);
        return result;
    }
    result.shown = true;
    result.keyRowBefore = static_cast<int>(SendDlgItemMessageA(page, KeyLineCombo, CB_GETCURSEL, 0, 0));
    result.pttRowBefore = static_cast<int>(SendDlgItemMessageA(page, PttLineCombo, CB_GETCURSEL, 0, 0));

    if (choice.portRow >= 0)
        ChooseRow(page, PortNameCombo, choice.portRow);
    ChooseRow(page, KeyLineCombo, choice.keyRow);
    ChooseRow(page, PttLineCombo, choice.pttRow);
    SetChecked(page, KeyInvertBox, choice.keyInverted);
    SetChecked(page, PttInvertBox, choice.pttInverted);

    MessageWatch watch;
    InitializeCriticalSection(&watch.lock);
    HANDLE watcher = CreateThread(NULL, 0, WatchMessageBoxes, &watch, 0, NULL);
    SendMessageA(sheet, PSM_CHANGED, reinterpret_cast<WPARAM>(page), 0);
    SendMessageA(sheet, PSM_PRESSBUTTON, PSBTN_APPLYNOW, 0);
    Pump(300);
    watch.running = false;
    WaitForSingleObject(watcher, 5000);
    CloseHandle(watcher);
    result.messages = watch.texts;
    DeleteCriticalSection(&watch.lock);

    SendMessageA(sheet, PSM_PRESSBUTTON, PSBTN_CANCEL, 0);
    Pump(100);
    DestroyWindow(sheet);
    Pump(50);
    SetupDiDestroyDeviceInfoList(set);
    return result;
}
