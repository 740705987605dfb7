#include "tools/vxsim/Tracer.h"

#include <cinttypes>
#include <cstdio>
#include <iterator>
#include <ostream>

#include "tools/common/Requests.h"
#include "tools/common/StatusNames.h"

namespace vx {
namespace {

const char *MajorName(UCHAR major)
{
    static const char *names[] = {"CREATE",         "CREATE_NAMED_PIPE", "CLOSE",           "READ",
                                  "WRITE",          "QUERY_INFORMATION", "SET_INFORMATION", "QUERY_EA",
                                  "SET_EA",         "FLUSH_BUFFERS",     "QUERY_VOLUME",    "SET_VOLUME",
                                  "DIRECTORY",      "FILE_SYSTEM",       "DEVICE_CONTROL",  "INTERNAL_DEVICE_CONTROL",
                                  "SHUTDOWN",       "LOCK_CONTROL",      "CLEANUP",         "CREATE_MAILSLOT",
                                  "QUERY_SECURITY", "SET_SECURITY",      "POWER",           "SYSTEM_CONTROL",
                                  "DEVICE_CHANGE",  "QUERY_QUOTA",       "SET_QUOTA",       "PNP"};
    return major < std::size(names) ? names[major] : "?";
}

std::string Numbered(const char *const *names, size_t count, UCHAR minor)
{
    if (minor < count && names[minor] != nullptr)
        return names[minor];
    char text[16];
    std::snprintf(text, sizeof text, "minor 0x%02X", minor);
    return text;
}

std::string PnpMinor(UCHAR minor)
{
    static const char *const names[] = {"START_DEVICE",
                                        "QUERY_REMOVE_DEVICE",
                                        "REMOVE_DEVICE",
                                        "CANCEL_REMOVE_DEVICE",
                                        "STOP_DEVICE",
                                        "QUERY_STOP_DEVICE",
                                        "CANCEL_STOP_DEVICE",
                                        "QUERY_DEVICE_RELATIONS",
                                        "QUERY_INTERFACE",
                                        "QUERY_CAPABILITIES",
                                        "QUERY_RESOURCES",
                                        "QUERY_RESOURCE_REQUIREMENTS",
                                        "QUERY_DEVICE_TEXT",
                                        "FILTER_RESOURCE_REQUIREMENTS",
                                        nullptr,
                                        "READ_CONFIG",
                                        "WRITE_CONFIG",
                                        "EJECT",
                                        "SET_LOCK",
                                        "QUERY_ID",
                                        "QUERY_PNP_DEVICE_STATE",
                                        "QUERY_BUS_INFORMATION",
                                        "DEVICE_USAGE_NOTIFICATION",
                                        "SURPRISE_REMOVAL"};
    return Numbered(names, std::size(names), minor);
}

std::string WmiMinor(UCHAR minor)
{
    static const char *const names[] = {"QUERY_ALL_DATA",
                                        "QUERY_SINGLE_INSTANCE",
                                        "CHANGE_SINGLE_INSTANCE",
                                        "CHANGE_SINGLE_ITEM",
                                        "ENABLE_EVENTS",
                                        "DISABLE_EVENTS",
                                        "ENABLE_COLLECTION",
                                        "DISABLE_COLLECTION",
                                        "REGINFO",
                                        "EXECUTE_METHOD",
                                        nullptr,
                                        "REGINFO_EX"};
    return Numbered(names, std::size(names), minor);
}

std::string PowerState(PIO_STACK_LOCATION stack)
{
    char text[16];
    if (stack->Parameters.Power.Type == DevicePowerState)
        std::snprintf(text, sizeof text, "D%d", static_cast<int>(stack->Parameters.Power.State.DeviceState) - 1);
    else
        std::snprintf(text, sizeof text, "S%d", static_cast<int>(stack->Parameters.Power.State.SystemState) - 1);
    return text;
}

std::string InternalControl(ULONG code)
{
    switch (code) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB: return "IOCTL_INTERNAL_USB_SUBMIT_URB";
    case IOCTL_INTERNAL_USB_RESET_PORT: return "IOCTL_INTERNAL_USB_RESET_PORT";
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS: return "IOCTL_INTERNAL_USB_GET_PORT_STATUS";
    case IOCTL_INTERNAL_USB_CYCLE_PORT: return "IOCTL_INTERNAL_USB_CYCLE_PORT";
    case IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION: return "IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION";
    default: return ControlCodeName(code);
    }
}

}  // namespace

