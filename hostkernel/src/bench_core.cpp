/*
 * Rule violations, reset between tests, and small shared helpers.
 */
#include "internal.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

namespace hk
{

namespace
{
std::mutex violationsLock;
std::vector<std::string> violations;
std::atomic<ULONG> windowsVersion{0x0A00};
} // namespace

void SetWindowsVersion(ULONG major, ULONG minor)
{
    windowsVersion = major << 8 | minor;
}

bool WindowsAtLeast(ULONG major, ULONG minor)
{
    return windowsVersion >= (major << 8 | minor);
}

std::mutex& BenchLock()
{
    static std::mutex lock;
    return lock;
}

void ReportViolation(const std::string& text)
{
    std::lock_guard<std::mutex> guard(violationsLock);
    std::fprintf(stderr, "kernel rule violated: %s\n", text.c_str());
    violations.push_back(text);
    /* For a debugger or a sanitizer's stack trace at the breach itself. */
    if (std::getenv("HK_ABORT_ON_VIOLATION"))
        std::abort();
}

std::vector<std::string> TakeViolations()
{
    std::lock_guard<std::mutex> guard(violationsLock);
    std::vector<std::string> taken;
    taken.swap(violations);
    return taken;
}

void ResetBench()
{
    TakeViolations();
    SetWindowsVersion(10, 0);
    ResetPool();
    ResetIrps();
    ResetDevices();
    ResetFiles();
    ResetRemoveLocks();
    ResetRegistry();
    ResetObjectNames();
    ResetThreadChecks();
    CapKernelTimeouts(std::chrono::microseconds(0));
}

/*
 * Freed kernel objects are kept, filled and (under ASan) poisoned, so that a
 * driver touching them afterwards is reported instead of corrupting a reused
 * block, and a stale pointer never matches a new object.
 */
void QuarantineMemory(void* p, size_t bytes)
{
    std::memset(p, 0xDD, bytes);
#if defined(__SANITIZE_ADDRESS__)
    ASAN_POISON_MEMORY_REGION(p, bytes);
#endif
}

Bytes Word(ULONG value)
{
    Bytes bytes(4);
    std::memcpy(bytes.data(), &value, 4);
    return bytes;
}

ULONG WordAt(const Bytes& bytes, size_t offset)
{
    ULONG value = 0;
    if (bytes.size() >= offset + 4)
        std::memcpy(&value, bytes.data() + offset, 4);
    return value;
}

} // namespace hk

extern "C" size_t HkWcslen(const wchar_t* String) noexcept
{
    size_t length = 0;
    while (String[length])
        length++;
    return length;
}

/* WDM 1.x numbers the systems before Vista (1.10 Windows 2000, 1.20 XP, 1.30
   Server 2003); from 6.0 on the WDM version follows the NT version. */
extern "C" BOOLEAN IoIsWdmVersionAvailable(UCHAR MajorVersion, UCHAR MinorVersion)
{
    if (MajorVersion == 1 && MinorVersion >= 0x10)
        return hk::WindowsAtLeast(5, MinorVersion / 0x10 - 1);
    if (MajorVersion == 1)
        return TRUE; /* Windows 98 and Me, older than any NT system */
    return hk::WindowsAtLeast(MajorVersion, MinorVersion);
}

extern "C" void HkCheckPagedCode(void)
{
    if (KeGetCurrentIrql() > APC_LEVEL)
        hk::ReportViolation("pageable code entered above APC_LEVEL");
}
