#include "page_apply.h"

#include <commctrl.h>

#include "device_setup.h"

namespace
{

// The page's controls (its dialog template 101).
const int KeyLineCombo = 1003;
const int PortNameCombo = 1004;
const int PttLineCombo = 1005;
const int KeyInvertBox = 1007;
const int PttInvertBox = 1008;

void SetChecked(HWND page, int id, bool checked)
{
    bool now = SendDlgItemMessageA(page, id, BM_GETCHECK, 0, 0) == BST_CHECKED;
    if (now != checked)
        SendDlgItemMessageA(page, id, BM_CLICK, 0, 0);
}

} // namespace

PageApplyResult ApplyInPage(const char* hardwareId, const PageChoice& choice)
{
    PageApplyResult result;
    SP_DEVINFO_DATA device;
    HDEVINFO set = OpenPresentDevice(hardwareId, &device);
    if (set == INVALID_HANDLE_VALUE)
    {
        result.error = "no device listing the hardware id";
        return result;
    }

    std::vector<HPROPSHEETPAGE> pages;
    if (!OfferPages(set, &device, SPPSR_ENUM_ADV_DEVICE_PROPERTIES, CollectPage,
                    reinterpret_cast<LPARAM>(&pages)) ||
        pages.size() != 1)
    {
        result.error = "EnumPropPages offered " + std::to_string(pages.size()) + " pages";
        SetupDiDestroyDeviceInfoList(set);
        return result;
    }
    HWND sheet = ShowSheet("Velkor keying interface", 0, pages);
    HWND page = sheet != NULL ? PropSheet_GetCurrentPageHwnd(sheet) : NULL;
    if (page == NULL)
    {
        result.error =
            "the property sheet showed no page (error " + std::to_string(GetLastError()) + ")";
        SetupDiDestroyDeviceInfoList(set);
        return result;
    }
    result.shown = true;
    result.keyRowBefore =
        static_cast<int>(SendDlgItemMessageA(page, KeyLineCombo, CB_GETCURSEL, 0, 0));
    result.pttRowBefore =
        static_cast<int>(SendDlgItemMessageA(page, PttLineCombo, CB_GETCURSEL, 0, 0));

    if (choice.portRow >= 0)
        ChooseRow(page, PortNameCombo, choice.portRow);
    ChooseRow(page, KeyLineCombo, choice.keyRow);
    ChooseRow(page, PttLineCombo, choice.pttRow);
    SetChecked(page, KeyInvertBox, choice.keyInverted);
    SetChecked(page, PttInvertBox, choice.pttInverted);

    {
        MessageBoxWatch watch;
        SendMessageA(sheet, PSM_CHANGED, reinterpret_cast<WPARAM>(page), 0);
        // Returns when PSN_APPLY has, after its message boxes.
        SendMessageA(sheet, PSM_PRESSBUTTON, PSBTN_APPLYNOW, 0);
        Pump(300);
        result.messages = watch.Take();
    }

    SendMessageA(sheet, PSM_PRESSBUTTON, PSBTN_CANCEL, 0);
    Pump(100);
    DestroyWindow(sheet);
    Pump(50);
    SetupDiDestroyDeviceInfoList(set);
    return result;
}
