/*
 * A vkserial port above a simulated Velkor HID collection, added and
 * started as Plug and Play would, with the bench's rules checked after
 * every test.
 */
#pragma once

#include <gtest/gtest.h>

#include <hostkernel/bench.h>
#include <hostkernel/registry.h>
#include <velkor_hid_collection.h>

#include "vkserial.h"

#include <memory>

/* The five values the installer writes into a device's hardware key. */
void StoreSettings(const hk::WString& key, const hk::WString& portName);

/* Another keyer on the same driver, with its own collection, added as
   Plug and Play adds it. */
struct Keyer
{
    Keyer(PDRIVER_OBJECT driver, const char16_t* instancePath, const hk::WString& portName);
    NTSTATUS Start()
    {
        return hk::SendPnp(port, IRP_MN_START_DEVICE);
    }
    /* Unplugged: surprise removal, then removal. */
    void Unplug();
    /* Its stored PortName, and its interface's name. */
    hk::WString StoredName() const;
    hk::WString Interface() const;

    hk::VelkorHidCollection hid;
    PDEVICE_OBJECT port = nullptr;
};

class PortTest : public ::testing::Test
{
  protected:
    void SetUp() override;
    void TearDown() override;

    /* Creates the collection (with the given I/O method) with all five
       values in its key, loads the driver and adds the port. */
    void BuildStack(ULONG ioFlags = DO_BUFFERED_IO);
    NTSTATUS Start();
    /* IRP_MN_REMOVE_DEVICE: the port detaches and goes away. */
    void RemovePort();

    std::unique_ptr<hk::UserFile> Open(NTSTATUS* status = nullptr);
    /* Sets the mapping in the running port directly. */
    void SetMapping(ULONG keyFunc, ULONG pttFunc, bool keyInverted, bool pttInverted);
    /* The state byte of every report the collection received, in order. */
    std::vector<UCHAR> States();

    hk::WString Key() const
    {
        return hk::DeviceKey(hid->Pdo());
    }
    PPORT_EXTENSION Ext() const
    {
        return (PPORT_EXTENSION)port->DeviceExtension;
    }
    hk::WString InterfaceName() const
    {
        return hk::WString((const char16_t*)Ext()->InterfaceName.Buffer,
                           Ext()->InterfaceName.Length / 2);
    }

    std::unique_ptr<hk::VelkorHidCollection> hid;
    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT port = nullptr;
};

/* The started port with one handle open on it, as a keying program has. */
class OpenPortTest : public PortTest
{
  protected:
    void SetUp() override
    {
        PortTest::SetUp();
        file = Open();
        ASSERT_TRUE(file);
    }
    void TearDown() override
    {
        file.reset();
        PortTest::TearDown();
    }
    std::unique_ptr<hk::UserFile> file;
};
