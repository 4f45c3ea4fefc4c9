/*
 * Rule violations, reset between tests, and small shared helpers.
 */
#include "internal.h"

#include <hostkernel/registry.h>

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
std::atomic<ULONG> windowsBuild{19045};

/* The build each version last shipped as; Windows 10 22H2 for the rest. */
ULONG DefaultBuild(ULONG major, ULONG minor)
{
    static const ULONG builds[][2] = {{0x0500, 2195}, {0x0501, 2600}, {0x0502, 3790},
                                      {0x0600, 6002}, {0x0601, 7601}, {0x0602, 9200},
                                      {0x0603, 9600}};
    for (auto& entry : builds)
        if (entry[0] == (major << 8 | minor))
            return entry[1];
    return 19045;
}
} // namespace

void SetWindowsVersion(ULONG major, ULONG minor, ULONG build)
{
    windowsVersion = major << 8 | minor;
    windowsBuild = build ? build : DefaultBuild(major, minor);
}

ULONG EmulatedVersion()
{
    return windowsVersion;
}

ULONG EmulatedBuild()
{
    return windowsBuild;
}

bool WindowsAtLeast(ULONG major, ULONG minor, ULONG build)
{
    ULONG version = windowsVersion;
    if (version != (major << 8 | minor))
        return version > (major << 8 | minor);
    return windowsBuild >= build;
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

/* The WDM version as Windows keeps it: 1.10 Windows 2000, 1.20 XP, 1.30
   Server 2003, and 6.00 from Vista on, Windows 7 and later included (the
   kernel's WDM number did not move after Vista). */
extern "C" BOOLEAN IoIsWdmVersionAvailable(UCHAR MajorVersion, UCHAR MinorVersion)
{
    ULONG wdm = hk::WindowsAtLeast(6, 0)   ? 0x0600
                : hk::WindowsAtLeast(5, 2) ? 0x0130
                : hk::WindowsAtLeast(5, 1) ? 0x0120
                                           : 0x0110;
    return (BOOLEAN)(((ULONG)MajorVersion << 8 | MinorVersion) <= wdm);
}

extern "C" NTSTATUS RtlGetVersion(PRTL_OSVERSIONINFOW lpVersionInformation)
{
    ULONG size = lpVersionInformation->dwOSVersionInfoSize;
    if (size != sizeof(RTL_OSVERSIONINFOW))
    {
        /* RTL_OSVERSIONINFOEXW is longer; the bench answers the short form. */
        hk::ReportViolation("RtlGetVersion without the size of RTL_OSVERSIONINFOW");
        return STATUS_INVALID_PARAMETER;
    }
    ULONG version = hk::EmulatedVersion();
    RtlZeroMemory(lpVersionInformation, size);
    lpVersionInformation->dwOSVersionInfoSize = size;
    lpVersionInformation->dwMajorVersion = version >> 8;
    lpVersionInformation->dwMinorVersion = version & 0xFF;
    lpVersionInformation->dwBuildNumber = hk::EmulatedBuild();
    lpVersionInformation->dwPlatformId = 2; /* VER_PLATFORM_WIN32_NT */
    return STATUS_SUCCESS;
}

/* Routines a driver finds at run time, present from the Windows that
   brought them. */
extern "C" PVOID MmGetSystemRoutineAddress(PUNICODE_STRING SystemRoutineName)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        hk::ReportViolation("MmGetSystemRoutineAddress above PASSIVE_LEVEL");
    hk::WString name((const char16_t*)SystemRoutineName->Buffer,
                     SystemRoutineName->Length / sizeof(WCHAR));
    /* Windows 10 1803, build 17134. */
    if (name == u"IoOpenDriverRegistryKey" && hk::WindowsAtLeast(10, 0, 17134))
        return (PVOID)&IoOpenDriverRegistryKey;
    return NULL;
}

extern "C" void HkCheckPagedCode(void)
{
    if (KeGetCurrentIrql() > APC_LEVEL)
        hk::ReportViolation("pageable code entered above APC_LEVEL");
}
