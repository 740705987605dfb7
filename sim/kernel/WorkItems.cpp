// Work items and the delayed work queue's workers.
#include "sim/kernel/MachineImpl.h"
#include "sim/kernel/Controlled.h"

// Wait blocks live on the waiting thread's stack and are linked into an
// object's wait list only while that thread is blocked in Block(); they are
// always unlinked before the frame returns, which GCC cannot see.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wdangling-pointer"
#endif

namespace sim {

void Machine::Impl::MaybeGrowWorkers()
{
    unsigned running = static_cast<unsigned>(Workers.size()) - IdleWorkers - BusyBlockedWorkers;
    if (!WorkQueue.empty() && IdleWorkers == 0 && running == 0 && Workers.size() < Opt.MaxWorkers && !Stopping) {
        SimThread *w = StartThreadLocked(
            "worker " + std::to_string(Workers.size()), [this] { WorkerLoop(); }, ThreadKind::Service);
        w->IsWorker = true;
        Workers.push_back(w);
    }
}

void Machine::Impl::WorkerLoop()
{
    SimThread *me = Self();
    std::unique_lock lock(Sched);
    for (;;) {
        while (WorkQueue.empty() && !Stopping) {
            WaitBlock wb;
            wb.What = "the delayed work queue";
            Enqueue(&WorkerWaiters, wb);
            Block(lock, me, wb);
        }
        if (WorkQueue.empty()) {
            return;
        }
        WorkItem *item = WorkQueue.front();
        WorkQueue.pop_front();
        PendingWork -= 1;
        item->Queued = false;
        item->Running = true;
        PDEVICE_OBJECT device = item->Device;
        PIO_WORKITEM_ROUTINE routine = item->Routine;
        PVOID context = item->Context;
        me->InWorkItem = true;
        lock.unlock();
        if (Ctl) {
            ControlledPoint(*this, me, "the delivery of a work item", item);
        }
        {
            FrameScope frame(FrameKind::WorkItem, device->DriverObject, device, nullptr,
                             reinterpret_cast<const void *>(routine));
            routine(device, context);
        }
        lock.lock();
        me->InWorkItem = false;
        // The item may have been freed by its own routine; only our record of
        // it tells whether it still exists.
        if (LiveWorkItems.count(item) != 0) {
            item->Running = false;
            if (item->FreeAfterRun && !item->Queued) {
                LiveWorkItems.erase(item);
                delete item;
            }
        }
        lock.unlock();
        DereferenceDevice(device);
        lock.lock();
    }
}

}  // namespace sim

using namespace sim;

extern "C" {

PIO_WORKITEM NTAPI IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject)
{
    SimThread *me = Self();
    Machine::Impl &k = *me->I;
    if (me->Irql > DISPATCH_LEVEL) {
        k.M.ReportViolation(checks::PoolIrql, nullptr, DeviceObject, "IoAllocateWorkItem above DISPATCH_LEVEL");
    }
    if (DeviceObject == nullptr || DeviceRecordOf(DeviceObject) == nullptr) {
        k.M.ReportViolation(checks::BadParameter, nullptr, DeviceObject,
                            "IoAllocateWorkItem for something that is not a live device object");
        return nullptr;
    }
    if (k.M.ShouldFail(FaultKind::WorkItem, __builtin_return_address(0))) {
        return nullptr;
    }
    auto *item = new WorkItem{};
    item->Device = DeviceObject;
    std::unique_lock lock(k.Sched);
    k.LiveWorkItems.insert(item);
    return item;
}

VOID NTAPI IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                           PVOID Context)
{
    (void)QueueType;
    SimThread *me = Self();
    Machine::Impl &k = *me->I;
    if (me->Irql > DISPATCH_LEVEL) {
        k.M.ReportViolation(checks::WaitIrql, nullptr, nullptr, "IoQueueWorkItem above DISPATCH_LEVEL");
    }
    auto *item = static_cast<WorkItem *>(IoWorkItem);
    if (k.Ctl) {
        ControlledPoint(k, me, "IoQueueWorkItem", item);
    }
    {
        std::unique_lock lock(k.Sched);
        if (k.LiveWorkItems.count(item) == 0) {
            lock.unlock();
            k.M.ReportViolation(checks::BadParameter, nullptr, nullptr,
                                "IoQueueWorkItem on a work item that was never allocated or is freed");
            return;
        }
        if (item->Queued) {
            lock.unlock();
            k.M.ReportViolation(checks::WorkItemQueuedTwice, nullptr, item->Device,
                                "IoQueueWorkItem on a work item that is already queued");
            return;
        }
    }
    ReferenceDevice(item->Device);
    std::unique_lock lock(k.Sched);
    item->Routine = WorkerRoutine;
    item->Context = Context;
    item->Queued = true;
    k.WorkQueue.push_back(item);
    k.PendingWork += 1;
    if (k.WorkerWaiters != nullptr) {
        k.Wake(k.WorkerWaiters, STATUS_SUCCESS);
    } else {
        k.MaybeGrowWorkers();
    }
}

VOID NTAPI IoFreeWorkItem(PIO_WORKITEM IoWorkItem)
{
    Machine::Impl &k = Kernel();
    auto *item = static_cast<WorkItem *>(IoWorkItem);
    std::unique_lock lock(k.Sched);
    if (k.LiveWorkItems.count(item) == 0) {
        lock.unlock();
        k.M.ReportViolation(checks::BadParameter, nullptr, nullptr,
                            "IoFreeWorkItem on a work item that was never allocated or is already freed");
        return;
    }
    if (item->Queued) {
        PDEVICE_OBJECT device = item->Device;
        // Freed only once it has run, so the queue never holds freed memory.
        item->FreeAfterRun = true;
        lock.unlock();
        k.M.ReportViolation(checks::WorkItemFreedWhileQueued, nullptr, device,
                            "IoFreeWorkItem on a work item that is still queued");
        return;
    }
    k.LiveWorkItems.erase(item);
    delete item;
}

}  // extern "C"
