/*
 * Coverage-guided fuzzing of the driver on the host kernel bench.
 *
 * An input is a sequence of operations: opens and closes on four handles,
 * reads, writes, any device control with any buffer lengths, waits and
 * cancels (also cancels that reach a request before the driver does), Plug
 * and Play requests in an order the PnP manager could send them (surprise
 * removal and removal included), power and WMI requests, changes of what the
 * HID collection answers (failures, strings, completion from another
 * thread), pool failures, registry edits and failing kernel calls.
 * After every input, once no handle is left and the collection answers
 * again, a device that is there and verified must not be left keyed: the
 * last report it took, if any, has both lines down under the mapping it was
 * sent with. Then the device is torn down as Windows would, and every
 * request must have completed once, nothing may be left allocated,
 * published or open, and no kernel rule may have been broken; the
 * sanitizers catch any access after the device object was deleted.
 */
#include <port_stack.h>

#include <cstdio>
#include <cstdlib>
#include <set>

namespace
{

using hk::Bytes;

class Input
{
  public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool Empty() const
    {
        return pos_ >= size_;
    }
    uint8_t Byte()
    {
        return pos_ < size_ ? data_[pos_++] : 0;
    }
    ULONG Word()
    {
        ULONG value = 0;
        for (int i = 0; i < 4; i++)
            value |= (ULONG)Byte() << (8 * i);
        return value;
    }
    Bytes Take(size_t n)
    {
        Bytes bytes;
        while (n-- && !Empty())
            bytes.push_back(Byte());
        return bytes;
    }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

const ULONG interestingCodes[] = {
    IOCTL_SERIAL_SET_BAUD_RATE,
    IOCTL_SERIAL_SET_DTR,
    IOCTL_SERIAL_CLR_DTR,
    IOCTL_SERIAL_SET_RTS,
    IOCTL_SERIAL_CLR_RTS,
    IOCTL_SERIAL_GET_WAIT_MASK,
    IOCTL_SERIAL_SET_WAIT_MASK,
    IOCTL_SERIAL_WAIT_ON_MASK,
    IOCTL_SERIAL_GET_BAUD_RATE,
    IOCTL_SERIAL_GET_HANDFLOW,
    IOCTL_SERIAL_SET_LINE_CONTROL,
    IOCTL_SERIAL_PURGE,
    IOCTL_SERIAL_SET_HANDFLOW,
    IOCTL_SERIAL_GET_LINE_CONTROL,
    IOCTL_SERIAL_SET_CHARS,
    IOCTL_SERIAL_GET_CHARS,
    IOCTL_SERIAL_SET_TIMEOUTS,
    IOCTL_SERIAL_GET_TIMEOUTS,
    IOCTL_SERIAL_SET_QUEUE_SIZE,
    IOCTL_SERIAL_GET_COMMSTATUS,
    IOCTL_SERIAL_GET_MODEMSTATUS,
    IOCTL_SERIAL_GET_DTRRTS,
    IOCTL_SERIAL_GET_MODEM_CONTROL,
    IOCTL_SERIAL_GET_STATS,
    IOCTL_SERIAL_CONFIG_SIZE,
    IOCTL_SERIAL_GET_PROPERTIES,
    IOCTL_KEYER_RELOAD_SETTINGS,
    IOCTL_KEYER_REPUBLISH_PORT,
    CTL_CODE(FILE_DEVICE_KEYBOARD, 100, METHOD_OUT_DIRECT, FILE_ANY_ACCESS),
    CTL_CODE(FILE_DEVICE_KEYBOARD, 106, METHOD_BUFFERED, FILE_ANY_ACCESS),
};

const char16_t* const valueNames[] = {u"PortName", u"Identifier", u"KeyFunc",
                                      u"PttFunc",  u"KeyLogic",   u"PttLogic"};

enum class PnpState
{
    Added,
    Started,
    StopPending,
    Stopped,
    RemovePending,
    SurpriseRemoved,
    Removed
};

constexpr int handleCount = 4;

class Session : hk::PortStack
{
  public:
    Session()
    {
        hk::ResetBench();
        Build(DO_BUFFERED_IO, false);
        hid->SetThreadDelay(std::chrono::microseconds(0));
        key_ = Key();
        if (!NT_SUCCESS(Add()))
            state_ = PnpState::Removed;
    }

    void Run(Input& in)
    {
        int steps = 0;
        while (!in.Empty() && steps++ < 64)
        {
            /* A program's own writes pass through to the collection too:
               only what the other steps sent are reports. */
            bool programWrite = Step(in) % 14 == 4;
            NoteReports(programWrite);
        }
        TearDown();
    }

