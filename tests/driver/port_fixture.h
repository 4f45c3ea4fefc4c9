/*
 * A vkserial port above a simulated Velkor HID collection, set up as
 * Plug and Play would, with the bench's rules checked after every test.
 */
#pragma once

#include <gtest/gtest.h>

#include <hostkernel/bench.h>
#include <hostkernel/velkor_hid_collection.h>

#include "vkserial.h"

#include <memory>

class PortTest : public ::testing::Test
{
  protected:
    void SetUp() override;
    void TearDown() override;

    /* Creates the collection (with the given I/O method) and the port. */
    void BuildStack(ULONG ioFlags = DO_BUFFERED_IO);
    /* What a removal leaves: the port detached and deleted. */
    void RemovePort();

    std::unique_ptr<hk::UserFile> Open(NTSTATUS* status = nullptr);
    void SetMapping(ULONG keyFunc, ULONG pttFunc, bool keyInverted, bool pttInverted);
    /* The state byte of every report the collection received, in order. */
    std::vector<UCHAR> States();

    PPORT_EXTENSION Ext() const
    {
        return (PPORT_EXTENSION)port->DeviceExtension;
    }

    std::unique_ptr<hk::VelkorHidCollection> hid;
    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT port = nullptr;
};
