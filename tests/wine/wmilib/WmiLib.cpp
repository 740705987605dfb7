// wmilib.sys for the Wine harness: Wine 8.0 ships no WMI library, and a driver
// that imports WmiSystemControl and WmiCompleteRequest does not load without
// one. This is our own, exporting those two routines. It serves the WMI
// system-control requests of the providers that call it: registration
// information, queries of one instance or of all of them, setting an
// instance or one item, enabling and disabling events and collection, and
// methods. Used only by the harness; Windows has its own.
#include "platform/km/KernelPlatform.h"

namespace {

constexpr ULONG Align8(ULONG n) { return (n + 7) & ~7u; }

// The index of the data block the request names, or GuidCount.
ULONG FindGuid(PWMILIB_CONTEXT context, const GUID *guid)
{
    for (ULONG k = 0; k < context->GuidCount; ++k)
        if (RtlCompareMemory(context->GuidList[k].Guid, guid, sizeof(GUID)) == sizeof(GUID))
            return k;
    return context->GuidCount;
}

NTSTATUS CompleteWith(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Appends a counted string (USHORT byte length, then the characters) at
// `offset` of the registration buffer; returns the offset after it.
ULONG PutCountedString(PUCHAR base, ULONG offset, ULONG size, PCUNICODE_STRING text, bool *fits)
{
    const ULONG needed = sizeof(USHORT) + text->Length;
    if (offset + needed <= size) {
        *reinterpret_cast<USHORT UNALIGNED *>(base + offset) = text->Length;
        RtlCopyMemory(base + offset + sizeof(USHORT), text->Buffer, text->Length);
    } else {
        *fits = false;
    }
    return offset + needed;
}

NTSTATUS RegInfo(PWMILIB_CONTEXT context, PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG size = stack->Parameters.WMI.BufferSize;
    auto *base = static_cast<PUCHAR>(stack->Parameters.WMI.Buffer);
    if (context->QueryWmiRegInfo == nullptr)
        return CompleteWith(irp, STATUS_INVALID_DEVICE_REQUEST, 0);

    ULONG flags = 0;
    UNICODE_STRING instanceName = {0, 0, nullptr};
    PUNICODE_STRING registryPath = nullptr;
    UNICODE_STRING mofName = {0, 0, nullptr};
    PDEVICE_OBJECT pdo = nullptr;
    NTSTATUS status = context->QueryWmiRegInfo(device, &flags, &instanceName, &registryPath, &mofName, &pdo);
    if (!NT_SUCCESS(status))
        return CompleteWith(irp, status, 0);
    if (registryPath == nullptr) {
        if (instanceName.Buffer != nullptr)
            ExFreePool(instanceName.Buffer);
        return CompleteWith(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }

    bool fits = size >= sizeof(WMIREGINFOW);
    ULONG offset = sizeof(WMIREGINFOW) + context->GuidCount * sizeof(WMIREGGUIDW);
    if (offset > size)
        fits = false;
    auto *info = reinterpret_cast<PWMIREGINFOW>(base);
    const ULONG registryOffset = offset;
    offset = PutCountedString(base, offset, size, registryPath, &fits);
    ULONG mofOffset = 0;
    if (mofName.Buffer != nullptr) {
        mofOffset = offset;
        offset = PutCountedString(base, offset, size, &mofName, &fits);
    }
    ULONG nameOffset = 0;
    const bool byPdo = (flags & WMIREG_FLAG_INSTANCE_PDO) != 0 && pdo != nullptr;
    if (!byPdo && instanceName.Buffer != nullptr) {
        nameOffset = offset;
        offset = PutCountedString(base, offset, size, &instanceName, &fits);
    }
    if (instanceName.Buffer != nullptr)
        ExFreePool(instanceName.Buffer);

    if (!fits) {
        // The caller retries with the size asked for in the first ULONG.
        if (size >= sizeof(ULONG)) {
            *reinterpret_cast<PULONG>(base) = offset;
            return CompleteWith(irp, STATUS_BUFFER_TOO_SMALL, sizeof(ULONG));
        }
        return CompleteWith(irp, STATUS_BUFFER_TOO_SMALL, 0);
    }
    info->BufferSize = offset;
    info->NextWmiRegInfo = 0;
    info->RegistryPath = registryOffset;
    info->MofResourceName = mofOffset;
    info->GuidCount = context->GuidCount;
    for (ULONG k = 0; k < context->GuidCount; ++k) {
        WMIREGGUIDW &guid = info->WmiRegGuid[k];
        RtlZeroMemory(&guid, sizeof guid);
        guid.Guid = *context->GuidList[k].Guid;
        guid.InstanceCount = context->GuidList[k].InstanceCount;
        guid.Flags = context->GuidList[k].Flags | (flags & ~WMIREG_FLAG_INSTANCE_PDO);
        if (byPdo) {
            guid.Flags |= WMIREG_FLAG_INSTANCE_PDO;
            guid.Pdo = reinterpret_cast<ULONG_PTR>(pdo);
        } else if (nameOffset != 0) {
            guid.Flags |= WMIREG_FLAG_INSTANCE_BASENAME;
            guid.BaseNameOffset = nameOffset;
        }
    }
    return CompleteWith(irp, STATUS_SUCCESS, offset);
}

}  // namespace

extern "C" {

// Serves a WMI system-control IRP for the provider `context` describes, or
// says what to do with it. IRQL PASSIVE_LEVEL. On IrpProcessed the IRP is
// completed (now, or later through WmiCompleteRequest by the callback); on
// IrpNotCompleted the callback completed nothing and the caller must
// complete it with the returned status; on IrpForward and IrpNotWmi the
// caller passes it down untouched.
__declspec(dllexport) NTSTATUS NTAPI WmiSystemControl(PWMILIB_CONTEXT context, PDEVICE_OBJECT device, PIRP irp,
                                                      PSYSCTL_IRP_DISPOSITION disposition)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction != IRP_MJ_SYSTEM_CONTROL || stack->MinorFunction > IRP_MN_EXECUTE_METHOD) {
        *disposition = IrpNotWmi;
        return irp->IoStatus.Status;
    }
    if (stack->Parameters.WMI.ProviderId != reinterpret_cast<ULONG_PTR>(device)) {
        *disposition = IrpForward;
        return irp->IoStatus.Status;
    }
    *disposition = IrpProcessed;
    if (stack->MinorFunction == IRP_MN_REGINFO || stack->MinorFunction == IRP_MN_REGINFO_EX)
        return RegInfo(context, device, irp);

    const auto *guid = static_cast<const GUID *>(stack->Parameters.WMI.DataPath);
    const ULONG index = guid != nullptr ? FindGuid(context, guid) : context->GuidCount;
    if (index == context->GuidCount)
        return CompleteWith(irp, STATUS_WMI_GUID_NOT_FOUND, 0);
    const ULONG size = stack->Parameters.WMI.BufferSize;
    auto *buffer = static_cast<PUCHAR>(stack->Parameters.WMI.Buffer);

    switch (stack->MinorFunction) {
    case IRP_MN_QUERY_ALL_DATA: {
        const ULONG count = context->GuidList[index].InstanceCount;
        if (size < sizeof(WNODE_ALL_DATA) || count == 0)
            return CompleteWith(irp, STATUS_INVALID_PARAMETER, 0);
        // The instance lengths go where their offset and length pairs will
        // be (WmiCompleteRequest widens them); the data follows, aligned.
        const ULONG dataOffset =
            Align8(FIELD_OFFSET(WNODE_ALL_DATA, OffsetInstanceDataAndLength) + count * sizeof(OFFSETINSTANCEDATAANDLENGTH));
        auto *node = reinterpret_cast<PWNODE_ALL_DATA>(buffer);
        node->DataBlockOffset = dataOffset;
        node->InstanceCount = count;
        const bool room = dataOffset <= size;
        return context->QueryWmiDataBlock(device, irp, index, 0, count,
                                          room ? reinterpret_cast<PULONG>(node->OffsetInstanceDataAndLength) : nullptr,
                                          room ? size - dataOffset : 0, room ? buffer + dataOffset : nullptr);
    }
    case IRP_MN_QUERY_SINGLE_INSTANCE: {
        auto *node = reinterpret_cast<PWNODE_SINGLE_INSTANCE>(buffer);
        if (size < sizeof(WNODE_SINGLE_INSTANCE) || node->DataBlockOffset > size)
            return CompleteWith(irp, STATUS_INVALID_PARAMETER, 0);
        return context->QueryWmiDataBlock(device, irp, index, node->InstanceIndex, 1, &node->SizeDataBlock,
                                          size - node->DataBlockOffset, buffer + node->DataBlockOffset);
    }
    case IRP_MN_CHANGE_SINGLE_INSTANCE: {
        auto *node = reinterpret_cast<PWNODE_SINGLE_INSTANCE>(buffer);
        if (size < sizeof(WNODE_SINGLE_INSTANCE) || node->DataBlockOffset > size ||
            node->SizeDataBlock > size - node->DataBlockOffset)
            return CompleteWith(irp, STATUS_INVALID_PARAMETER, 0);
        if (context->SetWmiDataBlock == nullptr)
            return CompleteWith(irp, STATUS_WMI_READ_ONLY, 0);
        return context->SetWmiDataBlock(device, irp, index, node->InstanceIndex, node->SizeDataBlock,
                                        buffer + node->DataBlockOffset);
    }
    case IRP_MN_CHANGE_SINGLE_ITEM: {
        auto *node = reinterpret_cast<PWNODE_SINGLE_ITEM>(buffer);
        if (size < sizeof(WNODE_SINGLE_ITEM) || node->DataBlockOffset > size ||
            node->SizeDataItem > size - node->DataBlockOffset)
            return CompleteWith(irp, STATUS_INVALID_PARAMETER, 0);
        if (context->SetWmiDataItem == nullptr)
            return CompleteWith(irp, STATUS_WMI_READ_ONLY, 0);
        return context->SetWmiDataItem(device, irp, index, node->InstanceIndex, node->ItemId, node->SizeDataItem,
                                       buffer + node->DataBlockOffset);
    }
    case IRP_MN_EXECUTE_METHOD: {
        auto *node = reinterpret_cast<PWNODE_METHOD_ITEM>(buffer);
        if (size < sizeof(WNODE_METHOD_ITEM) || node->DataBlockOffset > size)
            return CompleteWith(irp, STATUS_INVALID_PARAMETER, 0);
        if (context->ExecuteWmiMethod == nullptr)
            return CompleteWith(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
        return context->ExecuteWmiMethod(device, irp, index, node->InstanceIndex, node->MethodId,
                                         node->SizeDataBlock, size - node->DataBlockOffset,
                                         buffer + node->DataBlockOffset);
    }
    case IRP_MN_ENABLE_EVENTS:
    case IRP_MN_DISABLE_EVENTS:
    case IRP_MN_ENABLE_COLLECTION:
    case IRP_MN_DISABLE_COLLECTION: {
        const bool events = stack->MinorFunction == IRP_MN_ENABLE_EVENTS || stack->MinorFunction == IRP_MN_DISABLE_EVENTS;
        const bool enable =
            stack->MinorFunction == IRP_MN_ENABLE_EVENTS || stack->MinorFunction == IRP_MN_ENABLE_COLLECTION;
        // A provider without the callback has nothing to switch.
        if (context->WmiFunctionControl == nullptr)
            return CompleteWith(irp, STATUS_SUCCESS, 0);
        return context->WmiFunctionControl(device, irp, index, events ? WmiEventControl : WmiDataBlockControl,
                                           enable ? TRUE : FALSE);
    }
    default:
        return CompleteWith(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

// Completes a WMI IRP that a WMILIB callback handled, filling in the WNODE
// around the `bufferUsed` bytes the callback wrote (or, with
// STATUS_BUFFER_TOO_SMALL, turning it into a WNODE_TOO_SMALL that asks for
// the size needed). IRQL <= DISPATCH_LEVEL. Returns the status the IRP was
// completed with.
__declspec(dllexport) NTSTATUS NTAPI WmiCompleteRequest(PDEVICE_OBJECT, PIRP irp, NTSTATUS status, ULONG bufferUsed,
                                                        CCHAR priorityBoost)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG size = stack->Parameters.WMI.BufferSize;
    auto *buffer = static_cast<PUCHAR>(stack->Parameters.WMI.Buffer);
    ULONG_PTR information = 0;
    ULONG dataOffset = 0;

    switch (stack->MinorFunction) {
    case IRP_MN_QUERY_ALL_DATA:
        dataOffset = reinterpret_cast<PWNODE_ALL_DATA>(buffer)->DataBlockOffset;
        break;
    case IRP_MN_QUERY_SINGLE_INSTANCE:
    case IRP_MN_EXECUTE_METHOD:
        dataOffset = reinterpret_cast<PWNODE_SINGLE_INSTANCE>(buffer)->DataBlockOffset;
        break;
    default:
        break;
    }
    const bool fills = stack->MinorFunction == IRP_MN_QUERY_ALL_DATA ||
                       stack->MinorFunction == IRP_MN_QUERY_SINGLE_INSTANCE ||
                       stack->MinorFunction == IRP_MN_EXECUTE_METHOD;
    if (fills && status == STATUS_BUFFER_TOO_SMALL && size >= sizeof(WNODE_TOO_SMALL)) {
        auto *tooSmall = reinterpret_cast<PWNODE_TOO_SMALL>(buffer);
        tooSmall->WnodeHeader.BufferSize = sizeof(WNODE_TOO_SMALL);
        tooSmall->WnodeHeader.Flags |= WNODE_FLAG_TOO_SMALL;
        tooSmall->SizeNeeded = dataOffset + bufferUsed;
        status = STATUS_SUCCESS;
        information = sizeof(WNODE_TOO_SMALL);
    } else if (fills && NT_SUCCESS(status)) {
        auto *header = reinterpret_cast<PWNODE_HEADER>(buffer);
        if (stack->MinorFunction == IRP_MN_QUERY_ALL_DATA) {
            auto *node = reinterpret_cast<PWNODE_ALL_DATA>(buffer);
            // Widen the lengths the callback wrote into offset and length
            // pairs, from the last down so that none is overwritten unread.
            auto *lengths = reinterpret_cast<PULONG>(node->OffsetInstanceDataAndLength);
            ULONG offset = dataOffset;
            ULONG total = 0;
            for (ULONG k = 0; k < node->InstanceCount; ++k)
                total += Align8(lengths[k]);
            offset = dataOffset + total;
            for (ULONG k = node->InstanceCount; k-- > 0;) {
                const ULONG length = lengths[k];
                offset -= Align8(length);
                node->OffsetInstanceDataAndLength[k].OffsetInstanceData = offset;
                node->OffsetInstanceDataAndLength[k].LengthInstanceData = length;
            }
            header->Flags |= WNODE_FLAG_ALL_DATA;
        } else {
            reinterpret_cast<PWNODE_SINGLE_INSTANCE>(buffer)->SizeDataBlock = bufferUsed;
        }
        header->BufferSize = dataOffset + bufferUsed;
        information = dataOffset + bufferUsed;
    }
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, priorityBoost);
    return status;
}

// A kernel-mode DLL is loaded, never started: its entry point only has to
// succeed.
NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; }

}  // extern "C"
