/*
 * Device Manager's side of the page provider: vkprop.dll loaded into this process, the pages it
 * offers for a device shown in a modeless property sheet, and the sheet's message boxes answered.
 */
#pragma once

#include <windows.h>
#include <prsht.h>
#include <setupapi.h>

#include <string>
#include <vector>

/* Loads EnumPropPages (once) from dllPath, with the common controls the page needs. */
bool LoadPageProvider(const std::string& dllPath, std::string* error);

/* EnumPropPages for a request of that kind on the device. */
BOOL OfferPages(HDEVINFO set, SP_DEVINFO_DATA* device, DWORD kind, LPFNADDPROPSHEETPAGE add,
                LPARAM param);
/* An add-page callback that appends to the std::vector<HPROPSHEETPAGE> in param. */
BOOL CALLBACK CollectPage(HPROPSHEETPAGE page, LPARAM param);

/* A modeless sheet (PSH_MODELESS | PSH_NOCONTEXTHELP | flags) of the pages, or NULL. */
HWND ShowSheet(const char* caption, DWORD flags, std::vector<HPROPSHEETPAGE>& pages);

/* Runs this thread's messages for that long. */
void Pump(DWORD milliseconds);

/* Selects a combo box row as a user does: the selection and its CBN_SELCHANGE. */
void ChooseRow(HWND page, int id, int row);

/*
 * The live apply's message boxes are modal inside PSN_APPLY on the sheet's thread: while this
 * lives, a watcher thread records the text of this process's message boxes and answers them.
 */
class MessageBoxWatch
{
  public:
    MessageBoxWatch();
    ~MessageBoxWatch();
    MessageBoxWatch(const MessageBoxWatch&) = delete;
    MessageBoxWatch& operator=(const MessageBoxWatch&) = delete;

    /* The texts recorded since the last call, in order. */
    std::vector<std::string> Take();

  private:
    static DWORD WINAPI Watch(void* param);
    static BOOL CALLBACK Answer(HWND window, LPARAM param);

    CRITICAL_SECTION lock_;
    std::vector<std::string> texts_;
    volatile bool running_ = true;
    HANDLE thread_;
};
