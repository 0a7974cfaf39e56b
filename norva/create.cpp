/*
 * create.cpp - opening and closing the converter's pipes through the driver
 * below, and the create and close requests of the filter device.
 *
 * A pipe is opened by sending IRP_MJ_CREATE down the stack with one of the
 * extension's pipe file objects; its file name names the pipe.  Closing sends
 * IRP_MJ_CLOSE with the same file object.
 */
#define NORVA_UNIT "create"
#include "norva.h"

/* Hooks kept for the cleanup and removal paths: they only trace. */
NTSTATUS AllocateRxTxBuffer(PFilterExtension deviceExtension)
{
    UNREFERENCED_PARAMETER(deviceExtension);
    NorvaTrace(DBG_RX | DBG_TX | DBG_ENTRY, "AllocateRxTxBuffer\r\n");
    return STATUS_SUCCESS;
}

VOID CancelAllRxIrp(PFilterExtension deviceExtension)
{
    UNREFERENCED_PARAMETER(deviceExtension);
    NorvaTrace(DBG_RX | DBG_ENTRY, "CancelAllRxIrp\r\n");
}

VOID CancelAllTxIrp(PFilterExtension deviceExtension)
{
    UNREFERENCED_PARAMETER(deviceExtension);
    NorvaTrace(DBG_TX | DBG_ENTRY, "CancelAllTxIrp\r\n");
}

VOID FreeRxBuffer(PFilterExtension deviceExtension)
{
    UNREFERENCED_PARAMETER(deviceExtension);
    NorvaTrace(DBG_RX | DBG_ENTRY, "FreeRxBuffer\r\n");
}

VOID FreeTxBuffer(PFilterExtension deviceExtension)
{
    UNREFERENCED_PARAMETER(deviceExtension);
    NorvaTrace(DBG_TX | DBG_ENTRY, "FreeTxBuffer\r\n");
}

