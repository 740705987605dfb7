// The simulator's definitions of the WMI names a driver uses: the WMI
// library's context and callbacks (as ddk/wmilib.h spells them), the WNODE
// and registration structures (as wmistr.h spells them), the system-control
// minor functions and the registration actions. Valid C++17.
#pragma once

#include "platform/sim/SimWdm.h"
#include "platform/sim/SimServices.h"

// ---------------------------------------------------------------------------
// IRP_MJ_SYSTEM_CONTROL minor functions and IoWMIRegistrationControl actions
// ---------------------------------------------------------------------------
#ifndef IRP_MN_QUERY_ALL_DATA
#define IRP_MN_QUERY_ALL_DATA 0x00
#define IRP_MN_QUERY_SINGLE_INSTANCE 0x01
#define IRP_MN_CHANGE_SINGLE_INSTANCE 0x02
#define IRP_MN_CHANGE_SINGLE_ITEM 0x03
#define IRP_MN_ENABLE_EVENTS 0x04
#define IRP_MN_DISABLE_EVENTS 0x05
#define IRP_MN_ENABLE_COLLECTION 0x06
#define IRP_MN_DISABLE_COLLECTION 0x07
#define IRP_MN_REGINFO 0x08
#define IRP_MN_EXECUTE_METHOD 0x09
#define IRP_MN_REGINFO_EX 0x0b
#endif

#ifndef WMIREG_ACTION_REGISTER
#define WMIREG_ACTION_REGISTER 1
#define WMIREG_ACTION_DEREGISTER 2
#define WMIREG_ACTION_REREGISTER 3
#define WMIREG_ACTION_UPDATE_GUIDS 4
#define WMIREG_ACTION_BLOCK_IRPS 5
#endif

// ---------------------------------------------------------------------------
// WNODE structures (the buffers of the system-control requests)
// ---------------------------------------------------------------------------
typedef struct _WNODE_HEADER {
    ULONG BufferSize;
    ULONG ProviderId;
    union {
        ULONGLONG HistoricalContext;
        struct {
            ULONG Version;
            ULONG Linkage;
        };
    };
    union {
        ULONG CountLost;
        HANDLE KernelHandle;
        LARGE_INTEGER TimeStamp;
    };
    GUID Guid;
    ULONG ClientContext;
    ULONG Flags;
} WNODE_HEADER, *PWNODE_HEADER;

#define WNODE_FLAG_ALL_DATA 0x00000001
#define WNODE_FLAG_SINGLE_INSTANCE 0x00000002
#define WNODE_FLAG_SINGLE_ITEM 0x00000004
#define WNODE_FLAG_EVENT_ITEM 0x00000008
#define WNODE_FLAG_FIXED_INSTANCE_SIZE 0x00000010
#define WNODE_FLAG_TOO_SMALL 0x00000020
#define WNODE_FLAG_INSTANCES_SAME 0x00000040
#define WNODE_FLAG_STATIC_INSTANCE_NAMES 0x00000080
#define WNODE_FLAG_INTERNAL 0x00000100
#define WNODE_FLAG_USE_TIMESTAMP 0x00000200
#define WNODE_FLAG_METHOD_ITEM 0x00008000
#define WNODE_FLAG_PDO_INSTANCE_NAMES 0x00010000

typedef struct {
    ULONG OffsetInstanceData;
    ULONG LengthInstanceData;
} OFFSETINSTANCEDATAANDLENGTH, *POFFSETINSTANCEDATAANDLENGTH;

typedef struct tagWNODE_ALL_DATA {
    struct _WNODE_HEADER WnodeHeader;
    ULONG DataBlockOffset;
    ULONG InstanceCount;
    ULONG OffsetInstanceNameOffsets;
    union {
        ULONG FixedInstanceSize;
        OFFSETINSTANCEDATAANDLENGTH OffsetInstanceDataAndLength[1];
    };
} WNODE_ALL_DATA, *PWNODE_ALL_DATA;

