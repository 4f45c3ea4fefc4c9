#include "port_fixture.h"

void PortTest::SetUp()
{
    hk::ResetBench();
    BuildStack();
    ASSERT_EQ(Start(), STATUS_SUCCESS);
}

Keyer::Keyer(PDRIVER_OBJECT driver, const char16_t* instancePath, const hk::WString& portName)
    : hid(DO_BUFFERED_IO, instancePath)
{
    hk::StoreSettings(hk::DeviceKey(hid.Pdo()), portName);
    NTSTATUS status;
    port = hk::AddPort(driver, hid, &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
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

void PortTest::BuildStack(ULONG ioFlags)
{
    ASSERT_EQ(Build(ioFlags), STATUS_SUCCESS);
    ASSERT_EQ(Add(), STATUS_SUCCESS);
}

void PortTest::RemovePort()
{
    if (!port)
        return;
    EXPECT_EQ(Remove(), STATUS_SUCCESS);
}

void PortTest::TearDown()
{
    RemovePort();
    Unload();
    EXPECT_EQ(hk::TakeLeftovers().Problems(), std::vector<std::string>());
    hk::ResetBench();
}

/* As through the COM link: the interface names the collection, and
   requests go to the top of its stack. */
std::unique_ptr<hk::UserFile> PortTest::Open(NTSTATUS* status)
{
    return hk::UserFile::Open(hid->Pdo(), status);
}

std::vector<UCHAR> PortTest::States()
{
    std::vector<UCHAR> states;
    for (auto& write : hid->Writes())
        states.push_back(write.bytes.size() > 2 ? write.bytes[2] : 0xEE);
    return states;
}
