/*
 * tembris.h - the converter's USB function driver: device extension, USB
 * configuration records and the routines of each source unit.
 */
#pragma once

extern "C" {
#include <ntddk.h>
#include <usbdi.h>
#include <usbdlib.h>
}

#include <codeplace.h>

#include "usbcvt.h"

/* Device interface class of the converter: {FEE29501-E702-11D4-80D2-00402641283F}. */
DEFINE_GUID(GUID_CLASS_USBCVT, 0xFEE29501, 0xE702, 0x11D4, 0x80, 0xD2, 0x00, 0x40, 0x26, 0x41, 0x28, 0x3F);

/* Pool tag "Wdm " as it reads in a pool dump. */
#define CVT_POOL_TAG 0x206D6457u

/* Longest interface link name the extension holds, in characters. */
#define CVT_LINK_NAME_CHARS 256

/* Every pipe's MaximumTransferSize, set before the configuration is selected. */
#define CVT_MAXIMUM_TRANSFER_SIZE 102400

/* First guess for the configuration descriptor: its 9 bytes plus 512. */
#define CVT_CONFIG_DESCRIPTOR_GUESS (sizeof(USB_CONFIGURATION_DESCRIPTOR) + 512)

/* One pipe of the selected interface. */
struct PipeContext {
    PUSBD_PIPE_INFORMATION pipeInformation; /* entry of interfaceInformation->Pipes */
    ULONGLONG bytesTransferred;             /* statistics of timed transfers */
    LONGLONG elapsedTicks;
    LONGLONG startTicks;
    ULONGLONG elapsedCycles;
    ULONGLONG cycleMark;
    BOOLEAN statisticsEnabled;
    /* The file object that has the pipe open (PipeFlags 1), so that a file
     * object left over from an earlier configuration is never taken for it. */
    PFILE_OBJECT openFileObject;
};

/* The selected configuration, while the device is configured. */
struct UsbConfiguration {
    PUSB_DEVICE_DESCRIPTOR deviceDescriptor;
    PUSB_CONFIGURATION_DESCRIPTOR configurationDescriptor;
    PUSBD_INTERFACE_INFORMATION interfaceInformation;
    PipeContext *pipeContexts;
    USBD_CONFIGURATION_HANDLE configurationHandle;
};

/* Device extension of the functional device object. */
struct ConverterExtension {
    PDEVICE_OBJECT lowerDeviceObject;
    PDEVICE_OBJECT physicalDeviceObject;
    DEVICE_CAPABILITIES deviceCapabilities;
    DEVICE_POWER_STATE devicePowerState;
    PIRP pendingSystemPowerIrp;
    PIRP currentTransferIrp;
    KEVENT powerUpEvent;
    ULONG maximumTransferSize;
    volatile LONG pendingIoCount;
    KEVENT removeEvent;
    KEVENT idleEvent;
    BOOLEAN deviceStarted;
    BOOLEAN deviceRemoving;
    BOOLEAN surpriseRemoved;
    BOOLEAN removePending;
    BOOLEAN stopPending;
    WCHAR interfaceLinkName[CVT_LINK_NAME_CHARS + 1];
    UsbConfiguration *usbConfiguration;
    /* The cancel at surprise removal must never meet a request its owner
     * has already freed.  transferLock guards currentTransferIrp and the two
     * fields below: while the surprise handler cancels cancellingIrp, that
     * request's completion stops in tembris (cancelledCompletionHeld) and
     * the handler completes it upward once IoCancelIrp has returned. */
    KSPIN_LOCK transferLock;
    PIRP cancellingIrp;
    BOOLEAN cancelledCompletionHeld;
};

/* The x86 figures of the structures whose sizes the transfers depend on. */
static_assert(sizeof(void *) != 4 || sizeof(USBD_PIPE_INFORMATION) == 20, "USBD_PIPE_INFORMATION is 20 bytes on x86");
static_assert(sizeof(void *) != 4 || sizeof(struct _URB_ISOCH_TRANSFER) == 96, "isoch URB is 96 bytes on x86");
static_assert(sizeof(USBD_ISO_PACKET_DESCRIPTOR) == 12, "isoch packet descriptor is 12 bytes");
static_assert(sizeof(void *) != 4 || FIELD_OFFSET(USBD_PIPE_INFORMATION, PipeHandle) == USBCVT_PIPE_RECORD_PIPE_HANDLE,
              "pipe record mirrors USBD_PIPE_INFORMATION on x86");
static_assert(sizeof(void *) != 4 ||
                  FIELD_OFFSET(USBD_PIPE_INFORMATION, MaximumTransferSize) == USBCVT_PIPE_RECORD_MAX_TRANSFER_SIZE,
              "pipe record mirrors USBD_PIPE_INFORMATION on x86");
static_assert(sizeof(void *) != 4 || FIELD_OFFSET(USBD_PIPE_INFORMATION, PipeFlags) == USBCVT_PIPE_RECORD_PIPE_FLAGS,
              "pipe record mirrors USBD_PIPE_INFORMATION on x86");
