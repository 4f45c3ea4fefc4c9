#include "PageFakes.h"
#include "PageProvider.h"

#include <gtest/gtest.h>

#include <new>

namespace vkprop
{
namespace
{

_SP_DEVINFO_DATA keyer{1};
void* const kDeviceSet = reinterpret_cast<void*>(0x1000);

// Property sheet pages as comctl32 keeps them: destroying one sends it
// PSPCB_RELEASE, which the provider answers by freeing the context.
class FakeSheet : public ProviderCalls
{
  public:
    bool acceptPages = true;
    bool createFails = false;
    bool createThrows = false;
    std::vector<PageContext*> pages; // contexts of pages that exist
    int added = 0;
    int destroyed = 0;

    PageHandle CreatePage(PageContext* context) override
    {
        if (createThrows)
            throw std::bad_alloc();
        if (createFails)
            return nullptr;
        pages.push_back(context);
        return context;
    }
    bool AddPage(PageHandle) override
    {
        added += acceptPages ? 1 : 0;
        return acceptPages;
    }
    void DestroyPage(PageHandle page) override
    {
        ++destroyed;
        Release(static_cast<PageContext*>(page));
    }
    void Release(PageContext* context)
    {
        pages.erase(std::find(pages.begin(), pages.end(), context));
        ReleasePageContext(context);
    }
};

TEST(PageProvider, EveryRequestGetsOnePageWithAFreshContextOfItsOwn)
{
    FakeSheet sheet;
    _SP_DEVINFO_DATA other{2};
    EXPECT_TRUE(OfferPortPage(sheet, kDeviceSet, &keyer));
    EXPECT_TRUE(OfferPortPage(sheet, kDeviceSet, &other));
    ASSERT_EQ(sheet.pages.size(), 2u);
    EXPECT_EQ(sheet.added, 2);
    EXPECT_NE(sheet.pages[0], sheet.pages[1]);

    sheet.Release(sheet.pages[0]);
    ASSERT_EQ(sheet.pages.size(), 1u);
    EXPECT_EQ(sheet.pages[0]->DeviceInfoSet, kDeviceSet);
    EXPECT_EQ(sheet.pages[0]->DeviceInfoData, &other);
    sheet.Release(sheet.pages[0]);
}

TEST(PageProvider, RefusedPageIsDestroyedAndItsContextFreedOnce)
{
    FakeSheet sheet;
    sheet.acceptPages = false;
    EXPECT_TRUE(OfferPortPage(sheet, kDeviceSet, &keyer));
    EXPECT_EQ(sheet.destroyed, 1);
    EXPECT_TRUE(sheet.pages.empty());
}

TEST(PageProvider, PageThatCannotBeCreatedIsNotOffered)
{
    FakeSheet sheet;
    sheet.createFails = true;
    EXPECT_TRUE(OfferPortPage(sheet, kDeviceSet, &keyer));
    EXPECT_EQ(sheet.added, 0);
    EXPECT_EQ(sheet.destroyed, 0);
}

TEST(PageProvider, OutOfMemoryDoesNotLeaveTheProvider)
{
    FakeSheet sheet;
    sheet.createThrows = true;
    EXPECT_TRUE(OfferPortPage(sheet, kDeviceSet, &keyer));
    EXPECT_EQ(sheet.added, 0);
}

TEST(PageProvider, ReleaseOfAPageWithoutContextIsHarmless)
{
    ReleasePageContext(nullptr);
}

} // namespace
} // namespace vkprop
