#include "port_fixture.h"

void PortTest::SetUp()
{
    hk::ResetBench();
    BuildStack();
    ASSERT_EQ(Start(), STATUS_SUCCESS);
}

void StoreSettings(const hk::WString& key, const hk::WString& portName)
{
    hk::SetString(key, u"PortName", portName);
    hk::SetDword(key, u"KeyFunc", 1);
    hk::SetDword(key, u"PttFunc", 2);
    hk::SetDword(key, u"KeyLogic", 0);
    hk::SetDword(key, u"PttLogic", 0);
}

Keyer::Keyer(PDRIVER_OBJECT driver, const char16_t* instancePath, const hk::WString& portName)
    : hid(DO_BUFFERED_IO, instancePath)
{
    StoreSettings(hk::DeviceKey(hid.Pdo()), portName);
    EXPECT_EQ(hk::CallAddDevice(driver, hid.Pdo()), STATUS_SUCCESS);
    port = hk::TopOfStack(hid.Pdo());
}

void Keyer::Unplug()
{
    EXPECT_EQ(hk::SendPnp(port, IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
    EXPECT_EQ(hk::SendPnp(port, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
}

hk::WString Keyer::StoredName() const
{
    hk::RegistryValue value;
    hk::GetValue(hk::DeviceKey(hid.Pdo()), u"PortName", &value);
    return hk::StringOf(value);
}

hk::WString Keyer::Interface() const
{
    const UNICODE_STRING& name = ((PPORT_EXTENSION)port->DeviceExtension)->InterfaceName;
    return hk::WString((const char16_t*)name.Buffer, name.Length / 2);
}

void PortTest::BuildStack(ULONG ioFlags)
{
    hid = std::make_unique<hk::VelkorHidCollection>(ioFlags);
    StoreSettings(Key(), u"COM5");

    driver = hk::CreateDriverObject(L"\\Driver\\vkserial");
    UNICODE_STRING path;
    RtlInitUnicodeString(&path, L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\vkserial");
    ASSERT_EQ(DriverEntry(driver, &path), STATUS_SUCCESS);
    ASSERT_EQ(hk::CallAddDevice(driver, hid->Pdo()), STATUS_SUCCESS);
    port = hk::TopOfStack(hid->Pdo());
}

NTSTATUS PortTest::Start()
{
    return hk::SendPnp(port, IRP_MN_START_DEVICE);
}

void PortTest::RemovePort()
{
    if (!port)
        return;
    EXPECT_EQ(hk::SendPnp(port, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_FALSE(hk::DeviceObjectExists(port));
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
    EXPECT_EQ(hk::OpenKeyHandles(), 0u);
    EXPECT_TRUE(hk::SymbolicLinks().empty());
    EXPECT_TRUE(hk::Values(hk::SerialCommKey).empty());
    hk::ResetBench();
}

/* As through the COM link: the interface names the collection, and
   requests go to the top of its stack. */
std::unique_ptr<hk::UserFile> PortTest::Open(NTSTATUS* status)
{
    return hk::UserFile::Open(hid->Pdo(), status);
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
