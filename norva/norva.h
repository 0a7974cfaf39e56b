/*
 * norva.h - the virtual COM port driver's private header: the device
 * extensions of the filter device and its child PDO, the debug log, and the
 * routines each source unit offers the others.
 *
 * Every source unit defines NORVA_UNIT (its own name, as it appears in the
 * location prefix of its traces) before it includes this header.
 */
#pragma once

extern "C" {
#include <ntddk.h>
}
#include <codeplace.h>

#ifndef NORVA_UNIT
#error "define NORVA_UNIT (the source unit's trace name) before including norva.h"
#endif

/* ------------------------------------------------------------------------ */
/* Debug log                                                                  */

extern ULONG gDebugLevel;            /* trace mask; 3 until "DebugLevel" is read */
extern PDRIVER_OBJECT gDriverObject; /* set once at driver entry */

/* Trace masks. */
#define DBG_FAIL     0x01 /* a kernel call or a request below failed, a parameter refused */
#define DBG_STATE    0x02 /* state changes */
#define DBG_ENTRY    0x04 /* routine entry */
#define DBG_DETAIL   0x08 /* names, values, object pointers */
#define DBG_RX       0x10 /* receive side (only combined) */
#define DBG_TX       0x20 /* transmit side (only combined) */
#define DBG_MODEM    0x40 /* modem-control lines */
#define DBG_LIFE     (DBG_STATE | DBG_ENTRY) /* entry of lifecycle routines */

/*
 * A gated trace prints when any bit of its mask is set in gDebugLevel: first
 * the location prefix "unit(line):", then the message with its own line end.
 */
#define NorvaTrace(mask, ...)                              \
    do {                                                   \
        if (gDebugLevel & (mask)) {                        \
            DbgPrint(NORVA_UNIT "(%d):", (int)__LINE__);   \
            DbgPrint(__VA_ARGS__);                         \
        }                                                  \
    } while (0)

/*
 * Pageable routines must not run above APC_LEVEL: say so ungated and assert.
 */
#define NorvaPagedCode()                                                   \
    do {                                                                   \
        KIRQL currentIrql_ = KeGetCurrentIrql();                           \
        if (currentIrql_ > APC_LEVEL) {                                    \
            DbgPrint("EX: Pageable code called at IRQL %d\n", (int)currentIrql_); \
            ASSERT(FALSE);                                                 \
        }                                                                  \
    } while (0)

/* ------------------------------------------------------------------------ */
/* Port-driver interface types                                                */

/* Receive callback: context, data (null on a status-only call), length,
 * modem status byte, hold flag (set non-zero to hold reception). */
typedef ULONG(NTAPI *PNORVA_RX_CALLBACK)(PVOID context, PUCHAR data, ULONG length, UCHAR modemStatus,
                                         PULONG hold);
/* Transmit callback: context, buffer, buffer length, reserved (always 0);
 * returns the number of bytes placed in the buffer. */
typedef ULONG(NTAPI *PNORVA_TX_CALLBACK)(PVOID context, PUCHAR buffer, ULONG length, ULONG reserved);
/* Remove callback: the context given to SetRemoveCallback. */
typedef ULONG(NTAPI *PNORVA_REMOVE_CALLBACK)(PVOID context);

typedef struct _TX_THREAD_PARAMS {
    PVOID context;
    PNORVA_TX_CALLBACK pfnTxCallback;
} TX_THREAD_PARAMS, *PTX_THREAD_PARAMS;

/* ------------------------------------------------------------------------ */
/* Device extensions                                                          */

/* PnP state of the filter device (code 3 is not used). */
typedef enum _FilterPnpState {
    NotStarted = 0,
    Started = 1,
    Stopped = 2,
    RemovePending = 4,
    SurpriseRemoved = 5,
    Removed = 6
} FilterPnpState;

#define PIPE_NAME_CHARS 10

/* The header shared by both kinds of extension: isFdo and removed can be
 * read before the kind is known. */
struct CommonExtension {
    PDEVICE_OBJECT self;
    BOOLEAN isFdo;
    ULONG pnpState;         /* FilterPnpState */
    ULONG previousPnpState;
    BOOLEAN removed;        /* child PDO only: surprise-removed or removed */
};

