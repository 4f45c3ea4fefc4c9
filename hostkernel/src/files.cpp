/*
 * File objects and their references. The close request goes to the device
 * when the last reference goes, in the thread that drops it.
 */
#include "internal.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

#include <unordered_map>

namespace hk
{

namespace
{
struct FileState
{
    LONG references;
    PDEVICE_OBJECT device;
};
std::unordered_map<PFILE_OBJECT, FileState> liveFiles;
std::vector<PFILE_OBJECT> deletedFiles;

void SendClose(PFILE_OBJECT file, PDEVICE_OBJECT device)
{
    PDEVICE_OBJECT top = TopOfStack(device);
    PIRP irp = AllocateIrp(top->StackSize, false);
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_CLOSE;
    stack->FileObject = file;
    KEVENT event;
    IO_STATUS_BLOCK status;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    irp->UserEvent = &event;
    irp->UserIosb = &status;
    if (IoCallDriver(top, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
}
} // namespace

PFILE_OBJECT CreateFileObject(PDEVICE_OBJECT device)
{
    PFILE_OBJECT file = (PFILE_OBJECT)AllocateInternal(sizeof(FILE_OBJECT));
    file->Type = 5;
    file->Size = sizeof(FILE_OBJECT);
    file->DeviceObject = device;
    std::lock_guard<std::mutex> guard(BenchLock());
    liveFiles[file] = FileState{1, device};
    return file;
}

void DestroyFileObject(PFILE_OBJECT file)
{
    {
        std::lock_guard<std::mutex> guard(BenchLock());
        liveFiles.erase(file);
        deletedFiles.push_back(file);
    }
    QuarantineMemory(file, sizeof(FILE_OBJECT));
}

bool FileObjectIsOpen(PFILE_OBJECT file)
{
    std::lock_guard<std::mutex> guard(BenchLock());
    return liveFiles.count(file) != 0;
}

void ResetFiles()
{
    std::lock_guard<std::mutex> guard(BenchLock());
    for (PFILE_OBJECT file : deletedFiles)
    {
#if defined(__SANITIZE_ADDRESS__)
        __asan_unpoison_memory_region(file, sizeof(FILE_OBJECT));
#endif
        FreeInternal(file);
    }
    deletedFiles.clear();
}

} // namespace hk

using namespace hk;

extern "C" LONG_PTR ObfReferenceObject(PVOID Object)
{
    std::lock_guard<std::mutex> guard(BenchLock());
    auto found = liveFiles.find((PFILE_OBJECT)Object);
    if (found == liveFiles.end())
    {
        ReportViolation("ObReferenceObject of an object that no longer exists");
        return 0;
    }
    if (found->second.references == 0)
        ReportViolation("ObReferenceObject of a file object being closed");
    return ++found->second.references;
}

extern "C" LONG_PTR ObfDereferenceObject(PVOID Object)
{
    PFILE_OBJECT file = (PFILE_OBJECT)Object;
    PDEVICE_OBJECT device;
    {
        std::lock_guard<std::mutex> guard(BenchLock());
        auto found = liveFiles.find(file);
        if (found == liveFiles.end())
        {
            ReportViolation("ObDereferenceObject of an object that no longer exists");
            return 0;
        }
        if (--found->second.references > 0)
            return found->second.references;
        device = found->second.device;
    }
    SendClose(file, device);
    DestroyFileObject(file);
    return 0;
}