typedef struct tagWNODE_SINGLE_INSTANCE {
    struct _WNODE_HEADER WnodeHeader;
    ULONG OffsetInstanceName;
    ULONG InstanceIndex;
    ULONG DataBlockOffset;
    ULONG SizeDataBlock;
    UCHAR VariableData[1];
} WNODE_SINGLE_INSTANCE, *PWNODE_SINGLE_INSTANCE;

typedef struct tagWNODE_SINGLE_ITEM {
    struct _WNODE_HEADER WnodeHeader;
    ULONG OffsetInstanceName;
    ULONG InstanceIndex;
    ULONG ItemId;
    ULONG DataBlockOffset;
    ULONG SizeDataItem;
    UCHAR VariableData[1];
} WNODE_SINGLE_ITEM, *PWNODE_SINGLE_ITEM;

typedef struct tagWNODE_METHOD_ITEM {
    struct _WNODE_HEADER WnodeHeader;
    ULONG OffsetInstanceName;
    ULONG InstanceIndex;
    ULONG MethodId;
    ULONG DataBlockOffset;
    ULONG SizeDataBlock;
    UCHAR VariableData[1];
} WNODE_METHOD_ITEM, *PWNODE_METHOD_ITEM;

typedef struct tagWNODE_TOO_SMALL {
    struct _WNODE_HEADER WnodeHeader;
    ULONG SizeNeeded;
} WNODE_TOO_SMALL, *PWNODE_TOO_SMALL;

// ---------------------------------------------------------------------------
// Registration information returned for IRP_MN_REGINFO(_EX)
// ---------------------------------------------------------------------------
typedef struct {
    GUID Guid;
    ULONG Flags;
    ULONG InstanceCount;
    union {
        ULONG InstanceNameList;
        ULONG BaseNameOffset;
        ULONG_PTR Pdo;
        ULONG_PTR InstanceInfo;
    };
} WMIREGGUIDW, *PWMIREGGUIDW;
typedef WMIREGGUIDW WMIREGGUID;
typedef PWMIREGGUIDW PWMIREGGUID;

#define WMIREG_FLAG_EXPENSIVE 0x00000001
#define WMIREG_FLAG_INSTANCE_LIST 0x00000004
#define WMIREG_FLAG_INSTANCE_BASENAME 0x00000008
#define WMIREG_FLAG_INSTANCE_PDO 0x00000020
#define WMIREG_FLAG_EVENT_ONLY_GUID 0x00000040
#define WMIREG_FLAG_REMOVE_GUID 0x00010000

// Offsets are from the start of the structure; each string they point at is
// a USHORT byte count followed by that many bytes of UTF-16.
typedef struct {
    ULONG BufferSize;
    ULONG NextWmiRegInfo;
    ULONG RegistryPath;
    ULONG MofResourceName;
    ULONG GuidCount;
    WMIREGGUIDW WmiRegGuid[1];
} WMIREGINFOW, *PWMIREGINFOW;
typedef WMIREGINFOW WMIREGINFO;
typedef PWMIREGINFOW PWMIREGINFO;

// ---------------------------------------------------------------------------
// The WMI library (WMILIB.SYS)
// ---------------------------------------------------------------------------
typedef enum _WMIENABLEDISABLECONTROL {
    WmiEventControl,
    WmiDataBlockControl
} WMIENABLEDISABLECONTROL,
    *PWMIENABLEDISABLECONTROL;

typedef enum _SYSCTL_IRP_DISPOSITION {
    IrpProcessed,
    IrpNotCompleted,
    IrpNotWmi,
    IrpForward
} SYSCTL_IRP_DISPOSITION,
    *PSYSCTL_IRP_DISPOSITION;

typedef struct _WMIGUIDREGINFO {
    LPCGUID Guid;
    ULONG InstanceCount;
    ULONG Flags;
} WMIGUIDREGINFO, *PWMIGUIDREGINFO;

typedef NTSTATUS(NTAPI WMI_QUERY_REGINFO_CALLBACK)(PDEVICE_OBJECT DeviceObject, PULONG RegFlags,
                                                   PUNICODE_STRING InstanceName, PUNICODE_STRING *RegistryPath,
                                                   PUNICODE_STRING MofResourceName, PDEVICE_OBJECT *Pdo);
