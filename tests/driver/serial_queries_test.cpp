/*
 * What a serial program asks the port about itself: the settings it keeps
 * and reads back, status and capabilities, flushes and file information.
 * Every query is sent with its buffer prefilled with 0xAA (the input and
 * output of a buffered control share one buffer), so a field the driver
 * leaves unwritten shows up in the answer.
 */
#include "port_fixture.h"

#include <cstring>
#include <thread>

namespace
{

using hk::Bytes;
using hk::Word;

const uint8_t fill = 0xAA;

class SerialQueryTest : public OpenPortTest
{
  protected:
    /* A query with an output buffer of the given length, prefilled. */
    Bytes Query(ULONG code, ULONG outputLength, ULONG_PTR* information = nullptr,
                NTSTATUS expected = STATUS_SUCCESS)
    {
        Bytes out;
        ULONG_PTR info = 99;
        EXPECT_EQ(file->DeviceControl(code, Bytes(outputLength, fill), outputLength, &out, &info),
                  expected)
            << std::hex << code;
        if (information)
            *information = info;
        out.resize(info <= out.size() ? info : out.size());
        return out;
    }

    NTSTATUS Set(ULONG code, const Bytes& input)
    {
        return file->DeviceControl(code, input);
    }

    /* Nothing reached the collection but the open's identity query. */
    void ExpectNothingSentDown()
    {
        EXPECT_TRUE(hid->Writes().empty()) << "a report was sent";
        EXPECT_EQ(hid->DeviceControls().size(), 1u);
        EXPECT_EQ(hid->Flushes(), 0u);
    }
};

Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

TEST_F(SerialQueryTest, AFreshlyStartedPortReportsEightNoParityOneStopDc1Dc3AndNoHandshake)
{
    ULONG_PTR information = 0;
    EXPECT_EQ(Query(IOCTL_SERIAL_GET_LINE_CONTROL, 8, &information), (Bytes{0, 0, 8}));
    EXPECT_EQ(information, 3u);
    EXPECT_EQ(Query(IOCTL_SERIAL_GET_CHARS, 8, &information), (Bytes{0, 0, 0, 0, 0x11, 0x13}));
    EXPECT_EQ(information, 6u);
    EXPECT_EQ(Query(IOCTL_SERIAL_GET_HANDFLOW, 32, &information), Bytes(16, 0));
    EXPECT_EQ(information, 16u);
    EXPECT_EQ(Query(IOCTL_SERIAL_GET_TIMEOUTS, 32, &information), Bytes(20, 0));
    EXPECT_EQ(information, 20u);
    ExpectNothingSentDown();
}

TEST_F(SerialQueryTest, AProgramsSettingsReadBackExactly)
{
    const Bytes lineControl{STOP_BITS_2, SPACE_PARITY, 5};
    const Bytes chars{0x1A, 0x3F, 0x00, 0x0D, 0x21, 0x23};
    /* DTR and RTS control enabled, CTS and DSR handshakes, XON/XOFF both ways. */
    const Bytes handFlow =
        Cat({Word(SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE | SERIAL_DSR_HANDSHAKE),
             Word(SERIAL_RTS_CONTROL | 0x03), Word(2048), Word(512)});
    const Bytes timeouts = Cat({Word(0xFFFFFFFF), Word(0), Word(0), Word(10), Word(1000)});

    EXPECT_EQ(Set(IOCTL_SERIAL_SET_LINE_CONTROL, lineControl), STATUS_SUCCESS);
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_CHARS, chars), STATUS_SUCCESS);
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_HANDFLOW, handFlow), STATUS_SUCCESS);
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_TIMEOUTS, timeouts), STATUS_SUCCESS);

    EXPECT_EQ(Query(IOCTL_SERIAL_GET_LINE_CONTROL, 3), lineControl);
    EXPECT_EQ(Query(IOCTL_SERIAL_GET_CHARS, 6), chars);
    EXPECT_EQ(Query(IOCTL_SERIAL_GET_HANDFLOW, 16), handFlow);
    EXPECT_EQ(Query(IOCTL_SERIAL_GET_TIMEOUTS, 20), timeouts);

    /* The handshake's DTR and RTS control modes raised both lines, with
       one report. */
    EXPECT_EQ(Query(IOCTL_SERIAL_GET_DTRRTS, 4), Word(3));
    EXPECT_EQ(States(), std::vector<UCHAR>{0x00});

    /* Kept for the device, not the handle: another program's open sees them. */
    file = Open();
    ASSERT_TRUE(file);
    EXPECT_EQ(Query(IOCTL_SERIAL_GET_LINE_CONTROL, 3), lineControl);
    EXPECT_EQ(Query(IOCTL_SERIAL_GET_TIMEOUTS, 20), timeouts);
}

