/*
 * transfer.cpp - reads and writes on pipe file objects: each becomes one
 * USB transfer on the client's own request, sent to the bus driver and
 * finished by a completion routine that reports the bytes moved.
 */
#include "tembris.h"

/* Completion context of a bulk or interrupt transfer. */
struct BulkTransferContext {
    PURB urb;
    PDEVICE_OBJECT deviceObject;
};

static NTSTATUS CvtReadWriteGate(PDEVICE_OBJECT deviceObject, PIRP irp, BOOLEAN read)
{
    if (!CvtCanAcceptIo(deviceObject)) {
        return CvtCompleteRequest(deviceObject, irp, STATUS_DELETE_PENDING, 0);
    }
    return CvtTransfer(deviceObject, irp, read);
}

NTSTATUS NTAPI CvtDispatchRead(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    CvtIncrementIoCount(deviceObject);
    return CvtReadWriteGate(deviceObject, irp, TRUE);
}

NTSTATUS NTAPI CvtDispatchWrite(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    CvtIncrementIoCount(deviceObject);
    return CvtReadWriteGate(deviceObject, irp, FALSE);
}

static ULONG CvtTransferLength(PIRP irp)
{
    return irp->MdlAddress != NULL ? MmGetMdlByteCount(irp->MdlAddress) : 0;
}

/*
 * Size of an isochronous URB for a transfer, with room for one packet
 * descriptor more than is used; 0 when the transfer cannot be described
 * (no packet size, or more packets than a URB header's length can hold).
 */
static ULONG CvtIsochUrbSize(PipeContext *pipe, ULONG length)
{
    ULONG packetSize = pipe->pipeInformation->MaximumPacketSize;
    if (packetSize == 0) {
        return 0;
    }
    ULONG packets = length / packetSize + (length % packetSize != 0 ? 1 : 0);
    ULONGLONG size = sizeof(struct _URB_ISOCH_TRANSFER) + (ULONGLONG)packets * sizeof(USBD_ISO_PACKET_DESCRIPTOR);
    return size <= MAXUSHORT ? (ULONG)size : 0;
}

