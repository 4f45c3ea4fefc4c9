#include "PageFakes.h"
#include "PageMessages.h"
#include "PortPage.h"

#include <gtest/gtest.h>

#include <memory>

namespace vkprop
{
namespace
{

using test::AsDword;
using test::Dword;
using test::FakeDeviceCalls;
using test::FakeDeviceState;
using test::FakePageView;
using test::FakePortIoCalls;
using test::SzWithTerminator;

_SP_DEVINFO_DATA firstKeyer{1};
_SP_DEVINFO_DATA secondKeyer{2};
const auto kPageWindow = reinterpret_cast<WindowRef>(0x2200);

void InstallKeyer(FakeDeviceState& device, const std::string& port)
{
    device.properties = {{kSpdrpDeviceDesc, "Keyer"}, {kSpdrpFriendlyName, "Keyer (" + port + ")"}};
    device.key = {{"PortName", SzWithTerminator(port)},
                  {"KeyFunc", Dword(2)},
                  {"PttFunc", Dword(1)},
                  {"KeyLogic", Dword(1)},
                  {"PttLogic", Dword(0)}};
}

class PortPageTest : public testing::Test
{
  protected:
    PortPageTest()
    {
        InstallKeyer(device, "COM5");
        portIo.ports["\\\\.\\COM5"] = true;
    }

    std::unique_ptr<PortPage> OpenPage(const PageContext& context)
    {
        return std::make_unique<PortPage>(deviceCalls, portIo, context, [this] {
            return PortChoiceList::MarkPortsInUse(portMap);
        });
    }

    std::unique_ptr<PortPage> ShowPage()
    {
        auto page = OpenPage(context);
        EXPECT_TRUE(page->Initialise(view, sampleInfo));
        return page;
    }