TEST_F(SerialQueryTest, ARestartBringsBackTheDefaults)
{
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_LINE_CONTROL, Bytes{1, 1, 7}), STATUS_SUCCESS);
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_QUEUE_SIZE, Cat({Word(4096), Word(1024)})), STATUS_SUCCESS);
    file.reset();
    ASSERT_EQ(hk::SendPnp(port, IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    file = Open();
    ASSERT_TRUE(file);
    EXPECT_EQ(Query(IOCTL_SERIAL_GET_LINE_CONTROL, 3), (Bytes{0, 0, 8}));
    Bytes properties = Query(IOCTL_SERIAL_GET_PROPERTIES, 64);
    ASSERT_EQ(properties.size(), 64u);
    EXPECT_EQ(Bytes(properties.begin() + 44, properties.begin() + 52), Bytes(8, 0))
        << "current queue sizes";
}

TEST_F(SerialQueryTest, PropertiesDescribeAnRs232PortWithTheQueueSizesLastSet)
{
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_QUEUE_SIZE, Cat({Word(4096), Word(1024)})), STATUS_SUCCESS);
    ULONG_PTR information = 0;
    Bytes out = Query(IOCTL_SERIAL_GET_PROPERTIES, 80, &information);
    EXPECT_EQ(information, 64u);
    ASSERT_EQ(out.size(), 64u);
    SERIAL_COMMPROP p;
    std::memcpy(&p, out.data(), sizeof(p));
    EXPECT_EQ(p.PacketLength, 64u);
    EXPECT_EQ(p.PacketVersion, 2u);
    EXPECT_EQ(p.ServiceMask, 0x00000001u) << "SERIAL_SP_SERIALCOMM";
    EXPECT_EQ(p.Reserved1, 0u);
    EXPECT_EQ(p.MaxTxQueue, 0u) << "no limit";
    EXPECT_EQ(p.MaxRxQueue, 0u) << "no limit";
    EXPECT_EQ(p.MaxBaud, 0x10000000u) << "SERIAL_BAUD_USER: any rate";
    EXPECT_EQ(p.ProvSubType, 0x00000001u) << "SERIAL_SP_RS232";
    EXPECT_EQ(p.ProvCapabilities, 0x000000E3u) << "DTR/DSR, RTS/CTS, XON/XOFF chars, time-outs";
    EXPECT_EQ(p.SettableParams, 0x0000000Fu) << "parity, baud, data bits, stop bits";
    EXPECT_EQ(p.SettableBaud, 0x1007FFFFu);
    EXPECT_EQ(p.SettableData, 0x000Fu) << "5 to 8 data bits";
    EXPECT_EQ(p.SettableStopParity, 0x1F07u) << "1, 1.5, 2 stop bits; every parity";
    EXPECT_EQ(p.CurrentTxQueue, 1024u);
    EXPECT_EQ(p.CurrentRxQueue, 4096u);
    EXPECT_EQ(Bytes(out.begin() + 52, out.end()), Bytes(12, 0)) << "ProvSpec1/2, ProvChar";
    ExpectNothingSentDown();
}

TEST_F(SerialQueryTest, StatusSaysNothingQueuedNoErrorsNothingHeldAndNoInputLines)
{
    file->Write(Bytes(100, 'x'));
    ULONG_PTR information = 0;
    EXPECT_EQ(Query(IOCTL_SERIAL_GET_COMMSTATUS, 32, &information), Bytes(20, 0));
    EXPECT_EQ(information, 20u);
    EXPECT_EQ(Query(IOCTL_SERIAL_GET_MODEMSTATUS, 8, &information), Word(0));
    EXPECT_EQ(information, 4u);
    EXPECT_EQ(Query(IOCTL_SERIAL_GET_STATS, 32, &information), Bytes(24, 0));
    EXPECT_EQ(information, 24u);
    EXPECT_EQ(Query(IOCTL_SERIAL_CONFIG_SIZE, 8, &information), Word(0));
    EXPECT_EQ(information, 4u);
    ExpectNothingSentDown();
}

