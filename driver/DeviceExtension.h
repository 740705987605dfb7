// The per-device record of the functional device object, and the names every
// part of the driver shares.
#pragma once

#include "platform/Platform.h"

// Plug and Play state of the device, kept in DeviceExtension::DeviceState.
enum DeviceState : LONG {
    NotStarted = 0,
    Stopped = 1,
    Working = 2,
    PendingStop = 3,
    PendingRemove = 4,
    SurpriseRemoved = 5,
    Removed = 6,
};

// Largest bulk or interrupt transfer one read or write may ask for.
constexpr ULONG MaxTransferBytes = 0x40000;
// Pipe indices 0 .. PipeSlotLimit - 1 can be named in a create.
constexpr ULONG PipeSlotLimit = 6;
// MaximumTransferSize asked for every pipe of the first interface: one
// request is sent as one URB of up to MaxTransferBytes, and a bus that
// enforces the limit (Windows 2000's) would refuse anything larger.
constexpr ULONG PipeMaxTransferSize = MaxTransferBytes;

struct DeviceExtension {
    PDEVICE_OBJECT DeviceObject;                            // 1  the FDO itself
    PDEVICE_OBJECT LowerDevice;                             // 2  top of the stack below us
    PDEVICE_OBJECT PhysicalDevice;                          // 3  the PDO
    UNICODE_STRING InterfaceLinkName;                       // 4  ours to free
    DEVICE_CAPABILITIES Capabilities;                       // 5  last successful capabilities query
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor;  // 6
    PUSBD_INTERFACE_INFORMATION InterfaceInfo;              // 7  first interface, with its pipes
    LONG *PipeOpenCounts;                                   // 8  one counter per pipe of InterfaceInfo
    enum DeviceState DeviceState;                           // 9  changed under StateLock only
    enum DeviceState PreviousDeviceState;                   // 10
    KSPIN_LOCK StateLock;                                   // 11
    SYSTEM_POWER_STATE SystemPower;                         // 12
    DEVICE_POWER_STATE DevicePower;                         // 13
    KEVENT RemoveReadyEvent;                                // 14 synchronization event
    KEVENT NoIoInFlightEvent;                               // 15 synchronization event
    LONG OutstandingIo;                                     // 16 biased: 1 while the device exists
    KSPIN_LOCK OutstandingIoLock;                           // 17
    ULONG IdleSuspendActive;                                // 18
    ULONG IdleSuspendConfigured;                            // 19
    PUSB_IDLE_CALLBACK_INFO IdleCallbackInfo;               // 20
    PIRP IdleIrp;                                           // 21
    LONG IdleRequestPending;                                // 22
    LONG IdleIrpReleaseCount;                               // 23
    KSPIN_LOCK IdleLock;                                    // 24
    KEVENT NoIdleRequestEvent;                              // 25 notification event
    DEVICE_POWER_STATE IdlePowerState;                      // 26
    PIRP WaitWakeIrp;                                       // 27
    LONG WaitWakeCancelled;                                 // 28
    LONG WaitWakeOutstanding;                               // 29
    ULONG RemoteWakeSupported;                              // 30
    LONG OpenHandleCount;                                   // 31
    LONG DeviceHandleCount;                                 // 32
    KTIMER IdleTimer;                                       // 33 notification timer
    KDPC IdleTimerDpc;                                      // 34
    KEVENT NoIdleWorkEvent;                                 // 35 notification event
    WMILIB_CONTEXT WmiLibInfo;                              // 36
    ULONG WdmLevel;                                         // 37

    // Fields beyond the base record, each added to close a hazard of the
    // base design. Append new ones here, with a comment saying what they
    // guard and who writes them.