NTSTATUS CvtTransfer(PDEVICE_OBJECT deviceObject, PIRP irp, BOOLEAN read)
{
    ConverterExtension *ext = CvtExtension(deviceObject);
    PipeContext *pipe = CvtPipeFromFileObject(deviceObject, IoGetCurrentIrpStackLocation(irp)->FileObject);
    PIO_COMPLETION_ROUTINE completion = NULL;
    PVOID context = NULL;
    PURB urb = NULL;

    if (pipe == NULL) {
        return CvtCompleteRequest(deviceObject, irp, STATUS_INVALID_HANDLE, 0);
    }
    USBD_PIPE_TYPE type = pipe->pipeInformation->PipeType;
    if (type != UsbdPipeTypeIsochronous && type != UsbdPipeTypeBulk && type != UsbdPipeTypeInterrupt) {
        return CvtCompleteRequest(deviceObject, irp, STATUS_INVALID_PARAMETER, 0);
    }
    /* Nothing to move: a request without data completes at once. */
    if (CvtTransferLength(irp) == 0) {
        return CvtCompleteRequest(deviceObject, irp, STATUS_SUCCESS, 0);
    }

    if (type == UsbdPipeTypeIsochronous) {
        if (CvtIsochUrbSize(pipe, CvtTransferLength(irp)) == 0) {
            return CvtCompleteRequest(deviceObject, irp, STATUS_INVALID_PARAMETER, 0);
        }
        /* The reset waits for the bus driver: only a sender at PASSIVE_LEVEL
         * gets it.  One that sends from a completion routine (a receive
         * loop, on a device whose pipe turned out isochronous) must not wait. */
        if (KeGetCurrentIrql() == PASSIVE_LEVEL) {
            CvtResetPipe(deviceObject, pipe);
        }
        urb = CvtBuildIsochUrb(deviceObject, irp, pipe, read);
        completion = CvtIsochComplete;
        context = urb;
    } else {
        urb = CvtBuildBulkUrb(irp, pipe, read);
        if (urb != NULL) {
            BulkTransferContext *record = (BulkTransferContext *)CvtAllocatePool(sizeof(BulkTransferContext));
            if (record != NULL) {
                record->urb = urb;
                record->deviceObject = deviceObject;
            } else {
                ExFreePool(urb);
                urb = NULL;
            }
            context = record;
        }
        completion = CvtBulkComplete;
    }
    if (urb == NULL) {
        return CvtCompleteRequest(deviceObject, irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    }

    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(irp, completion, context, TRUE, TRUE, TRUE);

    CvtStartTiming(pipe);
    KIRQL oldIrql;
    KeAcquireSpinLock(&ext->transferLock, &oldIrql);
    ext->currentTransferIrp = irp;
    KeReleaseSpinLock(&ext->transferLock, oldIrql);
    /* The completion routine releases the dispatch reference. */
    return IoCallDriver(ext->lowerDeviceObject, irp);
}

PURB CvtBuildBulkUrb(PIRP irp, PipeContext *pipe, BOOLEAN read)
{
    ULONG size = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    PURB urb = (PURB)CvtAllocatePool(size);
    if (urb == NULL) {
        return NULL;
    }
    RtlZeroMemory(urb, size);
    urb->UrbHeader.Length = (USHORT)size;
    urb->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb->UrbBulkOrInterruptTransfer.PipeHandle = pipe->pipeInformation->PipeHandle;
    urb->UrbBulkOrInterruptTransfer.TransferFlags =
        USBD_SHORT_TRANSFER_OK | (read ? USBD_TRANSFER_DIRECTION_IN : USBD_TRANSFER_DIRECTION_OUT);
    urb->UrbBulkOrInterruptTransfer.TransferBufferLength = CvtTransferLength(irp);
    urb->UrbBulkOrInterruptTransfer.TransferBufferMDL = irp->MdlAddress;
    urb->UrbBulkOrInterruptTransfer.TransferBuffer = NULL;
    urb->UrbBulkOrInterruptTransfer.UrbLink = NULL;
    return urb;
}

PURB CvtBuildIsochUrb(PDEVICE_OBJECT deviceObject, PIRP irp, PipeContext *pipe, BOOLEAN read)
{
    ULONG length = CvtTransferLength(irp);
    ULONG packetSize = pipe->pipeInformation->MaximumPacketSize;
    ULONG size = CvtIsochUrbSize(pipe, length);
    if (size == 0) {
        return NULL;
    }
    ULONG packets = length / packetSize + (length % packetSize != 0 ? 1 : 0);

    PURB urb = (PURB)CvtAllocatePool(size);
    if (urb == NULL) {
        return NULL;
    }
    RtlZeroMemory(urb, size);
    urb->UrbHeader.Length = (USHORT)size;
    urb->UrbHeader.Function = URB_FUNCTION_ISOCH_TRANSFER;

    struct _URB_ISOCH_TRANSFER *isoch = &urb->UrbIsochronousTransfer;
    isoch->PipeHandle = pipe->pipeInformation->PipeHandle;
    isoch->TransferFlags = read ? USBD_TRANSFER_DIRECTION_IN : USBD_TRANSFER_DIRECTION_OUT;
    isoch->TransferBufferMDL = irp->MdlAddress;
    isoch->TransferBufferLength = length;

    /* A nonzero HighPart asks for the transfer LowPart frames from now. */
    LARGE_INTEGER startFrame = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.ByteOffset;
    if (startFrame.HighPart != 0) {
        isoch->StartFrame = startFrame.LowPart + CvtGetCurrentFrame(deviceObject, irp);
    } else {
        isoch->TransferFlags |= USBD_START_ISO_TRANSFER_ASAP;
    }

    isoch->UrbLink = NULL;
    isoch->NumberOfPackets = packets;
    for (ULONG i = 0; i < packets; i++) {
        isoch->IsoPacket[i].Offset = i * packetSize;
    }
    return urb;
}

static NTSTATUS NTAPI CvtFrameNumberComplete(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID event)
{
    UNREFERENCED_PARAMETER(deviceObject);
    UNREFERENCED_PARAMETER(irp);
    KeSetEvent((PKEVENT)event, EVENT_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

/*
 * Asks the bus for its current frame number on the transfer's own request,
 * which comes back to this driver and is then reused for the transfer.
 */
ULONG CvtGetCurrentFrame(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    ConverterExtension *ext = CvtExtension(deviceObject);
    struct _URB_GET_CURRENT_FRAME_NUMBER urb;
    KEVENT event;

    RtlZeroMemory(&urb, sizeof(urb));
    urb.Hdr.Length = (USHORT)sizeof(urb);
    urb.Hdr.Function = URB_FUNCTION_GET_CURRENT_FRAME_NUMBER;
    urb.FrameNumber = 0xFFFFFFFF;

    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = &urb;
    IoSetCompletionRoutine(irp, CvtFrameNumberComplete, &event, TRUE, TRUE, TRUE);

    /* The frame-number URB lives on this stack: wait should the bus ever pend it. */
    if (IoCallDriver(ext->lowerDeviceObject, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, NULL);
    }
    return urb.FrameNumber;
}

/*
 * Common end of a transfer; the caller frees its URB and context.  Returns
 * TRUE when the surprise-removal handler is cancelling this very request:
 * the completion then stops here and the handler completes it upward.
 */
static BOOLEAN CvtFinishTransfer(PDEVICE_OBJECT deviceObject, PIRP irp, ULONG bytes)
{
    ConverterExtension *ext = CvtExtension(deviceObject);
    BOOLEAN held = FALSE;
    if (irp->PendingReturned) {
        IoMarkIrpPending(irp);
    }
    irp->IoStatus.Information = bytes;
    CvtStopTiming(CvtPipeFromFileObject(deviceObject, IoGetCurrentIrpStackLocation(irp)->FileObject), bytes);
    KIRQL oldIrql;
    KeAcquireSpinLock(&ext->transferLock, &oldIrql);
    ext->currentTransferIrp = NULL;
    if (ext->cancellingIrp == irp) {
        ext->cancelledCompletionHeld = TRUE;
        held = TRUE;
    }
    KeReleaseSpinLock(&ext->transferLock, oldIrql);
    return held;
}

/* The request completes with the status the bus driver gave it. */
NTSTATUS NTAPI CvtBulkComplete(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context)
{
    BulkTransferContext *record = (BulkTransferContext *)context;
    PDEVICE_OBJECT device = record->deviceObject;
    PURB urb = record->urb;
    UNREFERENCED_PARAMETER(deviceObject);

    BOOLEAN held = CvtFinishTransfer(device, irp, urb->UrbBulkOrInterruptTransfer.TransferBufferLength);
    ExFreePool(record);
    ExFreePool(urb);
    CvtDecrementIoCount(device); /* last: removal may go on from here */
    return held ? STATUS_MORE_PROCESSING_REQUIRED : STATUS_SUCCESS;
}

NTSTATUS NTAPI CvtIsochComplete(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context)
{
    PURB urb = (PURB)context;
    BOOLEAN held = CvtFinishTransfer(deviceObject, irp, urb->UrbIsochronousTransfer.TransferBufferLength);
    ExFreePool(urb);
    CvtDecrementIoCount(deviceObject);
    return held ? STATUS_MORE_PROCESSING_REQUIRED : STATUS_SUCCESS;
}

void CvtStartTiming(PipeContext *pipe)
{
    if (pipe != NULL && pipe->statisticsEnabled) {
        pipe->startTicks = KeQueryPerformanceCounter(NULL).QuadPart;
        pipe->cycleMark = __rdtsc();
    }
}

void CvtStopTiming(PipeContext *pipe, ULONG bytes)
{
    if (pipe != NULL && pipe->statisticsEnabled) {
        pipe->cycleMark = __rdtsc() - pipe->cycleMark;
        LONGLONG now = KeQueryPerformanceCounter(NULL).QuadPart;
        pipe->elapsedCycles += pipe->cycleMark;
        pipe->bytesTransferred += bytes;
        pipe->elapsedTicks += now - pipe->startTicks;
    }
}