TEST_F(SerialQueryTest, LineQueriesFollowTheLineControls)
{
    for (ULONG query : {IOCTL_SERIAL_GET_DTRRTS, IOCTL_SERIAL_GET_MODEM_CONTROL})
    {
        file->DeviceControl(IOCTL_SERIAL_CLR_DTR);
        file->DeviceControl(IOCTL_SERIAL_CLR_RTS);
        EXPECT_EQ(Query(query, 4), Word(0));
        file->DeviceControl(IOCTL_SERIAL_SET_DTR);
        EXPECT_EQ(Query(query, 4), Word(1));
        file->DeviceControl(IOCTL_SERIAL_SET_RTS);
        EXPECT_EQ(Query(query, 4), Word(3));
        file->DeviceControl(IOCTL_SERIAL_CLR_DTR);
        EXPECT_EQ(Query(query, 4), Word(2));
    }
    /* Ten line changes, ten reports; the queries sent none. */
    EXPECT_EQ(States(),
              (std::vector<UCHAR>{0x03, 0x03, 0x02, 0x00, 0x01, 0x01, 0x03, 0x02, 0x00, 0x01}));
}

TEST_F(SerialQueryTest, ALineQueryIsAnsweredWhileAnotherHandlesReportIsStillBeingWritten)
{
    auto keyer = Open();
    ASSERT_TRUE(keyer);
    hid->SetWriteAnswer(hk::Answer::Held);
    NTSTATUS raised = STATUS_PENDING;
    std::thread keying([&] { raised = keyer->DeviceControl(IOCTL_SERIAL_SET_DTR); });
    ASSERT_TRUE(hid->WaitHeld(1));

    /* Sent from this thread: a query that waited for the output lock would
       never return here (the bench reports the hung wait). */
    auto query = file->StartDeviceControl(IOCTL_SERIAL_GET_DTRRTS, {}, 4);
    EXPECT_TRUE(query->Completed());
    EXPECT_EQ(query->Output(), Word(1));

    hid->ReleaseHeld();
    keying.join();
    EXPECT_EQ(raised, STATUS_SUCCESS);
}

struct ShortCase
{
    const char* name;
    ULONG code;
    bool isSet;
    ULONG size;
};

class ShortStructures : public SerialQueryTest, public ::testing::WithParamInterface<ShortCase>
{
};

/* One byte short on either side: refused, nothing written back, nothing
   kept; the settings still read back as their defaults. */
