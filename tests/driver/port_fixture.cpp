#include "port_fixture.h"

void PortTest::SetUp()
{
    hk::ResetBench();
    BuildStack();
}

void PortTest::BuildStack(ULONG ioFlags)
{
    hid = std::make_unique<hk::VelkorHidCollection>(ioFlags);
    driver = hk::CreateDriverObject(L"\\Driver\\vkserial");
    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_READ, IRP_MJ_WRITE,
                        IRP_MJ_DEVICE_CONTROL, IRP_MJ_CLEANUP, IRP_MJ_SYSTEM_CONTROL})
        driver->MajorFunction[major] = DispatchGeneral;

    ASSERT_EQ(IoCreateDevice(driver, sizeof(PORT_EXTENSION), NULL, FILE_DEVICE_SERIAL_PORT, 0,
                             FALSE, &port),
              STATUS_SUCCESS);
    PPORT_EXTENSION ext = Ext();
    RtlZeroMemory(ext, sizeof(*ext));
    ext->LowerDevice = IoAttachDeviceToDeviceStack(port, hid->Pdo());
    ext->PhysicalDevice = hid->Pdo();
    port->Flags = ext->LowerDevice->Flags | DO_DIRECT_IO;
    IoInitializeRemoveLock(&ext->RemoveLock, VK_REMOVE_LOCK_TAG, 1, 100);
    InitializeOpenTracking(ext);

    /* The values a start leaves. */
    ext->KeyLogic = TRUE;
    ext->PttLogic = TRUE;
    ext->BaudRate = VK_DEFAULT_BAUD_RATE;
}

void PortTest::RemovePort()
{
    if (!port)
        return;
    PPORT_EXTENSION ext = Ext();
    CompletePendingWait(ext);
    ASSERT_EQ(IoAcquireRemoveLock(&ext->RemoveLock, port), STATUS_SUCCESS);
    IoReleaseRemoveLockAndWait(&ext->RemoveLock, port);
    ForgetAllOpens(ext);
    IoDetachDevice(ext->LowerDevice);
    IoDeleteDevice(port);
    port = nullptr;
}

void PortTest::TearDown()
{
    RemovePort();
    hid.reset();
    if (driver)
        hk::DeleteDriverObject(driver);
    EXPECT_EQ(hk::TakeViolations(), std::vector<std::string>());
    EXPECT_EQ(hk::OutstandingAllocations(), 0u);
    EXPECT_EQ(hk::LiveIrpCount(), 0u);
    hk::ResetBench();
}

std::unique_ptr<hk::UserFile> PortTest::Open(NTSTATUS* status)
{
    return hk::UserFile::Open(port, status);
}

void PortTest::SetMapping(ULONG keyFunc, ULONG pttFunc, bool keyInverted, bool pttInverted)
{
    Ext()->KeyFunc = keyFunc;
    Ext()->PttFunc = pttFunc;
    Ext()->KeyLogic = keyInverted;
    Ext()->PttLogic = pttInverted;
}

std::vector<UCHAR> PortTest::States()
{
    std::vector<UCHAR> states;
    for (auto& write : hid->Writes())
        states.push_back(write.bytes.size() > 2 ? write.bytes[2] : 0xEE);
    return states;
}
