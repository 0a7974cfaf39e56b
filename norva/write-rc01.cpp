/*
 * write-rc01.cpp - the transmit engine: blocks of up to 4096 bytes pulled
 * from the port driver's transmit callback, one write in flight per port, the
 * next block fetched from the completion of the previous write; a single
 * character sent synchronously beside it; and the exports around them.
 */
#define NORVA_UNIT "write-rc01"
#include "norva.h"

/* Two 32-bit members on the port driver's side of the boundary. */
static_assert(sizeof(void *) != 4 || sizeof(TX_THREAD_PARAMS) == 8, "TX_THREAD_PARAMS is 8 bytes on x86");

static PFilterExtension FilterExtensionOf(PDEVICE_OBJECT deviceObject)
{
    if (deviceObject == NULL) {
        return NULL;
    }
    PFilterExtension deviceExtension = (PFilterExtension)deviceObject->DeviceExtension;
    return deviceExtension->isFdo ? deviceExtension : NULL;
}

static VOID FilterTransmitIdle(PFilterExtension deviceExtension)
{
    KeSetEvent(&deviceExtension->tx.idleEvent, IO_NO_INCREMENT, FALSE);
}

static VOID FilterFreeBlock(PFilterExtension deviceExtension)
{
    if (deviceExtension->tx.buffer != NULL) {
        ExFreePool(deviceExtension->tx.buffer);
        deviceExtension->tx.buffer = NULL;
    }
}

/* Releases a finished write and its block. */
static VOID FilterReleaseWrite(PFilterExtension deviceExtension, PIRP irp)
{
    PMDL mdl = irp->MdlAddress;
    while (mdl != NULL) {
        PMDL next = mdl->Next;
        MmUnlockPages(mdl);
        IoFreeMdl(mdl);
        mdl = next;
    }
    irp->MdlAddress = NULL;
    if ((irp->Flags & IRP_DEALLOCATE_BUFFER) && irp->AssociatedIrp.SystemBuffer != NULL) {
        ExFreePool(irp->AssociatedIrp.SystemBuffer);
        irp->AssociatedIrp.SystemBuffer = NULL;
    }
    IoFreeIrp(irp);
    FilterFreeBlock(deviceExtension);
}

