#include "tests/power/PowerTestSupport.h"

namespace vxtest {

namespace {

struct RequestWait {
    KEVENT Event;
    NTSTATUS Status;
};

VOID NTAPI RequestDone(PDEVICE_OBJECT /*DeviceObject*/, UCHAR /*MinorFunction*/, POWER_STATE /*PowerState*/,
                       PVOID Context, PIO_STATUS_BLOCK IoStatus)
{
    auto *wait = static_cast<RequestWait *>(Context);
    wait->Status = IoStatus->Status;
    KeSetEvent(&wait->Event, IO_NO_INCREMENT, FALSE);
}

}  // namespace

NTSTATUS RequestDevicePowerIrp(PowerFixture &Fixture, UCHAR Minor, DEVICE_POWER_STATE State)
{
    RequestWait wait;
    KeInitializeEvent(&wait.Event, NotificationEvent, FALSE);
    wait.Status = STATUS_PENDING;
    POWER_STATE state;
    state.DeviceState = State;
    const NTSTATUS status = PoRequestPowerIrp(Fixture.Pdo(), Minor, state, RequestDone, &wait, nullptr);
    if (status != STATUS_PENDING) {
        return status;
    }
    KeWaitForSingleObject(&wait.Event, Executive, KernelMode, FALSE, nullptr);
    return wait.Status;
}

std::unique_ptr<AsyncRequest> SendSystemIrpAsync(PowerFixture &Fixture, UCHAR Minor, SYSTEM_POWER_STATE State)
{
    auto request = std::make_unique<AsyncRequest>();
    AsyncRequest *raw = request.get();
    raw->Thread = Fixture.Machine().StartThread("system-power", [&Fixture, raw, Minor, State] {
        raw->Status = Fixture.Power().SendSystemIrp(Fixture.Pdo(), Minor, State);
        raw->Done = true;
    });
    return request;
}

std::vector<sim::PowerManager::RequestRecord> RequestsOf(PowerFixture &Fixture, UCHAR Minor)
{
    std::vector<sim::PowerManager::RequestRecord> found;
    for (const auto &record : Fixture.Power().Requests()) {
        if (record.Pdo == Fixture.Pdo() && record.Minor == Minor) {
            found.push_back(record);
        }
    }
    return found;
}

std::vector<LONG> DeviceSets(PowerFixture &Fixture)
{
    std::vector<LONG> sets;
    for (const PortRequest &request : Fixture.Bus().Requests(kSetPower)) {
        if (request.PowerType == static_cast<ULONG>(DevicePowerState)) {
            sets.push_back(request.PowerState);
        }
    }
    return sets;
}

sim::SimThread *StartIdleCallback(PowerFixture &Fixture)
{
    USB_IDLE_CALLBACK callback = nullptr;
    PVOID context = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    if (!Fixture.Bus().PeekHeld(kIdleRequest, [&](PIRP Irp) {
            PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
            pdo = stack->DeviceObject;
            auto *info = static_cast<PUSB_IDLE_CALLBACK_INFO>(stack->Parameters.DeviceIoControl.Type3InputBuffer);
            callback = info->IdleCallback;
            context = info->IdleContext;
        })) {
        return nullptr;
    }
    // Driver code called by the bus, in the hub's own thread.
    PDEVICE_OBJECT fdo = pdo->AttachedDevice;
    return Fixture.Machine().StartThread("hub-idle-callback", [fdo, callback, context] {
        sim::FrameScope frame(sim::FrameKind::Other, fdo->DriverObject, fdo, nullptr,
                              reinterpret_cast<const void *>(callback));
        callback(context);
    });
}

}  // namespace vxtest
