#include "PageProvider.h"

#include <memory>

namespace vkprop
{

bool OfferPortPage(ProviderCalls& calls, void* deviceInfoSet,
                   _SP_DEVINFO_DATA* deviceInfoData) noexcept
{
    try
    {
        auto context = std::make_unique<PageContext>(PageContext{deviceInfoSet, deviceInfoData});
        // A null handle is no page for Device Manager to add, and no page
        // exists to release the context then.
        PageHandle page = calls.CreatePage(context.get());
        if (!page)
            return true;
        // From here the page owns the context: destroying the page frees it
        // through the release callback, exactly once.
        context.release();
        if (!calls.AddPage(page))
            calls.DestroyPage(page);
    }
    catch (...)
    {
        // Out of memory for the context: the device shows no Port settings page.
    }
    return true;
}

void ReleasePageContext(PageContext* context) noexcept
{
    delete context;
}

} // namespace vkprop
