#include "sim/kernel/PnpManager.h"

#include <cstdio>
#include <cstring>

#include "sim/kernel/DeviceInterfaces.h"
#include "sim/kernel/WmiService.h"

namespace sim {

namespace {

// Devices that may already be deleted are named by address only.
std::string Address(const void *object)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%p", object);
    return text;
}

bool EqualFolded(std::u16string_view a, std::u16string_view b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        char16_t x = a[i], y = b[i];
        if (x >= u'a' && x <= u'z')
            x = static_cast<char16_t>(x - 32);
        if (y >= u'a' && y <= u'z')
            y = static_cast<char16_t>(y - 32);
        if (x != y) {
            return false;
        }
    }
    return true;
}

const char *MinorName(UCHAR minor)
{
    switch (minor) {
    case IRP_MN_START_DEVICE: return "IRP_MN_START_DEVICE";
    case IRP_MN_QUERY_REMOVE_DEVICE: return "IRP_MN_QUERY_REMOVE_DEVICE";
    case IRP_MN_REMOVE_DEVICE: return "IRP_MN_REMOVE_DEVICE";
    case IRP_MN_CANCEL_REMOVE_DEVICE: return "IRP_MN_CANCEL_REMOVE_DEVICE";
    case IRP_MN_STOP_DEVICE: return "IRP_MN_STOP_DEVICE";
    case IRP_MN_QUERY_STOP_DEVICE: return "IRP_MN_QUERY_STOP_DEVICE";
    case IRP_MN_CANCEL_STOP_DEVICE: return "IRP_MN_CANCEL_STOP_DEVICE";
    case IRP_MN_QUERY_CAPABILITIES: return "IRP_MN_QUERY_CAPABILITIES";
    case IRP_MN_SURPRISE_REMOVAL: return "IRP_MN_SURPRISE_REMOVAL";
    default: return "PnP minor";
    }
}

bool MustNotFail(UCHAR minor)
{
    return minor == IRP_MN_REMOVE_DEVICE || minor == IRP_MN_CANCEL_REMOVE_DEVICE ||
           minor == IRP_MN_CANCEL_STOP_DEVICE || minor == IRP_MN_SURPRISE_REMOVAL;
}

bool DriverOwnsDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT device)
{
    for (PDEVICE_OBJECT d = driver->DeviceObject; d != nullptr; d = d->NextDevice) {
        if (d == device) {
            return true;
        }
    }
    return false;
}

struct SyncWait {
    KEVENT Done;
    NTSTATUS Status = STATUS_PENDING;
    ULONG_PTR Information = 0;
};

void PnpIrpFinished(PIRP Irp, void *Context)
{
    auto *wait = static_cast<SyncWait *>(Context);
    wait->Status = Irp->IoStatus.Status;
    wait->Information = Irp->IoStatus.Information;
    IoFreeIrp(Irp);
    KeSetEvent(&wait->Done, IO_NO_INCREMENT, FALSE);
}

}  // namespace

const char *NodeStateName(NodeState State)
{
    switch (State) {
    case NodeState::Arrived: return "Arrived";
    case NodeState::Added: return "Added";
    case NodeState::Started: return "Started";
    case NodeState::QueryStopped: return "QueryStopped";
    case NodeState::Stopped: return "Stopped";
    case NodeState::QueryRemoved: return "QueryRemoved";
    case NodeState::SurpriseRemoved: return "SurpriseRemoved";
    case NodeState::Removed: return "Removed";
    case NodeState::AddFailed: return "AddFailed";
    }
    return "?";
}

struct PnpManager::Node {
    PDEVICE_OBJECT Pdo = nullptr;
    std::u16string InstanceId;
    std::u16string HardwareId;
    PDRIVER_OBJECT Driver = nullptr;
    PDEVICE_OBJECT Fdo = nullptr;
    NodeState State = NodeState::Arrived;
    NodeState StateBeforeQuery = NodeState::Added;
    int Handles = 0;
    bool RemovalOnLastClose = false;
    std::vector<PnpRecord> History;
    PIRP ActiveIrp = nullptr;  // the PnP request in the stack right now
    bool DetachReported = false;
};

