/*
 * Every open asks the device below who made it; only a Velkor device gets
 * output reports.
 */
#include "port_fixture.h"

namespace
{

class IdentityTest : public PortTest
{
  protected:
    /* Opens, raises DTR and tells whether a report went out. */
    bool OpenAndKey()
    {
        hid->ClearWrites();
        auto file = Open();
        EXPECT_TRUE(file);
        if (!file)
            return false;
        SetMapping(1, 2, false, false);
        file->DeviceControl(IOCTL_SERIAL_SET_DTR);
        return !hid->Writes().empty();
    }
};

TEST_F(IdentityTest, OnlyTheExactManufacturerStringEnablesReports)
{
    EXPECT_TRUE(OpenAndKey());

    hid->SetManufacturer(u"QX7LMN/12");
    EXPECT_FALSE(OpenAndKey()) << "a longer string is a different maker";

    hid->SetManufacturer(u"QX7LMN/1");
    EXPECT_TRUE(OpenAndKey());

    hid->SetManufacturer(u"QX7LMN/");
    EXPECT_FALSE(OpenAndKey()) << "one character short";

    hid->SetManufacturer(u"");
    EXPECT_FALSE(OpenAndKey());
}

TEST_F(IdentityTest, MismatchStillOpensWithTheStatusTheHidStackGave)
{
    hid->SetManufacturer(u"Other maker");
    NTSTATUS status = STATUS_PENDING;
    auto file = Open(&status);
    ASSERT_TRUE(file);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_FALSE(IdentityVerified());
    /* Serial requests are still served. */
    EXPECT_EQ(file->DeviceControl(IOCTL_SERIAL_SET_RTS), STATUS_SUCCESS);
}

TEST_F(IdentityTest, FailedQueryKeepsTheEarlierVerdict)
{
    auto verified = Open();
    ASSERT_TRUE(IdentityVerified());

    hid->SetManufacturerStatus(STATUS_DEVICE_NOT_CONNECTED);
    NTSTATUS status;
    auto second = Open(&status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_TRUE(IdentityVerified());

    hid->SetManufacturerStatus(STATUS_SUCCESS);
    hid->SetManufacturer(u"Other");
    auto third = Open();
    EXPECT_FALSE(IdentityVerified());
    hid->SetManufacturerStatus(STATUS_DEVICE_NOT_CONNECTED);
    auto fourth = Open();
    EXPECT_FALSE(IdentityVerified());
}

TEST_F(IdentityTest, QueryAnsweredLaterFromAnotherThreadIsAwaited)
{
    hid->SetManufacturerAnswer(hk::Answer::FromThread);
    EXPECT_TRUE(OpenAndKey());
    hid->SetManufacturer(u"QX7LMN/2");
    EXPECT_FALSE(OpenAndKey());
}

TEST_F(IdentityTest, UnterminatedStringFillingTheBufferIsReadSafely)
{
    hk::Bytes bytes(256, 'Q');
    hid->SetManufacturerBytes(bytes);
    EXPECT_FALSE(OpenAndKey());

    /* The right name with garbage instead of a terminator is no match. */
    std::u16string name = u"QX7LMN/1";
    hk::Bytes tail(256, 0x41);
    for (size_t i = 0; i < name.size(); i++)
        tail[2 * i] = (uint8_t)name[i], tail[2 * i + 1] = 0;
    hid->SetManufacturerBytes(tail);
    EXPECT_FALSE(OpenAndKey());
}

TEST_F(IdentityTest, OpenRefusedByTheHidStackIsNotChecked)
{
    hid->SetCreateStatus(STATUS_ACCESS_DENIED);
    NTSTATUS status;
    EXPECT_FALSE(Open(&status));
    EXPECT_EQ(status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(hid->ManufacturerQueries(), 0u);
}

TEST_F(IdentityTest, QueryGoesOutOnTheOpenBeingCheckedAndLeavesItFreeToClose)
{
    for (hk::Answer answer : {hk::Answer::AtOnce, hk::Answer::FromThread})
    {
        hid->SetManufacturerAnswer(answer);
        auto first = Open();
        ASSERT_TRUE(first);
        EXPECT_EQ(hid->LastQueryFileObject(), first->FileObject());
        auto second = Open();
        ASSERT_TRUE(second);
        EXPECT_EQ(hid->LastQueryFileObject(), second->FileObject())
            << "a second program's open is checked on its own open, not the first's";
        EXPECT_TRUE(IdentityVerified());

        unsigned closes = hid->Closes();
        second->Close();
        first->Close();
        EXPECT_EQ(hid->Closes(), closes + 2) << "no reference the queries took is left";
    }
}

/* The bench's collection stands for Wine's hidclass, which faults on a
   device control that carries no file object. */
class HidCollectionRules : public PortTest
{
  protected:
    NTSTATUS SendManufacturerQuery(PFILE_OBJECT file)
    {
        KEVENT event;
        IO_STATUS_BLOCK ioStatus;
        WCHAR buffer[128] = {};
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        PIRP irp =
            IoBuildDeviceIoControlRequest(IOCTL_HID_GET_MANUFACTURER_STRING, hid->Pdo(), NULL, 0,
                                          buffer, sizeof(buffer), FALSE, &event, &ioStatus);
        if (file)
        {
            /* Left on the request: the I/O manager drops this reference. */
            ObReferenceObject(file);
            IoGetNextIrpStackLocation(irp)->FileObject = file;
            irp->Tail.Overlay.OriginalFileObject = file;
        }
        NTSTATUS status = IoCallDriver(hid->Pdo(), irp);
        if (status == STATUS_PENDING)
        {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
            status = ioStatus.Status;
        }
        return status;
    }
};

TEST_F(HidCollectionRules, QueryWithoutAFileObjectIsRefusedAndReported)
{
    EXPECT_EQ(SendManufacturerQuery(NULL), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(
        hk::TakeViolations(),
        std::vector<std::string>{"HID collection got a device control outside any of its opens"});
}

TEST_F(HidCollectionRules, BuiltRequestStillCarryingItsFileObjectAtCompletionIsReported)
{
    auto file = Open();
    ASSERT_TRUE(file);
    EXPECT_EQ(SendManufacturerQuery(file->FileObject()), STATUS_SUCCESS);
    EXPECT_EQ(hk::TakeViolations(),
              std::vector<std::string>{"a request a driver built with an event reached the I/O "
                                       "manager's completion with an original file object"});
    unsigned closes = hid->Closes();
    file->Close();
    EXPECT_EQ(hid->Closes(), closes + 1) << "the I/O manager dropped the request's reference";
}

} // namespace
