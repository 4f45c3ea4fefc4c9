#include "BadRegistryData.h"
#include "DeviceSettingsStore.h"
#include "PortChoiceList.h"

#include <gtest/gtest.h>

#include <cctype>
#include <ostream>

namespace vkprop
{
namespace test
{

void PrintTo(const BadDataCase& badCase, std::ostream* out)
{
    *out << badCase.title;
}

} // namespace test

namespace
{

using test::BadDataCase;
using test::Bytes;
using test::FakeDeviceCalls;
using test::FakeDeviceState;
using test::FakePortMapCalls;
using test::SzWithTerminator;

class PageOverBadRegistryData : public testing::TestWithParam<BadDataCase>
{
};

TEST_P(PageOverBadRegistryData, ShowsAndStoresWhatIsStatedWithinItsBuffers)
{
    EXPECT_EQ(test::ShowAndApply(GetParam()), test::ExpectedOutcome(GetParam()));
}

std::string CaseName(const testing::TestParamInfo<BadDataCase>& info)
{
    std::string name;
    for (char c : info.param.title)
        name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return std::to_string(info.index) + "_" + name;
}

INSTANTIATE_TEST_SUITE_P(OddValues, PageOverBadRegistryData,
                         testing::ValuesIn(test::BadDataCases()), CaseName);

_SP_DEVINFO_DATA keyerElement{1};

// A friendly name too long for the buffer leaves its start there; the
// description read next, stored as binary without a terminator, must not run
// on into it.
TEST(DisplayNameOverBadData, DescriptionAfterATooLongFriendlyNameShowsAlone)
{
    FakeDeviceCalls calls;
    const PageContext keyer{reinterpret_cast<void*>(0x1000), &keyerElement};
    FakeDeviceState& device = calls.Device(keyer);
    device.properties[kSpdrpFriendlyName] = std::string(400, 'F');
    device.oddProperties[kSpdrpDeviceDesc] = Bytes(test::kRegBinary, "Keyer");
    DeviceSettingsStore store(calls, keyer);
    EXPECT_EQ(store.ReadDisplayName(), "Keyer");
}

TEST(PortMapScanOverBadData, EveryCallGets256ByteBuffersAndTheKeyIsClosed)
{
    FakePortMapCalls portMap;
    portMap.values = {{"\\Device\\Serial0", Bytes(kRegSz, "COM2")},
                      {"\\Device\\Serial1", SzWithTerminator("COM3" + std::string(251, ' '))}};
    const PortsInUse inUse = PortChoiceList::ScanPortMap(portMap);
    EXPECT_EQ(inUse, PortsInUse().set(1).set(2));
    EXPECT_EQ(portMap.log,
              (std::vector<std::string>{"open HARDWARE\\DEVICEMAP\\SERIALCOMM 1", "enum 0 256 256",
                                        "enum 1 256 256", "enum 2 256 256", "close"}));
    EXPECT_EQ(portMap.openKeys, 0);
}

TEST(PortMapScanOverBadData, ValueThatDoesNotFitEndsTheScanAndTheKeyIsStillClosed)
{
    FakePortMapCalls portMap;
    portMap.values = {{"a", SzWithTerminator("COM2")},
                      {"b", SzWithTerminator(std::string(300, 'C'))},
                      {"c", SzWithTerminator("COM3")}};
    EXPECT_EQ(PortChoiceList::ScanPortMap(portMap), PortsInUse().set(1));
    EXPECT_EQ(portMap.log.back(), "close");
    EXPECT_EQ(portMap.openKeys, 0);
}

TEST(PortMapScanOverBadData, MapThatCannotBeOpenedMarksNothingAndClosesNothing)
{
    FakePortMapCalls portMap;
    portMap.opens = false;
    portMap.values = {{"a", SzWithTerminator("COM2")}};
    EXPECT_EQ(PortChoiceList::ScanPortMap(portMap), PortsInUse());
    EXPECT_EQ(portMap.log, std::vector<std::string>{"open HARDWARE\\DEVICEMAP\\SERIALCOMM 1"});
}

} // namespace
} // namespace vkprop
