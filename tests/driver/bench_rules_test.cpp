/*
 * The bench refuses what Windows refuses about threads: DOS device names a
 * program's thread creates, and locks held where a suspended thread would
 * block everyone else.
 */
#include <gtest/gtest.h>

#include <port_stack.h>

#include <thread>

namespace
{

using hk::LinkNames;
using hk::WString;

NTSTATUS CreateLink(const wchar_t* name)
{
    UNICODE_STRING link, target;
    RtlInitUnicodeString(&link, name);
    RtlInitUnicodeString(&target, L"\\Device\\Stand-in");
    return IoCreateSymbolicLink(&link, &target);
}

NTSTATUS DeleteLink(const wchar_t* name)
{
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, name);
    return IoDeleteSymbolicLink(&link);
}

class BenchRules : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        hk::ResetBench();
    }
    void TearDown() override
    {
        hk::ResetBench();
    }
};

TEST_F(BenchRules, LinkAProgramThreadCreatesWithoutGlobalStaysInItsLogonSession)
{
    {
        hk::ProgramThreadScope program;
        EXPECT_EQ(CreateLink(L"\\DosDevices\\COM77"), STATUS_SUCCESS);
        EXPECT_EQ(CreateLink(L"\\DosDevices\\Global\\COM78"), STATUS_SUCCESS);
    }
    EXPECT_EQ(LinkNames(),
              (std::vector<WString>{u"\\GLOBAL??\\COM78",
                                    u"\\SESSIONS\\0\\DOSDEVICES\\00000000-0001A2B3\\COM77"}));

    /* A system thread sees only the global directory. */
    EXPECT_EQ(DeleteLink(L"\\DosDevices\\COM77"), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(DeleteLink(L"\\DosDevices\\COM78"), STATUS_SUCCESS);
    EXPECT_EQ(CreateLink(L"\\??\\COM79"), STATUS_SUCCESS);

    /* The session's own name comes first for its programs, then the global one. */
    hk::ProgramThreadScope program;
    EXPECT_EQ(DeleteLink(L"\\DosDevices\\COM77"), STATUS_SUCCESS);
    EXPECT_EQ(DeleteLink(L"\\DosDevices\\COM79"), STATUS_SUCCESS);
    EXPECT_TRUE(hk::SymbolicLinks().empty());
    EXPECT_EQ(CreateLink(L"\\DosDevices\\Global\\COM1\\X"), STATUS_OBJECT_NAME_INVALID);
    EXPECT_TRUE(hk::TakeViolations().empty());
}

TEST_F(BenchRules, FastMutexAtPassiveLevelNeedsACriticalRegion)
{
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);

    KeEnterCriticalRegion();
    ExAcquireFastMutexUnsafe(&mutex);
    EXPECT_TRUE(KeAreApcsDisabled());
    ExReleaseFastMutexUnsafe(&mutex);
    KeLeaveCriticalRegion();
    EXPECT_FALSE(KeAreApcsDisabled());
    EXPECT_TRUE(hk::TakeViolations().empty());

    ExAcquireFastMutexUnsafe(&mutex);
    KeEnterCriticalRegion();
    ExReleaseFastMutexUnsafe(&mutex);
    KeLeaveCriticalRegion();
    EXPECT_EQ(hk::TakeViolations().size(), 1u);

    /* Released by a thread that never took it. */
    KeEnterCriticalRegion();
    ExAcquireFastMutexUnsafe(&mutex);
    std::thread other([&] {
        KeEnterCriticalRegion();
        ExReleaseFastMutexUnsafe(&mutex);
        KeLeaveCriticalRegion();
    });
    other.join();
    ExReleaseFastMutexUnsafe(&mutex);
    KeLeaveCriticalRegion();
    EXPECT_EQ(hk::TakeViolations(),
              std::vector<std::string>{"fast mutex released by a thread that does not hold it"});
}

TEST_F(BenchRules, EventUsedAsALockInAProgramThreadNeedsACriticalRegion)
{
    KEVENT lock;
    KeInitializeEvent(&lock, SynchronizationEvent, TRUE);
    auto holdOnce = [&] {
        KeWaitForSingleObject(&lock, Executive, KernelMode, FALSE, NULL);
        KeSetEvent(&lock, IO_NO_INCREMENT, FALSE);
    };

    /* A system thread cannot be suspended by a program. */
    holdOnce();
    {
        hk::ProgramThreadScope program;
        KeEnterCriticalRegion();
        holdOnce();
        KeLeaveCriticalRegion();
    }
    EXPECT_TRUE(hk::TakeViolations().empty());
    {
        hk::ProgramThreadScope program;
        holdOnce();
    }
    EXPECT_EQ(hk::TakeViolations().size(), 1u);

    /* A completion event, set by another thread for its waiter, is no lock. */
    KEVENT done;
    KeInitializeEvent(&done, SynchronizationEvent, FALSE);
    hk::ProgramThreadScope program;
    std::thread completer([&] { KeSetEvent(&done, IO_NO_INCREMENT, FALSE); });
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    completer.join();
    EXPECT_TRUE(hk::TakeViolations().empty());
}

