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
    EXPECT_EQ(hid->LastQueryFileObject(), nullptr) << "the query carries no file object";

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
    EXPECT_FALSE(Ext()->IdentityVerified);
    /* Serial requests are still served. */
    EXPECT_EQ(file->DeviceControl(IOCTL_SERIAL_SET_RTS), STATUS_SUCCESS);
}

TEST_F(IdentityTest, FailedQueryKeepsTheEarlierVerdict)
{
    auto verified = Open();
    ASSERT_TRUE(Ext()->IdentityVerified);

    hid->SetManufacturerStatus(STATUS_DEVICE_NOT_CONNECTED);
    NTSTATUS status;
    auto second = Open(&status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_TRUE(Ext()->IdentityVerified);

    hid->SetManufacturerStatus(STATUS_SUCCESS);
    hid->SetManufacturer(u"Other");
    auto third = Open();
    EXPECT_FALSE(Ext()->IdentityVerified);
    hid->SetManufacturerStatus(STATUS_DEVICE_NOT_CONNECTED);
    auto fourth = Open();
    EXPECT_FALSE(Ext()->IdentityVerified);
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
    EXPECT_EQ(Ext()->OpenFileObject, nullptr);
}

} // namespace
