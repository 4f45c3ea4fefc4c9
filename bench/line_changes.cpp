/*
 * line_changes <count>: a keying program raises and drops DTR <count> times on
 * one handle of a started port above the simulated Velkor collection, and
 * the collection must have received one report per change, in order. Run
 * under callgrind by callgrind.sh, which prints the instructions per change.
 */
#include <hostkernel/bench.h>
#include <hostkernel/registry.h>
#include <velkor_hid_collection.h>

#include "vkserial.h"

#include <cstdio>
#include <cstdlib>

namespace
{

/* Kept out of line so that callgrind can count from here (--toggle-collect). */
__attribute__((noinline)) bool ChangeLines(hk::UserFile& port, long count)
{
    bool ok = true;
    for (long i = 0; i < count; ++i)
        ok &= port.DeviceControl(i % 2 ? IOCTL_SERIAL_CLR_DTR : IOCTL_SERIAL_SET_DTR) ==
              STATUS_SUCCESS;
    return ok;
}

}  // namespace

int main(int argc, char** argv)
{
    long count = argc > 1 ? std::atol(argv[1]) : 1000;
    hk::ResetBench();
    hk::VelkorHidCollection hid(DO_BUFFERED_IO);
    hk::WString key = hk::DeviceKey(hid.Pdo());
    hk::SetString(key, u"PortName", u"COM5");
    hk::SetDword(key, u"KeyFunc", 1);
    hk::SetDword(key, u"PttFunc", 2);
    hk::SetDword(key, u"KeyLogic", 0);
    hk::SetDword(key, u"PttLogic", 0);

    PDRIVER_OBJECT driver = hk::CreateDriverObject(L"\\Driver\\vkserial");
    UNICODE_STRING path;
    RtlInitUnicodeString(&path, L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\vkserial");
    if (DriverEntry(driver, &path) != STATUS_SUCCESS ||
        hk::CallAddDevice(driver, hid.Pdo()) != STATUS_SUCCESS)
        return 1;
    PDEVICE_OBJECT port = hk::TopOfStack(hid.Pdo());
    if (hk::SendPnp(port, IRP_MN_START_DEVICE) != STATUS_SUCCESS)
        return 1;

    auto file = hk::UserFile::Open(hid.Pdo());
    hid.ClearWrites();
    bool ok = ChangeLines(*file, count);

    // With RTS low: DTR raised gives state 02, dropped 03.
    auto writes = hid.Writes();
    bool inOrder = writes.size() == static_cast<size_t>(count);
    for (size_t i = 0; inOrder && i < writes.size(); ++i)
        inOrder = writes[i].bytes.size() == 9 && writes[i].bytes[2] == (i % 2 ? 0x03 : 0x02);
    file->Close();
    hk::SendPnp(port, IRP_MN_REMOVE_DEVICE);
    hk::DeleteDriverObject(driver);
    if (!ok || !inOrder) {
        std::printf("line_changes: %zu reports for %ld changes, %s\n", writes.size(), count,
                    ok ? "in order?" : "a change failed");
        return 1;
    }
    return 0;
}