// Sees every PnP request that reaches a device of a known stack: a second
// one while the manager's own is in the stack means two at once.
class PnpManager::Observer : public IrpObserver {
public:
    explicit Observer(PnpManager &owner) : owner_(owner) {}
    void OnCallDriver(PDEVICE_OBJECT Target, PIRP Irp, CallPath) override
    {
        if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction != IRP_MJ_PNP) {
            return;
        }
        PIRP active = nullptr;
        {
            std::lock_guard lock(owner_.mutex_);
            for (auto &[pdo, node] : owner_.nodes_) {
                if (node->State != NodeState::Removed && (Target == node->Fdo || Target == pdo)) {
                    active = node->ActiveIrp;
                    break;
                }
            }
        }
        if (active != nullptr && active != Irp) {
            owner_.machine_.ReportViolation(checks::ConcurrentPnpIrp, Irp, Target,
                                            "a PnP request reached the stack while another "
                                            "one was still in it");
        }
    }

private:
    PnpManager &owner_;
};

PnpManager::PnpManager(Machine &machine) : machine_(machine)
{
    observer_ = std::make_unique<Observer>(*this);
    machine_.AddIrpObserver(observer_.get());
    thread_ = std::make_unique<ManagerThread>(machine_, "pnp");
}

PnpManager::~PnpManager()
{
    Shutdown();
    machine_.RemoveIrpObserver(observer_.get());
}

void PnpManager::Shutdown() { thread_->Stop(); }

void PnpManager::Enqueue(std::function<void()> Job) { thread_->Post(std::move(Job)); }

NTSTATUS PnpManager::RunSync(std::function<NTSTATUS()> Job)
{
    NTSTATUS status = STATUS_PENDING;
    thread_->Run([&status, &Job] { status = Job(); });
    return status;
}

void PnpManager::WaitIdle() { thread_->WaitIdle(); }

PnpManager::Node *PnpManager::FindNode(PDEVICE_OBJECT Pdo) const
{
    auto it = nodes_.find(Pdo);
    return it == nodes_.end() ? nullptr : it->second.get();
}

void PnpManager::RegisterFunctionDriver(PDRIVER_OBJECT Driver, std::u16string HardwareId)
{
    std::lock_guard lock(mutex_);
    drivers_.emplace_back(Driver, std::move(HardwareId));
}

void PnpManager::DeviceArrived(PDEVICE_OBJECT Pdo, std::u16string InstanceId, std::u16string HardwareId)
{
    {
        std::lock_guard lock(mutex_);
        auto node = std::make_unique<Node>();
        node->Pdo = Pdo;
        node->InstanceId = InstanceId.empty() ? u"SIM\\DEVICE\\" +
                                                    [](unsigned n) {
                                                        std::u16string s;
                                                        for (char c : std::to_string(n))
                                                            s.push_back(static_cast<char16_t>(c));
                                                        return s;
                                                    }(nextInstance_++)
                                              : std::move(InstanceId);
        node->HardwareId = std::move(HardwareId);
        // A PDO address may come back after an earlier device was removed;
        // a second report of a PDO still present changes nothing.
        auto it = nodes_.find(Pdo);
        if (it != nodes_.end() && it->second->State != NodeState::Removed &&
            it->second->State != NodeState::AddFailed) {
            return;
        }
        nodes_[Pdo] = std::move(node);
    }
    Enqueue([this, Pdo] { (void)DoArrival(Pdo); });
}

