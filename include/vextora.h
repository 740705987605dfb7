/*
 * vextora.h - what an application needs to talk to the Vextora USB driver.
 *
 * Usable from C and C++, on Windows and elsewhere: it includes nothing. On
 * Windows, include <windows.h> (or <initguid.h> in the one translation unit
 * that defines GUIDs) before this header to get GUID_DEVINTERFACE_VEXTORA as
 * a real GUID; without DEFINE_GUID in sight it is a plain struct of the same
 * layout.
 *
 * Finding the device
 *   Every device is registered under the device interface class
 *   GUID_DEVINTERFACE_VEXTORA. Enumerate that class (SetupDiGetClassDevs with
 *   DIGCF_DEVICEINTERFACE | DIGCF_PRESENT) to get each device's path.
 *
 * Handles and the pipe file-name rule
 *   - The device path itself, with nothing appended, opens a handle on the
 *     device. Control requests work on it; reads and writes do not.
 *   - The device path followed by a name such as "\PIPE01" opens a handle on
 *     one pipe of the device's first USB interface. The pipe index is the
 *     value of the LAST run of decimal digits ('0'..'9') in the name; anything
 *     before that run and any non-digits after it are ignored, and leading
 *     zeros change nothing ("\PIPE1", "\PIPE01", "\7\1" and "\1x" all name
 *     pipe 1). A very long run counts modulo 2^32.
 *   - Only indices 0 .. VEXTORA_PIPE_SLOT_LIMIT - 1 that are also below the
 *     interface's number of pipes can be opened; any other name, or a name
 *     without a digit, fails with ERROR_INVALID_PARAMETER
 *     (STATUS_INVALID_PARAMETER).
 *   - Every handle is exclusive: the device can be open once, and each pipe
 *     once, at a time. A second open fails with ERROR_ACCESS_DENIED
 *     (STATUS_ACCESS_DENIED).
 *   - Opens fail with STATUS_INVALID_DEVICE_STATE while the device is not
 *     started (stopped, being removed, surprise-removed).
 *   - A pipe handle belongs to the configuration it was opened on. After the
 *     device has been stopped and started again (a rebalance, a disable and
 *     enable), its reads, writes and IOCTL_RESET_PIPE fail with
 *     STATUS_INVALID_HANDLE; close it and open the pipe again.
 *
 * Reads and writes (pipe handles on bulk and interrupt pipes only)
 *   - At most VEXTORA_MAX_TRANSFER_BYTES (256 KiB) per request; a longer
 *     request fails with STATUS_INVALID_PARAMETER and nothing is sent. A
 *     request of 0 bytes succeeds at once with 0 bytes moved.
 *   - Data moves straight between the caller's buffer and the device. Short
 *     transfers are allowed: a read that receives fewer bytes than asked for
 *     succeeds and reports the bytes received.
 *   - The direction is that of the request (read = IN, write = OUT), not that
 *     of the endpoint.
 *   - A device handle, an isochronous or control pipe, or a stale pipe handle
 *     (see above) fails with STATUS_INVALID_HANDLE.
 *   - When the bus refuses a transfer outright, the driver resets the pipe
 *     (and, if that fails, the device) for the requests that follow; the
 *     request itself ends with the bus's status.
 *
 * Control requests (DeviceIoControl, on any handle)
 *   All codes are METHOD_BUFFERED, FILE_ANY_ACCESS, device type
 *   FILE_DEVICE_UNKNOWN, functions 0 to 7. In the descriptions, "out" is the
 *   output buffer length (nOutBufferSize) and "in" the input buffer length;
 *   "returned" is what lpBytesReturned receives. Every code may also fail with
 *   STATUS_INVALID_DEVICE_STATE (device not started), with
 *   STATUS_INSUFFICIENT_RESOURCES (no memory), or with the status of a failed
 *   bus request; any failure returns 0 bytes. A code the driver does not know
 *   (including one of these with other method or access bits) fails with
 *   STATUS_INVALID_DEVICE_REQUEST.
 */
#ifndef VEXTORA_H
#define VEXTORA_H

/* Device type FILE_DEVICE_UNKNOWN, METHOD_BUFFERED, FILE_ANY_ACCESS. */
#define VEXTORA_CTL_CODE(Function) (0x00220000u | ((unsigned int)(Function) << 2))

/*
 * IOCTL_GET_CONFIG_DESCRIPTOR (0x220000)
 *   in: nothing. out: at least wTotalLength bytes.
 *   Returns the configuration descriptor read when the device was started,
 *   with every interface, endpoint and class descriptor after it:
 *   wTotalLength bytes, returned = wTotalLength. No bus request is made.
 *   Fails: STATUS_BUFFER_TOO_SMALL when out < wTotalLength (nothing copied);
 *   STATUS_UNSUCCESSFUL when no descriptor is stored.
 */
#define IOCTL_GET_CONFIG_DESCRIPTOR VEXTORA_CTL_CODE(0)

/*
 * IOCTL_RESET_DEVICE (0x220004)
 *   in, out: nothing. returned = 0.
 *   Reads the port status and resets the port only when the device is
 *   connected but its port is disabled; otherwise succeeds without a reset.
 *   Fails with the status of the port-status read or of the port reset.
 */
#define IOCTL_RESET_DEVICE VEXTORA_CTL_CODE(1)

/*
 * IOCTL_RESET_PIPE (0x220008)
 *   in, out: nothing. returned = 0. Send it on a pipe handle.
 *   Resets the handle's pipe and clears a stall on its endpoint.
 *   Fails: STATUS_INVALID_PARAMETER on a device handle;
 *   STATUS_INVALID_HANDLE on a pipe handle from before a stop and start;
 *   otherwise the reset's status.
 */
