// A small USB function driver for the bus tests (not the Vextora driver): it
// attaches above the bus's PDO, passes PnP and power down as a function
// driver must, and gives the tests synchronous and asynchronous ways to send
// internal device-control requests and power requests to the bus.
#pragma once

#include <memory>
#include <vector>

#include "sim/kernel/Machine.h"
#include "sim/kernel/PnpManager.h"
#include "sim/usb/UsbBus.h"

namespace usbtest {

inline constexpr char16_t kTestDriverName[] = u"\\Driver\\usbtest";
// The test function driver's entry; it needs no registry path.
NTSTATUS NTAPI TestDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING);
// Loads the test function driver and registers it with the PnP manager.
PDRIVER_OBJECT LoadTestDriver(sim::Machine &machine);

// The test driver's device above a PDO, or NULL.
PDEVICE_OBJECT FunctionDevice(PDEVICE_OBJECT pdo);

// An internal device-control request sent to the PDO from an IRP of the
// test driver (IoAllocateIrp); completes whenever the bus completes it.
class Request {
public:
    Request(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo, ULONG code, PVOID argument1,
            PVOID type3Input = nullptr, ULONG inputLength = 0);
    ~Request();
    Request(const Request &) = delete;
    Request &operator=(const Request &) = delete;

    NTSTATUS Returned() const { return returned_; }
    bool Done() const;
    // Waits for completion (through the simulated scheduler) and returns
    // the IRP's final status.
    NTSTATUS Wait();
    ULONG_PTR Information() const { return information_; }
    void Cancel();

private:
    static NTSTATUS NTAPI Completion(PDEVICE_OBJECT, PIRP irp, PVOID context);
    PDRIVER_OBJECT driver_;
    PIRP irp_ = nullptr;
    KEVENT done_;
    NTSTATUS returned_ = STATUS_PENDING;
    volatile LONG completed_ = 0;
    NTSTATUS status_ = STATUS_PENDING;
    ULONG_PTR information_ = 0;
};

// Submits a URB and waits for it.
NTSTATUS SubmitUrb(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo, PURB urb);

// Reads the configuration descriptor and selects it with every interface at
// alternate setting 0; the bus fills the returned interface list.
struct Configuration {
    std::vector<uint8_t> Descriptor;
    std::vector<std::vector<uint8_t>> Interfaces;  // USBD_INTERFACE_INFORMATION, Length bytes each
    USBD_CONFIGURATION_HANDLE Handle = nullptr;
    const USBD_INTERFACE_INFORMATION &Interface(size_t i) const
    {
        return *reinterpret_cast<const USBD_INTERFACE_INFORMATION *>(Interfaces.at(i).data());
    }
};
NTSTATUS Configure(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo, Configuration &out);

// Asks the power manager for a device power state on the PDO's stack and
// waits until the request has completed; returns its status.
NTSTATUS SetDevicePower(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo, DEVICE_POWER_STATE state);

// A wait-wake request through the power manager.
class WaitWake {
public:
    WaitWake(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state = PowerSystemSleeping1);
    NTSTATUS Requested() const { return requested_; }
    bool Done() const;
    NTSTATUS Wait();
    void Cancel();

private:
    static VOID NTAPI Callback(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK status);
    PDRIVER_OBJECT driver_;
    PIRP irp_ = nullptr;
    NTSTATUS requested_ = STATUS_UNSUCCESSFUL;
    KEVENT done_;
    volatile LONG completed_ = 0;
    NTSTATUS status_ = STATUS_PENDING;
};

// The idle callback the tests hand to the bus: it brings the device to
// Target (default D2) through the power manager and waits for it, as a
// function driver's callback must.
struct IdleContext {
    PDRIVER_OBJECT Driver = nullptr;
    PDEVICE_OBJECT Pdo = nullptr;
    DEVICE_POWER_STATE Target = PowerDeviceD2;
    volatile LONG Calls = 0;
    NTSTATUS PowerStatus = STATUS_PENDING;
};
VOID IdleCallback(PVOID context);

}  // namespace usbtest
