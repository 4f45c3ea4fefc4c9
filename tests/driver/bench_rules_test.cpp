/*
 * The bench refuses what Windows refuses about threads: DOS device names a
 * program's thread creates, and locks held where a suspended thread would
 * block everyone else.
 */
#include <gtest/gtest.h>

#include <hostkernel/bench.h>
#include <hostkernel/registry.h>
#include <velkor_hid_collection.h>

#include <thread>

namespace
{

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

std::vector<WString> LinkNames()
{
    std::vector<WString> names;
    for (auto& link : hk::SymbolicLinks())
        names.push_back(link.first);
    return names;
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

/* Windows before 8 has no NX pool; from 8 on, executable pool is refused. */
TEST_F(BenchRules, PoolTypesFollowTheEmulatedWindowsVersion)
{
    const ULONG tag = hk::PoolTag("Test");
    hk::SetWindowsVersion(5, 1);
    EXPECT_TRUE(IoIsWdmVersionAvailable(1, 0x20));
    EXPECT_FALSE(IoIsWdmVersionAvailable(1, 0x30));
    EXPECT_FALSE(IoIsWdmVersionAvailable(6, 2));
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, 8, tag), nullptr);
    ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 8, tag));
    EXPECT_EQ(hk::TakeViolations(), std::vector<std::string>{"NonPagedPoolNx before Windows 8"});

    hk::SetWindowsVersion(6, 2);
    EXPECT_TRUE(IoIsWdmVersionAvailable(6, 2));
    EXPECT_FALSE(IoIsWdmVersionAvailable(6, 3));
    ExFreePool(ExAllocatePoolWithTag(NonPagedPoolNx, 8, tag));
    ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 8, tag));
    EXPECT_EQ(hk::TakeViolations(),
              std::vector<std::string>{"executable NonPagedPool on Windows 8 or later"});
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
