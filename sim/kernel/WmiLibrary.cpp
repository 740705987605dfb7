// The WMI library drivers call: WmiSystemControl decodes a system-control
// request, calls the driver's callbacks; WmiCompleteRequest fills in the
// WNODE the request carries and completes the IRP.
#include <cstddef>
#include <cstring>

#include "sim/kernel/WmiService.h"

namespace {

constexpr ULONG AlignUp8(ULONG value) { return (value + 7u) & ~7u; }

// Offset of the data of a WNODE_ALL_DATA answering InstanceCount instances.
ULONG AllDataOffset(ULONG instanceCount)
{
    const size_t header = offsetof(WNODE_ALL_DATA, OffsetInstanceDataAndLength) +
                          static_cast<size_t>(instanceCount) * sizeof(OFFSETINSTANCEDATAANDLENGTH);
    return AlignUp8(static_cast<ULONG>(std::max(header, sizeof(WNODE_ALL_DATA))));
}

NTSTATUS Finish(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

bool FindGuid(PWMILIB_CONTEXT Context, const GUID &Guid, ULONG *Index)
{
    for (ULONG i = 0; i < Context->GuidCount; ++i) {
        const WMIGUIDREGINFO &entry = Context->GuidList[i];
        if (entry.Guid != nullptr && (entry.Flags & WMIREG_FLAG_REMOVE_GUID) == 0 &&
            InlineIsEqualGUID(*entry.Guid, Guid)) {
            *Index = i;
            return true;
        }
    }
    return false;
}

void PutCountedString(PUCHAR Base, ULONG *Offset, PCUNICODE_STRING Text)
{
    const USHORT bytes = Text != nullptr && Text->Buffer != nullptr ? Text->Length : 0;
    std::memcpy(Base + *Offset, &bytes, sizeof(bytes));
    if (bytes != 0) {
        std::memcpy(Base + *Offset + sizeof(USHORT), Text->Buffer, bytes);
    }
    *Offset += sizeof(USHORT) + bytes;
}

// IRP_MN_REGINFO(_EX): the registration block the WMI service reads.
NTSTATUS BuildRegInfo(PWMILIB_CONTEXT Context, PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Location)
{
    if (Context->QueryWmiRegInfo == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    ULONG flags = 0;
    UNICODE_STRING instanceName{};
    PUNICODE_STRING registryPath = nullptr;
    UNICODE_STRING mofName{};
    PDEVICE_OBJECT pdo = nullptr;
    NTSTATUS status = Context->QueryWmiRegInfo(DeviceObject, &flags, &instanceName, &registryPath, &mofName, &pdo);
    const bool baseName = (flags & WMIREG_FLAG_INSTANCE_BASENAME) != 0;
    if (NT_SUCCESS(status) && (flags & WMIREG_FLAG_INSTANCE_PDO) != 0 && pdo == nullptr) {
        status = STATUS_INVALID_PARAMETER;
    }
    if (NT_SUCCESS(status)) {
        const size_t header =
            offsetof(WMIREGINFOW, WmiRegGuid) + static_cast<size_t>(Context->GuidCount) * sizeof(WMIREGGUIDW);
        const size_t strings = 3 * sizeof(USHORT) + (registryPath != nullptr ? registryPath->Length : 0) +
                               mofName.Length + (baseName ? instanceName.Length : 0);
        const size_t total = header + strings;
        const ULONG available = Location->Parameters.WMI.BufferSize;
        auto *buffer = static_cast<PUCHAR>(Location->Parameters.WMI.Buffer);
        if (total > available || buffer == nullptr) {
            // The service retries with the size it is told.
            if (buffer != nullptr && available >= sizeof(ULONG)) {
                const ULONG needed = static_cast<ULONG>(total);
                std::memcpy(buffer, &needed, sizeof(needed));
                Irp->IoStatus.Information = sizeof(ULONG);
            } else {
                Irp->IoStatus.Information = 0;
            }
            status = STATUS_BUFFER_TOO_SMALL;
        } else {
            std::memset(buffer, 0, total);
            auto *info = reinterpret_cast<PWMIREGINFOW>(buffer);
            info->BufferSize = static_cast<ULONG>(total);
            info->GuidCount = Context->GuidCount;
            ULONG offset = static_cast<ULONG>(header);
            info->RegistryPath = offset;
            PutCountedString(buffer, &offset, registryPath);
            info->MofResourceName = offset;
            PutCountedString(buffer, &offset, &mofName);
            const ULONG baseNameOffset = offset;
            if (baseName) {
                PutCountedString(buffer, &offset, &instanceName);
            }
            for (ULONG i = 0; i < Context->GuidCount; ++i) {
                const WMIGUIDREGINFO &entry = Context->GuidList[i];
                WMIREGGUIDW guid{};
                if (entry.Guid != nullptr) {
                    guid.Guid = *entry.Guid;
                }
                guid.Flags =
                    entry.Flags |
                    (flags & (WMIREG_FLAG_INSTANCE_PDO | WMIREG_FLAG_INSTANCE_BASENAME | WMIREG_FLAG_EXPENSIVE));
                guid.InstanceCount = entry.InstanceCount;
                if ((flags & WMIREG_FLAG_INSTANCE_PDO) != 0) {
                    guid.Pdo = reinterpret_cast<ULONG_PTR>(pdo);
                } else if (baseName) {
                    guid.BaseNameOffset = baseNameOffset;
                }
                std::memcpy(buffer + offsetof(WMIREGINFOW, WmiRegGuid) + i * sizeof(WMIREGGUIDW), &guid, sizeof(guid));
            }
            Irp->IoStatus.Information = total;
        }
    } else {
        Irp->IoStatus.Information = 0;
    }
    // A base name is the driver's pool allocation, handed over to WMI.
    if (baseName && instanceName.Buffer != nullptr) {
        ExFreePool(instanceName.Buffer);
    }
    Irp->IoStatus.Status = status;
    return status;
}

}  // namespace

extern "C" NTSTATUS NTAPI WmiSystemControl(PWMILIB_CONTEXT WmiLibInfo, PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                           PSYSCTL_IRP_DISPOSITION IrpDisposition)
{
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
    const UCHAR minor = location->MinorFunction;
    if (minor > IRP_MN_EXECUTE_METHOD && minor != IRP_MN_REGINFO_EX) {
        *IrpDisposition = IrpNotWmi;
        return Irp->IoStatus.Status;
    }
    if (location->Parameters.WMI.ProviderId != reinterpret_cast<ULONG_PTR>(DeviceObject)) {
        *IrpDisposition = IrpForward;
        return Irp->IoStatus.Status;
    }
    if (minor == IRP_MN_REGINFO || minor == IRP_MN_REGINFO_EX) {
        *IrpDisposition = IrpNotCompleted;
        return BuildRegInfo(WmiLibInfo, DeviceObject, Irp, location);
    }

    // Everything else is about one data block, named by the WNODE's GUID.
    *IrpDisposition = IrpProcessed;
    auto &service = sim::Machine::Current().Component<sim::WmiService>();
    auto *buffer = static_cast<PUCHAR>(location->Parameters.WMI.Buffer);
    const ULONG size = location->Parameters.WMI.BufferSize;
    if (buffer == nullptr || size < sizeof(WNODE_HEADER)) {
        return Finish(Irp, STATUS_INVALID_PARAMETER, 0);
    }
    auto *header = reinterpret_cast<PWNODE_HEADER>(buffer);
    ULONG guidIndex = 0;
    if (!FindGuid(WmiLibInfo, header->Guid, &guidIndex)) {
        return Finish(Irp, STATUS_WMI_GUID_NOT_FOUND, 0);
    }
    const ULONG instanceCount = WmiLibInfo->GuidList[guidIndex].InstanceCount;

    switch (minor) {
    case IRP_MN_QUERY_ALL_DATA: {
        const ULONG offset = AllDataOffset(instanceCount);
        if (size < sizeof(WNODE_ALL_DATA) || WmiLibInfo->QueryWmiDataBlock == nullptr) {
            return Finish(Irp, size < sizeof(WNODE_ALL_DATA) ? STATUS_BUFFER_TOO_SMALL : STATUS_INVALID_DEVICE_REQUEST,
                          0);
        }
        sim::WmiService::Handoff handoff;
        handoff.Minor = minor;
        handoff.InstanceCount = instanceCount;
        handoff.DataBlockOffset = offset;
        handoff.InstanceLengths.assign(instanceCount == 0 ? 1 : instanceCount, 0);
        auto *stored = service.BeginHandoff(Irp, std::move(handoff));
        const ULONG available = size > offset ? size - offset : 0;
        return WmiLibInfo->QueryWmiDataBlock(DeviceObject, Irp, guidIndex, 0, instanceCount,
                                             stored->InstanceLengths.data(), available,
                                             available != 0 ? buffer + offset : nullptr);
    }
    case IRP_MN_QUERY_SINGLE_INSTANCE:
    case IRP_MN_CHANGE_SINGLE_INSTANCE:
    case IRP_MN_CHANGE_SINGLE_ITEM: {
        const size_t fixed = minor == IRP_MN_CHANGE_SINGLE_ITEM ? offsetof(WNODE_SINGLE_ITEM, VariableData)
                                                                : offsetof(WNODE_SINGLE_INSTANCE, VariableData);
        if (size < fixed) {
            return Finish(Irp, STATUS_INVALID_PARAMETER, 0);
        }
        ULONG instanceIndex = 0;
        ULONG dataOffset = 0;
        ULONG dataSize = 0;
        ULONG itemId = 0;
        if (minor == IRP_MN_CHANGE_SINGLE_ITEM) {
            auto *item = reinterpret_cast<PWNODE_SINGLE_ITEM>(buffer);
            instanceIndex = item->InstanceIndex;
            dataOffset = item->DataBlockOffset;
            dataSize = item->SizeDataItem;
            itemId = item->ItemId;
        } else {
            auto *single = reinterpret_cast<PWNODE_SINGLE_INSTANCE>(buffer);
            instanceIndex = single->InstanceIndex;
            dataOffset = single->DataBlockOffset;
            dataSize = single->SizeDataBlock;
        }
        // The WNODE comes from outside the driver: its offsets are checked
        // before any callback sees a pointer made from them.
        if (dataOffset < fixed || dataOffset > size ||
            (minor != IRP_MN_QUERY_SINGLE_INSTANCE && dataSize > size - dataOffset)) {
            return Finish(Irp, STATUS_INVALID_PARAMETER, 0);
        }
        if (instanceIndex >= instanceCount) {
            return Finish(Irp, STATUS_WMI_INSTANCE_NOT_FOUND, 0);
        }
        sim::WmiService::Handoff handoff;
        handoff.Minor = minor;
        handoff.InstanceCount = 1;
        handoff.DataBlockOffset = dataOffset;
        handoff.InstanceLengths.assign(1, 0);
        if (minor == IRP_MN_QUERY_SINGLE_INSTANCE) {
            if (WmiLibInfo->QueryWmiDataBlock == nullptr) {
                return Finish(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
            }
            auto *stored = service.BeginHandoff(Irp, std::move(handoff));
            const ULONG available = size - dataOffset;
            return WmiLibInfo->QueryWmiDataBlock(DeviceObject, Irp, guidIndex, instanceIndex, 1,
                                                 stored->InstanceLengths.data(), available,
                                                 available != 0 ? buffer + dataOffset : nullptr);
        }
        if (minor == IRP_MN_CHANGE_SINGLE_INSTANCE) {
            if (WmiLibInfo->SetWmiDataBlock == nullptr) {
                return Finish(Irp, STATUS_WMI_READ_ONLY, 0);
            }
            service.BeginHandoff(Irp, std::move(handoff));
            return WmiLibInfo->SetWmiDataBlock(DeviceObject, Irp, guidIndex, instanceIndex, dataSize,
                                               buffer + dataOffset);
        }
        if (WmiLibInfo->SetWmiDataItem == nullptr) {
            return Finish(Irp, STATUS_WMI_READ_ONLY, 0);
        }
        service.BeginHandoff(Irp, std::move(handoff));
        return WmiLibInfo->SetWmiDataItem(DeviceObject, Irp, guidIndex, instanceIndex, itemId, dataSize,
                                          buffer + dataOffset);
    }
    case IRP_MN_ENABLE_EVENTS:
    case IRP_MN_DISABLE_EVENTS:
    case IRP_MN_ENABLE_COLLECTION:
    case IRP_MN_DISABLE_COLLECTION: {
        if (WmiLibInfo->WmiFunctionControl == nullptr) {
            return Finish(Irp, STATUS_SUCCESS, 0);
        }
        sim::WmiService::Handoff handoff;
        handoff.Minor = minor;
        service.BeginHandoff(Irp, std::move(handoff));
        const bool events = minor == IRP_MN_ENABLE_EVENTS || minor == IRP_MN_DISABLE_EVENTS;
        const bool enable = minor == IRP_MN_ENABLE_EVENTS || minor == IRP_MN_ENABLE_COLLECTION;
        return WmiLibInfo->WmiFunctionControl(DeviceObject, Irp, guidIndex,
                                              events ? WmiEventControl : WmiDataBlockControl, enable ? TRUE : FALSE);
    }
    default: {
        // IRP_MN_EXECUTE_METHOD
        auto *method = reinterpret_cast<PWNODE_METHOD_ITEM>(buffer);
        if (WmiLibInfo->ExecuteWmiMethod == nullptr || size < offsetof(WNODE_METHOD_ITEM, VariableData)) {
            return Finish(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
        }
        if (method->DataBlockOffset > size || method->SizeDataBlock > size - method->DataBlockOffset) {
            return Finish(Irp, STATUS_INVALID_PARAMETER, 0);
        }
        if (method->InstanceIndex >= instanceCount) {
            return Finish(Irp, STATUS_WMI_INSTANCE_NOT_FOUND, 0);
        }
        sim::WmiService::Handoff handoff;
        handoff.Minor = minor;
        handoff.InstanceCount = 1;
        handoff.DataBlockOffset = method->DataBlockOffset;
        service.BeginHandoff(Irp, std::move(handoff));
        return WmiLibInfo->ExecuteWmiMethod(DeviceObject, Irp, guidIndex, method->InstanceIndex, method->MethodId,
                                            method->SizeDataBlock, size - method->DataBlockOffset,
                                            buffer + method->DataBlockOffset);
    }
    }
}

extern "C" NTSTATUS NTAPI WmiCompleteRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status, ULONG BufferUsed,
                                             CCHAR PriorityBoost)
{
    (void)PriorityBoost;
    sim::Machine &machine = sim::Machine::Current();
    std::unique_ptr<sim::WmiService::Handoff> handoff = machine.Component<sim::WmiService>().EndHandoff(Irp);
    if (!handoff) {
        machine.ReportViolation(sim::checks::WmiUnknownCompletion, Irp, DeviceObject,
                                "WmiCompleteRequest on an IRP that WmiSystemControl did not hand "
                                "to a callback");
        return Finish(Irp, Status, 0);
    }
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
    auto *buffer = static_cast<PUCHAR>(location->Parameters.WMI.Buffer);
    const ULONG size = location->Parameters.WMI.BufferSize;
    auto *header = reinterpret_cast<PWNODE_HEADER>(buffer);
    const bool query = handoff->Minor == IRP_MN_QUERY_ALL_DATA || handoff->Minor == IRP_MN_QUERY_SINGLE_INSTANCE ||
                       handoff->Minor == IRP_MN_EXECUTE_METHOD;

    if (Status == STATUS_BUFFER_TOO_SMALL && query) {
        // WMI learns the size through a WNODE_TOO_SMALL in a successful IRP.
        auto *tooSmall = reinterpret_cast<PWNODE_TOO_SMALL>(buffer);
        tooSmall->WnodeHeader.BufferSize = sizeof(WNODE_TOO_SMALL);
        tooSmall->WnodeHeader.Flags |= WNODE_FLAG_TOO_SMALL;
        tooSmall->SizeNeeded = handoff->DataBlockOffset + BufferUsed;
        return Finish(Irp, STATUS_SUCCESS, sizeof(WNODE_TOO_SMALL));
    }
    if (!NT_SUCCESS(Status)) {
        return Finish(Irp, Status, 0);
    }
    const ULONG available = size > handoff->DataBlockOffset ? size - handoff->DataBlockOffset : 0;
    if (query && BufferUsed > available) {
        // The callback claims more than the room it was given.
        machine.ReportViolation(sim::checks::InformationTooLarge, Irp, DeviceObject,
                                "WmiCompleteRequest with BufferUsed larger than the buffer");
        return Finish(Irp, STATUS_INVALID_PARAMETER, 0);
    }
    switch (handoff->Minor) {
    case IRP_MN_QUERY_ALL_DATA: {
        auto *all = reinterpret_cast<PWNODE_ALL_DATA>(buffer);
        all->DataBlockOffset = handoff->DataBlockOffset;
        all->InstanceCount = handoff->InstanceCount;
        all->WnodeHeader.Flags |= WNODE_FLAG_ALL_DATA;
        bool same = true;
        for (ULONG length : handoff->InstanceLengths) {
            same = same && length == handoff->InstanceLengths[0];
        }
        if (same) {
            all->WnodeHeader.Flags |= WNODE_FLAG_FIXED_INSTANCE_SIZE;
            all->FixedInstanceSize = handoff->InstanceLengths[0];
        } else {
            ULONG offset = handoff->DataBlockOffset;
            for (ULONG i = 0; i < handoff->InstanceCount; ++i) {
                all->OffsetInstanceDataAndLength[i].OffsetInstanceData = offset;
                all->OffsetInstanceDataAndLength[i].LengthInstanceData = handoff->InstanceLengths[i];
                offset = AlignUp8(offset + handoff->InstanceLengths[i]);
            }
        }
        header->BufferSize = handoff->DataBlockOffset + BufferUsed;
        return Finish(Irp, Status, header->BufferSize);
    }
    case IRP_MN_QUERY_SINGLE_INSTANCE: {
        auto *single = reinterpret_cast<PWNODE_SINGLE_INSTANCE>(buffer);
        single->SizeDataBlock = BufferUsed;
        header->BufferSize = handoff->DataBlockOffset + BufferUsed;
        return Finish(Irp, Status, header->BufferSize);
    }
    case IRP_MN_EXECUTE_METHOD: {
        auto *method = reinterpret_cast<PWNODE_METHOD_ITEM>(buffer);
        method->SizeDataBlock = BufferUsed;
        header->BufferSize = handoff->DataBlockOffset + BufferUsed;
        return Finish(Irp, Status, header->BufferSize);
    }
    default: return Finish(Irp, Status, 0);
    }
}