    // Identity of the configuration records. Changes, under ConfigurationLock,
    // each time SelectInterfaces stores new InterfaceInfo/PipeOpenCounts and
    // each time ReleaseConfiguration takes them away. A pipe handle keeps the
    // value it was opened under (FsContext2) and may use its FsContext or
    // its PipeOpenCounts entry only while the value is still current. Written
    // by pnp/ only; read under ConfigurationLock.
    ULONG ConfigurationGeneration;
    // Held while InterfaceInfo, PipeOpenCounts, ConfigurationDescriptor and
    // ConfigurationGeneration change (pnp/), and by create and close while
    // they look up a pipe through them (io/). Nothing is freed or called
    // while it is held. Initialised by AddDevice.
    KSPIN_LOCK ConfigurationLock;
    // Size in bytes of the ConfigurationDescriptor allocation, set by pnp/
    // together with the pointer (0 while it is NULL). The stored wTotalLength
    // is device data and may disagree with it; IOCTL_GET_CONFIG_DESCRIPTOR
    // (io/) never copies more than this many bytes.
    ULONG ConfigurationDescriptorLength;
    // How many of the OutstandingIo counts are held by I/O that uses the
    // device: transfers from their sending to their completion, control
    // requests and cleanups while served, and every synchronous bus request.
    // PnP, power and WMI requests and the requesters of power IRPs hold
    // counts that are not device I/O: they may themselves wait for a
    // power-down, so the power-down must not wait for them. Changes under
    // OutstandingIoLock together with NoDeviceIoEvent (notification),
    // signalled while it is 0, which HoldIoWorker waits for. Both set up by
    // AddDevice (driver/IoCount.cpp).
    LONG DeviceIoCount;
    KEVENT NoDeviceIoEvent;
    // Meeting point of IdleNotificationCallback and IdleRequestCompletion
    // (idle/): 1 while the callback lowers the device's power, 2 once the
    // idle request has ended in that time; the callback then brings the
    // device back to D0 itself. Interlocked only; zero from creation.
    LONG IdlePowerDownState;
    // 1 from the idle timer DPC that queued IdleWorker until that worker has
    // set NoIdleWorkEvent (idle/), so no tick queues a second worker while
    // one is pending. Interlocked only; zero from creation.
    LONG IdleWorkQueued;
    // The idle timer is one-shot and armed only under IdleTimerLock (idle/),
    // which also covers the writes of IdleSuspendActive. IdleTimerRunning is
    // 1 from an arming until KeCancelTimer removes that arming or the DPC it
    // queued has finished; NoIdleTimerEvent (notification) is signalled
    // while it is 0, so StopIdleDetection can wait for the DPC without
    // KeFlushQueuedDpcs. IdleTimerRearm asks the DPC under way to arm the
    // timer again as it ends. Initialised by PrepareIdleDetection.
    KSPIN_LOCK IdleTimerLock;
    LONG IdleTimerRunning;
    LONG IdleTimerRearm;
    KEVENT NoIdleTimerEvent;
    // Lifetime of wait-wake requests (power/WaitWake.cpp). WaitWakeActive
    // counts the requests whose power-request callback has not finished;
    // it changes under PowerLock together with NoWaitWakeEvent
    // (notification), signalled while it is 0, so that stop and removal can
    // wait until no completion routine or callback of a request can still
    // touch the device. WaitWakeRefused is 1 from the stop, surprise removal
    // or removal that disarms wait-wake until the next start, which clears
    // it; no request is made while it is set. Interlocked.
    KSPIN_LOCK PowerLock;
    KEVENT NoWaitWakeEvent;
    LONG WaitWakeActive;
    LONG WaitWakeRefused;
    // A D0 request that could not be made (power/PowerUpRetry.cpp) is made
    // again from PowerUpRetryDpc, PowerUpRetryTimer's DPC, until the power
    // manager takes it or the device goes. PowerUpRetryArmed is 1 from the
    // arming of the timer until its DPC has ended without arming it again
    // or a removal has cancelled it; it changes under PowerLock together with
    // NoPowerUpRetryEvent (notification), signalled while it is 0, which the
    // removal waits for.
    KTIMER PowerUpRetryTimer;
    KDPC PowerUpRetryDpc;
    KEVENT NoPowerUpRetryEvent;
    LONG PowerUpRetryArmed;
    // 1 once PreparePowerManagement (power/, at the first start) has
    // initialised the lock, events, timer and DPC above. Written by the PnP
    // thread; read without a lock.
    LONG PowerManagementPrepared;
};

// DeviceState is read without StateLock by the request paths.
inline enum DeviceState CurrentDeviceState(const DeviceExtension *Extension)
{
    return static_cast<enum DeviceState>(ReadNoFence(reinterpret_cast<const volatile LONG *>(&Extension->DeviceState)));
}

inline DeviceExtension *ExtensionOf(PDEVICE_OBJECT DeviceObject)
{
    return static_cast<DeviceExtension *>(DeviceObject->DeviceExtension);
}
