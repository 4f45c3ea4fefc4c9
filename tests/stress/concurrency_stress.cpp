/*
 * Four keying programs on their own handles toggle lines, wait, cancel,
 * reload, republish, hand reads and writes to the HID stack and reopen,
 * while Plug and Play stops and starts the port (and WMI asks it) and
 * finally surprise-removes it. Built with ThreadSanitizer; prints what it
 * did and fails on any kernel rule broken, any request left pending and
 * anything left allocated.
 */
#include <hostkernel/bench.h>
#include <hostkernel/registry.h>
#include <hostkernel/velkor_hid_collection.h>

#include "vkserial.h"

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
};

void Worker(PDEVICE_OBJECT pdo, unsigned seed, std::atomic<bool>& stop, Counters& counters)
{
    std::mt19937 random(seed);
    auto file = hk::UserFile::Open(pdo);
    std::vector<hk::RequestPtr> waits;
    static const ULONG lines[] = {IOCTL_SERIAL_SET_DTR, IOCTL_SERIAL_CLR_DTR, IOCTL_SERIAL_SET_RTS,
                                  IOCTL_SERIAL_CLR_RTS};
    while (!stop)
    {
        switch (random() % 12)
        {
        case 0:
        case 1:
        case 2:
        case 3:
            file->DeviceControl(lines[random() % 4]);
            break;
        case 4:
            file->DeviceControl(IOCTL_SERIAL_SET_WAIT_MASK, Word(SERIAL_EV_CTS | SERIAL_EV_DSR));
            break;
        case 5:
            waits.push_back(file->StartDeviceControl(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4));
            break;
        case 6:
            if (!waits.empty())
            {
                waits[random() % waits.size()]->Cancel();
                counters.cancels++;
            }
            break;
        case 7:
            file->DeviceControl(IOCTL_KEYER_RELOAD_SETTINGS);
            break;
        case 8:
            file->DeviceControl(IOCTL_SERIAL_GET_BAUD_RATE, {}, 4);
            break;
        case 9:
            file->Close();
            file = hk::UserFile::Open(pdo);
            counters.reopens++;
            break;
        case 10:
            file->DeviceControl(IOCTL_KEYER_REPUBLISH_PORT);
            break;
        case 11:
            /* This handle alone goes to the HID stack, as a HID program's. */
            file->DeviceControl(CTL_CODE(FILE_DEVICE_KEYBOARD, 106, METHOD_BUFFERED,
                                         FILE_ANY_ACCESS),
                                {}, 12);
            file->Write(hk::Bytes{0, 1, 3, 0, 0, 0, 0, 0, 0});
            file->Read(9);
            break;
        }
        counters.requests++;
    }
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

} // namespace

int main(int argc, char** argv)
{
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 3;
    hk::ResetBench();
    auto hid = std::make_unique<hk::VelkorHidCollection>();
    hk::WString key = hk::DeviceKey(hid->Pdo());
    hk::SetString(key, u"PortName", u"COM5");
    hk::SetDword(key, u"KeyFunc", 1);
    hk::SetDword(key, u"PttFunc", 2);
    hk::SetDword(key, u"KeyLogic", 0);
    hk::SetDword(key, u"PttLogic", 0);
    PDRIVER_OBJECT driver = hk::CreateDriverObject(L"\\Driver\\vkserial");
    DriverEntry(driver, nullptr);
    hk::CallAddDevice(driver, hid->Pdo());
    PDEVICE_OBJECT port = hk::TopOfStack(hid->Pdo());
    if (hk::SendPnp(port, IRP_MN_START_DEVICE) != STATUS_SUCCESS)
        return std::fprintf(stderr, "start failed\n"), 1;

    Counters counters;
    std::atomic<bool> stop{false};
    std::vector<std::thread> workers;
    for (unsigned i = 0; i < 4; i++)
        workers.emplace_back(Worker, hid->Pdo(), 1000 + i, std::ref(stop), std::ref(counters));

    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end)
    {
        hk::SendPnp(port, IRP_MN_QUERY_STOP_DEVICE);
        hk::SendPnp(port, IRP_MN_STOP_DEVICE);
        hk::SendPnp(port, IRP_MN_START_DEVICE);
        hk::SendPnp(port, IRP_MN_QUERY_CAPABILITIES);
        counters.pnp += 4;
        if (!hk::SendIrp(port, IRP_MJ_SYSTEM_CONTROL, 0, STATUS_NOT_SUPPORTED)->Wait())
            return std::fprintf(stderr, "a WMI request never completed\n"), 1;
    }
    hk::SendPnp(port, IRP_MN_SURPRISE_REMOVAL);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    stop = true;
    for (auto& worker : workers)
        worker.join();
    hk::SendPnp(port, IRP_MN_REMOVE_DEVICE);
    hid.reset();
    hk::DeleteDriverObject(driver);

    auto violations = hk::TakeViolations();
    size_t pool = hk::OutstandingAllocations();
    size_t irps = hk::LiveIrpCount();
    size_t links = hk::SymbolicLinks().size();
    std::printf("stress: 4 handles, %lu requests (%lu cancels, %lu reopens), %lu PnP requests, "
                "%zu rule violations, %zu blocks and %zu requests left, %zu links left\n",
                counters.requests.load(), counters.cancels.load(), counters.reopens.load(),
                counters.pnp.load(), violations.size(), pool, irps, links);
    hk::ResetBench();
    return violations.empty() && pool == 0 && irps == 0 && links == 0 ? 0 : 1;
}