    FakeDeviceCalls deviceCalls;
    FakePortIoCalls portIo;
    PageContext context{reinterpret_cast<void*>(0x1000), &firstKeyer};
    FakeDeviceState& device = deviceCalls.Device(context);
    std::vector<PortMapValue> portMap{{kRegSz, "COM1"}, {kRegSz, "COM5"}};
    FakePageView view;
    std::optional<std::string> sampleInfo;
};

TEST_F(PortPageTest, ShowsTheStoredSettings)
{
    auto page = ShowPage();
    EXPECT_EQ(view.deviceName, "Keyer (COM5)");
    ASSERT_EQ(view.portRows.size(), 256u);
    EXPECT_EQ(view.portRows[0], "COM1(in use)");
    EXPECT_EQ(view.portRows[4], "COM5(current setting)");
    EXPECT_EQ(view.portText, "COM5(current setting)");
    EXPECT_EQ(view.LineText(Line::Key), "RTS");
    EXPECT_EQ(view.LineText(Line::Ptt), "DTR");
    EXPECT_TRUE(view.inverted[0]);
    EXPECT_FALSE(view.inverted[1]);
    EXPECT_FALSE(view.moreInfoVisible);
    EXPECT_EQ(sampleInfo, std::nullopt);
    // The key is opened after the name is read and before anything else.
    EXPECT_EQ(deviceCalls.log,
              (std::vector<std::string>{"getprop 12 256", "open 1 0 1 131103", "query PortName 256",
                                        "query KeyFunc 4", "query PttFunc 4", "query KeyLogic 4",
                                        "query PttLogic 4", "query SampleInfo 256"}));
}

TEST_F(PortPageTest, OkWithoutChangesWritesTheSameSettingsBackAndReloadsTheDriver)
{
    auto page = ShowPage();
    deviceCalls.log.clear();
    ASSERT_TRUE(page->Apply(view, kPageWindow));
    EXPECT_EQ(deviceCalls.Writes(),
              (std::vector<std::string>{"set PortName 1 5", "set KeyFunc 4 4", "set PttFunc 4 4",
                                        "set KeyLogic 4 4", "set PttLogic 4 4", "setprop 12 13"}));
    EXPECT_EQ(device.key["PortName"].data, SzWithTerminator("COM5").data);
    EXPECT_EQ(AsDword(device.key["KeyFunc"]), 2u);
    EXPECT_EQ(AsDword(device.key["PttFunc"]), 1u);
    EXPECT_EQ(AsDword(device.key["KeyLogic"]), 1u);
    EXPECT_EQ(AsDword(device.key["PttLogic"]), 0u);
    EXPECT_EQ(device.properties[kSpdrpFriendlyName], "Keyer (COM5)");
    EXPECT_EQ(portIo.log.size(), 3u);
    EXPECT_TRUE(portIo.messages.empty());
}

TEST_F(PortPageTest, ValuesOutsideTheChoicesShowNothingAndAreStoredAsNoLineAndNotInverted)
{
    device.key["KeyFunc"] = Dword(5);
    device.key["KeyLogic"] = Dword(2);
    device.key.erase("PttFunc");
    device.key.erase("PttLogic");
    auto page = ShowPage();
    EXPECT_EQ(view.LineText(Line::Key), "");
    EXPECT_EQ(view.LineText(Line::Ptt), "");
    EXPECT_FALSE(view.inverted[0]);
    EXPECT_FALSE(view.inverted[1]);
    ASSERT_TRUE(page->Apply(view, kPageWindow));
    EXPECT_EQ(AsDword(device.key["KeyFunc"]), 0xFFFFFFFFu);
    EXPECT_EQ(AsDword(device.key["PttFunc"]), 0xFFFFFFFFu);
    EXPECT_EQ(AsDword(device.key["KeyLogic"]), 0u);
    EXPECT_EQ(AsDword(device.key["PttLogic"]), 0u);
}

TEST_F(PortPageTest, UserChangesAreStoredButTheDriverIsReachedUnderItsOldName)
{
    auto page = ShowPage();
    view.portText = "COM7(in use)";
    view.lineSelection[0] = 0;
    view.inverted[1] = true;
    ASSERT_TRUE(page->Apply(view, kPageWindow));
    view.portText = "COM8";
    ASSERT_TRUE(page->Apply(view, kPageWindow));
    EXPECT_EQ(device.key["PortName"].data, SzWithTerminator("COM8").data);
    EXPECT_EQ(AsDword(device.key["KeyFunc"]), 0u);
    EXPECT_EQ(AsDword(device.key["PttLogic"]), 1u);
    EXPECT_EQ(device.properties[kSpdrpFriendlyName], "Keyer (COM8)");
    EXPECT_EQ(portIo.log,
              (std::vector<std::string>{
                  "open \\\\.\\COM5 C0000000 0 3 0", "control 9C432000 null 0 null 0 count",
                  "close \\\\.\\COM5", "open \\\\.\\COM5 C0000000 0 3 0",
                  "control 9C432000 null 0 null 0 count", "close \\\\.\\COM5"}));
}

TEST_F(PortPageTest, DisconnectedDeviceGetsItsValuesStoredAndTheFirstMessageAtEveryApply)
{
    portIo.ports.clear();
    auto page = ShowPage();
    view.lineSelection[0] = 1;
    ASSERT_TRUE(page->Apply(view, kPageWindow));
    ASSERT_TRUE(page->Apply(view, kPageWindow));
    EXPECT_EQ(AsDword(device.key["KeyFunc"]), 1u);
    EXPECT_EQ(portIo.messages,
              (std::vector<std::string>{kPortOpenFailedMessage, kPortOpenFailedMessage}));
    EXPECT_EQ(portIo.owners[0], kPageWindow);
}

TEST_F(PortPageTest, EmptyPortBoxKeepsTheStoredNameAndFriendlyName)
{
    device.key["PortName"] = SzWithTerminator("COM300");
    device.properties[kSpdrpFriendlyName] = "Keyer (COM300)";
    auto page = ShowPage();
    EXPECT_EQ(view.portText, "");
    for (const std::string& row : view.portRows)
        EXPECT_EQ(row.find("(current setting)"), std::string::npos);
    view.lineSelection[1] = 2;
    ASSERT_TRUE(page->Apply(view, kPageWindow));
    EXPECT_EQ(device.key["PortName"].data, SzWithTerminator("COM300").data);
    EXPECT_EQ(device.properties[kSpdrpFriendlyName], "Keyer (COM300)");
    EXPECT_EQ(AsDword(device.key["PttFunc"]), 2u);
    // The keying values still reach the driver under the name it has.
    EXPECT_EQ(portIo.log[0], "open \\\\.\\COM300 C0000000 0 3 0");
}

TEST_F(PortPageTest, UnreadablePortNameSelectsNoRowAndTheLiveApplyCannotOpen)
{
    device.key.erase("PortName");
    auto page = ShowPage();
    EXPECT_EQ(view.portText, "");
    view.portText = "COM6";
    ASSERT_TRUE(page->Apply(view, kPageWindow));
    EXPECT_EQ(device.key["PortName"].data, SzWithTerminator("COM6").data);
    EXPECT_EQ(portIo.log[0], "open  C0000000 0 3 0");
    EXPECT_EQ(portIo.messages, std::vector<std::string>{kPortOpenFailedMessage});
}

TEST_F(PortPageTest, SampleInfoKeepsMoreInfoVisibleWithTheExpandedPath)
{
    deviceCalls.environment["windir"] = "C:\\WINDOWS";
    device.key["SampleInfo"] = SzWithTerminator("%windir%\\keyer.htm");
    auto page = ShowPage();
    EXPECT_TRUE(view.moreInfoVisible);
    EXPECT_EQ(sampleInfo, "C:\\WINDOWS\\keyer.htm");
}

TEST_F(PortPageTest, MissingControlEndsInTheFailedMessageHandlingWithNothingWritten)
{
    auto page = ShowPage();
    deviceCalls.log.clear();
    view.portBoxMissing = true;
    EXPECT_FALSE(page->Apply(view, kPageWindow));
    EXPECT_TRUE(deviceCalls.Writes().empty());
    EXPECT_TRUE(portIo.log.empty());
}

TEST_F(PortPageTest, PageThatCouldNotShowTheSettingsNeverStoresAny)
{
    FakePageView brokenView;
    brokenView.portBoxMissing = true;
    auto page = OpenPage(context);
    EXPECT_FALSE(page->Initialise(brokenView, sampleInfo));
    deviceCalls.log.clear();
    // The line boxes were never filled: an apply would store "no line".
    brokenView.portBoxMissing = false;
    EXPECT_FALSE(page->Apply(brokenView, kPageWindow));
    EXPECT_TRUE(deviceCalls.Writes().empty());
    EXPECT_EQ(AsDword(device.key["KeyFunc"]), 2u);
    EXPECT_TRUE(portIo.log.empty());
}

TEST_F(PortPageTest, TwoPagesInOneProcessEachApplyToTheirOwnDevice)
{
    PageContext* firstContext = new PageContext{reinterpret_cast<void*>(0x1000), &firstKeyer};
    PageContext* secondContext = new PageContext{reinterpret_cast<void*>(0x2000), &secondKeyer};
    FakeDeviceState& second = deviceCalls.Device(*secondContext);
    InstallKeyer(second, "COM9");
    portIo.ports["\\\\.\\COM9"] = true;

    FakePageView firstView, secondView;
    auto firstPage = OpenPage(*firstContext);
    ASSERT_TRUE(firstPage->Initialise(firstView, sampleInfo));
    auto secondPage = OpenPage(*secondContext);
    ASSERT_TRUE(secondPage->Initialise(secondView, sampleInfo));
    EXPECT_EQ(secondView.portText, "COM9(current setting)");

    // The second sheet's page is released first; its context goes with it.
    secondPage.reset();
    delete secondContext;
    firstView.portText = "COM6";
    ASSERT_TRUE(firstPage->Apply(firstView, kPageWindow));
    delete firstContext;
    EXPECT_EQ(device.key["PortName"].data, SzWithTerminator("COM6").data);
    EXPECT_EQ(second.key["PortName"].data, SzWithTerminator("COM9").data);
    EXPECT_EQ(second.properties[kSpdrpFriendlyName], "Keyer (COM9)");
    EXPECT_EQ(portIo.log[0], "open \\\\.\\COM5 C0000000 0 3 0");
    EXPECT_EQ(second.openKeys, 0);
}

} // namespace
} // namespace vkprop