static_assert(FIELD_OFFSET(USBD_PIPE_INFORMATION, EndpointAddress) == USBCVT_PIPE_RECORD_ENDPOINT_ADDRESS &&
                  FIELD_OFFSET(USBD_PIPE_INFORMATION, Interval) == USBCVT_PIPE_RECORD_INTERVAL &&
                  FIELD_OFFSET(USBD_PIPE_INFORMATION, PipeType) == USBCVT_PIPE_RECORD_PIPE_TYPE,
              "pipe record's leading fields sit where USBD_PIPE_INFORMATION has them");
static_assert(sizeof(((ConverterExtension *)0)->interfaceLinkName) == 257 * sizeof(WCHAR), "257 characters");

inline ConverterExtension *CvtExtension(PDEVICE_OBJECT deviceObject)
{
    return (ConverterExtension *)deviceObject->DeviceExtension;
}

/* driver.cpp: entry, extension, AddDevice, request counting */
/* The one visible name of the module. */
#pragma GCC visibility push(default)
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);
#pragma GCC visibility pop
void NTAPI CvtUnload(PDRIVER_OBJECT driverObject);
NTSTATUS NTAPI CvtAddDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT physicalDeviceObject);
NTSTATUS CvtCreateDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT physicalDeviceObject,
                         PDEVICE_OBJECT *deviceObject);
NTSTATUS CvtQueryCapabilities(PDEVICE_OBJECT physicalDeviceObject, PDEVICE_CAPABILITIES capabilities);
void CvtIncrementIoCount(PDEVICE_OBJECT deviceObject);
LONG CvtDecrementIoCount(PDEVICE_OBJECT deviceObject);
BOOLEAN CvtCanAcceptIo(PDEVICE_OBJECT deviceObject);
NTSTATUS NTAPI CvtSyncCompletion(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID event);
NTSTATUS CvtRemoveDevice(PDEVICE_OBJECT deviceObject);
PVOID CvtAllocatePool(SIZE_T bytes);
NTSTATUS CvtCompleteRequest(PDEVICE_OBJECT deviceObject, PIRP irp, NTSTATUS status, ULONG_PTR information);

/* config.cpp: device start, USB configuration, synchronous URBs, pipe reset and abort */
NTSTATUS CvtStartDevice(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS CvtConfigureDevice(PDEVICE_OBJECT deviceObject);
NTSTATUS CvtSelectConfiguration(PDEVICE_OBJECT deviceObject, UsbConfiguration *configuration);
NTSTATUS CvtStopDevice(PDEVICE_OBJECT deviceObject);
void CvtFreeConfiguration(PDEVICE_OBJECT deviceObject);
NTSTATUS CvtCallLowerInternal(PDEVICE_OBJECT deviceObject, ULONG ioControlCode, PVOID argument1);
NTSTATUS CvtCallUsbd(PDEVICE_OBJECT deviceObject, PURB urb);
PipeContext *CvtGetPipeContext(PDEVICE_OBJECT deviceObject, ULONG index);
NTSTATUS CvtResetPipe(PDEVICE_OBJECT deviceObject, PipeContext *pipe);
NTSTATUS CvtAbortPipe(PDEVICE_OBJECT deviceObject, PipeContext *pipe);
NTSTATUS CvtAbortOpenPipes(PDEVICE_OBJECT deviceObject);
void CvtAbortPipesOf(PDEVICE_OBJECT deviceObject, UsbConfiguration *configuration);

/* pipe.cpp: pipe file objects */
NTSTATUS NTAPI CvtDispatchCreate(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS NTAPI CvtDispatchClose(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS CvtCreateClosePipe(PDEVICE_OBJECT deviceObject, PIRP irp, BOOLEAN create);
NTSTATUS CvtParsePipeNumber(PCUNICODE_STRING fileName, PULONG number);
PipeContext *CvtPipeFromFileObject(PDEVICE_OBJECT deviceObject, PFILE_OBJECT fileObject);

/* transfer.cpp: read and write transfers */
NTSTATUS NTAPI CvtDispatchRead(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS NTAPI CvtDispatchWrite(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS CvtTransfer(PDEVICE_OBJECT deviceObject, PIRP irp, BOOLEAN read);
PURB CvtBuildBulkUrb(PIRP irp, PipeContext *pipe, BOOLEAN read);
PURB CvtBuildIsochUrb(PDEVICE_OBJECT deviceObject, PIRP irp, PipeContext *pipe, BOOLEAN read);
ULONG CvtGetCurrentFrame(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS NTAPI CvtBulkComplete(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context);
NTSTATUS NTAPI CvtIsochComplete(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context);
void CvtStartTiming(PipeContext *pipe);
void CvtStopTiming(PipeContext *pipe, ULONG bytes);

/* devctl.cpp: private device-control interface */
NTSTATUS NTAPI CvtDispatchDeviceControl(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS CvtGetPortStatus(PDEVICE_OBJECT deviceObject, PULONG portStatus);
NTSTATUS CvtResetParentPort(PDEVICE_OBJECT deviceObject);
NTSTATUS CvtResetDevice(PDEVICE_OBJECT deviceObject);

/* pnp.cpp: PnP states and removal */
NTSTATUS NTAPI CvtDispatchPnp(PDEVICE_OBJECT deviceObject, PIRP irp);

/* power.cpp: power policy and system control */
NTSTATUS NTAPI CvtDispatchPower(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS NTAPI CvtDispatchSystemControl(PDEVICE_OBJECT deviceObject, PIRP irp);
