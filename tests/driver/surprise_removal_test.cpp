/*
 * The keyer is unplugged while a keying program holds the port open: the
 * port disappears at once, the program's requests fail until it closes the
 * port, and a keyer plugged in meanwhile can take the name.
 */
#include "port_fixture.h"

#include <atomic>
#include <thread>

namespace
{

using hk::Word;

/* A second keyer's collection, in another USB port. */
const char16_t* const OtherInstancePath = u"HID\\VID_1234&PID_5678\\1&2d595ca7&0&0001";

class SurpriseRemovalTest : public OpenPortTest
{
  protected:
    NTSTATUS Unplug()
    {
        return hk::SendPnp(port, IRP_MN_SURPRISE_REMOVAL);
    }

    /* Waits until the name is gone, or 5 s. */
    static bool NameWithdrawn()
    {
        for (int i = 0; i < 500 && !hk::SymbolicLinks().empty(); i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return hk::SymbolicLinks().empty();
    }
};

/* The program's close completes the removal, which finds nothing left to
   withdraw. */
TEST_F(SurpriseRemovalTest, UnpluggingEndsTheWaitAndWithdrawsTheNameAtOnce)
{
    const hk::WString iface = InterfaceName();
    file->DeviceControl(IOCTL_SERIAL_SET_WAIT_MASK, Word(SERIAL_EV_CTS));
    auto wait = file->StartDeviceControl(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
    ASSERT_FALSE(wait->Completed());

    EXPECT_EQ(Unplug(), STATUS_SUCCESS);

    ASSERT_TRUE(wait->Wait());
    EXPECT_EQ(wait->Status(), STATUS_SUCCESS);
    EXPECT_EQ(wait->Information(), 4u);
    EXPECT_TRUE(hk::SymbolicLinks().empty());
    EXPECT_TRUE(hk::Values(hk::SerialCommKey).empty());
    EXPECT_FALSE(hk::InterfaceEnabled(iface));
    EXPECT_EQ(hid->PnpMinors().back(), IRP_MN_SURPRISE_REMOVAL);
    EXPECT_TRUE(hid->IsOpen(file->FileObject())) << "the program still holds the port";

    file->Close();
    EXPECT_EQ(hid->Cleanups(), 1u);
    EXPECT_EQ(hid->Closes(), 1u);
    const unsigned links = hk::CallCount(hk::KernelCall::DeleteSymbolicLink);
    const unsigned values = hk::CallCount(hk::KernelCall::DeleteRegistryValue);
    const unsigned switches = hk::CallCount(hk::KernelCall::SetInterfaceState);
    RemovePort();
    EXPECT_EQ(hk::CallCount(hk::KernelCall::DeleteSymbolicLink), links);
    EXPECT_EQ(hk::CallCount(hk::KernelCall::DeleteRegistryValue), values);
    EXPECT_EQ(hk::CallCount(hk::KernelCall::SetInterfaceState), switches);
    EXPECT_EQ(hid->PnpMinors().back(), IRP_MN_REMOVE_DEVICE);
}

/* A keying program that does not notice goes on keying, waiting and
   asking, and another tries to open the port; every answer says the device
   is being deleted, and nothing reaches the collection. */
TEST_F(SurpriseRemovalTest, EveryRequestOnTheOpenHandleFailsAndReachesNothing)
{
    file->DeviceControl(IOCTL_SERIAL_SET_DTR);
    file->DeviceControl(IOCTL_SERIAL_SET_WAIT_MASK, Word(SERIAL_EV_CTS));
    ASSERT_EQ(Unplug(), STATUS_SUCCESS);
    const size_t controls = hid->DeviceControls().size();

    struct
    {
        ULONG code;
        hk::Bytes input;
        ULONG outputLength;
    } const requests[] = {
        {IOCTL_SERIAL_SET_DTR, {}, 0},
        {IOCTL_SERIAL_CLR_DTR, {}, 0},
        {IOCTL_SERIAL_SET_RTS, {}, 0},
        {IOCTL_SERIAL_CLR_RTS, {}, 0},
        {IOCTL_SERIAL_SET_BAUD_RATE, Word(9600), 0},
        {IOCTL_SERIAL_GET_BAUD_RATE, {}, 4},
        {IOCTL_SERIAL_SET_WAIT_MASK, Word(0), 0},
        {IOCTL_SERIAL_GET_WAIT_MASK, {}, 4},
        {IOCTL_SERIAL_WAIT_ON_MASK, {}, 4},
        {IOCTL_SERIAL_PURGE, Word(0xF), 0},
        {IOCTL_KEYER_RELOAD_SETTINGS, {}, 0},
        {IOCTL_KEYER_REPUBLISH_PORT, {}, 0},
        {CTL_CODE(FILE_DEVICE_KEYBOARD, 100, METHOD_OUT_DIRECT, FILE_ANY_ACCESS), {}, 8},
    };
    for (const auto& request : requests)
    {
        ULONG_PTR information = 99;
        EXPECT_EQ(file->DeviceControl(request.code, request.input, request.outputLength, nullptr,
                                      &information),
                  STATUS_DELETE_PENDING)
            << std::hex << request.code;
        EXPECT_EQ(information, 0u) << std::hex << request.code;
    }
    ULONG_PTR information = 99;
    EXPECT_EQ(file->Read(16, &information), STATUS_DELETE_PENDING);
    EXPECT_EQ(information, 0u);
    EXPECT_EQ(file->Write(hk::Bytes(100, 0x55), &information), STATUS_DELETE_PENDING);
    EXPECT_EQ(information, 0u);

    EXPECT_EQ(States(), std::vector<UCHAR>{0x02}) << "only the report from before the unplug";
    EXPECT_EQ(hid->DeviceControls().size(), controls);
    EXPECT_EQ(hid->Reads(), 0u);
    EXPECT_EQ(Lines().dtr, 1);
    EXPECT_EQ(Lines().rts, 0);
    EXPECT_EQ(BaudRate(), 2048u);
    EXPECT_EQ(WaitMask(), (ULONG)SERIAL_EV_CTS);
    EXPECT_FALSE(OpenPassesThrough(Ext(), file->FileObject()));
    EXPECT_TRUE(hk::SymbolicLinks().empty()) << "a republish published a gone device's name";
    EXPECT_TRUE(hk::Values(hk::SerialCommKey).empty());

    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_EQ(Open(&status), nullptr);
    EXPECT_EQ(status, STATUS_DELETE_PENDING);
    EXPECT_EQ(hid->OpenCount(), 1u) << "only the program's open from before";
}

/* What could not be withdrawn at the unplug is withdrawn at the removal
   (the fixture checks that nothing is left). */
TEST_F(SurpriseRemovalTest, WhatWouldNotGoAtTheUnplugGoesAtTheRemoval)
{
    const hk::WString iface = InterfaceName();
    hk::FailCall(hk::KernelCall::DeleteSymbolicLink, STATUS_ACCESS_DENIED);
    hk::FailCall(hk::KernelCall::DeleteRegistryValue, STATUS_ACCESS_DENIED);
    hk::FailCall(hk::KernelCall::SetInterfaceState, STATUS_UNSUCCESSFUL);

    EXPECT_EQ(Unplug(), STATUS_SUCCESS);
    EXPECT_EQ(hk::SymbolicLinks().count(u"\\GLOBAL??\\COM5"), 1u);
    EXPECT_EQ(hk::Values(hk::SerialCommKey).size(), 1u);
    EXPECT_TRUE(hk::InterfaceEnabled(iface));
    EXPECT_EQ(file->DeviceControl(IOCTL_KEYER_REPUBLISH_PORT), STATUS_DELETE_PENDING);
    EXPECT_EQ(file->DeviceControl(IOCTL_SERIAL_SET_DTR), STATUS_DELETE_PENDING);

    file->Close();
    RemovePort();
    EXPECT_FALSE(hk::InterfaceEnabled(iface));
}

/* A keyer's report is on its way when the cable goes, the device never
   takes it, and a logger's PTT change waits behind it. The name goes at
   once; the report is cancelled rather than waited for; the keyer's change,
   accepted while the device was there, completes; the logger's finds the
   device gone and sends nothing; the HID stack hears of the removal only
   after the report in flight is back. */
TEST_F(SurpriseRemovalTest, LineChangeInFlightIsCancelledAndTheOneBehindItFails)
{
    auto logger = Open();
    hid->SetWriteAnswer(hk::Answer::Held);

    std::thread key([&] { EXPECT_EQ(file->DeviceControl(IOCTL_SERIAL_SET_DTR), STATUS_SUCCESS); });
    ASSERT_TRUE(hid->WaitHeld(1));
    std::thread ptt(
        [&] { EXPECT_EQ(logger->DeviceControl(IOCTL_SERIAL_SET_RTS), STATUS_DELETE_PENDING); });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));