TEST_F(BenchRules, ProgramRequestMustReturnWithItsCriticalRegionsLeft)
{
    {
        hk::ProgramThreadScope program;
        KeEnterCriticalRegion();
    }
    KeLeaveCriticalRegion();
    KeLeaveCriticalRegion();
    EXPECT_EQ(hk::TakeViolations(),
              (std::vector<std::string>{
                  "a program's request returns with a critical region entered or left "
                  "unbalanced (APC_INDEX_MISMATCH)",
                  "KeLeaveCriticalRegion without KeEnterCriticalRegion"}));
}

/* Windows before 8 has no NX pool; from 8 on, executable pool is refused.
   The WDM number stays 6.00 from Vista on; RtlGetVersion tells the truth. */
TEST_F(BenchRules, PoolTypesAndVersionAnswersFollowTheEmulatedWindows)
{
    const ULONG tag = hk::PoolTag("Test");
    RTL_OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof(version);
    hk::SetWindowsVersion(6, 1);
    EXPECT_TRUE(IoIsWdmVersionAvailable(1, 0x30));
    EXPECT_TRUE(IoIsWdmVersionAvailable(6, 0));
    EXPECT_FALSE(IoIsWdmVersionAvailable(6, 1));
    ASSERT_EQ(RtlGetVersion(&version), STATUS_SUCCESS);
    EXPECT_EQ(version.dwMajorVersion * 100 + version.dwMinorVersion, 601u);
    EXPECT_EQ(version.dwBuildNumber, 7601u);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, 8, tag), nullptr);
    ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 8, tag));
    EXPECT_EQ(hk::TakeViolations(), std::vector<std::string>{"NonPagedPoolNx before Windows 8"});

    hk::SetWindowsVersion(10, 0);
    EXPECT_FALSE(IoIsWdmVersionAvailable(6, 2));
    ASSERT_EQ(RtlGetVersion(&version), STATUS_SUCCESS);
    EXPECT_EQ(version.dwMajorVersion * 100 + version.dwMinorVersion, 1000u);
    ExFreePool(ExAllocatePoolWithTag(NonPagedPoolNx, 8, tag));
    ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 8, tag));
    EXPECT_EQ(hk::TakeViolations(),
              std::vector<std::string>{"executable NonPagedPool on Windows 8 or later"});
}

/* The I/O manager finishes a request a driver built for itself by an APC
   to the building thread: a completion on another thread leaves the status
   block alone until that thread can take the APC, which a thread in a
   guarded region (or at APC_LEVEL) cannot. */
TEST_F(BenchRules, BuiltRequestsFinishInTheirOwnThreadWhichMustBeAbleToTakeTheApc)
{
    hk::VelkorHidCollection hid;
    hid.SetWriteAnswer(hk::Answer::Held);
    UCHAR report[9] = {};
    LARGE_INTEGER offset = {};
    KEVENT event;
    IO_STATUS_BLOCK status;
    status.Status = (NTSTATUS)0x12345678;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    auto open = hk::UserFile::Open(hid.Pdo());
    ASSERT_TRUE(open);
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_WRITE, hid.Pdo(), report, sizeof(report),
                                            &offset, &event, &status);
    IoGetNextIrpStackLocation(irp)->FileObject = open->FileObject();
    ASSERT_EQ(IoCallDriver(hid.Pdo(), irp), STATUS_PENDING);
    std::thread([&hid] { hid.ReleaseHeld(); }).join();
    EXPECT_EQ(status.Status, (NTSTATUS)0x12345678) << "finished in the completing thread";
    EXPECT_EQ(hk::LiveIrpCount(), 1u);

    KeEnterGuardedRegion();
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL), STATUS_SUCCESS);
    KeLeaveGuardedRegion();
    EXPECT_EQ(status.Status, STATUS_SUCCESS);
    EXPECT_EQ(hk::LiveIrpCount(), 0u);
    EXPECT_EQ(hk::TakeViolations(),
              std::vector<std::string>{
                  "a wait at APC_LEVEL or in a guarded region for a built request's event: the "
                  "I/O manager's completion APC cannot reach the thread"});
}

/* AddDevice as it is often written: the whole flags word from below, plus
   direct I/O. */
TEST_F(BenchRules, FunctionDeviceWithThePdosFlagsOrAnotherIoMethodIsRefused)
{
    hk::VelkorHidCollection hid;
    PDRIVER_OBJECT driver = hk::CreateDriverObject(L"\\Driver\\Copier");
    driver->DriverExtension->AddDevice = [](PDRIVER_OBJECT Driver, PDEVICE_OBJECT Pdo) {
        PDEVICE_OBJECT device;
        IoCreateDevice(Driver, 0, NULL, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &device);
        device->Flags = IoAttachDeviceToDeviceStack(device, Pdo)->Flags | DO_DIRECT_IO;
        return STATUS_SUCCESS;
    };
    hk::CallAddDevice(driver, hid.Pdo());
    EXPECT_EQ(hk::TakeViolations(),
              (std::vector<std::string>{
                  "AddDevice's device object carries the PDO's flags",
                  "AddDevice's device object uses another I/O method than the one below"}));
    PDEVICE_OBJECT fdo = hk::TopOfStack(hid.Pdo());
    IoDetachDevice(hid.Pdo());
    IoDeleteDevice(fdo);
    hk::DeleteDriverObject(driver);
}

} // namespace