/* The filter device above the converter's function device object. */
struct FilterExtension : CommonExtension {
    PDEVICE_OBJECT physicalDeviceObject;
    UNICODE_STRING interfaceName;        /* GUID_WDMVXD link; null text when absent */
    DEVICE_CAPABILITIES deviceCapabilities;
    ULONG endPointCaps;                  /* converter variant 0..3 */
    FILE_OBJECT rxPipe;                  /* "PIPE01" */
    FILE_OBJECT txPipe;                  /* "PIPE00" */
    FILE_OBJECT ctlPipe;                 /* "PIPE02"; all zero without a control pipe */
    WCHAR rxPipeNameBuffer[PIPE_NAME_CHARS];
    WCHAR txPipeNameBuffer[PIPE_NAME_CHARS];
    WCHAR ctlPipeNameBuffer[PIPE_NAME_CHARS];
    UCHAR modemControl;                  /* 0x01 RTS, 0x02 DTR */
    ULONG modemStatus;                   /* 16550 MSR layout: 0x10 CTS 0x20 DSR 0x40 RI 0x80 DCD */
    PDEVICE_OBJECT nextLowerDriver;
    PDEVICE_OBJECT norva_pdo;
    struct {
        PVOID context;
        PNORVA_TX_CALLBACK pfnTxCallback; /* non-null while transmission is started */
        PDEVICE_OBJECT target;            /* stack reference held while started */
        BOOLEAN stopping;
        KEVENT idleEvent;                 /* signalled while no write is in flight */
        PUCHAR buffer;                    /* block of the write in flight */
    } tx;
    LONG volatile kickTxCount;           /* kicks inside the engine + writes in flight */
    struct {
        PDEVICE_OBJECT target;            /* stack reference held while receiving */
        LONG volatile running;            /* TRUE while the loop goes on; interlocked: the stop
                                             clears it while a completion reads it */
        KEVENT finishEvent;
        ULONG pollState;                  /* 0 data read next, 1 line-status read next */
        PUCHAR buffer;
        PVOID context;
        PNORVA_RX_CALLBACK pfnRxCallback;
    } rx;
    PIRP rxIrp;
    PMDL rxMdl;
    PMDL ctlMdl;
    BOOLEAN rxPipeOpen;
    BOOLEAN txPipeOpen;
    BOOLEAN ctlPipeOpen;
    PIRP pendingTxIrp;
    KSPIN_LOCK txIrpLock;                /* guards pendingTxIrp */
    KSPIN_LOCK modemControlLock;         /* guards modemControl */
};
typedef FilterExtension *PFilterExtension;

/* The child PDO that stands for the serial port. */
struct PdoExtension : CommonExtension {
    PDEVICE_OBJECT ownerFdo;
    PVOID removeContext;
    PNORVA_REMOVE_CALLBACK removeCallback;
};
typedef PdoExtension *PPdoExtension;

/* The filter device's own device-control requests (FILE_DEVICE_SERIAL_PORT,
 * METHOD_BUFFERED, any access). */
#define NORVA_CTL_CODE(function) CTL_CODE(FILE_DEVICE_SERIAL_PORT, (function), METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_VCP_SET_COMM_STATE NORVA_CTL_CODE(0x6C) /* 0x1B01B0 */
#define IOCTL_VCP_SET_RTS        NORVA_CTL_CODE(0x6E) /* 0x1B01B8 */
#define IOCTL_VCP_CLR_RTS        NORVA_CTL_CODE(0x6F) /* 0x1B01BC */
#define IOCTL_VCP_SET_DTR        NORVA_CTL_CODE(0x70) /* 0x1B01C0 */
#define IOCTL_VCP_CLR_DTR        NORVA_CTL_CODE(0x71) /* 0x1B01C4 */
#define IOCTL_VCP_RESET_RX_PIPE  NORVA_CTL_CODE(0xC8) /* 0x1B0320 */
#define IOCTL_VCP_RESET_TX_PIPE  NORVA_CTL_CODE(0xC9) /* 0x1B0324 */

#define RX_BUFFER_SIZE 1024
#define TX_BUFFER_SIZE 4096

/* Pool tags read as text in a pool dump: the first character is the low byte. */
#define NORVA_MAKE_TAG(a, b, c, d) \
    ((ULONG)(UCHAR)(a) | (ULONG)(UCHAR)(b) << 8 | (ULONG)(UCHAR)(c) << 16 | (ULONG)(UCHAR)(d) << 24)
#define NORVA_POOL_TAG NORVA_MAKE_TAG('N', 'R', 'V', 'A') /* the receive buffer */
#define WDM_POOL_TAG   NORVA_MAKE_TAG('W', 'd', 'm', ' ') /* everything else */

/* ------------------------------------------------------------------------ */
/* Routines by source unit                                                    */

