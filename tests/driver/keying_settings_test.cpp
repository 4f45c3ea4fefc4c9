/*
 * The keying settings in the device's hardware key: read at start and when
 * an application asks for a reload.
 */
#include "port_fixture.h"

namespace
{

using hk::Bytes;

class SettingsTest : public OpenPortTest
{
  protected:
    NTSTATUS Reload()
    {
        return file->DeviceControl(IOCTL_KEYER_RELOAD_SETTINGS);
    }
};

TEST_F(SettingsTest, StartTookTheStoredMapping)
{
    EXPECT_EQ(Mapping().keyFunc, 1u);
    EXPECT_EQ(Mapping().pttFunc, 2u);
    EXPECT_FALSE(Mapping().keyInverted);
    EXPECT_FALSE(Mapping().pttInverted);
}

TEST_F(SettingsTest, ReloadSendsNothingAndTheNextLineChangeUsesTheNewMapping)
{
    hk::SetDword(Key(), u"KeyFunc", 2);
    hk::SetDword(Key(), u"PttFunc", 1);
    hk::SetDword(Key(), u"KeyLogic", 1);
    EXPECT_EQ(Reload(), STATUS_SUCCESS);
    EXPECT_TRUE(hid->Writes().empty());

    /* Key on RTS inverted, PTT on DTR: raising DTR keys PTT only. */
    file->DeviceControl(IOCTL_SERIAL_SET_DTR);
    EXPECT_EQ(States(), std::vector<UCHAR>{0x00});
    file->DeviceControl(IOCTL_SERIAL_SET_RTS);
    EXPECT_EQ(States().back(), 0x01);
}

TEST_F(SettingsTest, OnlyOneMeansInvertedAndOnlyOneOrTwoSelectALine)
{
    hk::SetDword(Key(), u"KeyLogic", 2);
    hk::SetDword(Key(), u"PttLogic", 0xFFFFFFFF);
    hk::SetDword(Key(), u"KeyFunc", 3);
    hk::SetDword(Key(), u"PttFunc", 0);
    EXPECT_EQ(Reload(), STATUS_SUCCESS);
    EXPECT_FALSE(Mapping().keyInverted);
    EXPECT_FALSE(Mapping().pttInverted);
    file->DeviceControl(IOCTL_SERIAL_SET_DTR);
    file->DeviceControl(IOCTL_SERIAL_SET_RTS);
    EXPECT_EQ(States(), (std::vector<UCHAR>{0x03, 0x03}));
}

TEST_F(SettingsTest, MissingValueStopsTheReloadWhereItIs)
{
    hk::SetDword(Key(), u"KeyLogic", 1);
    hk::DeleteValue(Key(), u"PttLogic");
    hk::SetDword(Key(), u"KeyFunc", 2);
    hk::SetDword(Key(), u"PttFunc", 1);
    EXPECT_EQ(Reload(), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_TRUE(Mapping().keyInverted);
    EXPECT_EQ(Mapping().keyFunc, 1u) << "values after the missing one keep their earlier state";
    EXPECT_EQ(Mapping().pttFunc, 2u);
}

TEST_F(SettingsTest, PortNameIsNotPartOfTheSettings)
{
    hk::DeleteValue(Key(), u"PortName");
    EXPECT_EQ(Reload(), STATUS_SUCCESS);
}

TEST_F(SettingsTest, ValuesOfTheWrongSizeNeverSpillIntoEachOther)
{
    /* Shorter data reads as the number it starts. */
    hk::SetValue(Key(), u"KeyLogic", REG_BINARY, Bytes{1});
    hk::SetValue(Key(), u"PttLogic", REG_BINARY, Bytes{});
    hk::SetValue(Key(), u"KeyFunc", REG_BINARY, Bytes{2, 0});
    EXPECT_EQ(Reload(), STATUS_SUCCESS);
    EXPECT_TRUE(Mapping().keyInverted);
    EXPECT_FALSE(Mapping().pttInverted) << "empty data must not inherit KeyLogic's 1";
    EXPECT_EQ(Mapping().keyFunc, 2u);

    /* Longer data is refused, not truncated. */
    hk::SetValue(Key(), u"KeyFunc", 11 /* REG_QWORD */, Bytes{1, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(Reload(), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(Mapping().keyFunc, 2u);
    hk::SetValue(Key(), u"PttFunc", REG_BINARY, Bytes(4096, 0xFF));
    hk::SetDword(Key(), u"KeyFunc", 1);
    EXPECT_EQ(Reload(), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(Mapping().pttFunc, 2u);
}

TEST_F(SettingsTest, ReloadFailuresLeaveTheSettingsAlone)
{
    hk::SetDword(Key(), u"KeyFunc", 2);
    hk::FailCall(hk::KernelCall::OpenDeviceKey, STATUS_ACCESS_DENIED);
    EXPECT_EQ(Reload(), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Mapping().keyFunc, 1u);

    hk::FailAllocationsWithTag(hk::PoolTag("Wdm "), true);
    EXPECT_EQ(Reload(), STATUS_INSUFFICIENT_RESOURCES);
    hk::FailAllocationsWithTag(hk::PoolTag("Wdm "), false);
    EXPECT_EQ(Mapping().keyFunc, 1u);
}

TEST_F(SettingsTest, ReloadIsServedForAnUnverifiedDeviceAndKeepsTheHandOver)
{
    hid->SetManufacturer(u"Someone else");
    auto other = Open();
    ASSERT_FALSE(IdentityVerified());
    file->DeviceControl(CTL_CODE(FILE_DEVICE_KEYBOARD, 100, METHOD_BUFFERED, FILE_ANY_ACCESS));
    EXPECT_EQ(other->DeviceControl(IOCTL_KEYER_RELOAD_SETTINGS), STATUS_SUCCESS);
    EXPECT_EQ(file->DeviceControl(IOCTL_KEYER_RELOAD_SETTINGS), STATUS_SUCCESS);
    EXPECT_EQ(file->Write(hk::Bytes{0, 1, 3}), STATUS_SUCCESS);
    EXPECT_EQ(hid->Writes().size(), 1u) << "the handle still hands its writes over";
}

TEST(HardwareKeyAccess, KeyOpenedForStandardReadOnlyCannotBeQueried)
{
    hk::ResetBench();
    {
        hk::VelkorHidCollection hid;
        hk::SetDword(hk::DeviceKey(hid.Pdo()), u"KeyFunc", 1);
        HANDLE key;
        ASSERT_EQ(
            IoOpenDeviceRegistryKey(hid.Pdo(), PLUGPLAY_REGKEY_DEVICE, STANDARD_RIGHTS_READ, &key),
            STATUS_SUCCESS);
        ULONG value = 0;
        EXPECT_EQ(ReadRegistryValue(key, L"KeyFunc", &value, sizeof(value)), STATUS_ACCESS_DENIED);
        ZwClose(key);
    }
    EXPECT_EQ(hk::TakeLeftovers().Problems(), std::vector<std::string>());
    hk::ResetBench();
}

} // namespace