NTSTATUS PnpManager::Plug(PDEVICE_OBJECT Pdo, std::u16string InstanceId, std::u16string HardwareId)
{
    DeviceArrived(Pdo, std::move(InstanceId), std::move(HardwareId));
    // The arrival job runs first (queue order); this one reads its outcome.
    return RunSync([this, Pdo]() -> NTSTATUS {
        std::lock_guard lock(mutex_);
        Node *node = FindNode(Pdo);
        if (node == nullptr) {
            return STATUS_NO_SUCH_DEVICE;
        }
        for (auto it = node->History.rbegin(); it != node->History.rend(); ++it) {
            if (it->Minor == IRP_MN_START_DEVICE) {
                return it->Status;
            }
        }
        return node->State == NodeState::Started ? STATUS_SUCCESS : STATUS_NO_SUCH_DEVICE;
    });
}

void PnpManager::DeviceVanished(PDEVICE_OBJECT Pdo)
{
    Enqueue([this, Pdo] { (void)DoSurpriseRemove(Pdo); });
}

NTSTATUS PnpManager::DoArrival(PDEVICE_OBJECT Pdo)
{
    PDRIVER_OBJECT driver = nullptr;
    {
        std::lock_guard lock(mutex_);
        Node *node = FindNode(Pdo);
        if (node == nullptr) {
            return STATUS_NO_SUCH_DEVICE;
        }
        for (auto &[candidate, id] : drivers_) {
            if (id.empty() || EqualFolded(id, node->HardwareId)) {
                driver = candidate;
                break;
            }
        }
        if (driver == nullptr || driver->DriverExtension == nullptr || driver->DriverExtension->AddDevice == nullptr) {
            node->State = NodeState::AddFailed;
            return STATUS_NO_SUCH_DEVICE;
        }
        node->Driver = driver;
    }

    PDRIVER_ADD_DEVICE addDevice = driver->DriverExtension->AddDevice;
    const NTSTATUS added =
        CallInFrame(FrameKind::AddDevice, driver, Pdo, nullptr, reinterpret_cast<const void *>(addDevice),
                    [&] { return addDevice(driver, Pdo); });
    machine_.Component<WmiService>().SweepDeleted();
    if (!NT_SUCCESS(added)) {
        std::lock_guard lock(mutex_);
        FindNode(Pdo)->State = NodeState::AddFailed;
        return added;
    }

    PDEVICE_OBJECT top = IoGetAttachedDevice(Pdo);
    if (top != Pdo) {
        if ((top->Flags & DO_DEVICE_INITIALIZING) != 0) {
            machine_.ReportViolation(checks::DeviceInitializing, nullptr, top,
                                     "AddDevice returned with DO_DEVICE_INITIALIZING still set "
                                     "on the device object it attached");
        }
        if (((top->Flags ^ Pdo->Flags) & DO_POWER_PAGABLE) != 0) {
            machine_.ReportViolation(checks::PowerPagableNotInherited, nullptr, top,
                                     "DO_POWER_PAGABLE of the attached device object differs "
                                     "from the device below it");
        }
    }
    {
        std::lock_guard lock(mutex_);
        Node *node = FindNode(Pdo);
        node->Fdo = top != Pdo ? top : nullptr;
        node->State = NodeState::Added;
    }

    DEVICE_CAPABILITIES capabilities;
    IO_STACK_LOCATION parameters{};
    std::memset(&capabilities, 0, sizeof(capabilities));
    capabilities.Size = sizeof(DEVICE_CAPABILITIES);
    capabilities.Version = 1;
    capabilities.Address = 0xFFFFFFFF;
    capabilities.UINumber = 0xFFFFFFFF;
    parameters.Parameters.DeviceCapabilities.Capabilities = &capabilities;
    const NTSTATUS queried = DoSend(Pdo, IRP_MN_QUERY_CAPABILITIES, &parameters, nullptr);
    if (!NT_SUCCESS(queried)) {
        (void)DoRemove(Pdo, false);
        std::lock_guard lock(mutex_);
        FindNode(Pdo)->State = NodeState::AddFailed;
        return queried;
    }

    const NTSTATUS started = DoSend(Pdo, IRP_MN_START_DEVICE, nullptr, nullptr);
    if (!NT_SUCCESS(started)) {
        // Windows removes a device whose start failed.
        (void)DoRemove(Pdo, false);
        std::lock_guard lock(mutex_);
        FindNode(Pdo)->State = NodeState::AddFailed;
    }
    return started;
}