NTSTATUS NTAPI FilterCreateCloseCompletionRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    NorvaTrace(DBG_ENTRY, "FilterCreateCloseCompletionRoutine\r\n");
    /* The request is our own and has no stack location of ours above the
     * one just completed: there is nothing to mark pending.  It stays with
     * its sender, which frees it. */
    KeSetEvent((PKEVENT)Context, 1, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

/*
 * Sends one create or close for a pipe on a request of our own and waits for
 * it.  The request has the filter device's stack size, room for the whole
 * stack below the filter.
 */
static NTSTATUS FilterSendPipeRequest(PDEVICE_OBJECT DeviceObject, PIRP irp, UCHAR majorFunction,
                                      PFILE_OBJECT pipe)
{
    PFilterExtension deviceExtension = (PFilterExtension)DeviceObject->DeviceExtension;
    KEVENT event;
    IO_STATUS_BLOCK ioStatus;

    IoInitializeIrp(irp, IoSizeOfIrp(DeviceObject->StackSize), DeviceObject->StackSize);
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    ioStatus.Status = STATUS_SUCCESS;
    ioStatus.Information = 0;
    irp->UserIosb = &ioStatus;

    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = majorFunction;
    next->FileObject = pipe;
    IoSetCompletionRoutine(irp, FilterCreateCloseCompletionRoutine, &event, TRUE, TRUE, TRUE);

    NTSTATUS status = IoCallDriver(deviceExtension->nextLowerDriver, irp);
    if (status == STATUS_PENDING) {
        status = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        ASSERT(status == STATUS_SUCCESS);
        status = irp->IoStatus.Status;
    }
    return status;
}

NTSTATUS CreateClosePipe(PDEVICE_OBJECT DeviceObject, UCHAR MajorFunction, PFILE_OBJECT FileObject)
{
    NorvaTrace(DBG_ENTRY, "CreateClosePipe(%08lx)\n", PtrToUlong(DeviceObject));

    PIRP irp = IoAllocateIrp(DeviceObject->StackSize, FALSE);
    if (irp == NULL) {
        NorvaTrace(DBG_FAIL, "\tfailed IoAllocateIrp\n");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = FilterSendPipeRequest(DeviceObject, irp, MajorFunction, FileObject);
    IoFreeIrp(irp);
    return status;
}

/*
 * Open: transmit, receive, then control pipe; a failure stops the sequence
 * and closes again what this request opened, since a failed open leaves the
 * caller no handle to close them with.
 */
static NTSTATUS FilterOpenPipes(PDEVICE_OBJECT DeviceObject, PIRP pipeIrp)
{
    PFilterExtension deviceExtension = (PFilterExtension)DeviceObject->DeviceExtension;

    NTSTATUS status = FilterSendPipeRequest(DeviceObject, pipeIrp, IRP_MJ_CREATE, &deviceExtension->txPipe);
    if (!NT_SUCCESS(status)) {
        NorvaTrace(DBG_FAIL, "\tfailed opening write-pipe (code = 0x%08lx)\r\n", status);
        return status;
    }
    status = FilterSendPipeRequest(DeviceObject, pipeIrp, IRP_MJ_CREATE, &deviceExtension->rxPipe);
    if (!NT_SUCCESS(status)) {
        FilterSendPipeRequest(DeviceObject, pipeIrp, IRP_MJ_CLOSE, &deviceExtension->txPipe);
        return status;
    }
    if (deviceExtension->endPointCaps != 0) {
        status = FilterSendPipeRequest(DeviceObject, pipeIrp, IRP_MJ_CREATE, &deviceExtension->ctlPipe);
        if (!NT_SUCCESS(status)) {
            NorvaTrace(DBG_FAIL, "\tfailed opening control-pipe (code = 0x%08lx)\r\n", status);
            FilterSendPipeRequest(DeviceObject, pipeIrp, IRP_MJ_CLOSE, &deviceExtension->rxPipe);
            FilterSendPipeRequest(DeviceObject, pipeIrp, IRP_MJ_CLOSE, &deviceExtension->txPipe);
            return status;
        }
    }

    NorvaTrace(DBG_RX | DBG_DETAIL, "\trx  pipe=%wZ, FsContext=0x%08lx\r\n", &deviceExtension->rxPipe.FileName,
               PtrToUlong(deviceExtension->rxPipe.FsContext));
    NorvaTrace(DBG_TX | DBG_DETAIL, "\ttx  pipe=%wZ, FsContext=0x%08lx\r\n", &deviceExtension->txPipe.FileName,
               PtrToUlong(deviceExtension->txPipe.FsContext));
    if (deviceExtension->endPointCaps != 0) {
        NorvaTrace(DBG_RX | DBG_TX | DBG_DETAIL, "\tctl pipe=%wZ, FsContext=0x%08lx\r\n",
                   &deviceExtension->ctlPipe.FileName, PtrToUlong(deviceExtension->ctlPipe.FsContext));
    }
    AllocateRxTxBuffer(deviceExtension);
    deviceExtension->modemStatus = 0;
    return STATUS_SUCCESS;
}

/*
 * Close: transmit, receive, then control pipe.  Every pipe is closed even
 * when an earlier close fails; the first failure is the result.
 */
static NTSTATUS FilterClosePipes(PDEVICE_OBJECT DeviceObject, PIRP pipeIrp)
{
    PFilterExtension deviceExtension = (PFilterExtension)DeviceObject->DeviceExtension;

    NTSTATUS result = FilterSendPipeRequest(DeviceObject, pipeIrp, IRP_MJ_CLOSE, &deviceExtension->txPipe);
    if (!NT_SUCCESS(result)) {
        NorvaTrace(DBG_FAIL, "\tfailed opening write-pipe (code = 0x%08lx)\r\n", result);
    }
    NTSTATUS status = FilterSendPipeRequest(DeviceObject, pipeIrp, IRP_MJ_CLOSE, &deviceExtension->rxPipe);
    if (NT_SUCCESS(result)) {
        result = status;
    }
    if (deviceExtension->endPointCaps != 0) {
        status = FilterSendPipeRequest(DeviceObject, pipeIrp, IRP_MJ_CLOSE, &deviceExtension->ctlPipe);
        if (!NT_SUCCESS(status)) {
            NorvaTrace(DBG_FAIL, "\tfailed opening control-pipe (code = 0x%08lx)\r\n", status);
        }
        if (NT_SUCCESS(result)) {
            result = status;
        }
    }
    return result;
}

NTSTATUS NTAPI FilterCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    NorvaTrace(DBG_ENTRY, "FilterCreateClose\r\n");
    PFilterExtension deviceExtension = (PFilterExtension)DeviceObject->DeviceExtension;
    if (!deviceExtension->isFdo) {
        return FilterRefuseOnPdo(Irp);
    }
    BOOLEAN open = IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_CREATE;

    if (open) {
        DbgPrint("FilterCreateClose: OPEN\r\n");
    } else {
        DbgPrint("FilterCreateClose: CLOSE\r\n");
        CancelAllRxIrp(deviceExtension);
        CancelAllTxIrp(deviceExtension);
        FreeRxBuffer(deviceExtension);
        FreeTxBuffer(deviceExtension);
    }
    Irp->IoStatus.Information = 0;

    PIRP pipeIrp = IoAllocateIrp(DeviceObject->StackSize, FALSE);
    if (pipeIrp == NULL) {
        NorvaTrace(DBG_FAIL, "\tfailed IoAllocateIrp\n");
        Irp->IoStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    NTSTATUS status = open ? FilterOpenPipes(DeviceObject, pipeIrp) : FilterClosePipes(DeviceObject, pipeIrp);
    IoFreeIrp(pipeIrp);

    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    NorvaTrace(DBG_DETAIL, "\t<-- FilterCreateClose\r\n");
    return status;
}
