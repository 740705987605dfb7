#include "pnp/Pnp.h"
#include "driver/Driver.h"
#include "driver/PoolPointer.h"
#include "driver/UrbBuilders.h"
#include "pnp/DescriptorCheck.h"

namespace {

constexpr ULONG kDeviceDescriptorLength = 18;

// Builds and submits a GET_DESCRIPTOR_FROM_DEVICE request for index 0,
// language 0. Transferred receives the byte count the bus driver reports.
[[nodiscard]] NTSTATUS ReadDescriptor(PDEVICE_OBJECT DeviceObject, PURB Urb, UCHAR DescriptorType, PVOID Buffer,
                                      ULONG Length, ULONG *Transferred)
{
    BuildDescriptorRequest(Urb, DescriptorType, 0, 0, Buffer, Length);
    const NTSTATUS status = SubmitUrbSync(DeviceObject, Urb);
    *Transferred = Urb->UrbControlDescriptorRequest.TransferBufferLength;
    return status;
}

PURB AllocateDescriptorRequest() { return AllocateNonPaged<URB>(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)); }

}  // namespace

NTSTATUS ReadDescriptorsAndConfigure(PDEVICE_OBJECT DeviceObject)
{
    PoolPointer<URB> urb(AllocateDescriptorRequest());
    if (!urb) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PoolPointer<UCHAR> deviceDescriptor(AllocateNonPaged<UCHAR>(kDeviceDescriptorLength));
    if (!deviceDescriptor) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    // The device descriptor is read only to see the device answer; its
    // contents are not used, so its length is not examined either.
    ULONG transferred = 0;
    const NTSTATUS status = ReadDescriptor(DeviceObject, urb.Get(), USB_DEVICE_DESCRIPTOR_TYPE, deviceDescriptor.Get(),
                                           kDeviceDescriptorLength, &transferred);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return ConfigureDevice(DeviceObject);
}

NTSTATUS ConfigureDevice(PDEVICE_OBJECT DeviceObject)
{
    DeviceExtension *extension = ExtensionOf(DeviceObject);

    PoolPointer<URB> urb(AllocateDescriptorRequest());
    if (!urb) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    DescriptorCheck::ConfigurationHeader header{};
    {
        PoolPointer<UCHAR> headerBytes(AllocateNonPaged<UCHAR>(DescriptorCheck::kConfigurationLength));
        if (!headerBytes) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        ULONG transferred = 0;
        const NTSTATUS status = ReadDescriptor(DeviceObject, urb.Get(), USB_CONFIGURATION_DESCRIPTOR_TYPE,
                                               headerBytes.Get(), DescriptorCheck::kConfigurationLength, &transferred);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        if (DescriptorCheck::CheckHeader(headerBytes.Get(), DescriptorCheck::kConfigurationLength, transferred,
                                         &header) != DescriptorCheck::Verdict::Valid) {
            return STATUS_DEVICE_DATA_ERROR;
        }
    }

    PoolPointer<UCHAR> whole(AllocateNonPaged<UCHAR>(header.TotalLength));
    if (!whole) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ULONG transferred = 0;
    const NTSTATUS status = ReadDescriptor(DeviceObject, urb.Get(), USB_CONFIGURATION_DESCRIPTOR_TYPE, whole.Get(),
                                           header.TotalLength, &transferred);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // Everything past this point, ours and the USB driver library's, walks
    // the descriptor; it must lie within the buffer and be consistent.
    if (DescriptorCheck::CheckConfiguration(whole.Get(), header.TotalLength, transferred, &header) !=
        DescriptorCheck::Verdict::Valid) {
        return STATUS_DEVICE_DATA_ERROR;
    }

    PUSB_CONFIGURATION_DESCRIPTOR stored = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(whole.Release());
    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->ConfigurationLock, &oldIrql);
    extension->ConfigurationDescriptor = stored;
    extension->ConfigurationDescriptorLength = header.TotalLength;
    KeReleaseSpinLock(&extension->ConfigurationLock, oldIrql);
    extension->RemoteWakeSupported = DescriptorCheck::RemoteWakeup(header) ? 1 : 0;

    return SelectInterfaces(DeviceObject, stored);
}
