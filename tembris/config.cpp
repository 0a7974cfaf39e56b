/*
 * config.cpp - device start and the USB configuration: descriptors, select
 * configuration, the pipe table, synchronous URBs, pipe reset and abort,
 * and the un-configuration at stop.
 */
#include "tembris.h"

/*
 * IRP_MN_START_DEVICE: the bus driver starts the device first, then the
 * device is configured.  The request completes with the configuration's
 * status.
 */
CODE_PAGE NTSTATUS CvtStartDevice(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    ConverterExtension *ext = CvtExtension(deviceObject);
    KEVENT event;

    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, CvtSyncCompletion, &event, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(ext->lowerDeviceObject, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, NULL);
    }
    status = irp->IoStatus.Status;

    /* A device its bus driver would not start is not talked to. */
    if (NT_SUCCESS(status)) {
        status = CvtConfigureDevice(deviceObject);
        if (NT_SUCCESS(status)) {
            ext->deviceStarted = TRUE;
        }
    }
    return CvtCompleteRequest(deviceObject, irp, status, irp->IoStatus.Information);
}

/* Frees the configuration record and everything it holds. */
void CvtFreeConfiguration(PDEVICE_OBJECT deviceObject)
{
    ConverterExtension *ext = CvtExtension(deviceObject);
    UsbConfiguration *configuration = ext->usbConfiguration;
    if (configuration == NULL) {
        return;
    }
    ext->usbConfiguration = NULL;
    if (configuration->deviceDescriptor != NULL) {
        ExFreePool(configuration->deviceDescriptor);
        configuration->deviceDescriptor = NULL;
    }
    if (configuration->configurationDescriptor != NULL) {
        ExFreePool(configuration->configurationDescriptor);
        configuration->configurationDescriptor = NULL;
    }
    if (configuration->interfaceInformation != NULL) {
        ExFreePool(configuration->interfaceInformation);
        configuration->interfaceInformation = NULL;
    }
    if (configuration->pipeContexts != NULL) {
        ExFreePool(configuration->pipeContexts);
        configuration->pipeContexts = NULL;
    }
    ExFreePool(configuration);
}

/*
 * A configuration descriptor is usable when the device sent at least its
 * 9 fixed bytes and everything that wTotalLength announces.
 */
static BOOLEAN CvtConfigurationDescriptorValid(PUSB_CONFIGURATION_DESCRIPTOR descriptor, ULONG received)
{
    return received >= sizeof(USB_CONFIGURATION_DESCRIPTOR) &&
           descriptor->wTotalLength >= sizeof(USB_CONFIGURATION_DESCRIPTOR) && received >= descriptor->wTotalLength;
}

