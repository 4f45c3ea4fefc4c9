#include "page_sheet.h"

#include <commctrl.h>

#include <cstring>

namespace
{

using EnumPropPagesFn = BOOL(WINAPI*)(PSP_PROPSHEETPAGE_REQUEST, LPFNADDPROPSHEETPAGE, LPARAM);
EnumPropPagesFn enumPropPages;

} // namespace

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

BOOL OfferPages(HDEVINFO set, SP_DEVINFO_DATA* device, DWORD kind, LPFNADDPROPSHEETPAGE add,
                LPARAM param)
{
    SP_PROPSHEETPAGE_REQUEST request = {sizeof(request), kind, set, device};
    return enumPropPages(&request, add, param);
}

BOOL CALLBACK CollectPage(HPROPSHEETPAGE page, LPARAM param)
{
    reinterpret_cast<std::vector<HPROPSHEETPAGE>*>(param)->push_back(page);
    return TRUE;
}

HWND ShowSheet(const char* caption, DWORD flags, std::vector<HPROPSHEETPAGE>& pages)
{
    PROPSHEETHEADERA header = {};
    header.dwSize = sizeof(header);
    header.dwFlags = PSH_MODELESS | PSH_NOCONTEXTHELP | flags;
    header.pszCaption = caption;
    header.nPages = static_cast<UINT>(pages.size());
    header.phpage = pages.data();
    HWND sheet = reinterpret_cast<HWND>(PropertySheetA(&header));
    Pump(100);
    return sheet == reinterpret_cast<HWND>(-1) ? NULL : sheet;
}

void Pump(DWORD milliseconds)
{
    DWORD end = GetTickCount() + milliseconds;
    do
    {
        MSG message;
        while (PeekMessageA(&message, NULL, 0, 0, PM_REMOVE))
        {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
        Sleep(10);
    } while (static_cast<LONG>(end - GetTickCount()) > 0);
}

void ChooseRow(HWND page, int id, int row)
{
    SendDlgItemMessageA(page, id, CB_SETCURSEL, row, 0);
    SendMessageA(page, WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(GetDlgItem(page, id)));
}

MessageBoxWatch::MessageBoxWatch()
{
    InitializeCriticalSection(&lock_);
    thread_ = CreateThread(NULL, 0, Watch, this, 0, NULL);
}

MessageBoxWatch::~MessageBoxWatch()
{
    running_ = false;
    WaitForSingleObject(thread_, 5000);
    CloseHandle(thread_);
    DeleteCriticalSection(&lock_);
}

std::vector<std::string> MessageBoxWatch::Take()
{
    std::vector<std::string> taken;
    EnterCriticalSection(&lock_);
    taken.swap(texts_);
    LeaveCriticalSection(&lock_);
    return taken;
}

DWORD WINAPI MessageBoxWatch::Watch(void* param)
{
    MessageBoxWatch* watch = static_cast<MessageBoxWatch*>(param);
    while (watch->running_)
    {
        if (!EnumWindows(Answer, reinterpret_cast<LPARAM>(watch)))
            Sleep(300); // let the answered box go before looking again
        Sleep(30);
    }
    return 0;
}

BOOL CALLBACK MessageBoxWatch::Answer(HWND window, LPARAM param)
{
    MessageBoxWatch* watch = reinterpret_cast<MessageBoxWatch*>(param);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    char className[16] = {};
    GetClassNameA(window, className, sizeof(className));
    HWND text = GetDlgItem(window, 0xFFFF);
    if (process != GetCurrentProcessId() || std::strcmp(className, "#32770") != 0 || text == NULL ||
        !IsWindowVisible(window) || GetDlgItem(window, IDOK) == NULL)
        return TRUE;
    char body[512] = {};
    GetWindowTextA(text, body, sizeof(body));
    EnterCriticalSection(&watch->lock_);
    watch->texts_.push_back(body);
    LeaveCriticalSection(&watch->lock_);
    PostMessageA(window, WM_COMMAND, IDOK, 0);
    return FALSE;
}
