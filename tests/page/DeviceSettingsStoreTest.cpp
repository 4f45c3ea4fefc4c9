#include "DeviceSettingsStore.h"
#include "PageFakes.h"

#include <gtest/gtest.h>

namespace vkprop
{
namespace
{

using test::AsDword;
using test::Dword;
using test::FakeDeviceCalls;
using test::FakeDeviceState;
using test::Sz;
using test::SzWithTerminator;

_SP_DEVINFO_DATA keyerElement{1};

class DeviceSettingsStoreTest : public testing::Test
{
  protected:
    FakeDeviceCalls calls;
    PageContext keyer{reinterpret_cast<void*>(0x1000), &keyerElement};
    FakeDeviceState& device = calls.Device(keyer);
};

TEST_F(DeviceSettingsStoreTest, OpensTheHardwareKeyForReadAndWriteAndClosesItWithTheStore)
{
    {
        DeviceSettingsStore store(calls, keyer);
        store.OpenDeviceKey();
        EXPECT_EQ(device.openKeys, 1);
    }
    EXPECT_EQ(calls.log, (std::vector<std::string>{"open 1 0 1 131103", "close"}));
    EXPECT_EQ(device.openKeys, 0);
}

TEST_F(DeviceSettingsStoreTest, DisplayNameIsTheFriendlyNameWithoutReadingTheDescription)
{
    device.properties = {{kSpdrpFriendlyName, "Keyer (COM5)"}, {kSpdrpDeviceDesc, "Keyer"}};
    DeviceSettingsStore store(calls, keyer);
    EXPECT_EQ(store.ReadDisplayName(), "Keyer (COM5)");
    EXPECT_EQ(calls.log, std::vector<std::string>{"getprop 12 256"});
}

TEST_F(DeviceSettingsStoreTest, DisplayNameFallsBackToTheDescriptionThenToNothing)
{
    device.properties = {{kSpdrpDeviceDesc, "Keyer"}};
    DeviceSettingsStore store(calls, keyer);
    EXPECT_EQ(store.ReadDisplayName(), "Keyer");
    EXPECT_EQ(calls.log, (std::vector<std::string>{"getprop 12 256", "getprop 0 256"}));

    device.properties.clear();
    EXPECT_EQ(store.ReadDisplayName(), "");
}

TEST_F(DeviceSettingsStoreTest, ApplyWritesPortNameWithTerminatorAndRebuildsTheFriendlyName)
{
    device.properties = {{kSpdrpFriendlyName, "Keyer (COM5)"}, {kSpdrpDeviceDesc, "Keyer"}};
    DeviceSettingsStore store(calls, keyer);
    store.OpenDeviceKey();
    for (int apply = 0; apply < 2; ++apply)
    {
        store.WritePortName("COM12");
        store.UpdateFriendlyName("COM12");
    }
    EXPECT_EQ(calls.Writes(), (std::vector<std::string>{"set PortName 1 6", "setprop 12 14",
                                                        "set PortName 1 6", "setprop 12 14"}));
    EXPECT_EQ(device.key["PortName"].data, SzWithTerminator("COM12").data);
    EXPECT_EQ(device.properties[kSpdrpFriendlyName], "Keyer (COM12)");
    // The description is read afresh with a 255-byte buffer at every apply.
    EXPECT_EQ(std::count(calls.log.begin(), calls.log.end(), "getprop 0 255"), 2);
}

TEST_F(DeviceSettingsStoreTest, FriendlyNameIsKeptWhenTheDescriptionCannotBeRead)
{
    device.properties = {{kSpdrpFriendlyName, "Keyer (COM5)"}};
    DeviceSettingsStore store(calls, keyer);
    store.OpenDeviceKey();
    store.UpdateFriendlyName("COM7");
    EXPECT_EQ(device.properties[kSpdrpFriendlyName], "Keyer (COM5)");
    EXPECT_TRUE(calls.Writes().empty());
}

TEST_F(DeviceSettingsStoreTest, KeyingValuesAreFourByteWritesAndReads)
{
    DeviceSettingsStore store(calls, keyer);
    store.OpenDeviceKey();
    store.WriteDword("KeyFunc", 2);
    store.WriteDword("PttFunc", 0xFFFFFFFF);
    EXPECT_EQ(calls.Writes(), (std::vector<std::string>{"set KeyFunc 4 4", "set PttFunc 4 4"}));
    EXPECT_EQ(AsDword(device.key["PttFunc"]), 0xFFFFFFFFu);
    EXPECT_EQ(store.ReadDword("KeyFunc"), 2u);
    EXPECT_EQ(calls.log.back(), "query KeyFunc 4");
    EXPECT_EQ(store.ReadDword("KeyLogic"), std::nullopt);
}

TEST_F(DeviceSettingsStoreTest, KeyingValueOfAnotherLengthReadsAsMissingWithoutOverrun)
{
    device.key["KeyFunc"] = {kRegDword, {1, 0}};
    device.key["PttFunc"] = {3, {2, 0, 0, 0, 0, 0, 0, 0}}; // REG_BINARY, 8 bytes
    device.key["KeyLogic"] = {kRegDword, {}};
    DeviceSettingsStore store(calls, keyer);
    store.OpenDeviceKey();
    EXPECT_EQ(store.ReadDword("KeyFunc"), std::nullopt);
    EXPECT_EQ(store.ReadDword("PttFunc"), std::nullopt);
    EXPECT_EQ(store.ReadDword("KeyLogic"), std::nullopt);
}

TEST_F(DeviceSettingsStoreTest, PortNameIsReadFromA256ByteBufferWithOrWithoutTerminator)
{
    DeviceSettingsStore store(calls, keyer);
    store.OpenDeviceKey();
    device.key["PortName"] = Sz("COM5"); // stored without its terminator
    store.ReadPortName();
    EXPECT_EQ(store.CurrentPortName(), "COM5");
    EXPECT_EQ(calls.log.back(), "query PortName 256");

    device.key["PortName"] = Sz(std::string(256, 'C'));
    store.ReadPortName();
    EXPECT_EQ(store.CurrentPortName(), std::string(255, 'C'));

    device.key["PortName"] = Sz(std::string(300, 'C'));
    store.ReadPortName();
    EXPECT_EQ(store.CurrentPortName(), "");
}

TEST_F(DeviceSettingsStoreTest, SampleInfoIsExpandedFromTheEnvironment)
{
    calls.environment["SystemRoot"] = "C:\\WINDOWS";
    device.key["SampleInfo"] = SzWithTerminator("%SystemRoot%\\help\\keyer.htm");
    DeviceSettingsStore store(calls, keyer);
    store.OpenDeviceKey();
    EXPECT_EQ(store.ReadSampleInfo(), "C:\\WINDOWS\\help\\keyer.htm");
    EXPECT_EQ(calls.log.back(), "expand 256");
}

TEST_F(DeviceSettingsStoreTest, SampleInfoFillingTheWholeBufferStaysWithinIt)
{
    device.key["SampleInfo"] = Sz(std::string(256, 'x'));
    DeviceSettingsStore store(calls, keyer);
    store.OpenDeviceKey();
    EXPECT_EQ(store.ReadSampleInfo(), std::string(256, 'x'));
}

TEST_F(DeviceSettingsStoreTest, SampleInfoAbsentGivesNothing)
{
    DeviceSettingsStore store(calls, keyer);
    store.OpenDeviceKey();
    EXPECT_EQ(store.ReadSampleInfo(), std::nullopt);
    EXPECT_EQ(calls.log.back(), "query SampleInfo 256");
}

TEST_F(DeviceSettingsStoreTest, WithoutAKeyNothingIsReadOrWritten)
{
    device.keyOpens = false;
    device.key["PortName"] = SzWithTerminator("COM5");
    device.key["KeyFunc"] = Dword(1);
    device.key["SampleInfo"] = SzWithTerminator("x");
    DeviceSettingsStore store(calls, keyer);
    store.OpenDeviceKey();
    store.ReadPortName();
    EXPECT_EQ(store.CurrentPortName(), "");
    EXPECT_EQ(store.ReadDword("KeyFunc"), std::nullopt);
    EXPECT_EQ(store.ReadSampleInfo(), std::nullopt);
    store.WritePortName("COM7");
    store.WriteDword("KeyFunc", 2);
    EXPECT_EQ(calls.log, std::vector<std::string>{"open 1 0 1 131103"});
    EXPECT_EQ(AsDword(device.key["KeyFunc"]), 1u);
}

} // namespace
} // namespace vkprop
