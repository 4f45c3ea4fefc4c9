/*
 * The serial device controls keying software sends, reads and writes, and
 * the hand-over to the HID stack after a control that is not a serial one.
 */
#include "port_fixture.h"

namespace
{

using hk::Bytes;
using hk::Word;
using hk::WordAt;

TEST_F(PortTest, BaudRateReadsBack2048UntilSetAndAnyValueIsTaken)
{
    auto file = Open();
    Bytes out;
    EXPECT_EQ(file->DeviceControl(IOCTL_SERIAL_GET_BAUD_RATE, {}, 4, &out), STATUS_SUCCESS);
    EXPECT_EQ(WordAt(out), 2048u);

    EXPECT_EQ(file->DeviceControl(IOCTL_SERIAL_SET_BAUD_RATE, Word(7)), STATUS_SUCCESS);
    ULONG_PTR information = 99;
    EXPECT_EQ(file->DeviceControl(IOCTL_SERIAL_GET_BAUD_RATE, {}, 8, &out, &information),
              STATUS_SUCCESS);
    EXPECT_EQ(WordAt(out), 7u);
    EXPECT_EQ(information, 4u);
}

struct ShortBufferCase
{
    ULONG code;
    ULONG inputLength;
    ULONG outputLength;
};

class ShortBuffers : public PortTest, public ::testing::WithParamInterface<ShortBufferCase>
{
};

TEST_P(ShortBuffers, AreRefusedWithNothingChanged)
{
    auto file = Open();
    const ShortBufferCase& c = GetParam();
    SetWaitMask(0x10);
    ULONG_PTR information = 99;
    EXPECT_EQ(file->DeviceControl(c.code, Bytes(c.inputLength, 0x55), c.outputLength, nullptr,
                                  &information),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(information, 0u);
    EXPECT_EQ(BaudRate(), 2048u);
    EXPECT_EQ(WaitMask(), 0x10u);
}

INSTANTIATE_TEST_SUITE_P(SerialControls, ShortBuffers,
                         ::testing::Values(ShortBufferCase{IOCTL_SERIAL_SET_BAUD_RATE, 3, 0},
                                           ShortBufferCase{IOCTL_SERIAL_SET_BAUD_RATE, 0, 4},
                                           ShortBufferCase{IOCTL_SERIAL_GET_BAUD_RATE, 4, 3},
                                           ShortBufferCase{IOCTL_SERIAL_GET_WAIT_MASK, 4, 2},
                                           ShortBufferCase{IOCTL_SERIAL_SET_WAIT_MASK, 2, 4},
                                           ShortBufferCase{IOCTL_SERIAL_WAIT_ON_MASK, 4, 3}));

TEST_F(PortTest, OtherSerialControlsSucceedWithoutDataAndSendNothing)
{
    auto file = Open();
    const ULONG setBreakOn = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 4, METHOD_BUFFERED, FILE_ANY_ACCESS);
    const ULONG setXoff = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 14, METHOD_BUFFERED, FILE_ANY_ACCESS);
    for (ULONG code :
         std::initializer_list<ULONG>{IOCTL_SERIAL_PURGE, IOCTL_SERIAL_CLEAR_STATS,
                                      IOCTL_SERIAL_SET_MODEM_CONTROL, setBreakOn, setXoff})
    {
        ULONG_PTR information = 99;
        EXPECT_EQ(file->DeviceControl(code, Bytes(16, 0), 16, nullptr, &information),
                  STATUS_SUCCESS)
            << std::hex << code;
        EXPECT_EQ(information, 0u);
    }
    EXPECT_TRUE(hid->DeviceControls().size() == 1) << "only the identity query went down";
    EXPECT_TRUE(hid->Writes().empty()) << "a modem-control write moved no line";
}

TEST_F(PortTest, WritesAreSwallowedAndReadsReturnNothing)
{
    auto file = Open();
    ULONG_PTR information = 0;
    EXPECT_EQ(file->Write(Bytes(100, 'x'), &information), STATUS_SUCCESS);
    EXPECT_EQ(information, 100u);
    EXPECT_EQ(file->Read(64, &information), STATUS_SUCCESS);
    EXPECT_EQ(information, 0u);
    EXPECT_TRUE(hid->Writes().empty());
    EXPECT_EQ(hid->Reads(), 0u);
}