Tracer::Tracer(std::ostream &out, sim::Machine &machine, PDRIVER_OBJECT driver)
    : out_(out), machine_(machine), driver_(driver)
{
}

std::string Tracer::Describe(PIO_STACK_LOCATION stack)
{
    std::string s = MajorName(stack->MajorFunction);
    switch (stack->MajorFunction) {
    case IRP_MJ_PNP: return s + " " + PnpMinor(stack->MinorFunction);
    case IRP_MJ_POWER: {
        static const char *const names[] = {"WAIT_WAKE", "POWER_SEQUENCE", "SET_POWER", "QUERY_POWER"};
        s += " " + Numbered(names, std::size(names), stack->MinorFunction);
        if (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER)
            s += " " + PowerState(stack);
        return s;
    }
    case IRP_MJ_SYSTEM_CONTROL: return s + " " + WmiMinor(stack->MinorFunction);
    case IRP_MJ_DEVICE_CONTROL: return s + " " + ControlCodeName(stack->Parameters.DeviceIoControl.IoControlCode);
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        return s + " " + InternalControl(stack->Parameters.DeviceIoControl.IoControlCode);
    default: return s;
    }
}

void Tracer::OnCallDriver(PDEVICE_OBJECT target, PIRP irp, sim::CallPath)
{
    // Ours: sent to one of the driver's devices; or sent to the device
    // right below one of them, which only the driver does (the managers
    // send to the top of the stack).
    const bool toUs = target->DriverObject == driver_;
    const bool down = !toUs && target->AttachedDevice != nullptr && target->AttachedDevice->DriverObject == driver_;
    if (!toUs && !down)
        return;
    const std::string what = Describe(IoGetCurrentIrpStackLocation(irp));
    uint64_t id;
    bool first;
    {
        std::lock_guard lock(mutex_);
        auto it = irps_.find(irp);
        first = it == irps_.end() || it->second.completedBelow;
        if (first)
            it = irps_.insert_or_assign(irp, Seen{next_++, what}).first;
        id = it->second.id;
    }
    char text[256];
    if (toUs)
        std::snprintf(text, sizeof text, "-> IRP #%" PRIu64 " %s", id, what.c_str());
    else
        std::snprintf(text, sizeof text, "   IRP #%" PRIu64 " %s %s the device below", id, what.c_str(),
                      first ? "sent to" : "passed down to");
    Line(text);
}

void Tracer::OnComplete(PDEVICE_OBJECT completer, PIRP irp, NTSTATUS status)
{
    const bool byUs = completer != nullptr && completer->DriverObject == driver_;
    Seen seen;
    {
        std::lock_guard lock(mutex_);
        auto it = irps_.find(irp);
        if (it == irps_.end() || (it->second.completedBelow && !byUs))
            return;
        seen = it->second;
        if (byUs)
            irps_.erase(it);
        else
            it->second.completedBelow = true;
    }
    char text[320];
    std::snprintf(text, sizeof text, "<- IRP #%" PRIu64 " %s completed%s: %s, information %" PRIu64, seen.id,
                  seen.what.c_str(), byUs ? "" : " below", StatusName(status).c_str(),
                  static_cast<uint64_t>(irp->IoStatus.Information));
    Line(text);
}

void Tracer::Line(const std::string &text)
{
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "[%12.6f s]    ", static_cast<double>(machine_.Now()) / 1e7);
    std::lock_guard lock(mutex_);
    out_ << stamp << text << "\n";
}

}  // namespace vx
