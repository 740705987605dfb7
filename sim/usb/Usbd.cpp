// The USB driver library (USBD.SYS) of the simulated platform: the
// configuration-descriptor helpers drivers call. Every walk stays inside
// wTotalLength; a descriptor whose bLength is 0 or runs past the end stops it.
#include "platform/Platform.h"

#include <cstring>

namespace {

// 'USBD' as it reads in a pool dump.
constexpr ULONG kUsbdPoolTag = 'DBSU';

// The next descriptor inside [begin, end) at or after position, or NULL when
// the walk must stop.
PUSB_COMMON_DESCRIPTOR NextDescriptor(const UCHAR *begin, const UCHAR *end, const UCHAR *position)
{
    if (position < begin || position + sizeof(USB_COMMON_DESCRIPTOR) > end) {
        return nullptr;
    }
    auto *d = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(const_cast<UCHAR *>(position));
    if (d->bLength < sizeof(USB_COMMON_DESCRIPTOR) || d->bLength > end - position) {
        return nullptr;
    }
    return d;
}

bool Bounds(PUSB_CONFIGURATION_DESCRIPTOR config, const UCHAR **begin, const UCHAR **end)
{
    if (config == nullptr || config->bLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
        config->wTotalLength < config->bLength) {
        return false;
    }
    *begin = reinterpret_cast<const UCHAR *>(config);
    *end = *begin + config->wTotalLength;
    return true;
}

// Endpoint descriptors that belong to the interface descriptor at iface:
// those that follow it before the next interface descriptor, at most
// bNumEndpoints of them.
ULONG CountEndpoints(const UCHAR *begin, const UCHAR *end, PUSB_INTERFACE_DESCRIPTOR iface)
{
    ULONG count = 0;
    const UCHAR *p = reinterpret_cast<const UCHAR *>(iface);
    PUSB_COMMON_DESCRIPTOR d = NextDescriptor(begin, end, p);
    if (d == nullptr) {
        return 0;
    }
    p += d->bLength;
    while (count < iface->bNumEndpoints && (d = NextDescriptor(begin, end, p)) != nullptr) {
        if (d->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE) {
            break;
        }
        if (d->bDescriptorType == USB_ENDPOINT_DESCRIPTOR_TYPE && d->bLength >= sizeof(USB_ENDPOINT_DESCRIPTOR)) {
            count++;
        }
        p += d->bLength;
    }
    return count;
}

}  // namespace

PUSB_COMMON_DESCRIPTOR NTAPI USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength, PVOID StartPosition,
                                                   LONG DescriptorType)
{
    if (DescriptorBuffer == nullptr) {
        return nullptr;
    }
    const UCHAR *begin = static_cast<const UCHAR *>(DescriptorBuffer);
    const UCHAR *end = begin + TotalLength;
    const UCHAR *p = static_cast<const UCHAR *>(StartPosition);
    PUSB_COMMON_DESCRIPTOR d;
    while ((d = NextDescriptor(begin, end, p)) != nullptr) {
        if (DescriptorType == -1 || d->bDescriptorType == DescriptorType) {
            return d;
        }
        p += d->bLength;
    }
    return nullptr;
}

PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition, LONG InterfaceNumber,
    LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass, LONG InterfaceProtocol)
{
    const UCHAR *begin;
    const UCHAR *end;
    if (!Bounds(ConfigurationDescriptor, &begin, &end)) {
        return nullptr;
    }
    const UCHAR *p = static_cast<const UCHAR *>(StartPosition);
    PUSB_COMMON_DESCRIPTOR d;
    while ((d = NextDescriptor(begin, end, p)) != nullptr) {
        if (d->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE && d->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
            auto *iface = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(d);
            if ((InterfaceNumber == -1 || iface->bInterfaceNumber == InterfaceNumber) &&
                (AlternateSetting == -1 || iface->bAlternateSetting == AlternateSetting) &&
                (InterfaceClass == -1 || iface->bInterfaceClass == InterfaceClass) &&
                (InterfaceSubClass == -1 || iface->bInterfaceSubClass == InterfaceSubClass) &&
                (InterfaceProtocol == -1 || iface->bInterfaceProtocol == InterfaceProtocol)) {
                return iface;
            }
        }
        p += d->bLength;
    }
    return nullptr;
}

PURB NTAPI USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                             PUSBD_INTERFACE_LIST_ENTRY InterfaceList)
{
    const UCHAR *begin;
    const UCHAR *end;
    if (!Bounds(ConfigurationDescriptor, &begin, &end) || InterfaceList == nullptr) {
        return nullptr;
    }
    // Size: the URB header part, then one interface information per entry
    // with room for its pipes. Every descriptor must lie inside the
    // configuration; a foreign pointer is refused.
    SIZE_T size = FIELD_OFFSET(struct _URB_SELECT_CONFIGURATION, Interface);
    ULONG interfaces = 0;
    for (PUSBD_INTERFACE_LIST_ENTRY e = InterfaceList; e->InterfaceDescriptor != nullptr; e++) {
        const UCHAR *at = reinterpret_cast<const UCHAR *>(e->InterfaceDescriptor);
        if (at < begin || at + sizeof(USB_INTERFACE_DESCRIPTOR) > end ||
            e->InterfaceDescriptor->bDescriptorType != USB_INTERFACE_DESCRIPTOR_TYPE) {
            return nullptr;
        }
        const ULONG pipes = CountEndpoints(begin, end, e->InterfaceDescriptor);
        size += GET_USBD_INTERFACE_SIZE(pipes);
        interfaces++;
    }
    if (interfaces == 0) {
        // The request still carries one (empty) interface information, as
        // the DDK's sizing macro assumes.
        size = sizeof(struct _URB_SELECT_CONFIGURATION);
    }
    if (size > 0xffff) {
        return nullptr;
    }
    auto *urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, kUsbdPoolTag));
    if (urb == nullptr) {
        return nullptr;
    }
    memset(urb, 0, size);
    urb->UrbHeader.Length = static_cast<USHORT>(size);
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;

    auto *info = &urb->UrbSelectConfiguration.Interface;
    for (PUSBD_INTERFACE_LIST_ENTRY e = InterfaceList; e->InterfaceDescriptor != nullptr; e++) {
        PUSB_INTERFACE_DESCRIPTOR d = e->InterfaceDescriptor;
        const ULONG pipes = CountEndpoints(begin, end, d);
        info->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(pipes));
        info->InterfaceNumber = d->bInterfaceNumber;
        info->AlternateSetting = d->bAlternateSetting;
        info->NumberOfPipes = pipes;
        for (ULONG i = 0; i < pipes; i++) {
            info->Pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
        }
        e->Interface = info;
        info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<UCHAR *>(info) + info->Length);
    }
    return urb;
}