NTSTATUS FilterPollingWrite(PFilterExtension deviceExtension)
{
    NorvaTrace(DBG_ENTRY, "FilterPollingWrite\n");
    KeClearEvent(&deviceExtension->tx.idleEvent);

    if (deviceExtension->tx.pfnTxCallback == NULL) {
        NorvaTrace(DBG_FAIL, "err\n");
        FilterTransmitIdle(deviceExtension);
        return STATUS_INVALID_PARAMETER;
    }

    deviceExtension->tx.buffer = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, TX_BUFFER_SIZE, WDM_POOL_TAG);
    if (deviceExtension->tx.buffer == NULL) {
        NorvaTrace(DBG_FAIL, "err\n");
        FilterTransmitIdle(deviceExtension);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    ULONG count = deviceExtension->tx.pfnTxCallback(deviceExtension->tx.context, deviceExtension->tx.buffer,
                                                    TX_BUFFER_SIZE, 0);
    /* A write never describes more than the block offered. */
    if (count > TX_BUFFER_SIZE) {
        count = TX_BUFFER_SIZE;
    }
    if (count == 0) {
        NorvaTrace(DBG_DETAIL, "\n");
        FilterFreeBlock(deviceExtension);
        FilterTransmitIdle(deviceExtension);
        return STATUS_END_OF_FILE;
    }

    LARGE_INTEGER offset;
    offset.QuadPart = 0;
    PIRP irp = IoBuildAsynchronousFsdRequest(IRP_MJ_WRITE, deviceExtension->nextLowerDriver,
                                             deviceExtension->tx.buffer, count, &offset, NULL);
    if (irp == NULL) {
        NorvaTrace(DBG_FAIL, "err\n");
        FilterFreeBlock(deviceExtension);
        FilterTransmitIdle(deviceExtension);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoGetNextIrpStackLocation(irp)->FileObject = &deviceExtension->txPipe;
    IoSetCompletionRoutine(irp, FilterPollingWriteCompletionRoutine, deviceExtension, TRUE, TRUE, TRUE);

    /* The write holds one count until its completion has fetched the next block. */
    InterlockedIncrement(&deviceExtension->kickTxCount);

    /* Recorded under the lock, so that a stop either finds this write to
     * cancel or has already said that no further write is to go out. */
    KIRQL irql;
    KeAcquireSpinLock(&deviceExtension->txIrpLock, &irql);
    if (deviceExtension->tx.stopping) {
        KeReleaseSpinLock(&deviceExtension->txIrpLock, irql);
        FilterReleaseWrite(deviceExtension, irp);
        InterlockedDecrement(&deviceExtension->kickTxCount);
        FilterTransmitIdle(deviceExtension);
        return STATUS_CANCELLED;
    }
    deviceExtension->pendingTxIrp = irp;
    KeReleaseSpinLock(&deviceExtension->txIrpLock, irql);

    return IofCallDriver(deviceExtension->nextLowerDriver, irp);
}

NTSTATUS NTAPI FilterPollingWriteCompletionRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    PFilterExtension deviceExtension = (PFilterExtension)Context;
    NorvaTrace(DBG_ENTRY, "FilterPollingWriteCompletionRoutine\n");
    ASSERT(deviceExtension);

    /* While a stop is under way the write stays recorded and the stop
     * releases it: the stop may be cancelling it at this very moment. */
    KIRQL irql;
    KeAcquireSpinLock(&deviceExtension->txIrpLock, &irql);
    BOOLEAN stopping = deviceExtension->tx.stopping;
    if (!stopping) {
        deviceExtension->pendingTxIrp = NULL;
    }
    KeReleaseSpinLock(&deviceExtension->txIrpLock, irql);

    NTSTATUS status = Irp->IoStatus.Status;
    if (!stopping) {
        FilterReleaseWrite(deviceExtension, Irp);
    }
    if (stopping || !NT_SUCCESS(status)) {
        /* The write's count goes before the chain is said to be idle: the
         * stop returns on that signal, and a start that follows at once
         * resets the count, which a later decrement would take below 0. */
        InterlockedDecrement(&deviceExtension->kickTxCount);
        FilterTransmitIdle(deviceExtension);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    FilterPollingWrite(deviceExtension);
    InterlockedDecrement(&deviceExtension->kickTxCount);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

extern "C" ULONG NTAPI TxThreadStart(PDEVICE_OBJECT deviceObject, PTX_THREAD_PARAMS params)
{
    NorvaTrace(DBG_LIFE, "TxThreadStart\r\n");
    ASSERT(deviceObject);
    PFilterExtension deviceExtension = FilterExtensionOf(deviceObject);
    if (deviceExtension == NULL || params == NULL) {
        return 0;
    }
    /* Started already: a second start would lose the reference it holds.
     * A start that failed opening the pipe holds only its reference: the
     * caller may try again without a stop. */
    if (deviceExtension->tx.target != NULL) {
        if (deviceExtension->txPipeOpen) {
            NorvaTrace(DBG_FAIL, "error\n");
            return 0;
        }
        ObDereferenceObject(deviceExtension->tx.target);
        deviceExtension->tx.target = NULL;
    }

    /* The reference is taken and the pipe opened before the callback is
     * registered, so that a start failing here leaves nothing for the stop
     * to wait for and no kick fetches bytes that could not be sent. */
    PDEVICE_OBJECT target = IoGetAttachedDeviceReference(deviceObject);
    if (target == NULL) {
        NorvaTrace(DBG_FAIL, "error\n");
        return 0;
    }
    deviceExtension->tx.target = target;
    deviceExtension->tx.buffer = NULL;
    deviceExtension->tx.stopping = FALSE;
    deviceExtension->kickTxCount = 0;
    deviceExtension->pendingTxIrp = NULL;
    KeInitializeEvent(&deviceExtension->tx.idleEvent, NotificationEvent, TRUE);

    if (!NT_SUCCESS(CreateClosePipe(deviceObject, IRP_MJ_CREATE, &deviceExtension->txPipe))) {
        NorvaTrace(DBG_FAIL, "failed CreateClosePipe\n");
        return 0;
    }
    deviceExtension->txPipeOpen = TRUE;
    deviceExtension->tx.context = params->context;
    deviceExtension->tx.pfnTxCallback = params->pfnTxCallback;
    return 1;
}

extern "C" VOID NTAPI KickTx(PDEVICE_OBJECT deviceObject)
{
    NorvaTrace(DBG_ENTRY, "KickTx(%08lx)\n", PtrToUlong(deviceObject));
    PFilterExtension deviceExtension = FilterExtensionOf(deviceObject);
    if (deviceExtension == NULL) {
        return;
    }
    /* Only the kick that raises the count to 1 runs the engine; a write in
     * flight fetches the next block itself when it completes. */
    if (InterlockedIncrement(&deviceExtension->kickTxCount) > 1) {
        InterlockedDecrement(&deviceExtension->kickTxCount);
        return;
    }
    NTSTATUS status = FilterPollingWrite(deviceExtension);
    InterlockedDecrement(&deviceExtension->kickTxCount);
    if (status != STATUS_SUCCESS && status != STATUS_PENDING) {
        NorvaTrace(DBG_FAIL, "err:0x%08lx\n", status);
    }
}

extern "C" ULONG NTAPI TransmitChar(PDEVICE_OBJECT deviceObject, ULONG character)
{
    NorvaTrace(DBG_ENTRY, "TransmitChar\n");
    PFilterExtension deviceExtension = FilterExtensionOf(deviceObject);
    if (deviceExtension == NULL) {
        return 0;
    }

    UCHAR byte = (UCHAR)character;
    KEVENT event;
    IO_STATUS_BLOCK ioStatus;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    ioStatus.Status = STATUS_SUCCESS;
    ioStatus.Information = 0;
    LARGE_INTEGER offset;
    offset.QuadPart = 0;

    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_WRITE, deviceExtension->nextLowerDriver, &byte, 1, &offset,
                                            &event, &ioStatus);
    if (irp == NULL) {
        return 0;
    }
    IoGetNextIrpStackLocation(irp)->FileObject = &deviceExtension->txPipe;

    NTSTATUS status = IofCallDriver(deviceExtension->nextLowerDriver, irp);
    if (status == STATUS_PENDING) {
        status = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        ASSERT(status == STATUS_SUCCESS);
        status = ioStatus.Status;
    }
    return NT_SUCCESS(status) ? 1 : 0;
}

extern "C" ULONG NTAPI TxThreadStop(PDEVICE_OBJECT deviceObject)
{
    NorvaTrace(DBG_LIFE, "TxThreadStop\n");
    PFilterExtension deviceExtension = FilterExtensionOf(deviceObject);
    if (deviceExtension == NULL) {
        return 0;
    }

    if (deviceExtension->tx.pfnTxCallback != NULL) {
        NorvaTrace(DBG_STATE, "\n");
        KIRQL irql;
        KeAcquireSpinLock(&deviceExtension->txIrpLock, &irql);
        deviceExtension->tx.stopping = TRUE;
        PIRP inFlight = deviceExtension->pendingTxIrp;
        KeReleaseSpinLock(&deviceExtension->txIrpLock, irql);

        /* Cancelled outside the lock: the driver below may complete it
         * inside the cancel, and its completion takes the lock.  It cannot
         * be freed meanwhile: with stopping set, only this routine frees it. */
        if (inFlight != NULL) {
            ASSERT(KeGetCurrentIrql() <= DISPATCH_LEVEL);
            IoCancelIrp(inFlight);
        }

        NorvaTrace(DBG_STATE, "\n");
        NTSTATUS status = KeWaitForSingleObject(&deviceExtension->tx.idleEvent, Executive, KernelMode, FALSE, NULL);
        ASSERT(status == STATUS_SUCCESS);
        if (!NT_SUCCESS(status)) {
            NorvaTrace(DBG_FAIL, "error\n");
            return 0;
        }

        KeAcquireSpinLock(&deviceExtension->txIrpLock, &irql);
        PIRP finished = deviceExtension->pendingTxIrp;
        deviceExtension->pendingTxIrp = NULL;
        KeReleaseSpinLock(&deviceExtension->txIrpLock, irql);
        if (finished != NULL) {
            FilterReleaseWrite(deviceExtension, finished);
        }
    }

    NorvaTrace(DBG_STATE, "\n");
    deviceExtension->tx.context = NULL;
    deviceExtension->tx.pfnTxCallback = NULL;
    if (deviceExtension->txPipeOpen) {
        CreateClosePipe(deviceObject, IRP_MJ_CLOSE, &deviceExtension->txPipe);
        deviceExtension->txPipeOpen = FALSE;
    }
    if (deviceExtension->tx.target != NULL) {
        ObDereferenceObject(deviceExtension->tx.target);
        deviceExtension->tx.target = NULL;
    }
    NorvaTrace(DBG_STATE, "<-- TxThreadStop\n");
    return 1;
}
