/*
 * What the fault sweep needs around the driver: a port stack built as Plug
 * and Play builds it, the failure points a step passes through, the means
 * to make exactly one of them fail, and the check that nothing was left
 * behind once the device is gone.
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

namespace sweep
{

/* The requests the driver sends to the HID collection that it can fail. */
enum class LowerRequest
{
    Create,
    ManufacturerQuery,
    Write,
    PnpStart,
    PnpStop,
    PnpRemove
};

enum class PointKind
{
    Pool,
    Lower,
    Kernel
};

struct FailurePoint
{
    PointKind kind = PointKind::Pool;
    hk::KernelCall call = hk::KernelCall::OpenDeviceKey;
    LowerRequest lower = LowerRequest::Create;
    unsigned ordinal = 0; /* 1 = the first of its kind in the step */
    unsigned of = 0;      /* how many of its kind the clean step makes */
    hk::WString value;    /* for a registry read: the value it reads */
};

/*
 * A failure point, and possibly a second one on the error path the first
 * opens: a delete or switch-off that undoes work when the step fails,
 * which a clean run never reaches.
 */
struct Fault
{
    FailurePoint point;
    bool unwinding = false;
    FailurePoint onTheWayBack;
};

/* The kernel calls that undo work. */
bool UndoesWork(hk::KernelCall call);

std::string Describe(const FailurePoint& point);
std::string Describe(const Fault& fault);
/* The status a failure point is failed with: what that call or request
   plausibly fails with on Windows. */
NTSTATUS InjectedStatus(const FailurePoint& point);
std::string Hex(NTSTATUS status);
std::string Narrow(const hk::WString& text);

/* Counters of every kind of failure point, read before and after a step. */
struct Tally
{
    unsigned pool = 0;
    std::map<hk::KernelCall, unsigned> calls;
    std::map<LowerRequest, unsigned> lower;
    size_t queried = 0;
};
Tally TakeTally();
/* The failure points between two tallies, in a fixed order. */
std::vector<FailurePoint> PointsBetween(const Tally& before, const Tally& after);

/* How the collection answers opens, manufacturer queries and writes. */
enum class Answering
{
    AtOnce,
    Pending /* pended, completed from another thread */
};

/* A vkserial port above a simulated collection with all five values in
   the device's key. */
class Stack
{
  public:
    explicit Stack(Answering answering);
    ~Stack();

    NTSTATUS Add();
    NTSTATUS Start();
    NTSTATUS Stop();
    NTSTATUS SurpriseRemove();
    NTSTATUS Remove();
    /* Opens a handle through the COM name; kept until Close or TearDown. */
    NTSTATUS Open();
    hk::UserFile* File(size_t index = 0);
    /* CloseHandle on every handle. */
    void CloseFiles();

    bool Added() const
    {
        return port_ != nullptr;
    }
    PPORT_EXTENSION Ext() const
    {
        return (PPORT_EXTENSION)port_->DeviceExtension;
    }
    hk::WString Key() const;
    hk::WString InterfaceName() const
    {
        return interfaceName_;
    }
    hk::VelkorHidCollection& Hid()
    {
        return *hid_;
    }
    /* The step begins: what it sends down is counted from here. */
    void BeginStep();
    /* Whether the collection received a create during the step. */
    bool CreateReachedHid() const;

    /* Closes the handles, removes the port as Plug and Play would after any
       outcome, and unloads; returns what was wrong on the way. */
    std::vector<std::string> TearDown();

  private:
    std::unique_ptr<hk::VelkorHidCollection> hid_;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT port_ = nullptr;
    hk::WString interfaceName_;
    std::vector<std::unique_ptr<hk::UserFile>> files_;
    unsigned createsBeforeStep_ = 0;
};

/* Makes the point fail when the step reaches it; Disarm says whether it
   did. */
void Arm(Stack& stack, const Fault& fault);
bool Disarm();

/*
 * After removal and unload: no rule broken, no pool, no request, no key
 * handle, no link, no SERIALCOMM value, the interface off. A delete the
 * kernel refused is tried again at the next withdrawal, so only one refused
 * by the removal itself may leave its name; an interface the kernel would
 * not switch off stays on.
 */
std::vector<std::string> Leftovers(const FailurePoint* point, bool stepRemoves,
                                   const hk::WString& interfaceName);

} // namespace sweep