/* Driver entry and the exports: the visible names of the module. */
#pragma GCC visibility push(default)
extern "C" {
NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
ULONG NTAPI GetDebugLevel(ULONG unused);
ULONG NTAPI GetEndPointCaps(PDEVICE_OBJECT deviceObject);
PUNICODE_STRING NTAPI GetLinkName(PDEVICE_OBJECT deviceObject);
PDEVICE_OBJECT NTAPI GetNextPDO(PDEVICE_OBJECT *deviceObject);
VOID NTAPI KickTx(PDEVICE_OBJECT deviceObject);
ULONG NTAPI RxThreadStart(PDEVICE_OBJECT deviceObject, PVOID context, PNORVA_RX_CALLBACK callback);
ULONG NTAPI RxThreadStop(PDEVICE_OBJECT deviceObject);
ULONG NTAPI SetRemoveCallback(PDEVICE_OBJECT deviceObject, PVOID context, PNORVA_REMOVE_CALLBACK callback);
ULONG NTAPI TransmitChar(PDEVICE_OBJECT deviceObject, ULONG character);
ULONG NTAPI TxThreadStart(PDEVICE_OBJECT deviceObject, PTX_THREAD_PARAMS params);
ULONG NTAPI TxThreadStop(PDEVICE_OBJECT deviceObject);
ULONG NTAPI VendorRequest(PDEVICE_OBJECT deviceObject, PUCHAR data, ULONG length);
}
#pragma GCC visibility pop

/* filter */
DRIVER_DISPATCH FilterPass;
DRIVER_UNLOAD FilterUnload;
DRIVER_ADD_DEVICE FilterAddDevice;
NTSTATUS FilterRefuseOnPdo(PIRP Irp);
DRIVER_DISPATCH FilterDispatchPnp;
DRIVER_DISPATCH FilterDispatchPower;
NTSTATUS FDO_Pnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
DRIVER_DISPATCH FilterCleanup;
IO_COMPLETION_ROUTINE FilterCompletionRoutine;
IO_COMPLETION_ROUTINE FilterRemoveCompletionRoutine;
NTSTATUS FilterRemoveInterfaceAndResources(PDEVICE_OBJECT DeviceObject);
NTSTATUS FilterRemoveDevice(PDEVICE_OBJECT DeviceObject);
VOID CancelWaitOnMask(PFilterExtension deviceExtension);

/* create */
DRIVER_DISPATCH FilterCreateClose;
IO_COMPLETION_ROUTINE FilterCreateCloseCompletionRoutine;
NTSTATUS CreateClosePipe(PDEVICE_OBJECT DeviceObject, UCHAR MajorFunction, PFILE_OBJECT FileObject);
NTSTATUS AllocateRxTxBuffer(PFilterExtension deviceExtension);
VOID CancelAllRxIrp(PFilterExtension deviceExtension);
VOID CancelAllTxIrp(PFilterExtension deviceExtension);
VOID FreeRxBuffer(PFilterExtension deviceExtension);
VOID FreeTxBuffer(PFilterExtension deviceExtension);

/* read-rc02-3 */
VOID MyIoSetCompletionRoutine(PIRP Irp, PIO_COMPLETION_ROUTINE CompletionRoutine, PVOID Context,
                              BOOLEAN InvokeOnSuccess, BOOLEAN InvokeOnError, BOOLEAN InvokeOnCancel);
NTSTATUS MyIoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS FilterPolling(PFilterExtension deviceExtension);
NTSTATUS FilterNextPolling(PFilterExtension deviceExtension);
NTSTATUS FilterReceiveData(PFilterExtension deviceExtension);
IO_COMPLETION_ROUTINE FilterReceiveDataCompletionRoutine;
NTSTATUS FilterPollingLines(PFilterExtension deviceExtension);
IO_COMPLETION_ROUTINE FilterPollingLinesCompletionRoutine;
VOID FilterResumeReception(PFilterExtension deviceExtension);

/* devctl */
DRIVER_DISPATCH FilterDeviceControl;
NTSTATUS FilterVendorRequest(PDEVICE_OBJECT DeviceObject, PUCHAR data, ULONG length);
NTSTATUS FilterSetRTS(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS FilterSetDTR(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NorvaResetPipe(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS FilterSetCommState(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS FilterSetCommState0(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS FilterSetCommState1(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS FilterSetCommState2(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS FilterSetCommState3(PDEVICE_OBJECT DeviceObject, PIRP Irp);

/* bus */
NTSTATUS OsQueryDeviceRelations(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS DetectDevices(PFilterExtension deviceExtension);
VOID InitPDO(PDEVICE_OBJECT pdo, PFilterExtension deviceExtension);
NTSTATUS PDO_Pnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS PDO_DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS PDO_RemoveDevice(PDEVICE_OBJECT DeviceObject);
const char *PnPMinorFunctionString(UCHAR MinorFunction);

/* forvxd */
VOID DUMP_DEVICES(PDRIVER_OBJECT driverObject);

/* write-rc01 */
NTSTATUS FilterPollingWrite(PFilterExtension deviceExtension);
IO_COMPLETION_ROUTINE FilterPollingWriteCompletionRoutine;

/* init98 */
NTSTATUS OsDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
NTSTATUS OsAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject,
                     PDEVICE_OBJECT *FunctionalDeviceObject);
NTSTATUS FilterSetDeviceInterface(PDEVICE_OBJECT DeviceObject);