CODE_PAGE NTSTATUS CvtConfigureDevice(PDEVICE_OBJECT deviceObject)
{
    ConverterExtension *ext = CvtExtension(deviceObject);
    NTSTATUS status;

    /* A record left by an earlier start that failed is replaced. */
    CvtFreeConfiguration(deviceObject);

    PURB urb = (PURB)CvtAllocatePool(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
    PUSB_DEVICE_DESCRIPTOR deviceDescriptor = (PUSB_DEVICE_DESCRIPTOR)CvtAllocatePool(sizeof(USB_DEVICE_DESCRIPTOR));
    UsbConfiguration *configuration = (UsbConfiguration *)CvtAllocatePool(sizeof(UsbConfiguration));
    if (urb == NULL || deviceDescriptor == NULL || configuration == NULL) {
        if (urb != NULL) {
            ExFreePool(urb);
        }
        if (deviceDescriptor != NULL) {
            ExFreePool(deviceDescriptor);
        }
        if (configuration != NULL) {
            ExFreePool(configuration);
        }
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
    RtlZeroMemory(configuration, sizeof(UsbConfiguration));

    UsbBuildGetDescriptorRequest(urb, (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, deviceDescriptor, NULL,
                                 sizeof(USB_DEVICE_DESCRIPTOR), NULL);
    status = CvtCallUsbd(deviceObject, urb);
    if (!NT_SUCCESS(status)) {
        ExFreePool(configuration);
        ExFreePool(deviceDescriptor);
        ExFreePool(urb);
        return status;
    }
    ext->usbConfiguration = configuration;
    configuration->deviceDescriptor = deviceDescriptor;

    /* Read the configuration descriptor; ask once more, for exactly
     * wTotalLength bytes, when the first guess was too short. */
    ULONG size = CVT_CONFIG_DESCRIPTOR_GUESS;
    ULONG received;
    for (;;) {
        configuration->configurationDescriptor = (PUSB_CONFIGURATION_DESCRIPTOR)CvtAllocatePool(size);
        if (configuration->configurationDescriptor == NULL) {
            ExFreePool(urb);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        RtlZeroMemory(urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
        UsbBuildGetDescriptorRequest(urb, (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                     USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0,
                                     configuration->configurationDescriptor, NULL, size, NULL);
        status = CvtCallUsbd(deviceObject, urb);
        received = urb->UrbControlDescriptorRequest.TransferBufferLength;
        if (!NT_SUCCESS(status) || received == 0 ||
            received < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
            configuration->configurationDescriptor->wTotalLength <= size) {
            break;
        }
        size = configuration->configurationDescriptor->wTotalLength;
        ExFreePool(configuration->configurationDescriptor);
        configuration->configurationDescriptor = NULL;
    }
    ExFreePool(urb);

    /* Never select from a buffer that holds no whole descriptor. */
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (!CvtConfigurationDescriptorValid(configuration->configurationDescriptor, received)) {
        return STATUS_DEVICE_DATA_ERROR;
    }
    return CvtSelectConfiguration(deviceObject, configuration);
}

/* Selects the first interfaceInfo (alternate setting 0) and builds the pipe table. */
CODE_PAGE NTSTATUS CvtSelectConfiguration(PDEVICE_OBJECT deviceObject, UsbConfiguration *configuration)
{
    ConverterExtension *ext = CvtExtension(deviceObject);
    PUSB_CONFIGURATION_DESCRIPTOR descriptor = configuration->configurationDescriptor;
    USHORT urbSize = 0;

    PURB urb = USBD_CreateConfigurationRequest(descriptor, &urbSize);
    if (urb == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, -1, -1, -1, -1, -1) == NULL) {
        ExFreePool(urb);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    PUSBD_INTERFACE_INFORMATION interfaceInfo = &urb->UrbSelectConfiguration.Interface;
    for (ULONG i = 0; i < interfaceInfo->NumberOfPipes; i++) {
        interfaceInfo->Pipes[i].MaximumTransferSize = ext->maximumTransferSize;
        interfaceInfo->Pipes[i].PipeFlags = 0;
    }
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbHeader.Length = urbSize;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = descriptor;

    NTSTATUS status = CvtCallUsbd(deviceObject, urb);
    if (!NT_SUCCESS(status)) {
        ExFreePool(urb);
        return status;
    }
    configuration->configurationHandle = urb->UrbSelectConfiguration.ConfigurationHandle;

    /* Without memory for the copies no pipe could ever be opened: the start
     * fails rather than report a device that cannot carry data. */
    configuration->interfaceInformation = (PUSBD_INTERFACE_INFORMATION)CvtAllocatePool(interfaceInfo->Length);
    if (configuration->interfaceInformation != NULL) {
        RtlCopyMemory(configuration->interfaceInformation, interfaceInfo, interfaceInfo->Length);
        ULONG pipes = configuration->interfaceInformation->NumberOfPipes;
        if (pipes != 0) {
            configuration->pipeContexts = (PipeContext *)CvtAllocatePool(pipes * sizeof(PipeContext));
        }
        if (configuration->pipeContexts != NULL) {
            RtlZeroMemory(configuration->pipeContexts, pipes * sizeof(PipeContext));
            for (ULONG i = 0; i < pipes; i++) {
                configuration->pipeContexts[i].pipeInformation = &configuration->interfaceInformation->Pipes[i];
            }
        } else if (pipes != 0) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        }
    } else {
        status = STATUS_INSUFFICIENT_RESOURCES;
    }
    ExFreePool(urb);
    return status;
}

/*
 * Waits until every request that got past the gate before the stop has
 * ended: a read, write or device-control request still in this driver would
 * otherwise use its pipe context after the configuration is freed.  The
 * caller has aborted the open pipes, holds one reference (its own dispatch
 * reference) and admits no request meanwhile; a transfer that was already
 * past the gate and reaches the bus after the abort is aborted on the next
 * round.
 */
static CODE_PAGE void CvtDrainRequests(PDEVICE_OBJECT deviceObject)
{
    ConverterExtension *ext = CvtExtension(deviceObject);
    LARGE_INTEGER round;
    round.QuadPart = -100LL * 10 * 1000; /* 100 ms */

    /* Without its own reference the count falls to 1 (idle) once the
     * others have ended; idleEvent is set again at that moment. */
    KeClearEvent(&ext->idleEvent);
    CvtDecrementIoCount(deviceObject);
    while (InterlockedCompareExchange(&ext->pendingIoCount, 0, 0) > 1) {
        if (KeWaitForSingleObject(&ext->idleEvent, Suspended, KernelMode, FALSE, &round) == STATUS_TIMEOUT) {
            CvtAbortPipesOf(deviceObject, ext->usbConfiguration);
        }
    }
    CvtIncrementIoCount(deviceObject);
}

/*
 * Puts the device into the unconfigured state and frees the configuration.
 * Transfers still outstanding are aborted and every request in the driver
 * has ended first, so that nothing can reach a pipe context after it is
 * freed.  A stop that cannot build its request changes nothing.
 */
CODE_PAGE NTSTATUS CvtStopDevice(PDEVICE_OBJECT deviceObject)
{
    ConverterExtension *ext = CvtExtension(deviceObject);

    PURB urb = (PURB)CvtAllocatePool(sizeof(struct _URB_SELECT_CONFIGURATION));
    if (urb == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    CvtAbortPipesOf(deviceObject, ext->usbConfiguration);
    CvtDrainRequests(deviceObject);

    RtlZeroMemory(urb, sizeof(struct _URB_SELECT_CONFIGURATION));
    urb->UrbHeader.Length = (USHORT)sizeof(struct _URB_SELECT_CONFIGURATION);
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = NULL;
    NTSTATUS status = CvtCallUsbd(deviceObject, urb);
    ExFreePool(urb);

    /* Refused: the device stays configured, and its pipes stay open for the
     * file objects that hold them; their aborted transfers ended cancelled. */
    if (NT_SUCCESS(status)) {
        CvtFreeConfiguration(deviceObject);
    }
    return status;
}

/*
 * Sends one internal device-control request to the device below and waits
 * for it.  The I/O manager finishes and frees the request.
 */
NTSTATUS CvtCallLowerInternal(PDEVICE_OBJECT deviceObject, ULONG ioControlCode, PVOID argument1)
{
    ConverterExtension *ext = CvtExtension(deviceObject);
    KEVENT event;
    IO_STATUS_BLOCK ioStatus;

    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(ioControlCode, ext->lowerDeviceObject, NULL, 0, NULL, 0, TRUE,
                                             &event, &ioStatus);
    if (irp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = argument1;

    NTSTATUS status = IoCallDriver(ext->lowerDeviceObject, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, NULL);
        status = ioStatus.Status;
    }
    return status;
}

/* Submits one URB and waits for it.  The URB header's own status is not examined. */
NTSTATUS CvtCallUsbd(PDEVICE_OBJECT deviceObject, PURB urb)
{
    return CvtCallLowerInternal(deviceObject, IOCTL_INTERNAL_USB_SUBMIT_URB, urb);
}

PipeContext *CvtGetPipeContext(PDEVICE_OBJECT deviceObject, ULONG index)
{
    UsbConfiguration *configuration = CvtExtension(deviceObject)->usbConfiguration;
    if (configuration == NULL || configuration->interfaceInformation == NULL || configuration->pipeContexts == NULL) {
        return NULL;
    }
    return &configuration->pipeContexts[index];
}

static NTSTATUS CvtPipeRequest(PDEVICE_OBJECT deviceObject, PipeContext *pipe, USHORT function)
{
    PURB urb = (PURB)CvtAllocatePool(sizeof(struct _URB_PIPE_REQUEST));
    if (urb == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(urb, sizeof(struct _URB_PIPE_REQUEST));
    urb->UrbHeader.Length = (USHORT)sizeof(struct _URB_PIPE_REQUEST);
    urb->UrbHeader.Function = function;
    urb->UrbPipeRequest.PipeHandle = pipe->pipeInformation->PipeHandle;
    NTSTATUS status = CvtCallUsbd(deviceObject, urb);
    ExFreePool(urb);
    return status;
}

NTSTATUS CvtResetPipe(PDEVICE_OBJECT deviceObject, PipeContext *pipe)
{
    return CvtPipeRequest(deviceObject, pipe, URB_FUNCTION_RESET_PIPE);
}

NTSTATUS CvtAbortPipe(PDEVICE_OBJECT deviceObject, PipeContext *pipe)
{
    return CvtPipeRequest(deviceObject, pipe, URB_FUNCTION_ABORT_PIPE);
}

/* Aborts the transfers of every open pipe; the pipes stay open. */
void CvtAbortPipesOf(PDEVICE_OBJECT deviceObject, UsbConfiguration *configuration)
{
    if (configuration == NULL || configuration->interfaceInformation == NULL || configuration->pipeContexts == NULL) {
        return;
    }
    for (ULONG i = 0; i < configuration->interfaceInformation->NumberOfPipes; i++) {
        if (configuration->interfaceInformation->Pipes[i].PipeFlags != 0) {
            CvtAbortPipe(deviceObject, &configuration->pipeContexts[i]);
        }
    }
}

/* Aborts every open pipe and closes it; returns the status of the last abort. */
NTSTATUS CvtAbortOpenPipes(PDEVICE_OBJECT deviceObject)
{
    UsbConfiguration *configuration = CvtExtension(deviceObject)->usbConfiguration;
    NTSTATUS status = STATUS_SUCCESS;

    if (configuration == NULL || configuration->interfaceInformation == NULL || configuration->pipeContexts == NULL) {
        return status;
    }
    PUSBD_INTERFACE_INFORMATION interfaceInfo = configuration->interfaceInformation;
    for (ULONG i = 0; i < interfaceInfo->NumberOfPipes; i++) {
        if (interfaceInfo->Pipes[i].PipeFlags != 0) {
            status = CvtAbortPipe(deviceObject, &configuration->pipeContexts[i]);
            if (NT_SUCCESS(status)) {
                interfaceInfo->Pipes[i].PipeFlags = 0;
            }
        }
    }
    return status;
}
