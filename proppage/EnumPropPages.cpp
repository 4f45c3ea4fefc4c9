// The provider entry Device Manager calls, the page callback, and the DLL's
// entry point.
#include "PageProvider.h"
#include "PortPageProc.h"
#include "resource.h"

#include <windows.h>
#include <commctrl.h>
#include <prsht.h>
#include <setupapi.h>

#include <cstddef>

namespace vkprop
{

namespace
{

// Needed to find template 101; written only by DllMain.
HINSTANCE moduleHandle;

// The page structure up to the header subtitle, without the activation
// context (PROPSHEETPAGEA_V2_SIZE): the size every comctl32 since 5.80 takes.
// Two 32-bit fields and ten pointer-sized ones: 48 bytes on x86, 88 on x64.
constexpr UINT kPageStructureSize = offsetof(PROPSHEETPAGEA, pszHeaderSubTitle) + sizeof(LPCSTR);
static_assert(kPageStructureSize == (sizeof(void*) == 8 ? 88 : 48));

UINT CALLBACK PortPageCallback(HWND, UINT message, PROPSHEETPAGEA* page)
{
    if (message == PSPCB_RELEASE && page)
        ReleasePageContext(reinterpret_cast<PageContext*>(page->lParam));
    // Also for PSPCB_CREATE: the page may always be created.
    return 1;
}

class SheetCalls : public ProviderCalls
{
  public:
    SheetCalls(LPFNADDPROPSHEETPAGE addPage, LPARAM addPageParam)
        : addPage_(addPage), addPageParam_(addPageParam)
    {
    }

    PageHandle CreatePage(PageContext* context) override
    {
        PROPSHEETPAGEA page = {};
        page.dwSize = kPageStructureSize;
        page.dwFlags = PSP_USECALLBACK; // no PSP_USETITLE: the tab shows the caption
        page.hInstance = moduleHandle;
        page.pszTemplate = MAKEINTRESOURCEA(IDD_PORT_SETTINGS);
        page.pfnDlgProc = PortPageProc;
        page.lParam = reinterpret_cast<LPARAM>(context);
        page.pfnCallback = PortPageCallback;
        return CreatePropertySheetPageA(&page);
    }

    bool AddPage(PageHandle page) override
    {
        return addPage_(static_cast<HPROPSHEETPAGE>(page), addPageParam_) != FALSE;
    }

    void DestroyPage(PageHandle page) override
    {
        DestroyPropertySheetPage(static_cast<HPROPSHEETPAGE>(page));
    }

  private:
    LPFNADDPROPSHEETPAGE addPage_;
    LPARAM addPageParam_;
};

} // namespace

} // namespace vkprop

// Device Manager offers its request for every page kind; the page is
// offered for each.
extern "C" BOOL WINAPI EnumPropPages(PSP_PROPSHEETPAGE_REQUEST request,
                                     LPFNADDPROPSHEETPAGE addPage, LPARAM addPageParam)
{
    if (!request || !addPage)
        return TRUE;
    vkprop::SheetCalls calls(addPage, addPageParam);
    return vkprop::OfferPortPage(calls, request->DeviceInfoSet, request->DeviceInfoData) ? TRUE
                                                                                         : FALSE;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD, LPVOID)
{
    vkprop::moduleHandle = instance;
    return TRUE;
}