  private:
    uint8_t Step(Input& in)
    {
        uint8_t op = in.Byte();
        uint8_t target = in.Byte();
        int slot = target % handleCount;
        switch (op % 14)
        {
        case 0:
            if (!files_[slot])
            {
                NTSTATUS status = STATUS_SUCCESS;
                files_[slot] = hk::UserFile::Open(hid->Pdo(), &status);
                if (gone_ && (files_[slot] || status != STATUS_DELETE_PENDING))
                    Fail("an open of an unplugged port did not fail with STATUS_DELETE_PENDING");
            }
            break;
        case 1:
            files_[slot].reset();
            break;
        case 2:
            if (files_[slot])
            {
                uint8_t pick = in.Byte();
                ULONG code =
                    pick < 200 ? interestingCodes[pick % std::size(interestingCodes)] : in.Word();
                /* Lengths around every serial structure (up to the 64 bytes
                   of the properties), one byte short and over included. */
                Bytes input = in.Take(in.Byte() % 72);
                ULONG outputLength = in.Byte() % 72;
                /* The top bit: CancelIoEx got there before the driver did. */
                if (target & 0x80)
                    TrackOnHandle(
                        files_[slot]->StartCancelledDeviceControl(code, input, outputLength));
                else
                    TrackOnHandle(files_[slot]->StartDeviceControl(code, input, outputLength));
            }
            break;
        case 3:
            if (files_[slot])
                TrackOnHandle(files_[slot]->StartRead(in.Byte() % 64));
            break;
        case 4:
            if (files_[slot])
                TrackOnHandle(files_[slot]->StartWrite(in.Take(in.Byte() % 16)));
            break;
        case 5:
            if (!requests_.empty())
                requests_[in.Byte() % requests_.size()]->Cancel();
            break;
        case 6:
            Pnp(in.Byte());
            break;
        case 7:
            if (port && hk::DeviceObjectExists(port))
            {
                bool wmi = (target & 0x80) != 0;
                /* The port has no WMI data of its own: WMI must reach the HID
                   stack while the device is there. */
                if (wmi && state_ != PnpState::SurpriseRemoved)
                    wmiSent_++;
                Track(hk::SendIrp(port, wmi ? IRP_MJ_SYSTEM_CONTROL : IRP_MJ_POWER,
                                  IRP_MN_SET_POWER, STATUS_NOT_SUPPORTED));
            }
            break;
        case 8:
            Collection(in);
            break;
        case 9:
            hk::FailAllocationNumber(in.Byte() % 8);
            break;
        case 10:
            hk::FailAllocationsWithTag(hk::PoolTag("Wdm "), in.Byte() & 1);
            break;
        case 11:
            Registry(in);
            break;
        case 13:
            if (files_[slot])
                FileRequest(in, *files_[slot]);
            break;
        case 12: {
            auto call = (hk::KernelCall)(in.Byte() % 13);
            NTSTATUS status = (NTSTATUS)(0xC0000000u | in.Byte());
            unsigned n = in.Byte() % 3;
            if (call == hk::KernelCall::DeleteSymbolicLink ||
                call == hk::KernelCall::DeleteRegistryValue)
            {
                /* "Not found" would claim the object is gone while it is not. */
                n = n ? n : 1;
                status = STATUS_ACCESS_DENIED;
            }
            hk::FailCall(call, status, n);
            failingCalls_.insert(call);
            break;
        }
        }
        return op;
    }

    /* Every step ends with its requests done, so a report it sent went out
       under the mapping the port holds now, and the collection answered it
       as it was told to. */
    void NoteReports(bool programWrite)
    {
        auto writes = hid->Writes();
        for (size_t i = writesSeen_; i < writes.size() && !programWrite; i++)
        {
            if (writesFail_ || !port || writes[i].bytes.size() < 3)
                continue;
            hk::KeyingMapping mapping = Mapping();
            auto down = [](ULONG func, bool inverted) {
                return (func == 1 || func == 2) && inverted ? 1 : 0;
            };
            UCHAR bits = (UCHAR)((down(mapping.pttFunc, mapping.pttInverted) << 1) |
                                 down(mapping.keyFunc, mapping.keyInverted));
            lastTaken_ = writes[i].bytes[2];
            lastTakenDown_ = (UCHAR)(bits ^ 0x03);
            anyTaken_ = true;
        }
        writesSeen_ = writes.size();
    }

    /* No handle is left. The collection answers again and a program opens
       and closes the port, as the next one would: a device that may still
       be keyed hears the lines down then at the latest. */
    void CheckNotLeftKeyed()
    {
        if (!port || !hk::DeviceObjectExists(port) || gone_)
            return;
        hid->SetWriteStatus(STATUS_SUCCESS);
        writesFail_ = false;
        hid->SetWriteAnswer(hk::Answer::AtOnce);
        hk::CapKernelTimeouts(std::chrono::microseconds(0));
        hk::UserFile::Open(hid->Pdo()).reset();
        NoteReports(false);
        if (IdentityVerified() && anyTaken_ && lastTaken_ != lastTakenDown_)
            Fail("the device was left keyed with no handle open");
    }

