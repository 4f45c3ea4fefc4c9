/*
 * Pool: allocations with tag accounting and failure injection.
 */
#include "internal.h"

#include <cstdlib>
#include <cstring>
#include <map>
#include <unordered_map>

namespace hk
{

namespace
{
struct Block
{
    ULONG tag;
    size_t bytes;
};

std::unordered_map<void*, Block> blocks;
std::map<ULONG, bool> failingTags;
unsigned allocationCount = 0;
unsigned failAt = 0;

/* Called with the bench lock held. */
bool ShouldFailLocked(ULONG tag)
{
    allocationCount++;
    if (failAt && allocationCount == failAt)
    {
        failAt = 0;
        return true;
    }
    auto found = failingTags.find(tag);
    return found != failingTags.end() && found->second;
}
} // namespace

ULONG PoolTag(const char (&text)[5])
{
    return (ULONG)(uint8_t)text[0] | ((ULONG)(uint8_t)text[1] << 8) |
           ((ULONG)(uint8_t)text[2] << 16) | ((ULONG)(uint8_t)text[3] << 24);
}

bool ShouldFailAllocation(ULONG tag)
{
    std::lock_guard<std::mutex> guard(BenchLock());
    return ShouldFailLocked(tag);
}

void* AllocateInternal(size_t bytes)
{
    void* p = std::calloc(1, bytes ? bytes : 1);
    if (!p)
        std::abort();
    return p;
}

void FreeInternal(void* p)
{
    std::free(p);
}

size_t OutstandingAllocations()
{
    std::lock_guard<std::mutex> guard(BenchLock());
    return blocks.size();
}

size_t OutstandingAllocations(ULONG tag)
{
    std::lock_guard<std::mutex> guard(BenchLock());
    size_t count = 0;
    for (auto& entry : blocks)
        count += entry.second.tag == tag;
    return count;
}

unsigned AllocationCount()
{
    std::lock_guard<std::mutex> guard(BenchLock());
    return allocationCount;
}

void FailAllocationNumber(unsigned n)
{
    std::lock_guard<std::mutex> guard(BenchLock());
    failAt = n ? allocationCount + n : 0;
}

void FailAllocationsWithTag(ULONG tag, bool fail)
{
    std::lock_guard<std::mutex> guard(BenchLock());
    failingTags[tag] = fail;
}

void ResetPool()
{
    std::lock_guard<std::mutex> guard(BenchLock());
    for (auto& entry : blocks)
        std::free(entry.first);
    blocks.clear();
    failingTags.clear();
    allocationCount = 0;
    failAt = 0;
}

} // namespace hk

extern "C" PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    if (PoolType == PagedPool && KeGetCurrentIrql() > APC_LEVEL)
        hk::ReportViolation("paged pool allocated above APC_LEVEL");
    if (NumberOfBytes == 0)
        hk::ReportViolation("pool allocation of zero bytes");
    /* Windows before 8 has no NX pool type and bug-checks on it (BAD_POOL_CALLER);
       from 8 on, executable pool is what Driver Verifier's code integrity
       checks and memory integrity (HVCI) refuse. */
    if (PoolType == NonPagedPoolNx && !hk::WindowsAtLeast(6, 2))
    {
        hk::ReportViolation("NonPagedPoolNx before Windows 8");
        return NULL;
    }
    if (PoolType == NonPagedPool && hk::WindowsAtLeast(6, 2))
        hk::ReportViolation("executable NonPagedPool on Windows 8 or later");

    std::lock_guard<std::mutex> guard(hk::BenchLock());
    if (hk::ShouldFailLocked(Tag))
        return NULL;
    /* Not zeroed, as on Windows: a driver must initialise what it reads. */
    void* p = std::malloc(NumberOfBytes ? NumberOfBytes : 1);
    if (!p)
        std::abort();
    std::memset(p, 0xA5, NumberOfBytes);
    hk::blocks[p] = hk::Block{Tag, NumberOfBytes};
    return p;
}

extern "C" VOID ExFreePoolWithTag(PVOID P, ULONG Tag)
{
    {
        std::lock_guard<std::mutex> guard(hk::BenchLock());
        auto found = hk::blocks.find(P);
        if (found == hk::blocks.end())
        {
            hk::ReportViolation("ExFreePool of a block that is not allocated");
            return;
        }
        if (Tag && found->second.tag != Tag)
            hk::ReportViolation("ExFreePoolWithTag with the wrong tag");
        hk::blocks.erase(found);
    }
    std::free(P);
}

extern "C" VOID ExFreePool(PVOID P)
{
    ExFreePoolWithTag(P, 0);
}