NTSTATUS PnpManager::DoSend(PDEVICE_OBJECT Pdo, UCHAR Minor, PIO_STACK_LOCATION Parameters, ULONG_PTR *Information)
{
    {
        std::lock_guard lock(mutex_);
        Node *node = FindNode(Pdo);
        if (node == nullptr || node->State == NodeState::Removed || node->State == NodeState::AddFailed ||
            node->State == NodeState::Arrived) {
            return STATUS_NO_SUCH_DEVICE;
        }
    }

    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(Pdo);
    SyncWait wait;
    KeInitializeEvent(&wait.Done, NotificationEvent, FALSE);
    PIRP irp = AllocateManagerIrp(top->StackSize, PnpIrpFinished, &wait);
    if (irp == nullptr) {
        ObDereferenceObject(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION location = IoGetNextIrpStackLocation(irp);
    if (Parameters != nullptr) {
        location->Parameters = Parameters->Parameters;
    }
    location->MajorFunction = IRP_MJ_PNP;
    location->MinorFunction = Minor;
    {
        std::lock_guard lock(mutex_);
        FindNode(Pdo)->ActiveIrp = irp;
    }
    (void)IofCallDriver(top, irp);
    (void)KeWaitForSingleObject(&wait.Done, Executive, KernelMode, FALSE, nullptr);
    {
        std::lock_guard lock(mutex_);
        Node *node = FindNode(Pdo);
        node->ActiveIrp = nullptr;
        node->History.push_back(PnpRecord{Minor, wait.Status, wait.Information});
    }
    machine_.Component<WmiService>().SweepDeleted();
    if (MustNotFail(Minor) && !NT_SUCCESS(wait.Status)) {
        machine_.ReportViolation(
            checks::PnpRequestFailed, nullptr, top,
            std::string(MinorName(Minor)) + " must not fail, but the stack completed it with 0x" + [](NTSTATUS s) {
                char buf[16];
                std::snprintf(buf, sizeof(buf), "%08X", static_cast<unsigned>(s));
                return std::string(buf);
            }(wait.Status));
    }
    ObDereferenceObject(top);
    if (Information != nullptr) {
        *Information = wait.Information;
    }

    // Follow the stack's state as Windows records it.
    std::lock_guard lock(mutex_);
    Node *node = FindNode(Pdo);
    const bool ok = NT_SUCCESS(wait.Status);
    switch (Minor) {
    case IRP_MN_START_DEVICE:
        if (ok)
            node->State = NodeState::Started;
        break;
    case IRP_MN_QUERY_STOP_DEVICE:
        if (ok) {
            node->StateBeforeQuery = node->State;
            node->State = NodeState::QueryStopped;
        }
        break;
    case IRP_MN_QUERY_REMOVE_DEVICE:
        if (ok) {
            node->StateBeforeQuery = node->State;
            node->State = NodeState::QueryRemoved;
        }
        break;
    case IRP_MN_CANCEL_STOP_DEVICE:
        if (node->State == NodeState::QueryStopped)
            node->State = node->StateBeforeQuery;
        break;
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        if (node->State == NodeState::QueryRemoved)
            node->State = node->StateBeforeQuery;
        break;
    case IRP_MN_STOP_DEVICE: node->State = NodeState::Stopped; break;
    case IRP_MN_SURPRISE_REMOVAL: node->State = NodeState::SurpriseRemoved; break;
    case IRP_MN_REMOVE_DEVICE: node->State = NodeState::Removed; break;
    default: break;
    }
    return wait.Status;
}

void PnpManager::CheckAfterRemoval(Node &node)
{
    // The PDO is still referenced by the caller, so its memory is readable.
    if (node.Fdo == nullptr) {
        return;
    }
    if (node.Pdo->AttachedDevice != nullptr) {
        machine_.ReportViolation(checks::StillAttachedAfterRemoval, nullptr, node.Pdo->AttachedDevice,
                                 "the function device object is still attached to the PDO "
                                 "after IRP_MN_REMOVE_DEVICE");
    }
    machine_.Component<WmiService>().DeviceDeleted(node.Fdo);
    if (node.Driver != nullptr && DriverOwnsDevice(node.Driver, node.Fdo)) {
        machine_.ReportViolation(checks::NotDeletedAfterRemoval, nullptr, node.Fdo,
                                 "the function device object was not deleted by "
                                 "IRP_MN_REMOVE_DEVICE");
    }
}

NTSTATUS PnpManager::DoRemove(PDEVICE_OBJECT Pdo, bool AfterSurprise)
{
    Node snapshot;
    {
        std::lock_guard lock(mutex_);
        Node *node = FindNode(Pdo);
        if (node == nullptr) {
            return STATUS_NO_SUCH_DEVICE;
        }
        node->RemovalOnLastClose = false;
        snapshot.Pdo = node->Pdo;
        snapshot.Fdo = node->Fdo;
        snapshot.Driver = node->Driver;
    }
    bool reported = false;
    {
        std::lock_guard lock(mutex_);
        reported = FindNode(Pdo)->DetachReported;
    }
    if (AfterSurprise && !reported && snapshot.Fdo != nullptr && Pdo->AttachedDevice != snapshot.Fdo) {
        machine_.ReportViolation(checks::DetachedDuringSurpriseRemoval, nullptr, nullptr,
                                 "the function device object " + Address(snapshot.Fdo) +
                                     " left the stack before IRP_MN_REMOVE_DEVICE arrived");
    }
    ObReferenceObject(Pdo);
    const NTSTATUS status = DoSend(Pdo, IRP_MN_REMOVE_DEVICE, nullptr, nullptr);
    CheckAfterRemoval(snapshot);
    machine_.Component<DeviceInterfaces>().ForgetDevice(Pdo);
    ObDereferenceObject(Pdo);
    return status;
}

NTSTATUS PnpManager::DoSurpriseRemove(PDEVICE_OBJECT Pdo)
{
    PDEVICE_OBJECT fdo = nullptr;
    {
        std::lock_guard lock(mutex_);
        Node *node = FindNode(Pdo);
        if (node == nullptr || node->State == NodeState::Removed || node->State == NodeState::SurpriseRemoved) {
            return STATUS_NO_SUCH_DEVICE;
        }
        if (node->State == NodeState::Arrived || node->State == NodeState::AddFailed) {
            node->State = NodeState::Removed;
            return STATUS_SUCCESS;
        }
        fdo = node->Fdo;
    }
    const NTSTATUS status = DoSend(Pdo, IRP_MN_SURPRISE_REMOVAL, nullptr, nullptr);
    if (fdo != nullptr && Pdo->AttachedDevice != fdo) {
        machine_.ReportViolation(checks::DetachedDuringSurpriseRemoval, nullptr, nullptr,
                                 "the function device object " + Address(fdo) +
                                     " detached or deleted itself while handling "
                                     "IRP_MN_SURPRISE_REMOVAL");
        std::lock_guard lock(mutex_);
        FindNode(Pdo)->DetachReported = true;
    }
    bool removeNow = false;
    {
        std::lock_guard lock(mutex_);
        Node *node = FindNode(Pdo);
        node->State = NodeState::SurpriseRemoved;
        removeNow = node->Handles == 0;
        node->RemovalOnLastClose = !removeNow;
    }
    if (removeNow) {
        (void)DoRemove(Pdo, true);
    }
    return status;
}

NTSTATUS PnpManager::Start(PDEVICE_OBJECT Pdo)
{
    return RunSync([this, Pdo] { return DoSend(Pdo, IRP_MN_START_DEVICE, nullptr, nullptr); });
}
NTSTATUS PnpManager::QueryStop(PDEVICE_OBJECT Pdo)
{
    return RunSync([this, Pdo] { return DoSend(Pdo, IRP_MN_QUERY_STOP_DEVICE, nullptr, nullptr); });
}
NTSTATUS PnpManager::CancelStop(PDEVICE_OBJECT Pdo)
{
    return RunSync([this, Pdo] { return DoSend(Pdo, IRP_MN_CANCEL_STOP_DEVICE, nullptr, nullptr); });
}
NTSTATUS PnpManager::Stop(PDEVICE_OBJECT Pdo)
{
    return RunSync([this, Pdo] { return DoSend(Pdo, IRP_MN_STOP_DEVICE, nullptr, nullptr); });
}
NTSTATUS PnpManager::QueryRemove(PDEVICE_OBJECT Pdo)
{
    return RunSync([this, Pdo] { return DoSend(Pdo, IRP_MN_QUERY_REMOVE_DEVICE, nullptr, nullptr); });
}
NTSTATUS PnpManager::CancelRemove(PDEVICE_OBJECT Pdo)
{
    return RunSync([this, Pdo] { return DoSend(Pdo, IRP_MN_CANCEL_REMOVE_DEVICE, nullptr, nullptr); });
}
NTSTATUS PnpManager::Remove(PDEVICE_OBJECT Pdo)
{
    return RunSync([this, Pdo] {
        bool afterSurprise = false;
        {
            std::lock_guard lock(mutex_);
            Node *node = FindNode(Pdo);
            afterSurprise = node != nullptr && node->State == NodeState::SurpriseRemoved;
        }
        return DoRemove(Pdo, afterSurprise);
    });
}
NTSTATUS PnpManager::SurpriseRemove(PDEVICE_OBJECT Pdo)
{
    return RunSync([this, Pdo] {
        {
            std::lock_guard lock(mutex_);
            Node *node = FindNode(Pdo);
            if (node == nullptr) {
                return STATUS_NO_SUCH_DEVICE;
            }
        }
        return DoSend(Pdo, IRP_MN_SURPRISE_REMOVAL, nullptr, nullptr);
    });
}

NTSTATUS PnpManager::QueryCapabilities(PDEVICE_OBJECT Pdo, DEVICE_CAPABILITIES *Capabilities)
{
    return RunSync([this, Pdo, Capabilities] {
        DEVICE_CAPABILITIES capabilities;
        std::memset(&capabilities, 0, sizeof(capabilities));
        capabilities.Size = sizeof(DEVICE_CAPABILITIES);
        capabilities.Version = 1;
        capabilities.Address = 0xFFFFFFFF;
        capabilities.UINumber = 0xFFFFFFFF;
        IO_STACK_LOCATION parameters{};
        parameters.Parameters.DeviceCapabilities.Capabilities = &capabilities;
        const NTSTATUS status = DoSend(Pdo, IRP_MN_QUERY_CAPABILITIES, &parameters, nullptr);
        if (Capabilities != nullptr) {
            *Capabilities = capabilities;
        }
        return status;
    });
}

NTSTATUS PnpManager::SendMinor(PDEVICE_OBJECT Pdo, UCHAR Minor, PVOID Argument1, PVOID Argument2,
                               ULONG_PTR *Information)
{
    return RunSync([=, this] {
        IO_STACK_LOCATION parameters{};
        parameters.Parameters.Others.Argument1 = Argument1;
        parameters.Parameters.Others.Argument2 = Argument2;
        return DoSend(Pdo, Minor, &parameters, Information);
    });
}

NTSTATUS PnpManager::Disable(PDEVICE_OBJECT Pdo)
{
    return RunSync([this, Pdo] {
        const NTSTATUS query = DoSend(Pdo, IRP_MN_QUERY_REMOVE_DEVICE, nullptr, nullptr);
        if (!NT_SUCCESS(query)) {
            (void)DoSend(Pdo, IRP_MN_CANCEL_REMOVE_DEVICE, nullptr, nullptr);
            return query;
        }
        return DoRemove(Pdo, false);
    });
}

NTSTATUS PnpManager::Rebalance(PDEVICE_OBJECT Pdo)
{
    return RunSync([this, Pdo] {
        const NTSTATUS query = DoSend(Pdo, IRP_MN_QUERY_STOP_DEVICE, nullptr, nullptr);
        if (!NT_SUCCESS(query)) {
            (void)DoSend(Pdo, IRP_MN_CANCEL_STOP_DEVICE, nullptr, nullptr);
            return query;
        }
        const NTSTATUS stopped = DoSend(Pdo, IRP_MN_STOP_DEVICE, nullptr, nullptr);
        if (!NT_SUCCESS(stopped)) {
            return stopped;
        }
        const NTSTATUS started = DoSend(Pdo, IRP_MN_START_DEVICE, nullptr, nullptr);
        if (!NT_SUCCESS(started)) {
            // Windows removes a device that does not start again.
            (void)DoRemove(Pdo, false);
        }
        return started;
    });
}

NTSTATUS PnpManager::Unplug(PDEVICE_OBJECT Pdo)
{
    return RunSync([this, Pdo] { return DoSurpriseRemove(Pdo); });
}

NodeState PnpManager::State(PDEVICE_OBJECT Pdo) const
{
    std::lock_guard lock(mutex_);
    Node *node = FindNode(Pdo);
    return node == nullptr ? NodeState::Removed : node->State;
}

PDEVICE_OBJECT PnpManager::FunctionDevice(PDEVICE_OBJECT Pdo) const
{
    std::lock_guard lock(mutex_);
    Node *node = FindNode(Pdo);
    return node == nullptr ? nullptr : node->Fdo;
}

std::u16string PnpManager::InstanceId(PDEVICE_OBJECT Pdo) const
{
    std::lock_guard lock(mutex_);
    Node *node = FindNode(Pdo);
    return node == nullptr ? std::u16string() : node->InstanceId;
}

std::vector<PnpRecord> PnpManager::History(PDEVICE_OBJECT Pdo) const
{
    std::lock_guard lock(mutex_);
    Node *node = FindNode(Pdo);
    return node == nullptr ? std::vector<PnpRecord>() : node->History;
}

bool PnpManager::AcceptsCreate(PDEVICE_OBJECT Pdo) const
{
    std::lock_guard lock(mutex_);
    Node *node = FindNode(Pdo);
    if (node == nullptr) {
        return false;
    }
    switch (node->State) {
    case NodeState::Started:
    case NodeState::QueryStopped:
    case NodeState::Stopped:
    case NodeState::QueryRemoved: return true;
    default: return false;
    }
}

bool PnpManager::Knows(PDEVICE_OBJECT Pdo) const
{
    std::lock_guard lock(mutex_);
    return FindNode(Pdo) != nullptr;
}

void PnpManager::HandleOpened(PDEVICE_OBJECT Pdo)
{
    std::lock_guard lock(mutex_);
    if (Node *node = FindNode(Pdo)) {
        ++node->Handles;
    }
}

void PnpManager::HandleClosed(PDEVICE_OBJECT Pdo)
{
    bool removeNow = false;
    {
        std::lock_guard lock(mutex_);
        Node *node = FindNode(Pdo);
        if (node == nullptr) {
            return;
        }
        --node->Handles;
        removeNow = node->Handles == 0 && node->RemovalOnLastClose;
        if (removeNow) {
            node->RemovalOnLastClose = false;
        }
    }
    if (removeNow) {
        Enqueue([this, Pdo] { (void)DoRemove(Pdo, true); });
    }
}

}  // namespace sim
