/*
 * Line changes become Key/PTT output reports.
 */
#include "port_fixture.h"

#include <thread>

namespace
{

constexpr ULONG None = 0, Dtr = 1, Rts = 2;

struct KeyingCase
{
    ULONG keyFunc, pttFunc;
    bool keyInverted, pttInverted;
    UCHAR dtr, rts;
    UCHAR expectedState;
};

/* Bit 0 is Key, bit 1 is PTT. A selected line that is raised drives its
   output to 0 unless inverted; an output without a line stays at 1. */
const KeyingCase keyingCases[] = {
    {Dtr, Rts, false, false, 1, 0, 0x02},        {Dtr, Rts, false, false, 1, 1, 0x00},
    {Dtr, Rts, false, false, 0, 1, 0x01},        {Dtr, Rts, false, false, 0, 0, 0x03},
    {Dtr, Rts, true, true, 1, 0, 0x01},          {Dtr, Rts, true, true, 0, 0, 0x00},
    {Dtr, Rts, true, false, 1, 1, 0x01},         {Dtr, Rts, false, true, 1, 1, 0x02},
    {Rts, Dtr, false, false, 1, 0, 0x01},        {Rts, Dtr, false, false, 0, 1, 0x02},
    {Dtr, Dtr, false, false, 1, 0, 0x00},        {Dtr, Dtr, false, false, 0, 1, 0x03},
    {Dtr, Dtr, true, false, 1, 0, 0x01},         {Rts, Rts, false, true, 0, 1, 0x02},
    {None, Rts, false, false, 1, 1, 0x01},       {None, Rts, true, true, 1, 1, 0x03},
    {3, None, true, true, 1, 1, 0x03},           {Dtr, None, false, false, 1, 0, 0x02},
    {0xFFFFFFFF, Rts, false, false, 0, 0, 0x03},
};

class KeyingMapping : public PortTest, public ::testing::WithParamInterface<KeyingCase>
{
};

TEST_P(KeyingMapping, LastReportCarriesTheMappedState)
{
    const KeyingCase& c = GetParam();
    auto file = Open();
    ASSERT_TRUE(file);
    SetMapping(c.keyFunc, c.pttFunc, c.keyInverted, c.pttInverted);

    file->DeviceControl(c.dtr ? IOCTL_SERIAL_SET_DTR : IOCTL_SERIAL_CLR_DTR);
    file->DeviceControl(c.rts ? IOCTL_SERIAL_SET_RTS : IOCTL_SERIAL_CLR_RTS);

    auto states = States();
    ASSERT_EQ(states.size(), 2u);
    EXPECT_EQ(states.back(), c.expectedState);
}

INSTANTIATE_TEST_SUITE_P(EveryLineAndFlag, KeyingMapping, ::testing::ValuesIn(keyingCases));

TEST_F(PortTest, KeyingSequenceSendsOneReportPerLineChange)
{
    auto file = Open();
    SetMapping(Dtr, Rts, false, false);

    EXPECT_EQ(file->DeviceControl(IOCTL_SERIAL_SET_DTR), STATUS_SUCCESS);
    EXPECT_EQ(file->DeviceControl(IOCTL_SERIAL_SET_RTS), STATUS_SUCCESS);
    EXPECT_EQ(file->DeviceControl(IOCTL_SERIAL_CLR_DTR), STATUS_SUCCESS);
    EXPECT_EQ(file->DeviceControl(IOCTL_SERIAL_CLR_RTS), STATUS_SUCCESS);
    /* An unchanged line is reported again. */
    EXPECT_EQ(file->DeviceControl(IOCTL_SERIAL_CLR_RTS), STATUS_SUCCESS);

    EXPECT_EQ(States(), (std::vector<UCHAR>{0x02, 0x00, 0x01, 0x03, 0x03}));
}

TEST_F(PortTest, ReportIsNineBytesAtOffsetZeroInTheContextOfTheOpen)
{
    auto file = Open();
    SetMapping(Dtr, Rts, false, false);
    file->DeviceControl(IOCTL_SERIAL_SET_DTR);

    auto writes = hid->Writes();
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].bytes, (hk::Bytes{0x00, 0x01, 0x02, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(writes[0].length, 9u);
    EXPECT_EQ(writes[0].offset, 0);
    EXPECT_EQ(writes[0].fileObject, file->FileObject());
}

TEST_F(PortTest, ReportReachesACollectionWithDirectIo)
{
    RemovePort();
    Unload();
    BuildStack(DO_DIRECT_IO);
    ASSERT_EQ(Start(), STATUS_SUCCESS);

    auto file = Open();
    SetMapping(Rts, Dtr, false, false);
    file->DeviceControl(IOCTL_SERIAL_SET_RTS);
    EXPECT_EQ(hid->Writes().at(0).bytes, (hk::Bytes{0x00, 0x01, 0x02, 0, 0, 0, 0, 0, 0}));
}

TEST_F(PortTest, ReportWaitsForAWriteTheCollectionCompletesLater)
{
    auto file = Open();
    SetMapping(Dtr, Rts, false, false);
    hid->SetWriteAnswer(hk::Answer::FromThread);

    EXPECT_EQ(file->DeviceControl(IOCTL_SERIAL_SET_DTR), STATUS_SUCCESS);
    EXPECT_EQ(States(), std::vector<UCHAR>{0x02});
}

TEST_F(PortTest, FailedOrRefusedReportsAreNotTheApplicationsConcern)
{
    auto file = Open();
    SetMapping(Dtr, Rts, false, false);
    hid->SetWriteStatus(STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(file->DeviceControl(IOCTL_SERIAL_SET_DTR), STATUS_SUCCESS);

    /* An unverified device records the line but reports nothing. */
    ForgetIdentity();
    EXPECT_EQ(file->DeviceControl(IOCTL_SERIAL_SET_RTS), STATUS_SUCCESS);
    EXPECT_EQ(Lines().rts, 1);
    EXPECT_EQ(hid->Writes().size(), 1u);
}

} // namespace

namespace
{

/* A logger keys PTT on RTS while a keyer sends CW on DTR, each on its own
   handle: the reports leave in the order of the line changes, so the last
   one always matches both lines. */
TEST_F(PortTest, LineChangesOnTwoHandlesReportInTheirOrder)
{
    auto keyer = Open();
    auto logger = Open();
    SetMapping(Dtr, Rts, false, false);
    hid->SetWriteAnswer(hk::Answer::Held);

    std::thread cw([&] { keyer->DeviceControl(IOCTL_SERIAL_SET_DTR); });
    ASSERT_TRUE(hid->WaitHeld(1));
    std::thread ptt([&] { logger->DeviceControl(IOCTL_SERIAL_SET_RTS); });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(hid->HeldCount(), 1u) << "a second report overtook the first";

    hid->ReleaseHeld();
    cw.join();
    ASSERT_TRUE(hid->WaitHeld(1));
    hid->ReleaseHeld();
    ptt.join();
    EXPECT_EQ(States(), (std::vector<UCHAR>{0x02, 0x00}));
}

} // namespace

namespace
{

/*
 * Every way a program moves DTR and RTS keys the radio, and no way leaves
 * it keyed once the last program that moved a line has gone.
 */
TEST_F(PortTest, EveryWayALineMovesKeysAndTheLastLineUserLowersThem)
{
    SetMapping(Dtr, Rts, false, false);
    auto handFlow = [](ULONG control, ULONG flow) {
        hk::Bytes bytes = hk::Word(control | SERIAL_CTS_HANDSHAKE);
        for (ULONG word : {flow, ULONG(2048), ULONG(512)})
            for (uint8_t byte : hk::Word(word))
                bytes.push_back(byte);
        return bytes;
    };

    /* SetCommState under Wine: the DCB's modes, through the handshake. A
       mode that changes moves its line, both lines in one report; one that
       stays moves nothing. The close lowers what the handshake raised, and
       the next program reads the modes disabled, the rest as set. */
    auto program = Open();
    program->DeviceControl(IOCTL_SERIAL_SET_HANDFLOW, handFlow(SERIAL_DTR_CONTROL, 0));
    program->DeviceControl(IOCTL_SERIAL_SET_HANDFLOW, handFlow(SERIAL_DTR_CONTROL, 0));
    program->DeviceControl(IOCTL_SERIAL_SET_HANDFLOW, handFlow(0, SERIAL_RTS_CONTROL));
    program->Close();
    EXPECT_EQ(States(), (std::vector<UCHAR>{0x02, 0x01, 0x03}));
    hid->ClearWrites();
    program = Open();
    hk::Bytes kept;
    program->DeviceControl(IOCTL_SERIAL_GET_HANDFLOW, {}, 16, &kept);
    EXPECT_EQ(kept, handFlow(0, 0));

    /* Keyed with a line control, then a DCB with unchanged modes: still
       keyed. The handshake modes raise, the transmit toggle lowers. */
    program->DeviceControl(IOCTL_SERIAL_SET_DTR);
    program->DeviceControl(IOCTL_SERIAL_SET_HANDFLOW, handFlow(0, 0));
    program->DeviceControl(IOCTL_SERIAL_SET_HANDFLOW, handFlow(0, SERIAL_RTS_HANDSHAKE));
    program->DeviceControl(IOCTL_SERIAL_SET_HANDFLOW, handFlow(0, SERIAL_TRANSMIT_TOGGLE));
    program->DeviceControl(IOCTL_SERIAL_CLR_DTR);
    program->DeviceControl(IOCTL_SERIAL_SET_HANDFLOW,
                           handFlow(SERIAL_DTR_HANDSHAKE, SERIAL_TRANSMIT_TOGGLE));
    EXPECT_EQ(States(), (std::vector<UCHAR>{0x02, 0x00, 0x02, 0x03, 0x02}));

    /* The modem-control register's DTR and RTS bits are the lines; its
       other bits read back as set. */
    const hk::Bytes rtsAndOut2 = hk::Word(SERIAL_MCR_RTS | 0x08);
    program->DeviceControl(IOCTL_SERIAL_SET_MODEM_CONTROL, rtsAndOut2);
    program->DeviceControl(IOCTL_SERIAL_SET_MODEM_CONTROL, rtsAndOut2);
    EXPECT_EQ(program->DeviceControl(IOCTL_SERIAL_SET_MODEM_CONTROL, {1, 0}),
              STATUS_INVALID_PARAMETER);
    program->DeviceControl(IOCTL_SERIAL_GET_MODEM_CONTROL, {}, 4, &kept);
    EXPECT_EQ(kept, hk::Word(0x0A));
    program->Close();
    EXPECT_EQ(States(), (std::vector<UCHAR>{0x02, 0x00, 0x02, 0x03, 0x02, 0x01, 0x03}));
    hid->ClearWrites();

    /* A lowering report the device fails: it may still be keyed, so the
       close lowers again. */
    auto keyer = Open();
    keyer->DeviceControl(IOCTL_SERIAL_SET_DTR);
    hid->SetWriteStatus(STATUS_DEVICE_NOT_CONNECTED);
    keyer->DeviceControl(IOCTL_SERIAL_CLR_DTR);
    hid->SetWriteStatus(STATUS_SUCCESS);
    keyer->Close();
    EXPECT_EQ(States(), (std::vector<UCHAR>{0x02, 0x03, 0x03}));
    hid->ClearWrites();

    /* A line change that waits behind the previous program's lowering
       while its own handle is cleaned up moves nothing: no close is left
       to lower it. */
    auto logger = Open();
    auto racer = Open();
    auto newest = Open();
    logger->DeviceControl(IOCTL_SERIAL_SET_RTS);
    hid->SetWriteAnswer(hk::Answer::Held);
    std::thread lowering([&] { logger->Close(); });
    ASSERT_TRUE(hid->WaitHeld(1));
    NTSTATUS raced = STATUS_PENDING;
    std::thread change([&] { raced = racer->DeviceControl(IOCTL_SERIAL_SET_DTR); });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    racer->Close();
    hid->SetWriteAnswer(hk::Answer::AtOnce);
    hid->ReleaseHeld();
    lowering.join();
    change.join();
    EXPECT_EQ(raced, STATUS_FILE_CLOSED);
    newest->Close();
    EXPECT_EQ(States(), (std::vector<UCHAR>{0x01, 0x03})) << "a line stayed up with no open left";
}

} // namespace
