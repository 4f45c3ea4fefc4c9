// Offering the "Port settings" page to Device Manager and freeing the page's
// context when the page is released.
#pragma once

#include "PageContext.h"

namespace vkprop
{

using PageHandle = void*; // HPROPSHEETPAGE

// The property-sheet calls of the provider.
class ProviderCalls
{
  public:
    virtual ~ProviderCalls() = default;

    // CreatePropertySheetPageA of the page structure whose lParam is the
    // context; null when the page cannot be created.
    virtual PageHandle CreatePage(PageContext* context) = 0;
    // Device Manager's add-page function with its own LPARAM.
    virtual bool AddPage(PageHandle page) = 0;
    // DestroyPropertySheetPage; releases the page, which frees its context.
    virtual void DestroyPage(PageHandle page) = 0;
};

// Device Manager sits above this call and cannot take a C++ exception:
// whatever fails, the device's other pages are still shown.
bool OfferPortPage(ProviderCalls& calls, void* deviceInfoSet,
                   _SP_DEVINFO_DATA* deviceInfoData) noexcept;

// PSPCB_RELEASE of a page: frees the context the page was created with.
void ReleasePageContext(PageContext* context) noexcept;

} // namespace vkprop