typedef WMI_QUERY_REGINFO_CALLBACK *PWMI_QUERY_REGINFO;

typedef NTSTATUS(NTAPI WMI_FUNCTION_CONTROL_CALLBACK)(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex,
                                                      WMIENABLEDISABLECONTROL Function, BOOLEAN Enable);
typedef WMI_FUNCTION_CONTROL_CALLBACK *PWMI_FUNCTION_CONTROL;

typedef NTSTATUS(NTAPI WMI_QUERY_DATABLOCK_CALLBACK)(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex,
                                                     ULONG InstanceIndex, ULONG InstanceCount,
                                                     PULONG InstanceLengthArray, ULONG BufferAvail, PUCHAR Buffer);
typedef WMI_QUERY_DATABLOCK_CALLBACK *PWMI_QUERY_DATABLOCK;

typedef NTSTATUS(NTAPI WMI_EXECUTE_METHOD_CALLBACK)(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex,
                                                    ULONG InstanceIndex, ULONG MethodId, ULONG InBufferSize,
                                                    ULONG OutBufferSize, PUCHAR Buffer);
typedef WMI_EXECUTE_METHOD_CALLBACK *PWMI_EXECUTE_METHOD;

typedef NTSTATUS(NTAPI WMI_SET_DATABLOCK_CALLBACK)(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex,
                                                   ULONG InstanceIndex, ULONG BufferSize, PUCHAR Buffer);
typedef WMI_SET_DATABLOCK_CALLBACK *PWMI_SET_DATABLOCK;

typedef NTSTATUS(NTAPI WMI_SET_DATAITEM_CALLBACK)(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex,
                                                  ULONG InstanceIndex, ULONG DataItemId, ULONG BufferSize,
                                                  PUCHAR Buffer);
typedef WMI_SET_DATAITEM_CALLBACK *PWMI_SET_DATAITEM;

typedef struct _WMILIB_CONTEXT {
    ULONG GuidCount;
    PWMIGUIDREGINFO GuidList;
    PWMI_QUERY_REGINFO QueryWmiRegInfo;
    PWMI_QUERY_DATABLOCK QueryWmiDataBlock;
    PWMI_SET_DATABLOCK SetWmiDataBlock;
    PWMI_SET_DATAITEM SetWmiDataItem;
    PWMI_EXECUTE_METHOD ExecuteWmiMethod;
    PWMI_FUNCTION_CONTROL WmiFunctionControl;
} WMILIB_CONTEXT, *PWMILIB_CONTEXT;

extern "C" {

// Serves one IRP_MJ_SYSTEM_CONTROL request for a driver that describes its
// data blocks in WmiLibInfo. PASSIVE_LEVEL. On return *IrpDisposition says
// what the caller does next:
//   IrpProcessed    the library (or a callback through WmiCompleteRequest)
//                   completed the IRP; the caller must not touch it;
//   IrpNotCompleted IoStatus is filled in; the caller completes the IRP;
//   IrpForward      the request is for another provider (ProviderId is not
//                   DeviceObject); the caller passes it down untouched;
//   IrpNotWmi       not a WMI minor function; the caller passes it down.
// Returns the status the IRP was (or is to be) completed with, or for the
// last two dispositions the IRP's IoStatus.Status unchanged.
NTSTATUS NTAPI WmiSystemControl(PWMILIB_CONTEXT WmiLibInfo, PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                PSYSCTL_IRP_DISPOSITION IrpDisposition);

// Completes a system-control request that WmiSystemControl handed to one of
// the data callbacks. IRQL <= DISPATCH_LEVEL. BufferUsed is the size of the
// data written (for STATUS_BUFFER_TOO_SMALL: the size the data needs, which
// the requester receives in a WNODE_TOO_SMALL, the IRP then succeeding as
// WMI requires). The IRP is completed and no longer the caller's. Returns the
// status the IRP was completed with.
NTSTATUS NTAPI WmiCompleteRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status, ULONG BufferUsed,
                                  CCHAR PriorityBoost);

}  // extern "C"
