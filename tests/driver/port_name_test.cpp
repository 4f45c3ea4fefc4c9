/*
 * The COM name: its DOS device link and its SERIALCOMM entry, published at
 * start, withdrawn at stop and removal, and moved on request.
 */
#include "port_fixture.h"

#include <atomic>
#include <thread>

namespace
{

using hk::Bytes;
using hk::LinkNames;
using hk::WString;

class PortNameTest : public OpenPortTest
{
  protected:
    NTSTATUS Republish()
    {
        return file->DeviceControl(IOCTL_KEYER_REPUBLISH_PORT);
    }
};

TEST_F(PortNameTest, LinkPointsAtTheInterfaceAndTheMapNamesThePort)
{
    auto links = hk::SymbolicLinks();
    ASSERT_EQ(links.size(), 1u);
    EXPECT_EQ(links.begin()->first, u"\\GLOBAL??\\COM5");
    EXPECT_EQ(links.begin()->second, InterfaceName());

    auto map = hk::Values(hk::SerialCommKey);
    ASSERT_EQ(map.size(), 1u);
    hk::RegistryValue value;
    ASSERT_TRUE(hk::GetValue(hk::SerialCommKey, InterfaceName(), &value));
    EXPECT_EQ(value.type, (ULONG)REG_SZ);
    EXPECT_EQ(value.data, (Bytes{'C', 0, 'O', 0, 'M', 0, '5', 0, 0, 0}));
}

TEST_F(PortNameTest, RepublishMovesThePortToTheNewName)
{
    hk::SetString(Key(), u"PortName", u"COM12");
    EXPECT_EQ(Republish(), STATUS_SUCCESS);
    EXPECT_EQ(LinkNames(), std::vector<WString>{u"\\GLOBAL??\\COM12"});
    hk::RegistryValue value;
    ASSERT_TRUE(hk::GetValue(hk::SerialCommKey, InterfaceName(), &value));
    EXPECT_EQ(hk::StringOf(value), u"COM12");
    EXPECT_EQ(value.data.size(), 12u);

    EXPECT_EQ(Republish(), STATUS_SUCCESS) << "an unchanged name publishes again";
    EXPECT_EQ(LinkNames(), std::vector<WString>{u"\\GLOBAL??\\COM12"});
    /* The open handle keeps working. */
    EXPECT_EQ(file->DeviceControl(IOCTL_SERIAL_SET_DTR), STATUS_SUCCESS);
}

/* A republish rewrites HKLM\HARDWARE and the global name: a handle
   opened for reading may reload the settings but not move the port. */
TEST_F(PortNameTest, RepublishNeedsAHandleOpenedForWriting)
{
    hk::SetString(Key(), u"PortName", u"COM12");
    auto reader = hk::UserFile::Open(hid->Pdo(), nullptr, GENERIC_READ);
    ASSERT_TRUE(reader);
    EXPECT_EQ(reader->DeviceControl(IOCTL_KEYER_REPUBLISH_PORT), STATUS_ACCESS_DENIED);
    EXPECT_EQ(reader->DeviceControl(IOCTL_KEYER_RELOAD_SETTINGS), STATUS_SUCCESS);
    EXPECT_EQ(LinkNames(), std::vector<WString>{u"\\GLOBAL??\\COM5"});

    auto writer = hk::UserFile::Open(hid->Pdo(), nullptr, FILE_WRITE_DATA);
    ASSERT_TRUE(writer);
    EXPECT_EQ(writer->DeviceControl(IOCTL_KEYER_REPUBLISH_PORT), STATUS_SUCCESS);
    EXPECT_EQ(LinkNames(), std::vector<WString>{u"\\GLOBAL??\\COM12"});
}

TEST_F(PortNameTest, IdentifierStandsInForAMissingPortName)
{
    hk::DeleteValue(Key(), u"PortName");
    hk::SetString(Key(), u"Identifier", u"COM7");
    EXPECT_EQ(Republish(), STATUS_SUCCESS);
    EXPECT_EQ(LinkNames(), std::vector<WString>{u"\\GLOBAL??\\COM7"});
}

TEST_F(PortNameTest, UnreadableNewNameLeavesNothingPublished)
{
    hk::DeleteValue(Key(), u"PortName");
    EXPECT_EQ(Republish(), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_TRUE(LinkNames().empty());
    EXPECT_TRUE(hk::Values(hk::SerialCommKey).empty());

    hk::SetString(Key(), u"PortName", u"COM6");
    EXPECT_EQ(Republish(), STATUS_SUCCESS);
    EXPECT_EQ(LinkNames(), std::vector<WString>{u"\\GLOBAL??\\COM6"});
}

TEST_F(PortNameTest, FailedPublicationLeavesNoLinkAndNoMapEntry)
{
    hk::FailCall(hk::KernelCall::WriteRegistryValue, STATUS_ACCESS_DENIED);
    EXPECT_EQ(Republish(), STATUS_ACCESS_DENIED);
    EXPECT_TRUE(LinkNames().empty());
    EXPECT_TRUE(hk::Values(hk::SerialCommKey).empty());

    hk::FailCall(hk::KernelCall::CreateSymbolicLink, STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(Republish(), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_TRUE(LinkNames().empty());
    EXPECT_TRUE(hk::Values(hk::SerialCommKey).empty());

    /* Every allocation of a publication, failed in turn. */
    for (unsigned n = 1; n <= 6; n++)
    {
        hk::FailAllocationNumber(n);
        EXPECT_EQ(Republish(), STATUS_INSUFFICIENT_RESOURCES) << "allocation " << n;
        EXPECT_TRUE(LinkNames().empty()) << "allocation " << n;
        EXPECT_TRUE(hk::Values(hk::SerialCommKey).empty()) << "allocation " << n;
    }
    hk::FailAllocationNumber(0);
    EXPECT_EQ(Republish(), STATUS_SUCCESS);
}

/* Memory running out is not a PortName that cannot be read: Identifier
   standing in would move the port to a name the user never chose. */
TEST_F(PortNameTest, RunningOutWhileReadingPortNameKeepsIdentifierOut)
{
    hk::SetString(Key(), u"Identifier", u"COM7");
    hk::FailAllocationNumber(3); /* the PortName read's scratch */
    EXPECT_EQ(Republish(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(LinkNames().empty());

    hk::FailCall(hk::KernelCall::QueryValue, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Republish(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(LinkNames().empty());
    EXPECT_TRUE(hk::Values(hk::SerialCommKey).empty());

    EXPECT_EQ(Republish(), STATUS_SUCCESS);
    EXPECT_EQ(LinkNames(), std::vector<WString>{u"\\GLOBAL??\\COM5"});
}

TEST_F(PortNameTest, NamesThatCannotBePublishedWholeAreRefused)
{
    const WString longest = u"COM" + WString(29, u'9');
    hk::SetString(Key(), u"PortName", longest);
    EXPECT_EQ(Republish(), STATUS_SUCCESS);
    hk::RegistryValue value;
    ASSERT_TRUE(hk::GetValue(hk::SerialCommKey, InterfaceName(), &value));
    EXPECT_EQ(hk::StringOf(value), longest);

    for (const WString& bad : {longest + u"9", WString(u""), WString(127, u'X')})
    {
        hk::SetString(Key(), u"PortName", bad);
        EXPECT_EQ(Republish(), STATUS_OBJECT_NAME_INVALID) << bad.size();
        EXPECT_TRUE(LinkNames().empty());
    }

    /* 256 bytes of name without a terminator. */
    hk::SetValue(Key(), u"PortName", REG_SZ, Bytes(256, 'A'));
    EXPECT_EQ(Republish(), STATUS_OBJECT_NAME_INVALID);

    /* Data too long for the name buffer is not taken; Identifier stands in. */
    hk::SetValue(Key(), u"PortName", REG_SZ, Bytes(4096, 'B'));
    hk::SetString(Key(), u"Identifier", u"COM9");
    EXPECT_EQ(Republish(), STATUS_SUCCESS);
    EXPECT_EQ(LinkNames(), std::vector<WString>{u"\\GLOBAL??\\COM9"});

    /* A name with its terminator missing is read up to the data's end. */
    hk::SetValue(Key(), u"PortName", REG_SZ, hk::StringBytes(u"COM8", false));
    EXPECT_EQ(Republish(), STATUS_SUCCESS);
    EXPECT_EQ(LinkNames(), std::vector<WString>{u"\\GLOBAL??\\COM8"});
}

/*
 * A republish runs in the requesting program's thread. Its name must be
 * the global one every service and session opens, and the one the stop,
 * in a system thread, withdraws.
 */
TEST_F(PortNameTest, RepublishFromAProgramPublishesAGlobalNameTheStopWithdraws)
{
    hk::SetString(Key(), u"PortName", u"COM12");
    ASSERT_EQ(Republish(), STATUS_SUCCESS);
    EXPECT_EQ(hk::SymbolicLinks(),
              (std::map<WString, WString>{{u"\\GLOBAL??\\COM12", InterfaceName()}}));

    file.reset();
    EXPECT_EQ(hk::SendPnp(port, IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_TRUE(hk::SymbolicLinks().empty());
    EXPECT_TRUE(hk::Values(hk::SerialCommKey).empty());
}

TEST_F(PortNameTest, LinkThatCouldNotBeDeletedIsDeletedAtTheNextChance)
{
    hk::FailCall(hk::KernelCall::DeleteSymbolicLink, STATUS_UNSUCCESSFUL, 0);
    hk::SetString(Key(), u"PortName", u"COM12");
    EXPECT_EQ(Republish(), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(LinkNames(), std::vector<WString>{u"\\GLOBAL??\\COM5"})
        << "still known to the driver";

    hk::ClearCallFailures();
    EXPECT_EQ(Republish(), STATUS_SUCCESS);
    EXPECT_EQ(LinkNames(), std::vector<WString>{u"\\GLOBAL??\\COM12"});
}

TEST_F(PortNameTest, WithdrawalTwiceChangesNothingTheSecondTime)
{
    EXPECT_EQ(hk::SendPnp(port, IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
    unsigned deletes = hk::CallCount(hk::KernelCall::DeleteSymbolicLink);
    EXPECT_TRUE(LinkNames().empty());
    file.reset();
    RemovePort();
    EXPECT_EQ(hk::CallCount(hk::KernelCall::DeleteSymbolicLink), deletes);
}

/* Republishing from one thread while Plug and Play stops and starts the
   port from another: never two names, nothing left behind. */
TEST_F(PortNameTest, RepublishNeverOverlapsStopOrStart)
{
    std::atomic<bool> stop{false};
    std::thread republisher([&] {
        while (!stop)
        {
            NTSTATUS status = Republish();
            EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_INVALID_DEVICE_STATE)
                << std::hex << status;
            EXPECT_LE(hk::SymbolicLinks().size(), 1u);
        }
    });
    for (int i = 0; i < 200; i++)
    {
        EXPECT_EQ(hk::SendPnp(port, IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
        EXPECT_EQ(Start(), STATUS_SUCCESS);
    }
    stop = true;
    republisher.join();
    EXPECT_EQ(LinkNames(), std::vector<WString>{u"\\GLOBAL??\\COM5"});
}

const char16_t* const SecondPath = u"HID\\VID_1234&PID_5678\\1&2d595ca7&0&0001";
const char16_t* const ThirdPath = u"HID\\VID_1234&PID_5678\\1&2d595ca7&0&0002";

/* Every keyer installs with PortName COM40: the second one's first start
   takes the next free name, and each port keys only its own device. */
TEST_F(PortNameTest, SecondKeyerTakesTheNextFreeNameAndKeysOnlyItsOwnDevice)
{
    file.reset();
    ASSERT_EQ(hk::SendPnp(port, IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
    hk::SetString(Key(), u"PortName", u"COM40");
    hk::DeleteValue(Key(), u"PortNamePublished");
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    Keyer second(driver, SecondPath, u"COM40");
    ASSERT_EQ(second.Start(), STATUS_SUCCESS);
    EXPECT_EQ(hk::SymbolicLinks(),
              (std::map<WString, WString>{{u"\\GLOBAL??\\COM40", InterfaceName()},
                                          {u"\\GLOBAL??\\COM41", second.Interface()}}));
    EXPECT_EQ(second.StoredName(), u"COM41") << "the page shows the name it got";

    auto first = Open();
    auto other = hk::UserFile::Open(second.hid.Pdo());
    EXPECT_EQ(other->DeviceControl(IOCTL_SERIAL_SET_DTR), STATUS_SUCCESS);
    EXPECT_EQ(other->DeviceControl(IOCTL_KEYER_REPUBLISH_PORT), STATUS_SUCCESS);
    EXPECT_EQ(other->DeviceControl(IOCTL_KEYER_RELOAD_SETTINGS), STATUS_SUCCESS);
    EXPECT_TRUE(hid->Writes().empty());
    EXPECT_EQ(second.hid.Writes().size(), 1u);
    EXPECT_EQ(hk::SymbolicLinks().size(), 2u);

    other->Close();
    second.Unplug();
    EXPECT_EQ(LinkNames(), std::vector<WString>{u"\\GLOBAL??\\COM40"});
    EXPECT_EQ(first->DeviceControl(IOCTL_SERIAL_SET_DTR), STATUS_SUCCESS);
    EXPECT_EQ(hid->Writes().size(), 1u);
}

/* Once published, a name is the keyer's: a start finding it taken fails
   and leaves nothing, and no other keyer takes it while it is unplugged. */
TEST_F(PortNameTest, PublishedNameStaysTheKeyersOwnPluggedInOrNot)
{
    {
        Keyer second(driver, SecondPath, u"COM5");
        ASSERT_EQ(second.Start(), STATUS_SUCCESS);
        EXPECT_EQ(second.StoredName(), u"COM40");
        ASSERT_EQ(hk::SendPnp(second.port, IRP_MN_STOP_DEVICE), STATUS_SUCCESS);

        hk::SetString(hk::DeviceKey(second.hid.Pdo()), u"PortName", u"COM5");
        EXPECT_EQ(second.Start(), STATUS_OBJECT_NAME_COLLISION);
        EXPECT_FALSE(hk::InterfaceEnabled(second.Interface()));
        EXPECT_FALSE(hk::GetValue(hk::SerialCommKey, second.Interface()));
        EXPECT_EQ(LinkNames(), std::vector<WString>{u"\\GLOBAL??\\COM5"});

        hk::SetString(hk::DeviceKey(second.hid.Pdo()), u"PortName", u"COM40");
        ASSERT_EQ(second.Start(), STATUS_SUCCESS);
        second.Unplug();
    }

    /* A port of another driver lists COM41. */
    hk::SetString(hk::SerialCommKey, u"\\Device\\Serial9", u"COM41");
    {
        Keyer third(driver, ThirdPath, u"COM40");
        ASSERT_EQ(third.Start(), STATUS_SUCCESS);
        EXPECT_EQ(third.StoredName(), u"COM42");
        third.Unplug();
    }
    hk::DeleteValue(hk::SerialCommKey, u"\\Device\\Serial9");

    Keyer back(driver, SecondPath, u"COM40");
    ASSERT_EQ(back.Start(), STATUS_SUCCESS);
    EXPECT_EQ(hk::SymbolicLinks().count(u"\\GLOBAL??\\COM40"), 1u);
    back.Unplug();
}

const hk::WString ServiceKey =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\vkserial";

/* Loads the driver again on another Windows, as after an upgrade. */
void LoadDriverOn(PDRIVER_OBJECT driver, ULONG major, ULONG minor, ULONG build)
{
    hk::SetWindowsVersion(major, minor, build);
    UNICODE_STRING path;
    RtlInitUnicodeString(&path,
                         L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\vkserial");
    ASSERT_EQ(DriverEntry(driver, &path), STATUS_SUCCESS);
}

/* A start that fails while recording the name or writing its map entry
   has not published it: the next start may still move it, and the record
   and the mark come with the first start that publishes. Before Windows 10 1803 the records are in
   Parameters, from 1803 on in the driver's state key, and a record kept in
   Parameters before the upgrade still holds its name. */
TEST_F(PortNameTest, FailedRecordLeavesTheNameUnpublishedAndRecordsGoWhereWindowsKeepsThem)
{
    LoadDriverOn(driver, 10, 0, 16299);
    Keyer second(driver, SecondPath, u"COM40");
    hk::FailCall(hk::KernelCall::SetValue, STATUS_ACCESS_DENIED);
    EXPECT_EQ(second.Start(), STATUS_ACCESS_DENIED);
    EXPECT_FALSE(hk::GetValue(hk::DeviceKey(second.hid.Pdo()), u"PortNamePublished"));
    EXPECT_EQ(LinkNames(), std::vector<WString>{u"\\GLOBAL??\\COM5"});
    hk::FailCall(hk::KernelCall::WriteRegistryValue, STATUS_ACCESS_DENIED);
    EXPECT_EQ(second.Start(), STATUS_ACCESS_DENIED) << "the map entry fails after the mark";
    EXPECT_FALSE(hk::GetValue(hk::DeviceKey(second.hid.Pdo()), u"PortNamePublished"));

    ASSERT_EQ(second.Start(), STATUS_SUCCESS);
    hk::RegistryValue value;
    ASSERT_TRUE(hk::GetValue(hk::DeviceKey(second.hid.Pdo()), u"PortNamePublished", &value));
    EXPECT_EQ(value.data, hk::Word(1));
    ASSERT_TRUE(hk::GetValue(ServiceKey + u"\\Parameters", second.Interface(), &value));
    EXPECT_EQ(value.data, hk::StringBytes(u"COM40"));
    second.Unplug();

    LoadDriverOn(driver, 10, 0, 17134);
    Keyer third(driver, ThirdPath, u"COM40");
    ASSERT_EQ(third.Start(), STATUS_SUCCESS);
    EXPECT_EQ(third.StoredName(), u"COM41") << "COM40 is recorded for the unplugged keyer";
    ASSERT_TRUE(hk::GetValue(ServiceKey + u"\\State", third.Interface(), &value));
    EXPECT_EQ(hk::StringOf(value), u"COM41");
    EXPECT_FALSE(hk::GetValue(ServiceKey + u"\\Parameters", third.Interface()));
    third.Unplug();
}

/* Windows keeps in ComDB the numbers of serial adapters that are unplugged
   just now: a first start leaves them alone; a published name is the
   keyer's whatever ComDB says. */
TEST_F(PortNameTest, FirstStartSkipsNumbersTheComDatabaseHolds)
{
    hk::Bytes comDb(32, 0);
    comDb[39 / 8] |= 1 << (39 % 8); /* COM40 */
    comDb[40 / 8] |= 1 << (40 % 8); /* COM41 */
    comDb[4 / 8] |= 1 << (4 % 8);   /* COM5, the published port's own */
    hk::SetValue(hk::ComArbiterKey, u"ComDB", REG_BINARY, comDb);

    Keyer second(driver, SecondPath, u"com41");
    ASSERT_EQ(second.Start(), STATUS_SUCCESS);
    EXPECT_EQ(second.StoredName(), u"COM42");
    EXPECT_EQ(hk::SymbolicLinks().count(u"\\GLOBAL??\\COM42"), 1u);
    second.Unplug();

    file.reset();
    ASSERT_EQ(hk::SendPnp(port, IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    EXPECT_EQ(LinkNames(), std::vector<WString>{u"\\GLOBAL??\\COM5"});
}

} // namespace
