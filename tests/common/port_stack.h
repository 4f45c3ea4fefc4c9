/*
 * A vkserial port above a simulated Velkor collection, brought up as
 * Windows brings it up (the installer's values in the device's key, the
 * driver loaded, AddDevice), what tests ask of the port by what it means,
 * and the check that a port's life left nothing behind.
 */
#pragma once

#include <hostkernel/bench.h>
#include <hostkernel/registry.h>
#include <velkor_hid_collection.h>

#include "vkserial.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace hk
{

/* The five values the installer writes into a device's hardware key. */
void StoreSettings(const WString& key, const WString& portName = u"COM5");

/* A driver object for vkserial and its DriverEntry, with the service key
   the loader passes (or none: the driver keeps no record of the names it
   gave). */
PDRIVER_OBJECT LoadPortDriver(NTSTATUS* status = nullptr, bool serviceKey = true);

/* AddDevice for the collection, as Plug and Play calls it; the port on top
   of the collection afterwards, or null when none was added. */
PDEVICE_OBJECT AddPort(PDRIVER_OBJECT driver, VelkorHidCollection& hid, NTSTATUS* status = nullptr);

/* The name of every DOS device link, in order. */
std::vector<WString> LinkNames();

/* The COM-port interface AddDevice registered for the port. */
WString InterfaceNameOf(PDEVICE_OBJECT port);

std::string Narrow(const WString& text);

/* The modem lines as the port last set them: 1 raised, 0 dropped. */
struct LineStates
{
    int dtr;
    int rts;
};

/* Which line keys and which keys PTT, and whether each is inverted. */
struct KeyingMapping
{
    ULONG keyFunc;
    ULONG pttFunc;
    bool keyInverted;
    bool pttInverted;
};

class PortStack
{
  public:
    /* The collection (with that I/O method) with all five values in its
       key, and the driver loaded; returns DriverEntry's status. */
    NTSTATUS Build(ULONG ioFlags = DO_BUFFERED_IO, bool serviceKey = true);
    NTSTATUS Add();
    NTSTATUS Start();
    /* IRP_MN_REMOVE_DEVICE: the port detaches and its device object goes
       (one that outlives it is a broken rule). */
    NTSTATUS Remove();
    /* The collection goes and the driver unloads. */
    void Unload();

    bool Added() const
    {
        return port != nullptr;
    }
    WString Key() const;
    /* Kept from AddDevice on, so it can be asked after the removal. */
    WString InterfaceName() const
    {
        return interfaceName_;
    }

    /* What the port holds. */
    bool IdentityVerified() const
    {
        return Ext()->IdentityVerified;
    }
    /* As if the device had not proved itself at the open. */
    void ForgetIdentity()
    {
        Ext()->IdentityVerified = FALSE;
    }
    LineStates Lines() const
    {
        return {Ext()->DtrState, Ext()->RtsState};
    }
    KeyingMapping Mapping() const
    {
        return {Ext()->KeyFunc, Ext()->PttFunc, (bool)Ext()->KeyLogic, (bool)Ext()->PttLogic};
    }
    /* Sets the mapping in the running port directly. */
    void SetMapping(ULONG keyFunc, ULONG pttFunc, bool keyInverted, bool pttInverted);
    ULONG BaudRate() const
    {
        return Ext()->BaudRate;
    }
    ULONG WaitMask() const
    {
        return Ext()->WaitMask;
    }
    void SetWaitMask(ULONG mask)
    {
        Ext()->WaitMask = mask;
    }
    bool WaitPending() const
    {
        return Ext()->PendingWait != nullptr;
    }
    /* The port's own record that its interface is on. */
    bool InterfaceSwitchedOn() const
    {
        return Ext()->InterfaceEnabled;
    }

    /* For the driver's own routines; tests ask the questions above. */
    PPORT_EXTENSION Ext() const
    {
        return (PPORT_EXTENSION)port->DeviceExtension;
    }

    std::unique_ptr<VelkorHidCollection> hid;
    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT port = nullptr;

  private:
    WString interfaceName_;
};

/* What is left once a port is removed and its driver unloaded. */
struct Leftovers
{
    std::vector<std::string> violations;
    size_t poolBlocks = 0;
    size_t requests = 0;
    size_t keyHandles = 0;
    std::map<WString, WString> links;
    std::map<WString, RegistryValue> serialComm;

    /* Each thing left, as a sentence. A delete the kernel refused keeps its
       name, so the caller may allow a link or a value. */
    std::vector<std::string> Problems(size_t linksAllowed = 0, size_t valuesAllowed = 0) const;
};
/* Takes the rule violations with the rest, so the next check starts clean. */
Leftovers TakeLeftovers();

} // namespace hk