    /* FlushFileBuffers, and file information queried or set with any class
       and length (the I/O manager refuses lengths below a known class's
       structure before the driver sees them). */
    void FileRequest(Input& in, hk::UserFile& file)
    {
        uint8_t what = in.Byte();
        auto infoClass = (FILE_INFORMATION_CLASS)(in.Byte() % 24);
        switch (what % 3)
        {
        case 0:
            Track(file.StartFlush());
            break;
        case 1:
            Track(file.StartQueryInformation(infoClass, in.Byte() % 48));
            break;
        case 2:
            Track(file.StartSetInformation(infoClass, in.Take(in.Byte() % 16)));
            break;
        }
    }

    void Track(hk::RequestPtr request)
    {
        requests_.push_back(std::move(request));
    }

    /* Once the port is unplugged, every request on a handle is refused at
       once, as a device being deleted answers. */
    void TrackOnHandle(hk::RequestPtr request)
    {
        if (gone_ && (!request->Completed() || request->Status() != STATUS_DELETE_PENDING ||
                      request->Information() != 0))
            Fail("a request on an unplugged port did not fail with STATUS_DELETE_PENDING");
        Track(std::move(request));
    }

    /* What reached the collection other than cleanups and closes. */
    size_t CollectionTraffic()
    {
        return hid->Writes().size() + hid->DeviceControls().size() + hid->Reads();
    }

    /* The keyer is unplugged: its name, SERIALCOMM value and interface go
       at once, unless the fuzzer made their withdrawal fail. */
    void SurpriseRemove()
    {
        hk::WString iface = InterfaceName();
        hk::SendPnp(port, IRP_MN_SURPRISE_REMOVAL);
        gone_ = true;
        trafficWhenGone_ = CollectionTraffic();
        if (!failingCalls_.count(hk::KernelCall::DeleteSymbolicLink) &&
            !hk::SymbolicLinks().empty())
            Fail("a COM link outlived the surprise removal");
        if (!failingCalls_.count(hk::KernelCall::DeleteRegistryValue) &&
            !hk::Values(hk::SerialCommKey).empty())
            Fail("a SERIALCOMM value outlived the surprise removal");
        if (!failingCalls_.count(hk::KernelCall::SetInterfaceState) && hk::InterfaceEnabled(iface))
            Fail("the interface outlived the surprise removal");
    }

    /* The PnP manager removes a device only once no file object on it is
       left: every handle closed and every request on them finished. */
    bool HandlesOpen()
    {
        for (auto& file : files_)
            if (file)
                return true;
        for (auto& request : requests_)
            if (!request->Wait(std::chrono::seconds(5)))
                Fail("a request never completed");
        return false;
    }

    /* Only the requests the PnP manager could send in the present state. */
    void Pnp(uint8_t choice)
    {
        if (!port || !hk::DeviceObjectExists(port))
            return;
        auto send = [&](UCHAR minor) { return hk::SendPnp(port, minor); };
        switch (state_)
        {
        case PnpState::Added:
        case PnpState::Stopped:
            state_ = NT_SUCCESS(send(IRP_MN_START_DEVICE)) ? PnpState::Started
                                                           : PnpState::SurpriseRemoved;
            break;
        case PnpState::Started:
            switch (choice % 4)
            {
            case 0:
                if (NT_SUCCESS(send(IRP_MN_QUERY_STOP_DEVICE)))
                    state_ = PnpState::StopPending;
                break;
            case 1:
                if (NT_SUCCESS(send(IRP_MN_QUERY_REMOVE_DEVICE)))
                    state_ = PnpState::RemovePending;
                break;
            case 2:
                SurpriseRemove();
                state_ = PnpState::SurpriseRemoved;
                break;
            default:
                send(IRP_MN_QUERY_CAPABILITIES);
                break;
            }
            break;
        case PnpState::StopPending:
            if (choice & 1)
            {
                send(IRP_MN_STOP_DEVICE);
                state_ = PnpState::Stopped;
            }
            else
            {
                send(IRP_MN_CANCEL_STOP_DEVICE);
                state_ = PnpState::Started;
            }
            break;
        case PnpState::RemovePending:
            if ((choice & 1) && !HandlesOpen())
                Remove();
            else
            {
                send(IRP_MN_CANCEL_REMOVE_DEVICE);
                state_ = PnpState::Started;
            }
            break;
        case PnpState::SurpriseRemoved:
            if (!HandlesOpen())
                Remove();
            break;
        case PnpState::Removed:
            break;
        }
    }

