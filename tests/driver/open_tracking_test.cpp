/*
 * Which open output reports are written for, opens the HID stack holds
 * back, and running out of pool.
 */
#include "port_fixture.h"

#include <atomic>
#include <thread>

namespace
{

TEST_F(PortTest, ClosingTheNewestOpenMovesReportsToTheNewestOpenLeft)
{
    SetMapping(1, 2, false, false);
    auto logger = Open();
    auto keyer = Open();
    auto page = Open();

    page->Close();
    keyer->DeviceControl(IOCTL_SERIAL_SET_DTR);
    /* Closing an older open changes nothing. */
    logger->Close();
    keyer->DeviceControl(IOCTL_SERIAL_CLR_DTR);

    auto writes = hid->Writes();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].fileObject, keyer->FileObject());
    EXPECT_EQ(writes[1].fileObject, keyer->FileObject());
    for (auto& write : writes)
        EXPECT_TRUE(write.fileWasOpen);
}

/* A line change on the keyer's handle whose report the collection holds;
   meanwhile another thread closes the handle the report names. */
void CloseDuringReport(hk::VelkorHidCollection& hid, hk::UserFile& keyer, hk::UserFile& named)
{
    PFILE_OBJECT namedFile = named.FileObject();
    hid.SetWriteAnswer(hk::Answer::Held);
    std::thread key([&] { keyer.DeviceControl(IOCTL_SERIAL_SET_DTR); });
    ASSERT_TRUE(hid.WaitHeld(1));
    std::thread close([&] { named.Close(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(hid.Closes(), 0u) << "the close overtook the report written for it";

    hid.ReleaseHeld();
    key.join();
    close.join();
    EXPECT_EQ(hid.Closes(), 1u);
    EXPECT_EQ(hid.Writes().at(0).fileObject, namedFile);
    EXPECT_TRUE(hid.Writes().at(0).fileWasOpen);
}

TEST_F(PortTest, ReportInFlightHoldsOffTheCloseOfItsOpen)
{
    SetMapping(1, 2, false, false);
    auto keyer = Open();
    auto newest = Open();
    CloseDuringReport(*hid, *keyer, *newest);
}

/*
 * A report the device never takes keeps its line change waiting, without
 * time-out. Another program opening the port meanwhile still gets its
 * handle, and the identity it checks counts from the next line change.
 */
TEST_F(PortTest, ReportHeldByTheCollectionDoesNotHoldBackANewOpen)
{
    SetMapping(1, 2, false, false);
    auto keyer = Open();
    hid->SetWriteAnswer(hk::Answer::Held);
    std::thread key([&] { keyer->DeviceControl(IOCTL_SERIAL_SET_DTR); });
    ASSERT_TRUE(hid->WaitHeld(1));

    hid->SetManufacturer(u"Someone else");
    std::atomic<bool> opened{false};
    std::unique_ptr<hk::UserFile> late;
    std::thread open([&] {
        late = Open();
        opened = true;
    });
    for (int i = 0; i < 100 && !opened; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(opened) << "the open waited for the held report";
    EXPECT_EQ(hid->ManufacturerQueries(), 2u);

    hid->ReleaseHeld();
    key.join();
    open.join();
    ASSERT_TRUE(late);
    EXPECT_FALSE(IdentityVerified());
    hid->SetWriteAnswer(hk::Answer::AtOnce);
    keyer->DeviceControl(IOCTL_SERIAL_CLR_DTR);
    EXPECT_EQ(hid->Writes().size(), 1u) << "the verdict of the latest open decides";
}

/* The report of a line change on the newest open is written for that open
   without a reference of the driver's own: the request keeps its open. */
TEST_F(PortTest, ReportInFlightHoldsOffTheCloseOfTheRequestersOwnOpen)
{
    SetMapping(1, 2, false, false);
    auto keyer = Open();
    CloseDuringReport(*hid, *keyer, *keyer);
}

TEST_F(PortTest, OpenHeldByTheHidStackGetsNoStatusUntilItEnds)
{
    hid->SetCreateAnswer(hk::Answer::Held);
    NTSTATUS status = STATUS_PENDING;
    std::unique_ptr<hk::UserFile> file;
    std::thread opener([&] { file = Open(&status); });

    ASSERT_TRUE(hid->WaitHeld(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(status, STATUS_PENDING);
    EXPECT_EQ(hid->ManufacturerQueries(), 0u);

    hid->ReleaseHeld();
    opener.join();
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_TRUE(IdentityVerified());
    file->DeviceControl(IOCTL_SERIAL_SET_DTR);
    EXPECT_EQ(hid->Writes().at(0).fileObject, file->FileObject());
}

TEST_F(PortTest, OpenHeldAndThenRefusedLeavesNoTrace)
{
    const size_t published = hk::OutstandingAllocations(hk::PoolTag("Wdm "));
    hid->SetCreateAnswer(hk::Answer::Held);
    NTSTATUS status = STATUS_PENDING;
    std::thread opener([&] { EXPECT_FALSE(Open(&status)); });
    ASSERT_TRUE(hid->WaitHeld(1));
    hid->FailHeld(STATUS_SHARING_VIOLATION);
    opener.join();
    EXPECT_EQ(status, STATUS_SHARING_VIOLATION);
    EXPECT_EQ(hk::OutstandingAllocations(hk::PoolTag("Wdm ")), published) << "a record was kept";
}

/* Every allocation the open and a line change make, failed in turn. */
TEST_F(PortTest, RunningOutOfPoolNeverProceedsAndLeaksNothing)
{
    const ULONG wdm = hk::PoolTag("Wdm ");
    const size_t published = hk::OutstandingAllocations(wdm);
    SetMapping(1, 2, false, false);

    hk::FailAllocationNumber(1); /* the open's record */
    NTSTATUS status;
    EXPECT_FALSE(Open(&status));
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(hid->OpenCount(), 0u) << "the open reached the HID stack";

    hk::FailAllocationNumber(2); /* the query buffer */
    auto file = Open(&status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_FALSE(IdentityVerified());
    EXPECT_EQ(hid->ManufacturerQueries(), 0u);

    hk::FailAllocationNumber(3); /* the query request */
    auto second = Open(&status);
    EXPECT_EQ(hid->ManufacturerQueries(), 0u);
    auto third = Open(&status);
    EXPECT_TRUE(IdentityVerified());

    hk::FailAllocationNumber(1); /* the report */
    EXPECT_EQ(third->DeviceControl(IOCTL_SERIAL_SET_DTR), STATUS_SUCCESS);
    hk::FailAllocationNumber(2); /* the write request */
    EXPECT_EQ(third->DeviceControl(IOCTL_SERIAL_SET_DTR), STATUS_SUCCESS);
    EXPECT_TRUE(hid->Writes().empty());
    EXPECT_EQ(hk::OutstandingAllocations(wdm), published + 3) << "one record per open";

    third->DeviceControl(IOCTL_SERIAL_SET_DTR);
    EXPECT_EQ(hid->Writes().size(), 1u);
}

TEST_F(PortTest, RemoveWaitsForARequestInFlight)
{
    SetMapping(1, 2, false, false);
    auto file = Open();
    hid->SetWriteAnswer(hk::Answer::Held);
    std::thread key([&] { file->DeviceControl(IOCTL_SERIAL_SET_DTR); });
    ASSERT_TRUE(hid->WaitHeld(1));

    std::atomic<bool> removed{false};
    PDEVICE_OBJECT device = port;
    std::thread remove([&] {
        EXPECT_EQ(hk::SendPnp(device, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
        removed = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(removed) << "remove went on while a report was in flight";
    EXPECT_TRUE(hk::DeviceObjectExists(device));

    hid->ReleaseHeld();
    key.join();
    remove.join();
    EXPECT_FALSE(hk::DeviceObjectExists(device));
    port = nullptr;
    /* The handle now reaches the collection directly. */
    file->Close();
}

/*
 * Keying programs end keyed: closed, killed, or under Wine closed with no
 * cleanup. When the last open that moved a line goes, both lines go down
 * with one report, mapped as configured, written on that open's own file.
 * Opens that never moved a line lower nothing, and an unverified device
 * hears nothing.
 */
TEST_F(PortTest, TheLastOpenThatMovedALineLowersBothAsItGoes)
{
    const ULONG hidControl =
        CTL_CODE(FILE_DEVICE_KEYBOARD, 100, METHOD_OUT_DIRECT, FILE_ANY_ACCESS);
    SetMapping(1, 2, false, false);
    auto keyer = Open();
    auto logger = Open();
    keyer->DeviceControl(IOCTL_SERIAL_SET_DTR);
    logger->DeviceControl(IOCTL_SERIAL_SET_RTS);
    auto page = Open();
    page->DeviceControl(IOCTL_KEYER_RELOAD_SETTINGS);
    page->Close();
    auto hidProgram = Open();
    hidProgram->DeviceControl(hidControl, {}, 8);
    hidProgram->Close();
    keyer->Close();
    EXPECT_EQ(States(), (std::vector<UCHAR>{0x02, 0x00})) << "the logger still keys";

    PFILE_OBJECT loggerFile = logger->FileObject();
    logger->Close();
    EXPECT_EQ(States(), (std::vector<UCHAR>{0x02, 0x00, 0x03}));
    EXPECT_EQ(hid->Writes().back().fileObject, loggerFile);
    EXPECT_EQ(Lines().dtr, 0);
    EXPECT_EQ(Lines().rts, 0);

    /* Under Wine: PTT inverted, another open newer than the keyer, and the
       keyer's handle closed with no cleanup. */
    SetMapping(1, 2, false, true);
    auto wineKeyer = Open();
    auto newer = Open();
    wineKeyer->DeviceControl(IOCTL_SERIAL_SET_RTS);
    PFILE_OBJECT wineFile = wineKeyer->FileObject();
    wineKeyer->CloseWithoutCleanup();
    EXPECT_EQ(States(), (std::vector<UCHAR>{0x02, 0x00, 0x03, 0x03, 0x01}));
    EXPECT_EQ(hid->Writes().back().fileObject, wineFile);
    EXPECT_TRUE(hid->Writes().back().fileWasOpen);

    hid->SetManufacturer(u"Someone else");
    auto stranger = Open();
    stranger->DeviceControl(IOCTL_SERIAL_SET_DTR);
    stranger->Close();
    newer->Close();
    EXPECT_EQ(hid->Writes().size(), 5u) << "an unverified device got a report";
    EXPECT_EQ(Lines().dtr, 0);
}

/*
 * The device stops completing what it is sent, without detaching. A line
 * change and an open each give up after the bound (shortened here) and
 * cancel what they sent; the line change succeeds, the open keeps its
 * status, and the device counts as unverified until an open verifies it.
 */
TEST_F(PortTest, ADeviceThatStopsAnsweringHoldsNothingPastTheBound)
{
    hk::CapKernelTimeouts(std::chrono::milliseconds(100));
    SetMapping(1, 2, false, false);
    auto keyer = Open();
    hid->SetWriteAnswer(hk::Answer::Held);
    const auto sent = std::chrono::steady_clock::now();
    EXPECT_EQ(keyer->DeviceControl(IOCTL_SERIAL_SET_DTR), STATUS_SUCCESS);
    EXPECT_GE(std::chrono::steady_clock::now() - sent, std::chrono::milliseconds(100));
    EXPECT_EQ(hid->CancelledCount(), 1u);

    hid->SetManufacturerAnswer(hk::Answer::Held);
    NTSTATUS status = STATUS_PENDING;
    auto late = Open(&status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_FALSE(IdentityVerified());
    EXPECT_EQ(hid->CancelledCount(), 2u);
    EXPECT_EQ(hid->HeldCount(), 0u);

    late->Close();
    keyer->Close();
    EXPECT_EQ(hid->Writes().size(), 1u);
}

} // namespace
