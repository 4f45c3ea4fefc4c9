/*
 * A vkserial port above a simulated Velkor HID collection, added and
 * started as Plug and Play would, with the bench's rules checked after
 * every test.
 */
#pragma once

#include <gtest/gtest.h>

#include <port_stack.h>

#include <memory>

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
    hk::WString Interface() const
    {
        return hk::InterfaceNameOf(port);
    }

    hk::VelkorHidCollection hid;
    PDEVICE_OBJECT port = nullptr;
};

class PortTest : public ::testing::Test, protected hk::PortStack
{
  protected:
    void SetUp() override;
    void TearDown() override;

    /* Creates the collection (with the given I/O method) with all five
       values in its key, loads the driver and adds the port. */
    void BuildStack(ULONG ioFlags = DO_BUFFERED_IO);
    /* IRP_MN_REMOVE_DEVICE: the port detaches and goes away. */
    void RemovePort();

    std::unique_ptr<hk::UserFile> Open(NTSTATUS* status = nullptr);
    /* The state byte of every report the collection received, in order. */
    std::vector<UCHAR> States();
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