#define IOCTL_RESET_PIPE VEXTORA_CTL_CODE(2)

/*
 * IOCTL_CLASS_READ_BLOCK (0x22000C)
 *   in: nothing. out: the largest payload accepted (say N).
 *   Sends a class request to the interface (bmRequestType 0xA1, bRequest 0,
 *   wValue 0, wIndex 0, wLength N + 2). The device answers with a 16-bit
 *   BIG-endian length h that counts itself, followed by the payload.
 *   Returns the payload (h - 2 bytes, without the length) from offset 0,
 *   returned = h - 2.
 *   Fails: STATUS_INSUFFICIENT_RESOURCES when h - 2 > N or h < 2;
 *   STATUS_DEVICE_DATA_ERROR when the device sent fewer than 2 bytes or
 *   fewer bytes than its header announces; STATUS_INVALID_PARAMETER when N
 *   is too large to add 2 to.
 */
#define IOCTL_CLASS_READ_BLOCK VEXTORA_CTL_CODE(3)

/*
 * IOCTL_CLASS_READ (0x220010)
 *   in: nothing. out: L bytes.
 *   Sends a class request to the interface (bmRequestType 0xA1, bRequest 1,
 *   wValue 0, wIndex 0, wLength L); the answer lands in the output buffer.
 *   returned = 1 on success when the device sent at least one byte,
 *   whatever their number, so only byte 0 of the answer reaches the caller;
 *   0 when it sent none. With L = 0 the request still goes out with no data
 *   stage and returned = 0.
 */
#define IOCTL_CLASS_READ VEXTORA_CTL_CODE(4)

/*
 * IOCTL_CLASS_OTHER_WRITE (0x220014)
 *   in: the bytes to send. out: their number L (the output buffer receives
 *   nothing; its LENGTH is the byte count).
 *   Sends a class request to the recipient Other (bmRequestType 0x23,
 *   bRequest 2, wValue 0, wIndex 0, wLength L) with the first L input
 *   bytes as its data stage. returned = 0.
 *   Fails: STATUS_INVALID_PARAMETER when in < L.
 */
#define IOCTL_CLASS_OTHER_WRITE VEXTORA_CTL_CODE(5)

/*
 * IOCTL_GET_DEVICE_DESCRIPTOR (0x220018)
 *   in: nothing. out: at least 18 bytes.
 *   Reads the 18-byte device descriptor from the device (GET_DESCRIPTOR,
 *   type 1, index 0) and returns it; returned = 18.
 *   Fails: STATUS_INVALID_PARAMETER when out < 18 (the device is still read);
 *   STATUS_DEVICE_DATA_ERROR when the device sent fewer than 18 bytes.
 */
#define IOCTL_GET_DEVICE_DESCRIPTOR VEXTORA_CTL_CODE(6)

/*
 * IOCTL_GET_STRING_DESCRIPTOR (0x22001C)
 *   in: 4 bytes: byte 0 the string index, byte 1 ignored, bytes 2-3 the
 *   LANGID, little-endian (see VEXTORA_STRING_REQUEST). out: at least
 *   bLength bytes (255 always suffices).
 *   Reads the string descriptor twice (4 bytes for its bLength, then bLength
 *   bytes) and returns it whole as the device sent it: bLength,
 *   bDescriptorType 3, then UTF-16LE text; returned = bLength. Index 0 gives
 *   the list of supported LANGIDs.
 *   Fails: STATUS_INVALID_PARAMETER when in < 4 or out < bLength;
 *   STATUS_DEVICE_DATA_ERROR when the device's answer is malformed (bLength
 *   below 2, fewer bytes than bLength, or a second answer longer than the
 *   first announced).
 */
#define IOCTL_GET_STRING_DESCRIPTOR VEXTORA_CTL_CODE(7)

/* Largest read or write, in bytes. */
#define VEXTORA_MAX_TRANSFER_BYTES 0x40000u
/* Pipe indices 0 .. VEXTORA_PIPE_SLOT_LIMIT - 1 can be named. */
#define VEXTORA_PIPE_SLOT_LIMIT 6u

/* Input of IOCTL_GET_STRING_DESCRIPTOR, 4 bytes without padding. */
typedef struct VEXTORA_STRING_REQUEST {
    unsigned char Index;
    unsigned char Reserved;
    unsigned char LanguageIdLow;
    unsigned char LanguageIdHigh;
} VEXTORA_STRING_REQUEST;

/* {9A655975-1560-4E63-9577-3524A0394D23}, as an initializer for any struct of
 * GUID layout (32-bit, two 16-bit, eight 8-bit fields). */
#define VEXTORA_INTERFACE_CLASS_GUID_INIT                                                                              \
    {                                                                                                                  \
        0x9A655975u, 0x1560u, 0x4E63u, { 0x95u, 0x77u, 0x35u, 0x24u, 0xA0u, 0x39u, 0x4Du, 0x23u }                      \
    }

#if defined(DEFINE_GUID)
DEFINE_GUID(GUID_DEVINTERFACE_VEXTORA, 0x9A655975, 0x1560, 0x4E63, 0x95, 0x77, 0x35, 0x24, 0xA0, 0x39, 0x4D, 0x23);
#else
typedef struct VEXTORA_GUID {
    unsigned int Data1; /* 32 bits on every target of this header */
    unsigned short Data2;
    unsigned short Data3;
    unsigned char Data4[8];
} VEXTORA_GUID;
#if defined(__GNUC__)
__attribute__((unused))
#endif
static const VEXTORA_GUID GUID_DEVINTERFACE_VEXTORA = VEXTORA_INTERFACE_CLASS_GUID_INIT;
#endif

#endif /* VEXTORA_H */