    /* Deleting a link or value the driver created does not fail on
       Windows; the fuzzer fails such deletions only where the driver can
       still try again, never during the removal itself. */
    void Remove()
    {
        if (gone_ && CollectionTraffic() != trafficWhenGone_)
            Fail("a request reached the collection after the surprise removal");
        hk::ClearCallFailures();
        failingCalls_.clear();
        PortStack::Remove();
        /* Later opens reach the collection alone. */
        gone_ = false;
        state_ = PnpState::Removed;
    }

    void Collection(Input& in)
    {
        uint8_t what = in.Byte();
        NTSTATUS failure = (what & 0x80) ? STATUS_DEVICE_NOT_CONNECTED : STATUS_SUCCESS;
        hk::Answer answer = (what & 0x40) ? hk::Answer::FromThread : hk::Answer::AtOnce;
        switch (what % 6)
        {
        case 0:
            hid->SetCreateStatus(failure);
            hid->SetCreateAnswer(answer);
            break;
        case 1:
            hid->SetManufacturerStatus(failure);
            hid->SetManufacturerAnswer(answer);
            break;
        case 2:
            hid->SetManufacturerBytes(in.Take(in.Byte()));
            break;
        case 3:
            hid->SetManufacturer(what & 1 ? u"QX7LMN/1" : u"QX7LMN/");
            break;
        case 4:
            hid->SetWriteStatus(failure);
            writesFail_ = failure != STATUS_SUCCESS;
            hid->SetWriteAnswer(answer);
            /* The driver's bound on a report or a query, shortened so that
               its cancel races the collection's late answer. */
            hk::CapKernelTimeouts(std::chrono::microseconds((what & 0x20) ? what % 8 * 25 : 0));
            break;
        case 5:
            hid->SetPnpStatus(IRP_MN_START_DEVICE, failure);
            break;
        }
    }

    void Registry(Input& in)
    {
        const char16_t* name = valueNames[in.Byte() % std::size(valueNames)];
        uint8_t how = in.Byte();
        if (how % 4 == 0)
            hk::DeleteValue(key_, name);
        else if (how % 4 == 1)
            hk::SetDword(key_, name, in.Word());
        else if (how % 4 == 2)
            hk::SetString(key_, name, u"COM" + std::u16string(1 + how % 40, u'7'));
        else
            hk::SetValue(key_, name, in.Byte() % 12, in.Take(in.Byte() * 2));
    }

    [[noreturn]] void Fail(const char* what)
    {
        std::fprintf(stderr, "driver fuzzer: %s\n", what);
        std::abort();
    }

    /* What Windows does at the end: programs close their handles, and the
       device is surprise-removed and then removed. */
    void TearDown()
    {
        hk::FailAllocationNumber(0);
        hk::FailAllocationsWithTag(hk::PoolTag("Wdm "), false);
        hk::ClearCallFailures();
        failingCalls_.clear();
        for (auto& file : files_)
            file.reset();
        HandlesOpen();
        NoteReports(false);
        CheckNotLeftKeyed();
        if (port && hk::DeviceObjectExists(port))
        {
            if (state_ == PnpState::StopPending)
            {
                hk::SendPnp(port, IRP_MN_CANCEL_STOP_DEVICE);
                state_ = PnpState::Started;
            }
            if (state_ == PnpState::Started)
                SurpriseRemove();
            Remove();
        }
        for (auto& request : requests_)
            if (!request->Wait(std::chrono::seconds(5)))
                Fail("a request never completed");
        requests_.clear();
        if (hid->SystemControls() < wmiSent_)
            Fail("a WMI request did not reach the HID collection");
        Unload();
        for (const std::string& problem : hk::TakeLeftovers().Problems())
            Fail(problem.c_str());
        hk::ResetBench();
    }

    hk::WString key_;
    PnpState state_ = PnpState::Added;
    std::unique_ptr<hk::UserFile> files_[handleCount];
    std::vector<hk::RequestPtr> requests_;
    /* Kernel calls made to fail since the failures were last cleared. */
    std::set<hk::KernelCall> failingCalls_;
    bool gone_ = false;
    size_t trafficWhenGone_ = 0;
    unsigned wmiSent_ = 0;
    /* The reports the collection took: how many writes were looked at, and
       the state byte of the last one taken with the one both lines down
       give under its mapping. */
    size_t writesSeen_ = 0;
    bool writesFail_ = false;
    bool anyTaken_ = false;
    UCHAR lastTaken_ = 0;
    UCHAR lastTakenDown_ = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Input in(data, size);
    Session session;
    session.Run(in);
    return 0;
}
