/*
 * Plug and Play: start, stop, surprise removal and removal of the port.
 */
#include "port_fixture.h"

#include <functional>
#include <thread>

namespace
{

using hk::Word;

class StartupTest : public PortTest
{
  protected:
    /* Stops the started port and removes the stack built by SetUp, so a
       test can build its own. */
    void Rebuild(const std::function<void()>& prepare)
    {
        RemovePort();
        Unload();
        BuildStack();
        prepare();
    }
};

/* Only the I/O method and the power flags come from the collection below;
   opens are checked against the port's own security. */
TEST_F(StartupTest, PortTakesTheCollectionsIoAndPowerFlagsAndNothingElse)
{
    EXPECT_EQ(port->Flags, (ULONG)(DO_BUFFERED_IO | DO_POWER_PAGABLE));
    EXPECT_EQ(port->Characteristics, (ULONG)FILE_DEVICE_SECURE_OPEN);
}

/* XP and 7 have no NX pool, and 8 and 10 refuse executable pool (the
   bench reports either): the port keys on each. The WDM number of 7, 8
   and 10 is the same 6.00. */
TEST_F(StartupTest, OnEachWindowsThePortAllocatesFromThePoolThatWindowsHas)
{
    const ULONG versions[][2] = {{5, 1}, {6, 1}, {6, 2}, {10, 0}};
    for (auto& version : versions)
    {
        SCOPED_TRACE(testing::Message() << "Windows NT " << version[0] << "." << version[1]);
        hk::SetWindowsVersion(version[0], version[1]);
        Rebuild([] {});
        ASSERT_EQ(Start(), STATUS_SUCCESS);
        auto file = Open();
        ASSERT_TRUE(file);
        EXPECT_EQ(file->DeviceControl(IOCTL_SERIAL_SET_DTR), STATUS_SUCCESS);
        EXPECT_EQ(hid->Writes().size(), 1u);
        EXPECT_EQ(hk::TakeViolations(), std::vector<std::string>());
    }
}

TEST_F(StartupTest, StartPublishesTheInterfaceNameAndSettings)
{
    EXPECT_TRUE(hk::InterfaceEnabled(InterfaceName()));
    EXPECT_EQ(hk::SymbolicLinks().count(u"\\GLOBAL??\\COM5"), 1u);
    EXPECT_EQ(BaudRate(), 2048u);
    EXPECT_FALSE(IdentityVerified());
}

TEST_F(StartupTest, MissingKeyingValueFailsTheStart)
{
    Rebuild([this] { hk::DeleteValue(Key(), u"KeyLogic"); });
    EXPECT_EQ(Start(), STATUS_OBJECT_NAME_NOT_FOUND);
    /* Wine keeps a failed start's interface openable: nothing stays. */
    EXPECT_FALSE(hk::InterfaceEnabled(InterfaceName()));
    EXPECT_TRUE(hk::SymbolicLinks().empty());
    EXPECT_TRUE(hk::Values(hk::SerialCommKey).empty());
}

TEST_F(StartupTest, NoPortNameFailsTheStartBeforeTheSettingsAreRead)
{
    Rebuild([this] {
        hk::DeleteValue(Key(), u"PortName");
        hk::SetDword(Key(), u"KeyFunc", 2);
    });
    EXPECT_EQ(Start(), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Mapping().keyFunc, 0u);
    EXPECT_TRUE(hk::SymbolicLinks().empty());
    EXPECT_TRUE(hk::Values(hk::SerialCommKey).empty());
}

TEST_F(StartupTest, HidStackThatFailsToStartFailsTheStartAndNothingIsPublished)
{
    Rebuild([this] { hid->SetPnpStatus(IRP_MN_START_DEVICE, STATUS_DEVICE_NOT_CONNECTED); });
    EXPECT_EQ(Start(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_FALSE(hk::InterfaceEnabled(InterfaceName()));
    EXPECT_TRUE(hk::SymbolicLinks().empty());
    EXPECT_TRUE(hk::Values(hk::SerialCommKey).empty());
}

/* Plug and Play does not let a removal fail, whatever the interface says. */
TEST_F(StartupTest, RemovalSucceedsWhenTheInterfaceWillNotSwitchOff)
{
    hk::FailCall(hk::KernelCall::SetInterfaceState, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(hk::SendPnp(port, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_FALSE(hk::DeviceObjectExists(port));
    port = nullptr;
}

TEST_F(StartupTest, PortWhoseInterfaceWouldNotSwitchOnFailsToStartAndIsRemoved)
{
    Rebuild([] { hk::FailCall(hk::KernelCall::SetInterfaceState, STATUS_UNSUCCESSFUL); });
    EXPECT_EQ(Start(), STATUS_UNSUCCESSFUL);
    EXPECT_FALSE(hk::InterfaceEnabled(InterfaceName()));
    EXPECT_FALSE(InterfaceSwitchedOn()) << "nothing to switch off, and not started";
    EXPECT_TRUE(hk::SymbolicLinks().empty());
    /* The removal Plug and Play sends next must succeed (TearDown). */
}

TEST_F(StartupTest, AnyPnpRequestEndsThePendingWaitAndGoesDown)
{
    auto file = Open();
    file->DeviceControl(IOCTL_SERIAL_SET_WAIT_MASK, Word(SERIAL_EV_CTS));
    auto wait = file->StartDeviceControl(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
    ASSERT_FALSE(wait->Completed());

    EXPECT_EQ(hk::SendPnp(port, IRP_MN_QUERY_CAPABILITIES), STATUS_SUCCESS);
    ASSERT_TRUE(wait->Wait());
    EXPECT_EQ(wait->Status(), STATUS_SUCCESS);
    EXPECT_EQ(wait->Information(), 4u);
    EXPECT_EQ(hk::WordAt(wait->Output()), 0u);
    EXPECT_EQ(hid->PnpMinors().back(), IRP_MN_QUERY_CAPABILITIES);
}

TEST_F(StartupTest, StopAndStartKeepTheLinesButNotTheIdentity)
{
    auto file = Open();
    file->DeviceControl(IOCTL_SERIAL_SET_DTR);
    file->DeviceControl(IOCTL_SERIAL_SET_WAIT_MASK, Word(SERIAL_EV_RING));
    ASSERT_TRUE(IdentityVerified());

    /* Each goes down marked handled (the collection checks). */
    for (UCHAR minor :
         {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE, IRP_MN_QUERY_STOP_DEVICE,
          IRP_MN_CANCEL_STOP_DEVICE, IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE})
        EXPECT_EQ(hk::SendPnp(port, minor), STATUS_SUCCESS) << (int)minor;
    EXPECT_TRUE(hk::SymbolicLinks().empty());
    EXPECT_FALSE(hk::InterfaceEnabled(InterfaceName()));
    EXPECT_EQ(file->DeviceControl(IOCTL_KEYER_REPUBLISH_PORT), STATUS_INVALID_DEVICE_STATE)
        << "a stopped port must not gain a name";
    EXPECT_TRUE(hk::SymbolicLinks().empty());

    EXPECT_EQ(Start(), STATUS_SUCCESS);
    EXPECT_EQ(Lines().dtr, 1);
    EXPECT_EQ(WaitMask(), (ULONG)SERIAL_EV_RING);
    EXPECT_FALSE(IdentityVerified());
    EXPECT_EQ(hk::SymbolicLinks().count(u"\\GLOBAL??\\COM5"), 1u);
}

TEST_F(StartupTest, SurpriseRemovalThenRemoveWithdrawsEverything)
{
    auto file = Open();
    file->DeviceControl(IOCTL_SERIAL_SET_WAIT_MASK, Word(SERIAL_EV_CTS));
    auto wait = file->StartDeviceControl(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);

    EXPECT_EQ(hk::SendPnp(port, IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
    ASSERT_TRUE(wait->Wait());
    /* The program sees the failure and closes; then the removal comes. */
    file->Close();
    RemovePort();
    EXPECT_TRUE(hk::SymbolicLinks().empty());
    EXPECT_TRUE(hk::Values(hk::SerialCommKey).empty());
    EXPECT_EQ(hk::OutstandingAllocations(hk::PoolTag("Wdm ")), 0u);
}

TEST_F(StartupTest, RequestsArrivingDuringRemovalAreRefused)
{
    auto file = Open();
    file->DeviceControl(IOCTL_SERIAL_SET_WAIT_MASK, Word(SERIAL_EV_CTS));
    hid->SetWriteAnswer(hk::Answer::Held);
    /* A report in flight keeps the removal waiting while a new wait comes. */
    std::thread key([&] { file->DeviceControl(IOCTL_SERIAL_SET_DTR); });
    ASSERT_TRUE(hid->WaitHeld(1));
    PDEVICE_OBJECT device = port;
    std::thread remove(
        [&] { EXPECT_EQ(hk::SendPnp(device, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS); });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));

    auto wait = file->StartDeviceControl(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
    ASSERT_TRUE(wait->Wait());
    EXPECT_EQ(wait->Status(), STATUS_DELETE_PENDING);
    /* Nor does a line change or a power request reach the collection. */
    EXPECT_EQ(file->DeviceControl(IOCTL_SERIAL_SET_RTS), STATUS_DELETE_PENDING);
    auto power = hk::SendIrp(device, IRP_MJ_POWER, IRP_MN_SET_POWER, STATUS_NOT_SUPPORTED);
    ASSERT_TRUE(power->Wait());
    EXPECT_EQ(power->Status(), STATUS_DELETE_PENDING);
    EXPECT_EQ(hid->HeldCount(), 1u);
    hid->ReleaseHeld();
    key.join();
    remove.join();
    port = nullptr;
}

TEST_F(StartupTest, PowerRequestsPassThrough)
{
    auto request = hk::SendIrp(port, IRP_MJ_POWER, IRP_MN_SET_POWER, STATUS_NOT_SUPPORTED);
    ASSERT_TRUE(request->Wait());
    EXPECT_EQ(request->Status(), STATUS_SUCCESS);
}

TEST_F(StartupTest, RequestsWithoutAHandlerFailAsWindowsDefaults)
{
    for (UCHAR major : {IRP_MJ_INTERNAL_DEVICE_CONTROL, IRP_MJ_SHUTDOWN})
    {
        auto request = hk::SendIrp(port, major, 0, STATUS_SUCCESS);
        ASSERT_TRUE(request->Wait());
        EXPECT_EQ(request->Status(), STATUS_INVALID_DEVICE_REQUEST);
    }
}

TEST(AddDevice, FailedInterfaceRegistrationLeavesNoDevice)
{
    hk::ResetBench();
    {
        hk::VelkorHidCollection hid;
        PDRIVER_OBJECT driver = hk::LoadPortDriver(nullptr, false);
        hk::FailCall(hk::KernelCall::RegisterInterface, STATUS_INVALID_DEVICE_REQUEST);
        EXPECT_EQ(hk::CallAddDevice(driver, hid.Pdo()), STATUS_INVALID_DEVICE_REQUEST);
        EXPECT_EQ(hk::TopOfStack(hid.Pdo()), hid.Pdo());
        EXPECT_EQ(driver->DeviceObject, nullptr);
        hk::DeleteDriverObject(driver);
    }
    EXPECT_EQ(hk::TakeLeftovers().Problems(), std::vector<std::string>());
    hk::ResetBench();
}

} // namespace
