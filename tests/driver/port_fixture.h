/*
 * A vkserial port above a simulated Velkor HID collection, added and
 * started as Plug and Play would, with the bench's rules checked after
 * every test.
 */
#pragma once

#include <gtest/gtest.h>

#include <hostkernel/bench.h>
#include <hostkernel/registry.h>
#include <hostkernel/velkor_hid_collection.h>

#include "vkserial.h"

#include <memory>

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
