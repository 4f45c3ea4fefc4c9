/*
 * Four keying programs on their own handles toggle lines, wait, cancel,
 * reload, republish, hand reads and writes to the HID stack and reopen,
 * while Plug and Play stops and starts the port (and WMI asks it) and then
 * surprise-removes it in the middle of their requests, three keyers a
 * second. Built with ThreadSanitizer; prints what it did and fails on any
 * kernel rule broken, any request left pending, anything left allocated,
 * a name still published when the surprise removal returns, and any report
 * or answer other than STATUS_DELETE_PENDING after it.
 */
#include <port_stack.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <thread>

namespace
{

using hk::Word;

struct Counters
{
    std::atomic<unsigned long> requests{0};
    std::atomic<unsigned long> cancels{0};
    std::atomic<unsigned long> reopens{0};
    std::atomic<unsigned long> pnp{0};
    std::atomic<unsigned long> refusedWhenGone{0};
    /* Requests made after the surprise removal had returned that did not
       fail with STATUS_DELETE_PENDING, and opens of the gone port that
       succeeded. */
    std::atomic<unsigned long> answeredWhenGone{0};
};

/* The device went before the request was made: it must be refused. */
void CheckGone(bool goneBefore, NTSTATUS status, Counters& counters)
{
    if (!goneBefore)
        return;
    if (status == STATUS_DELETE_PENDING)
        counters.refusedWhenGone++;
    else
        counters.answeredWhenGone++;
}

void Worker(PDEVICE_OBJECT pdo, unsigned seed, const std::atomic<bool>& stop,
            const std::atomic<bool>& gone, Counters& counters)
{
    std::mt19937 random(seed);
    auto file = hk::UserFile::Open(pdo);
    std::vector<hk::RequestPtr> waits;
    static const ULONG lines[] = {IOCTL_SERIAL_SET_DTR, IOCTL_SERIAL_CLR_DTR, IOCTL_SERIAL_SET_RTS,
                                  IOCTL_SERIAL_CLR_RTS};
    while (!stop)
    {
        bool goneBefore = gone;
        unsigned pick = random() % 12;
        if (!file && pick != 9)
        {
            /* The port went before this program could open it again. */
            std::this_thread::yield();
            continue;
        }
        switch (pick)
        {
        case 0:
        case 1:
        case 2:
        case 3:
            CheckGone(goneBefore, file->DeviceControl(lines[random() % 4]), counters);
            break;
        case 4:
            CheckGone(goneBefore,
                      file->DeviceControl(IOCTL_SERIAL_SET_WAIT_MASK,
                                          Word(SERIAL_EV_CTS | SERIAL_EV_DSR)),
                      counters);
            break;
        case 5: {
            auto wait = file->StartDeviceControl(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
            if (goneBefore)
                CheckGone(true, wait->Completed() ? wait->Status() : STATUS_PENDING, counters);
            waits.push_back(wait);
            break;
        }
        case 6:
            if (!waits.empty())
            {
                waits[random() % waits.size()]->Cancel();
                counters.cancels++;
            }
            break;
        case 7:
            CheckGone(goneBefore, file->DeviceControl(IOCTL_KEYER_RELOAD_SETTINGS), counters);
            break;
        case 8: {
            /* Settings and line queries race the line changes and the
               start that resets the settings. */
            static const ULONG queries[] = {IOCTL_SERIAL_GET_BAUD_RATE, IOCTL_SERIAL_GET_DTRRTS,
                                            IOCTL_SERIAL_GET_HANDFLOW, IOCTL_SERIAL_SET_HANDFLOW,
                                            IOCTL_SERIAL_GET_PROPERTIES};
            CheckGone(goneBefore,
                      file->DeviceControl(queries[random() % 5], hk::Bytes(16, 0x41), 64),
                      counters);
            break;
        }
        case 9: {
            if (file)
                file->Close();
            NTSTATUS status = STATUS_SUCCESS;
            file = hk::UserFile::Open(pdo, &status);
            CheckGone(goneBefore, file ? STATUS_SUCCESS : status, counters);
            counters.reopens++;
            break;
        }
        case 10:
            CheckGone(goneBefore, file->DeviceControl(IOCTL_KEYER_REPUBLISH_PORT), counters);
            break;
        case 11:
            /* This handle alone goes to the HID stack, as a HID program's. */
            CheckGone(
                goneBefore,
                file->DeviceControl(
                    CTL_CODE(FILE_DEVICE_KEYBOARD, 106, METHOD_BUFFERED, FILE_ANY_ACCESS), {}, 12),
                counters);
            /* Not a keying report: one in flight when the unplug comes may
               still reach the collection, as any request passed down may. */
            CheckGone(goneBefore, file->Write(hk::Bytes{0, 0x7E, 3, 0, 0, 0, 0, 0, 0}), counters);
            CheckGone(goneBefore, file->Read(9), counters);
            break;
        }
        counters.requests++;
    }
    if (file)
        file->Close();
    for (auto& wait : waits)
    {
        if (!wait->Wait(std::chrono::seconds(5)))
        {
            std::fprintf(stderr, "a wait never ended\n");
            std::exit(1);
        }
    }
}

struct RoundResult
{
    bool started = false;
    /* Published state left the moment the surprise removal returned. */
    size_t linksWhenGone = 0;
    size_t valuesWhenGone = 0;
    bool interfaceWhenGone = false;
    /* Reports that reached the collection after the surprise removal
       returned. */
    size_t reportsAfterGone = 0;
};

/* The driver's own output reports (00 01 state ...) among the writes. */
size_t KeyingReports(hk::VelkorHidCollection& hid)
{
    size_t count = 0;
    for (const auto& write : hid.Writes())
        count += write.bytes.size() == 9 && write.bytes[0] == 0 && write.bytes[1] == 0x01;
    return count;
}

/*
 * One keyer's life: four programs use its port while Plug and Play stops
 * and starts it; then it is unplugged in the middle of their requests, they
 * go on for a while, close, and the removal follows.
 */
RoundResult RunRound(std::chrono::milliseconds length, unsigned round, Counters& counters)
{
    RoundResult result;
    hk::PortStack stack;
    stack.Build(DO_BUFFERED_IO, false);
    stack.Add();
    auto& hid = stack.hid;
    PDEVICE_OBJECT port = stack.port;
    hk::WString iface = stack.InterfaceName();
    result.started = hk::SendPnp(port, IRP_MN_START_DEVICE) == STATUS_SUCCESS;

    std::atomic<bool> stop{false};
    std::atomic<bool> gone{false};
    std::vector<std::thread> workers;
    if (result.started)
        for (unsigned i = 0; i < 4; i++)
            workers.emplace_back(Worker, hid->Pdo(), 1000 * round + i, std::cref(stop),
                                 std::cref(gone), std::ref(counters));

    auto end = std::chrono::steady_clock::now() + length;
    while (result.started && std::chrono::steady_clock::now() < end)
    {
        hk::SendPnp(port, IRP_MN_QUERY_STOP_DEVICE);
        hk::SendPnp(port, IRP_MN_STOP_DEVICE);
        hk::SendPnp(port, IRP_MN_START_DEVICE);
        hk::SendPnp(port, IRP_MN_QUERY_CAPABILITIES);
        counters.pnp += 4;
        if (!hk::SendIrp(port, IRP_MJ_SYSTEM_CONTROL, 0, STATUS_NOT_SUPPORTED)->Wait())
        {
            std::fprintf(stderr, "a WMI request never completed\n");
            std::exit(1);
        }
    }
    hk::SendPnp(port, IRP_MN_SURPRISE_REMOVAL);
    counters.pnp++;
    size_t reports = KeyingReports(*hid);
    result.linksWhenGone = hk::SymbolicLinks().size();
    result.valuesWhenGone = hk::Values(hk::SerialCommKey).size();
    result.interfaceWhenGone = hk::InterfaceEnabled(iface);
    gone = true;

    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    stop = true;
    for (auto& worker : workers)
        worker.join();
    result.reportsAfterGone = KeyingReports(*hid) - reports;
    stack.Remove();
    counters.pnp++;
    stack.Unload();
    return result;
}

} // namespace

int main(int argc, char** argv)
{
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 3;
    /* Three unplugs a second, each in the middle of the programs' requests. */
    const unsigned rounds = seconds > 0 ? 3 * (unsigned)seconds : 1;
    hk::ResetBench();

    Counters counters;
    unsigned failedStarts = 0, ghosts = 0, lateReports = 0;
    for (unsigned round = 0; round < rounds; round++)
    {
        RoundResult result =
            RunRound(std::chrono::milliseconds(1000 * seconds / rounds), round, counters);
        failedStarts += !result.started;
        ghosts += result.linksWhenGone + result.valuesWhenGone + result.interfaceWhenGone;
        lateReports += result.reportsAfterGone;
    }

    hk::Leftovers left = hk::TakeLeftovers();
    std::printf("stress: 4 handles, %u unplugs, %lu requests (%lu cancels, %lu reopens, "
                "%lu refused once unplugged), %lu PnP requests, %zu rule violations, "
                "%zu blocks and %zu requests left, %zu links left, %u names left at an unplug, "
                "%u reports and %lu answers after an unplug, %u failed starts\n",
                rounds, counters.requests.load(), counters.cancels.load(), counters.reopens.load(),
                counters.refusedWhenGone.load(), counters.pnp.load(), left.violations.size(),
                left.poolBlocks, left.requests, left.links.size(), ghosts, lateReports,
                counters.answeredWhenGone.load(), failedStarts);
    std::vector<std::string> problems = left.Problems();
    for (const auto& problem : problems)
        std::fprintf(stderr, "%s\n", problem.c_str());
    hk::ResetBench();
    return problems.empty() && ghosts == 0 && lateReports == 0 && counters.answeredWhenGone == 0 &&
                   failedStarts == 0
               ? 0
               : 1;
}