TEST_P(ShortStructures, AreRefusedAndChangeNothing)
{
    const ShortCase& c = GetParam();
    ULONG_PTR information = 99;
    Bytes input(c.isSet ? c.size - 1 : 0, 0x7F);
    ULONG outputLength = c.isSet ? 0 : c.size - 1;
    EXPECT_EQ(file->DeviceControl(c.code, input, outputLength, nullptr, &information),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(information, 0u);

    EXPECT_EQ(Query(IOCTL_SERIAL_GET_LINE_CONTROL, 3), (Bytes{0, 0, 8}));
    EXPECT_EQ(Query(IOCTL_SERIAL_GET_CHARS, 6), (Bytes{0, 0, 0, 0, 0x11, 0x13}));
    EXPECT_EQ(Query(IOCTL_SERIAL_GET_HANDFLOW, 16), Bytes(16, 0));
    EXPECT_EQ(Query(IOCTL_SERIAL_GET_TIMEOUTS, 20), Bytes(20, 0));
    Bytes properties = Query(IOCTL_SERIAL_GET_PROPERTIES, 64);
    ASSERT_EQ(properties.size(), 64u);
    EXPECT_EQ(Bytes(properties.begin() + 44, properties.begin() + 52), Bytes(8, 0));
}

INSTANTIATE_TEST_SUITE_P(
    SerialQueries, ShortStructures,
    ::testing::Values(ShortCase{"SetLineControl", IOCTL_SERIAL_SET_LINE_CONTROL, true, 3},
                      ShortCase{"SetChars", IOCTL_SERIAL_SET_CHARS, true, 6},
                      ShortCase{"SetHandflow", IOCTL_SERIAL_SET_HANDFLOW, true, 16},
                      ShortCase{"SetTimeouts", IOCTL_SERIAL_SET_TIMEOUTS, true, 20},
                      ShortCase{"SetQueueSize", IOCTL_SERIAL_SET_QUEUE_SIZE, true, 8},
                      ShortCase{"GetLineControl", IOCTL_SERIAL_GET_LINE_CONTROL, false, 3},
                      ShortCase{"GetChars", IOCTL_SERIAL_GET_CHARS, false, 6},
                      ShortCase{"GetHandflow", IOCTL_SERIAL_GET_HANDFLOW, false, 16},
                      ShortCase{"GetTimeouts", IOCTL_SERIAL_GET_TIMEOUTS, false, 20},
                      ShortCase{"GetCommStatus", IOCTL_SERIAL_GET_COMMSTATUS, false, 20},
                      ShortCase{"GetDtrRts", IOCTL_SERIAL_GET_DTRRTS, false, 4},
                      ShortCase{"GetModemControl", IOCTL_SERIAL_GET_MODEM_CONTROL, false, 4},
                      ShortCase{"GetModemStatus", IOCTL_SERIAL_GET_MODEMSTATUS, false, 4},
                      ShortCase{"GetStats", IOCTL_SERIAL_GET_STATS, false, 24},
                      ShortCase{"ConfigSize", IOCTL_SERIAL_CONFIG_SIZE, false, 4},
                      ShortCase{"GetProperties", IOCTL_SERIAL_GET_PROPERTIES, false, 64}),
    [](const ::testing::TestParamInfo<ShortCase>& info) { return info.param.name; });

TEST_F(SerialQueryTest, FlushSucceedsAtOnceAndGoesToTheHidStackOnlyWhileItHasTheData)
{
    EXPECT_EQ(file->Flush(), STATUS_SUCCESS);
    EXPECT_EQ(hid->Flushes(), 0u);

    const ULONG hidControl =
        CTL_CODE(FILE_DEVICE_KEYBOARD, 100, METHOD_OUT_DIRECT, FILE_ANY_ACCESS);
    EXPECT_EQ(file->DeviceControl(hidControl, {}, 8), STATUS_SUCCESS);
    EXPECT_EQ(file->Flush(), STATUS_SUCCESS);
    EXPECT_EQ(hid->Flushes(), 1u);

    Query(IOCTL_SERIAL_GET_COMMSTATUS, 20);
    EXPECT_EQ(file->Flush(), STATUS_SUCCESS);
    EXPECT_EQ(hid->Flushes(), 1u);
}

TEST_F(SerialQueryTest, FileInformationIsThatOfAnEmptyStreamAtPositionZero)
{
    Bytes out;
    ULONG_PTR information = 0;
    EXPECT_EQ(file->QueryInformation(FileStandardInformation, 40, &out, &information),
              STATUS_SUCCESS);
    EXPECT_EQ(information, 24u);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 24), Bytes(24, 0))
        << "no allocation, end of file 0, no links, not deleted, not a directory";
    EXPECT_EQ(file->QueryInformation(FilePositionInformation, 8, &out, &information),
              STATUS_SUCCESS);
    EXPECT_EQ(information, 8u);
    EXPECT_EQ(file->QueryInformation(FileBasicInformation, 40, &out, &information),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(information, 0u);

    EXPECT_EQ(file->SetInformation(FileEndOfFileInformation, Bytes(8, 0)), STATUS_SUCCESS);
    EXPECT_EQ(file->SetInformation(FileAllocationInformation, Bytes(8, 0)), STATUS_SUCCESS);
    EXPECT_EQ(file->SetInformation(FileDispositionInformation, Bytes(4, 1)),
              STATUS_INVALID_PARAMETER);
    ExpectNothingSentDown();
}

} // namespace