TEST_F(PortTest, HidClassControlHandsReadsAndWritesToTheHidStackUntilTheNextSerialControl)
{
    auto file = Open();
    const ULONG hidControl =
        CTL_CODE(FILE_DEVICE_KEYBOARD, 100, METHOD_OUT_DIRECT, FILE_ANY_ACCESS);

    EXPECT_EQ(file->DeviceControl(hidControl, {}, 8), STATUS_SUCCESS);
    EXPECT_EQ(hid->DeviceControls().back(), hidControl);

    file->Write(Bytes{0, 7, 7});
    file->Read(8);
    ASSERT_EQ(hid->Writes().size(), 1u);
    EXPECT_EQ(hid->Writes()[0].bytes, (Bytes{0, 7, 7}));
    EXPECT_EQ(hid->Reads(), 1u);

    file->DeviceControl(IOCTL_SERIAL_GET_HANDFLOW, {}, 16);
    file->Write(Bytes{1, 2, 3});
    EXPECT_EQ(hid->Writes().size(), 1u);
}

/*
 * Any HID enumerator that calls HidD_GetAttributes on the collection sends
 * IOCTL_HID_GET_COLLECTION_INFORMATION through this port. That must not
 * turn a keying program's writes into output reports or hold its reads.
 */
TEST_F(PortTest, HidProgramOnTheCollectionLeavesTheKeyingProgramsHandleSerial)
{
    const ULONG getCollectionInformation = 0x000B01A8;
    const Bytes keyAndPttOn{0, 1, 0, 0, 0, 0, 0, 0, 0};
    auto keyer = Open();
    auto hidProgram = Open();
    SetMapping(1, 2, false, false);

    EXPECT_EQ(hidProgram->DeviceControl(getCollectionInformation, {}, 12), STATUS_SUCCESS);
    ULONG_PTR information = 0;
    EXPECT_EQ(keyer->Write(keyAndPttOn, &information), STATUS_SUCCESS);
    EXPECT_EQ(information, 9u);
    auto read = keyer->StartRead(9);
    ASSERT_TRUE(read->Wait(std::chrono::milliseconds(1000)))
        << "the keying program's read is held by the HID stack";
    EXPECT_EQ(read->Status(), STATUS_SUCCESS);
    EXPECT_EQ(read->Information(), 0u);
    EXPECT_TRUE(hid->Writes().empty());
    EXPECT_EQ(hid->Reads(), 0u);

    /* The HID program's own reads and writes reach the collection. */
    EXPECT_EQ(hidProgram->Write(Bytes{0, 1, 3, 0, 0, 0, 0, 0, 0}), STATUS_SUCCESS);
    hidProgram->Read(9);
    EXPECT_EQ(hid->Writes().size(), 1u);
    EXPECT_EQ(hid->Reads(), 1u);

    /* The keying program still keys, and its own HID control switches only it. */
    EXPECT_EQ(keyer->DeviceControl(IOCTL_SERIAL_SET_DTR), STATUS_SUCCESS);
    EXPECT_EQ(States(), (std::vector<UCHAR>{3, 2}));
    keyer->DeviceControl(getCollectionInformation, {}, 12);
    hidProgram->DeviceControl(IOCTL_SERIAL_GET_HANDFLOW, {}, 16);
    EXPECT_EQ(hidProgram->Write(keyAndPttOn), STATUS_SUCCESS);
    EXPECT_EQ(hid->Writes().size(), 2u);
    EXPECT_EQ(keyer->Write(keyAndPttOn), STATUS_SUCCESS);
    EXPECT_EQ(hid->Writes().size(), 3u);
}

TEST_F(PortTest, HandsOverEndAtTheNextStart)
{
    auto file = Open();
    file->DeviceControl(0x000B01A8, {}, 12);
    ASSERT_EQ(hk::SendPnp(port, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    ASSERT_EQ(hk::SendPnp(port, IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    EXPECT_EQ(file->Write(Bytes{0, 1, 0}), STATUS_SUCCESS);
    EXPECT_TRUE(hid->Writes().empty());
}

/* The port provides no WMI data; the HID stack below answers. */
TEST_F(PortTest, WmiRequestsReachTheCollectionAndCarryItsAnswerBack)
{
    auto request = hk::SendIrp(port, IRP_MJ_SYSTEM_CONTROL, 0, STATUS_NOT_SUPPORTED);
    ASSERT_TRUE(request->Wait());
    EXPECT_EQ(hid->SystemControls(), 1u);
    EXPECT_EQ(request->Status(), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(request->Information(), 0u);
}

} // namespace
