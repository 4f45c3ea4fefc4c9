/*
 * line_changes <count>: a keying program raises and drops DTR <count> times on
 * one handle of a started port above the simulated Velkor collection, and
 * the collection must have received one report per change, in order. Run
 * under callgrind by callgrind.sh, which prints the instructions per change.
 */
#include <port_stack.h>

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

} // namespace

int main(int argc, char** argv)
{
    long count = argc > 1 ? std::atol(argv[1]) : 1000;
    hk::ResetBench();
    hk::PortStack stack;
    if (stack.Build() != STATUS_SUCCESS || stack.Add() != STATUS_SUCCESS ||
        stack.Start() != STATUS_SUCCESS)
        return 1;
    hk::VelkorHidCollection& hid = *stack.hid;

    auto file = hk::UserFile::Open(hid.Pdo());
    hid.ClearWrites();
    bool ok = ChangeLines(*file, count);

    // With RTS low: DTR raised gives state 02, dropped 03.
    auto writes = hid.Writes();
    bool inOrder = writes.size() == static_cast<size_t>(count);
    for (size_t i = 0; inOrder && i < writes.size(); ++i)
        inOrder = writes[i].bytes.size() == 9 && writes[i].bytes[2] == (i % 2 ? 0x03 : 0x02);
    file->Close();
    stack.Remove();
    stack.Unload();
    if (!ok || !inOrder)
    {
        std::printf("line_changes: %zu reports for %ld changes, %s\n", writes.size(), count,
                    ok ? "in order?" : "a change failed");
        return 1;
    }
    std::vector<std::string> problems = hk::TakeLeftovers().Problems();
    for (const std::string& problem : problems)
        std::printf("line_changes: %s\n", problem.c_str());
    return problems.empty() ? 0 : 1;
}
