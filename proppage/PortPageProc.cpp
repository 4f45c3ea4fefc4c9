#include "PortPageProc.h"

#include "Controls.h"
#include "PortPage.h"
#include "Win32Calls.h"
#include "resource.h"

#include <commctrl.h>
#include <prsht.h>
#include <shellapi.h>

#include <cstring>
#include <memory>

namespace vkprop
{

namespace
{

// What one page window keeps from WM_INITDIALOG to WM_DESTROY. It hangs in
// the window's user data, so every page applies to its own device even when
// several sheets are open in one process.
struct PageRecord
{
    explicit PageRecord(const PageContext& context)
        : page(deviceCalls, portCalls, context, [this, context] {
              return PortChoiceList::ScanPortsInUse(portMapCalls, deviceCalls.InstanceId(context));
          })
    {
    }

    SetupApiDeviceCalls deviceCalls;
    Win32PortIoCalls portCalls;
    Win32PortMapCalls portMapCalls;
    PortPage page;
};

int LineBoxId(Line line)
{
    return line == Line::Key ? IDC_KEY_LINE : IDC_PTT_LINE;
}

int InvertBoxId(Line line)
{
    return line == Line::Key ? IDC_KEY_INVERT : IDC_PTT_INVERT;
}

class DialogPageView : public PageView
{
  public:
    explicit DialogPageView(HWND dialog) : dialog_(dialog) {}

    void SetDeviceName(const std::string& name) override
    {
        SetDlgItemTextA(dialog_, IDC_DEVICE_NAME, name.c_str());
    }
    void AddPortRows(const std::vector<std::string>& rows) override
    {
        ComboBoxControl portBox(dialog_, IDC_PORT_NAME);
        for (const std::string& row : rows)
            portBox.AddString(row);
        portBox.FitDroppedWidthToRows();
    }
    void SelectPortRow(const std::string& prefix) override
    {
        ComboBoxControl(dialog_, IDC_PORT_NAME).SelectString(prefix);
    }
    std::string GetPortText() override
    {
        return ComboBoxControl(dialog_, IDC_PORT_NAME).GetText();
    }
    void FillLineChoices(Line line) override
    {
        LineFuncComboBox(dialog_, LineBoxId(line)).FillLineChoices();
    }
    void SetLineSelection(Line line, int index) override
    {
        LineFuncComboBox(dialog_, LineBoxId(line)).SetCurSel(index);
    }
    int GetLineSelection(Line line) override
    {
        return LineFuncComboBox(dialog_, LineBoxId(line)).GetCurSel();
    }
    void SetInverted(Line line, bool inverted) override
    {
        SendMessageA(GetDlgItem(dialog_, InvertBoxId(line)), BM_SETCHECK,
                     inverted ? BST_CHECKED : BST_UNCHECKED, 0);
    }
    bool GetInverted(Line line) override
    {
        return SendMessageA(GetDlgItem(dialog_, InvertBoxId(line)), BM_GETCHECK, 0, 0) ==
               BST_CHECKED;
    }
    void HideMoreInfo() override
    {
        ShowWindow(GetDlgItem(dialog_, IDC_MORE_INFO), SW_HIDE);
    }

  private:
    HWND dialog_;
};

PageRecord* RecordOf(HWND dialog)
{
    return reinterpret_cast<PageRecord*>(GetWindowLongPtrA(dialog, GWLP_USERDATA));
}

// The expanded SampleInfo lives in a fixed global block in DWL_USER until
// the window goes.
void KeepSampleInfo(HWND dialog, const std::string& sampleInfo)
{
    HGLOBAL block = GlobalAlloc(GMEM_FIXED, sampleInfo.size() + 1);
    if (!block)
        return;
    std::memcpy(block, sampleInfo.c_str(), sampleInfo.size() + 1);
    SetWindowLongPtrA(dialog, DWLP_USER, reinterpret_cast<LONG_PTR>(block));
}

void InitialisePage(HWND dialog, const PROPSHEETPAGEA* sheetPage)
{
    const auto* context =
        sheetPage ? reinterpret_cast<const PageContext*>(sheetPage->lParam) : nullptr;
    if (!context)
        return;
    auto record = std::make_unique<PageRecord>(*context);
    DialogPageView view(dialog);
    std::optional<std::string> sampleInfo;
    record->page.Initialise(view, sampleInfo);
    if (sampleInfo)
        KeepSampleInfo(dialog, *sampleInfo);
    SetWindowLongPtrA(dialog, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(record.release()));
}

void ApplyPage(HWND dialog)
{
    if (PageRecord* record = RecordOf(dialog))
    {
        DialogPageView view(dialog);
        record->page.Apply(view, dialog);
    }
}

void DestroyPage(HWND dialog)
{
    if (HGLOBAL block = reinterpret_cast<HGLOBAL>(GetWindowLongPtrA(dialog, DWLP_USER)))
    {
        SetWindowLongPtrA(dialog, DWLP_USER, 0);
        GlobalFree(block);
    }
    // Closes the device key the page kept open for its applies.
    delete RecordOf(dialog);
    SetWindowLongPtrA(dialog, GWLP_USERDATA, 0);
}

} // namespace

INT_PTR CALLBACK PortPageProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    // Nothing may unwind into the window manager: a failure ends the
    // handling of the message, which then counts as not processed.
    try
    {
        switch (message)
        {
        case WM_INITDIALOG:
            InitialisePage(dialog, reinterpret_cast<const PROPSHEETPAGEA*>(lParam));
            return FALSE;
        case WM_NOTIFY:
            // The page sets no message result: the sheet takes every apply
            // as successful (PSNRET_NOERROR).
            if (reinterpret_cast<const NMHDR*>(lParam)->code == static_cast<UINT>(PSN_APPLY))
                ApplyPage(dialog);
            return 0;
        case WM_COMMAND:
            if (LOWORD(wParam) != IDC_MORE_INFO)
                return FALSE;
            if (const char* info =
                    reinterpret_cast<const char*>(GetWindowLongPtrA(dialog, DWLP_USER)))
                ShellExecuteA(dialog, nullptr, info, nullptr, nullptr, SW_SHOWNORMAL);
            return TRUE;
        case WM_DESTROY:
            DestroyPage(dialog);
            return FALSE;
        }
    }
    catch (...)
    {
    }
    return FALSE;
}

} // namespace vkprop
