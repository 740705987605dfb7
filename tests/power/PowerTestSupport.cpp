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

}  // namespace vxtest
