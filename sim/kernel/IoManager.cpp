#include "sim/kernel/IoManager.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>

#include "sim/kernel/DeviceInterfaces.h"
#include "sim/kernel/MachineImpl.h"
#include "sim/kernel/PnpManager.h"

namespace sim {

namespace {

// System buffers of application requests: "SmIo" in a pool dump.
constexpr ULONG kIoPoolTag = 'S' | ('m' << 8) | ('I' << 16) | (static_cast<ULONG>('o') << 24);
constexpr CSHORT kFileObjectType = 5;

GUID ToGuid(const vxio::InterfaceClass &Class)
{
    GUID guid;
    static_assert(sizeof(guid) == sizeof(Class));
    std::memcpy(&guid, &Class, sizeof(guid));
    return guid;
}

}  // namespace

vxio::InterfaceClass ToInterfaceClass(const GUID &Guid)
{
    vxio::InterfaceClass result;
    std::memcpy(&result, &Guid, sizeof(result));
    return result;
}

struct IoManager::HandleRecord {
    vxio::Handle Id = vxio::kInvalidHandle;
    PDEVICE_OBJECT Pdo = nullptr;
    PDEVICE_OBJECT Top = nullptr;  // referenced until the close has been sent
    FILE_OBJECT File{};
    std::u16string FileName;
    AdaptiveMutex Mu;              // InFlight, Closed, CloseSent
    std::set<Pending *> InFlight;  // reads, writes and device controls
    bool Closed = false;
    bool CloseSent = false;
};

struct IoManager::Pending : vxio::Request {
    IoManager *Owner = nullptr;
    std::shared_ptr<HandleRecord> Handle;
    AdaptiveMutex Mu;    // Irp, CancelHolds, IrpDone, Self
    PIRP Irp = nullptr;  // until freed
    KEVENT DoneEvent;    // set only when a waiter announced itself
    std::atomic<bool> Waiting{false};
    std::atomic<bool> Finished{false};
    std::atomic<NTSTATUS> Status{STATUS_PENDING};
    std::atomic<uint64_t> Info{0};
    PDEVICE_OBJECT Target = nullptr;
    UCHAR Major = 0;
    bool Tracked = false;  // counted in Handle->InFlight
    void *SystemBuffer = nullptr;
    void *CopyBackTo = nullptr;  // where the system buffer's output goes
    uint32_t CopyBackLength = 0;
    int CancelHolds = 0;  // cancellers about to touch Irp
    bool IrpDone = false;
    std::shared_ptr<Pending> Self;  // alive while the IRP is out