    const auto unplugged = std::chrono::steady_clock::now();
    EXPECT_EQ(Unplug(), STATUS_SUCCESS);
    EXPECT_LT(std::chrono::steady_clock::now() - unplugged, std::chrono::milliseconds(500));
    key.join();
    ptt.join();
    EXPECT_TRUE(hk::SymbolicLinks().empty());
    EXPECT_EQ(hid->CancelledCount(), 1u);
    EXPECT_EQ(hid->HeldCount(), 0u);
    EXPECT_EQ(file->DeviceControl(IOCTL_SERIAL_CLR_DTR), STATUS_DELETE_PENDING);
    EXPECT_EQ(States(), std::vector<UCHAR>{0x02});
    EXPECT_EQ(Lines().rts, 0);
    EXPECT_EQ(hid->PnpMinors().back(), IRP_MN_SURPRISE_REMOVAL);
    logger->Close();
    EXPECT_EQ(States(), std::vector<UCHAR>{0x02}) << "a close sends nothing once unplugged";
}

/* The unplug cancels the report a line change is sending before the stack
   below has set its cancel routine, so the cancel only marks the request,
   and the stack then pends it all the same. The writer's own cancel at its
   bound reaches the routine set since: the change ends, and the unplug
   waiting behind it returns. */
TEST_F(SurpriseRemovalTest, ReportCancelledBeforeTheStackSetItsCancelRoutineStillEnds)
{
    hk::CapKernelTimeouts(std::chrono::milliseconds(300));
    hid->SetWriteAnswer(hk::Answer::HeldCancelLate);
    std::thread key([&] { EXPECT_EQ(file->DeviceControl(IOCTL_SERIAL_SET_DTR), STATUS_SUCCESS); });
    ASSERT_TRUE(hid->WaitHeld(1));
    std::thread unplug([&] { EXPECT_EQ(Unplug(), STATUS_SUCCESS); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(hid->CancelledCount(), 0u) << "the early cancel found no routine";

    const auto pended = std::chrono::steady_clock::now();
    hid->SetLateCancelRoutines();
    unplug.join();
    key.join();
    EXPECT_LT(std::chrono::steady_clock::now() - pended, std::chrono::seconds(2));
    EXPECT_EQ(hid->CancelledCount(), 1u);
    EXPECT_EQ(hid->HeldCount(), 0u);
    EXPECT_TRUE(hk::SymbolicLinks().empty());
    EXPECT_EQ(file->DeviceControl(IOCTL_SERIAL_CLR_DTR), STATUS_DELETE_PENDING);
}

/* The user plugs in a second keyer (or the same one into another port)
   while the program still holds the first one's port: the new keyer's
   start publishes the same stored name, and the first one's removal,
   when the program finally closes, leaves the new publication alone. */
TEST_F(SurpriseRemovalTest, KeyerPluggedInMeanwhilePublishesTheSameName)
{
    ASSERT_EQ(Unplug(), STATUS_SUCCESS);

    hk::VelkorHidCollection other(DO_BUFFERED_IO, OtherInstancePath);
    hk::StoreSettings(hk::DeviceKey(other.Pdo()));
    /* It published COM5 before: the name is its own, held or not. */
    hk::SetDword(hk::DeviceKey(other.Pdo()), u"PortNamePublished", 1);
    NTSTATUS status;
    PDEVICE_OBJECT otherPort = hk::AddPort(driver, other, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    const hk::WString otherIface = hk::InterfaceNameOf(otherPort);
    ASSERT_NE(otherIface, InterfaceName());

    EXPECT_EQ(hk::SendPnp(otherPort, IRP_MN_START_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(hk::SymbolicLinks(),
              (std::map<hk::WString, hk::WString>{{u"\\GLOBAL??\\COM5", otherIface}}));
    hk::RegistryValue value;
    EXPECT_EQ(hk::Values(hk::SerialCommKey).size(), 1u);
    ASSERT_TRUE(hk::GetValue(hk::SerialCommKey, otherIface, &value));
    EXPECT_EQ(hk::StringOf(value), u"COM5");

    /* The old handle reaches nothing; a new open keys the new keyer. */
    EXPECT_EQ(file->DeviceControl(IOCTL_SERIAL_SET_DTR), STATUS_DELETE_PENDING);
    auto fresh = hk::UserFile::Open(other.Pdo());
    ASSERT_TRUE(fresh);
    EXPECT_EQ(fresh->DeviceControl(IOCTL_SERIAL_SET_DTR), STATUS_SUCCESS);
    EXPECT_TRUE(hid->Writes().empty());
    ASSERT_EQ(other.Writes().size(), 1u);
    EXPECT_EQ(other.Writes()[0].bytes[2], 0x02);

    file->Close();
    RemovePort();
    EXPECT_EQ(hk::SymbolicLinks().count(u"\\GLOBAL??\\COM5"), 1u);
    EXPECT_TRUE(hk::GetValue(hk::SerialCommKey, otherIface));
    EXPECT_TRUE(hk::InterfaceEnabled(otherIface));

    fresh->Close();
    EXPECT_EQ(hk::SendPnp(otherPort, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
}

} // namespace