    Pending() { KeInitializeEvent(&DoneEvent, NotificationEvent, FALSE); }
    bool Done() const override { return Finished.load(); }
    vxio::Status Wait() override
    {
        if (!Finished.load()) {
            // Announced before the second look: FinishNow stores Finished
            // before it looks for a waiter, so one of the two sees the other.
            Waiting.store(true);
            if (!Finished.load()) {
                (void)KeWaitForSingleObject(&DoneEvent, Executive, KernelMode, FALSE, nullptr);
            }
        }
        return Status.load();
    }
    vxio::Status Result() const override { return Finished.load() ? Status.load() : STATUS_PENDING; }
    uint64_t Information() const override { return Info.load(); }
    void Cancel() override;
    void FinishNow(NTSTATUS status)
    {
        Status.store(status);
        Finished.store(true);
        if (Waiting.load()) {
            KeSetEvent(&DoneEvent, IO_NO_INCREMENT, FALSE);
        }
    }
};

void IoManagerFinal(PIRP Irp, void *Context)
{
    auto *pending = static_cast<IoManager::Pending *>(Context);
    pending->Owner->Completed(*pending);
    (void)Irp;
}

namespace {
void FinalThunk(PIRP Irp, void *Context) { IoManagerFinal(Irp, Context); }
}  // namespace

void IoManager::Pending::Cancel()
{
    PIRP irp = nullptr;
    {
        std::lock_guard lock(Mu);
        if (IrpDone || Irp == nullptr) {
            return;
        }
        ++CancelHolds;
        irp = Irp;
    }
    (void)IoCancelIrp(irp);
    bool freeNow = false;
    {
        std::lock_guard lock(Mu);
        --CancelHolds;
        freeNow = IrpDone && CancelHolds == 0 && Irp != nullptr;
        if (freeNow) {
            Irp = nullptr;
        }
    }
    if (freeNow) {
        IoFreeIrp(irp);
    }
}

IoManager::IoManager(Machine &machine) : machine_(machine)
{
    closer_ = std::make_unique<ManagerThread>(machine_, "io-close");
}

IoManager::~IoManager()
{
    closer_->Stop();
    std::unique_ptr<ThreadScope> scope;
    if (Outstanding() != 0 && Machine::CurrentOrNull() != &machine_) {
        scope = std::make_unique<ThreadScope>(machine_, "io-teardown");
    }
    (void)ReportOutstanding();
}

uint64_t IoManager::ReportOutstanding()
{
    const uint64_t outstanding = Outstanding();
    if (outstanding != 0) {
        machine_.ReportViolation(checks::ApplicationIrpNotCompleted, nullptr, nullptr,
                                 std::to_string(outstanding) + " application request(s) never completed");
    }
    return outstanding;
}

std::vector<std::u16string> IoManager::Interfaces(const vxio::InterfaceClass &Class)
{
    return machine_.Component<DeviceInterfaces>().Enabled(ToGuid(Class));
}

std::shared_ptr<IoManager::HandleRecord> IoManager::Find(vxio::Handle Handle) const
{
    const HandleMap *handles = published_.load(std::memory_order_acquire);
    if (handles == nullptr) {
        return nullptr;
    }
    auto it = handles->find(Handle);
    return it == handles->end() ? nullptr : it->second;
}

void IoManager::PublishHandlesLocked()
{
    auto next = std::make_unique<const HandleMap>(handles_);
    published_.store(next.get(), std::memory_order_release);
    // Old versions stay alive: a thread may still be reading one.
    handleVersions_.push_back(std::move(next));
}

IoManager::CountShard &IoManager::MyCounts()
{
    const SimThread *me = SelfOrNull();
    return counts_[me != nullptr ? me->Id % counts_.size() : 0];
}

void IoManager::Completed(Pending &pending)
{
    PIRP irp = pending.Irp;
    const NTSTATUS status = irp->IoStatus.Status;
    uint64_t information = irp->IoStatus.Information;

    if (irp->MdlAddress != nullptr) {
        IoFreeMdl(irp->MdlAddress);
        irp->MdlAddress = nullptr;
    }
    if (pending.SystemBuffer != nullptr) {
        if (pending.CopyBackTo != nullptr && information > pending.CopyBackLength) {
            char detail[128];
            std::snprintf(detail, sizeof(detail),
                          "IoStatus.Information %llu is larger than the output buffer (%u bytes)",
                          static_cast<unsigned long long>(information), pending.CopyBackLength);
            machine_.ReportViolation(checks::InformationTooLarge, irp, pending.Target, detail);
            information = pending.CopyBackLength;
        }
        // Warnings (STATUS_BUFFER_OVERFLOW) still carry data; errors do not.
        if (pending.CopyBackTo != nullptr && !NT_ERROR(status) && information != 0) {
            std::memcpy(pending.CopyBackTo, pending.SystemBuffer, information);
        }
        ExFreePool(pending.SystemBuffer);
        pending.SystemBuffer = nullptr;
    }

    std::shared_ptr<HandleRecord> sendClose;
    std::shared_ptr<Pending> self;
    bool freeNow = false;
    MyCounts().Completed.fetch_add(1, std::memory_order_relaxed);
    {
        std::lock_guard lock(pending.Mu);
        self = std::move(pending.Self);
        pending.IrpDone = true;
        freeNow = pending.CancelHolds == 0;
        if (freeNow) {
            pending.Irp = nullptr;
        }
    }
    if (pending.Tracked) {
        auto &record = *pending.Handle;
        std::lock_guard lock(record.Mu);
        record.InFlight.erase(&pending);
        if (record.Closed && record.InFlight.empty() && !record.CloseSent) {
            record.CloseSent = true;
            sendClose = pending.Handle;
        }
    }
    if (freeNow) {
        IoFreeIrp(irp);
    }
    pending.Info.store(information);
    pending.FinishNow(status);
    if (sendClose) {
        // The close comes when the last request on the file object is done,
        // at PASSIVE_LEVEL, whatever context completed that request.
        closer_->Post([this, sendClose] { SendClose(sendClose); });
    }
}

// Builds and sends one application IRP; the returned request completes when
// the driver completes the IRP.
std::shared_ptr<vxio::Request> IoManager::Issue(vxio::Handle Handle, UCHAR Major, void *Buffer, uint32_t Length,
                                                uint32_t Code, const void *Input, uint32_t InputLength)
{
    auto pending = std::make_shared<Pending>();
    pending->Owner = this;
    pending->Major = Major;
    std::shared_ptr<HandleRecord> record = Find(Handle);
    if (record == nullptr) {
        pending->FinishNow(STATUS_INVALID_HANDLE);
        return pending;
    }
    pending->Handle = record;
    pending->Target = record->Top;
    PDEVICE_OBJECT top = record->Top;

    PIRP irp = AllocateManagerIrp(top->StackSize, FinalThunk, pending.get());
    if (irp == nullptr) {
        pending->FinishNow(STATUS_INSUFFICIENT_RESOURCES);
        return pending;
    }
    irp->RequestorMode = UserMode;
    irp->Tail.Overlay.OriginalFileObject = &record->File;
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION location = IoGetNextIrpStackLocation(irp);
    location->MajorFunction = Major;
    location->FileObject = &record->File;

    auto allocateSystemBuffer = [&](size_t bytes) -> bool {
        if (bytes == 0) {
            return true;
        }
        pending->SystemBuffer = ExAllocatePoolWithTag(NonPagedPool, bytes, kIoPoolTag);
        if (pending->SystemBuffer == nullptr) {
            return false;
        }
        std::memset(pending->SystemBuffer, 0, bytes);
        irp->AssociatedIrp.SystemBuffer = pending->SystemBuffer;
        return true;
    };
    bool ok = true;
    if (Major == IRP_MJ_READ || Major == IRP_MJ_WRITE) {
        location->Parameters.Read.Length = Length;
        irp->Flags |= Major == IRP_MJ_READ ? IRP_READ_OPERATION : IRP_WRITE_OPERATION;
        if ((top->Flags & DO_DIRECT_IO) != 0) {
            if (Length != 0) {
                irp->MdlAddress = BuildMdlForBuffer(Buffer, Length);
                ok = irp->MdlAddress != nullptr;
            }
        } else if ((top->Flags & DO_BUFFERED_IO) != 0) {
            ok = allocateSystemBuffer(Length);
            if (ok && Major == IRP_MJ_WRITE && Length != 0) {
                std::memcpy(pending->SystemBuffer, Buffer, Length);
            } else if (ok && Major == IRP_MJ_READ) {
                pending->CopyBackTo = Buffer;
                pending->CopyBackLength = Length;
            }
        } else {
            irp->UserBuffer = Buffer;
        }
    } else if (Major == IRP_MJ_DEVICE_CONTROL) {
        location->Parameters.DeviceIoControl.IoControlCode = Code;
        location->Parameters.DeviceIoControl.InputBufferLength = InputLength;
        location->Parameters.DeviceIoControl.OutputBufferLength = Length;
        switch (METHOD_FROM_CTL_CODE(Code)) {
        case METHOD_BUFFERED:
            ok = allocateSystemBuffer(std::max(InputLength, Length));
            if (ok && InputLength != 0) {
                std::memcpy(pending->SystemBuffer, Input, InputLength);
            }
            pending->CopyBackTo = Length != 0 ? Buffer : nullptr;
            pending->CopyBackLength = Length;
            break;
        case METHOD_IN_DIRECT:
        case METHOD_OUT_DIRECT:
            ok = allocateSystemBuffer(InputLength);
            if (ok && InputLength != 0) {
                std::memcpy(pending->SystemBuffer, Input, InputLength);
            }
            if (ok && Length != 0) {
                irp->MdlAddress = BuildMdlForBuffer(Buffer, Length);
                ok = irp->MdlAddress != nullptr;
            }
            break;
        default:
            location->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void *>(Input);
            irp->UserBuffer = Buffer;
            break;
        }
    }
    if (!ok) {
        if (irp->MdlAddress != nullptr) {
            IoFreeMdl(irp->MdlAddress);
        }
        if (pending->SystemBuffer != nullptr) {
            ExFreePool(pending->SystemBuffer);
        }
        IoFreeIrp(irp);
        pending->FinishNow(STATUS_INSUFFICIENT_RESOURCES);
        return pending;
    }

    {
        std::unique_lock lock(record->Mu);
        if (record->Closed) {
            lock.unlock();
            IoFreeIrp(irp);
            if (pending->SystemBuffer != nullptr) {
                ExFreePool(pending->SystemBuffer);
            }
            pending->FinishNow(STATUS_INVALID_HANDLE);
            return pending;
        }
        {
            std::lock_guard pendingLock(pending->Mu);
            pending->Irp = irp;
            pending->Self = pending;
        }
        pending->Tracked = Major != IRP_MJ_CREATE && Major != IRP_MJ_CLEANUP && Major != IRP_MJ_CLOSE;
        if (pending->Tracked) {
            record->InFlight.insert(pending.get());
        }
    }
    MyCounts().Issued.fetch_add(1, std::memory_order_relaxed);
    (void)IofCallDriver(top, irp);
    return pending;
}

std::shared_ptr<vxio::Request> IoManager::Read(vxio::Handle Handle, void *Buffer, uint32_t Length)
{
    machine_.SchedulingPoint("an application's read");
    return Issue(Handle, IRP_MJ_READ, Buffer, Length, 0, nullptr, 0);
}

std::shared_ptr<vxio::Request> IoManager::Write(vxio::Handle Handle, const void *Buffer, uint32_t Length)
{
    // Direct I/O maps the caller's pages; the driver only reads them.
    machine_.SchedulingPoint("an application's write");
    return Issue(Handle, IRP_MJ_WRITE, const_cast<void *>(Buffer), Length, 0, nullptr, 0);
}

std::shared_ptr<vxio::Request> IoManager::Control(vxio::Handle Handle, uint32_t Code, const void *Input,
                                                  uint32_t InputLength, void *Output, uint32_t OutputLength)
{
    machine_.SchedulingPoint("an application's control request");
    return Issue(Handle, IRP_MJ_DEVICE_CONTROL, Output, OutputLength, Code, Input, InputLength);
}

NTSTATUS IoManager::SendSync(PDEVICE_OBJECT Top, UCHAR Major, PFILE_OBJECT File)
{
    // Create, cleanup and close travel like any other request but belong to
    // no open handle yet (or any more).
    auto pending = std::make_shared<Pending>();
    pending->Owner = this;
    pending->Major = Major;
    pending->Target = Top;
    PIRP irp = AllocateManagerIrp(Top->StackSize, FinalThunk, pending.get());
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->RequestorMode = UserMode;
    irp->Tail.Overlay.OriginalFileObject = File;
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION location = IoGetNextIrpStackLocation(irp);
    location->MajorFunction = Major;
    location->FileObject = File;
    {
        std::lock_guard lock(pending->Mu);
        pending->Irp = irp;
        pending->Self = pending;
    }
    MyCounts().Issued.fetch_add(1, std::memory_order_relaxed);
    (void)IofCallDriver(Top, irp);
    return pending->Wait();
}

vxio::Status IoManager::Open(std::u16string_view LinkName, std::u16string_view FileName, vxio::Handle *Result)
{
    if (Result == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *Result = vxio::kInvalidHandle;
    machine_.SchedulingPoint("an application's open");
    auto target = machine_.Component<DeviceInterfaces>().Lookup(LinkName);
    if (!target || !target->Enabled) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    auto &pnp = machine_.Component<PnpManager>();
    if (!pnp.AcceptsCreate(target->Pdo)) {
        return pnp.State(target->Pdo) == NodeState::SurpriseRemoved ? STATUS_DELETE_PENDING : STATUS_NO_SUCH_DEVICE;
    }
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(target->Pdo);
    if ((top->Flags & DO_DEVICE_INITIALIZING) != 0) {
        ObDereferenceObject(top);
        return STATUS_NO_SUCH_DEVICE;
    }

    auto record = std::make_shared<HandleRecord>();
    record->Pdo = target->Pdo;
    record->Top = top;
    if (!target->Reference.empty()) {
        record->FileName = u"\\" + target->Reference;
    }
    if (!FileName.empty()) {
        if (FileName.front() != u'\\') {
            record->FileName += u'\\';
        }
        record->FileName += FileName;
    }
    if (record->FileName.size() * sizeof(WCHAR) > 0xFFFE) {
        ObDereferenceObject(top);
        return STATUS_OBJECT_NAME_INVALID;
    }
    FILE_OBJECT &file = record->File;
    file.Type = kFileObjectType;
    file.Size = sizeof(FILE_OBJECT);
    file.DeviceObject = target->Pdo;
    file.FileName.Buffer = record->FileName.empty() ? nullptr : record->FileName.data();
    file.FileName.Length = static_cast<USHORT>(record->FileName.size() * sizeof(WCHAR));
    file.FileName.MaximumLength = file.FileName.Length;
    KeInitializeEvent(&file.Event, NotificationEvent, FALSE);
    KeInitializeEvent(&file.Lock, SynchronizationEvent, FALSE);

    // Counted before the create so a surprise removal meanwhile waits for it.
    pnp.HandleOpened(record->Pdo);
    const NTSTATUS status = SendSync(top, IRP_MJ_CREATE, &file);
    if (!NT_SUCCESS(status)) {
        ObDereferenceObject(top);
        pnp.HandleClosed(record->Pdo);
        return status;
    }
    std::lock_guard lock(mutex_);
    record->Id = nextHandle_++;
    handles_[record->Id] = record;
    PublishHandlesLocked();
    *Result = record->Id;
    return status;
}

vxio::Status IoManager::Close(vxio::Handle Handle)
{
    machine_.SchedulingPoint("an application's close");
    std::shared_ptr<HandleRecord> record;
    {
        std::lock_guard lock(mutex_);
        auto it = handles_.find(Handle);
        if (it == handles_.end()) {
            return STATUS_INVALID_HANDLE;
        }
        record = it->second;
        handles_.erase(it);
        PublishHandlesLocked();
    }
    (void)SendSync(record->Top, IRP_MJ_CLEANUP, &record->File);
    bool closeNow = false;
    {
        std::lock_guard lock(record->Mu);
        record->Closed = true;
        closeNow = record->InFlight.empty() && !record->CloseSent;
        if (closeNow) {
            record->CloseSent = true;
        }
    }
    if (closeNow) {
        SendClose(record);
    }
    return STATUS_SUCCESS;
}

void IoManager::SendClose(const std::shared_ptr<HandleRecord> &record)
{
    (void)SendSync(record->Top, IRP_MJ_CLOSE, &record->File);
    ObDereferenceObject(record->Top);
    machine_.Component<PnpManager>().HandleClosed(record->Pdo);
}

vxio::Status IoManager::CancelIo(vxio::Handle Handle)
{
    machine_.SchedulingPoint("an application's CancelIo");
    std::vector<std::shared_ptr<vxio::Request>> targets;
    std::shared_ptr<HandleRecord> record = Find(Handle);
    if (record == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    {
        // A request in InFlight is alive: its completion leaves the set
        // under this lock before it lets go of the request.
        std::lock_guard lock(record->Mu);
        for (Pending *pending : record->InFlight) {
            std::lock_guard pendingLock(pending->Mu);
            if (pending->Self) {
                targets.push_back(pending->Self);
            }
        }
    }
    for (auto &target : targets) {
        target->Cancel();
    }
    return STATUS_SUCCESS;
}

IoManager::Counts IoManager::IrpCounts() const
{
    // Completions first: a request's issue is counted before its completion,
    // so every completion summed here has its issue in the second sum, and
    // Completed never runs ahead of Issued.
    Counts total;
    for (const CountShard &shard : counts_) {
        total.Completed += shard.Completed.load();
    }
    for (const CountShard &shard : counts_) {
        total.Issued += shard.Issued.load();
    }
    return total;
}

uint64_t IoManager::Outstanding() const
{
    const Counts total = IrpCounts();
    return total.Issued - total.Completed;
}

size_t IoManager::OpenHandles() const
{
    std::lock_guard lock(mutex_);
    return handles_.size();
}

void IoManager::WaitIdle() { closer_->WaitIdle(); }

}  // namespace sim
