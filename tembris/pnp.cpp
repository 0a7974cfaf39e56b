/*
 * pnp.cpp - PnP states and removal: start, the query/cancel pairs, stop,
 * surprise removal and removal.  The state flags set here are what gates
 * client requests (CvtCanAcceptIo).
 */
#include "tembris.h"

/* Hands the request on with this driver's stack location skipped. */
static NTSTATUS CvtPassSkip(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(CvtExtension(deviceObject)->lowerDeviceObject, irp);
    CvtDecrementIoCount(deviceObject);
    return status;
}

/* Hands the request on with a copy of this driver's stack location. */
static NTSTATUS CvtPassCopy(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    IoCopyCurrentIrpStackLocationToNext(irp);
    NTSTATUS status = IoCallDriver(CvtExtension(deviceObject)->lowerDeviceObject, irp);
    CvtDecrementIoCount(deviceObject);
    return status;
}

/* No client request is admitted while the stop runs, queried before or not. */
static CODE_PAGE NTSTATUS CvtStopSequence(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    ConverterExtension *ext = CvtExtension(deviceObject);
    ext->stopPending = TRUE;
    NTSTATUS status = CvtStopDevice(deviceObject);
    if (NT_SUCCESS(status)) {
        ext->deviceStarted = FALSE;
    }
    ext->stopPending = FALSE;
    if (!NT_SUCCESS(status)) {
        return CvtCompleteRequest(deviceObject, irp, status, irp->IoStatus.Information);
    }
    return CvtPassCopy(deviceObject, irp);
}

/*
 * The device is gone: refuse new requests and cancel the transfer most
 * recently sent; the bus driver completes it through its completion routine.
 */
/* Resident, never inlined into the pageable dispatch routine: it takes a
 * spin lock. */
static CODE_RESIDENT NTSTATUS CvtSurpriseSequence(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    ConverterExtension *ext = CvtExtension(deviceObject);
    ext->deviceRemoving = TRUE;
    ext->surpriseRemoved = TRUE;

    /* Take the transfer under transferLock and mark it as being cancelled:
     * its completion then stops in tembris, so its owner cannot free it
     * before IoCancelIrp has returned (the bus driver may complete it inside
     * IoCancelIrp or at any moment on its own thread). */
    KIRQL oldIrql;
    KeAcquireSpinLock(&ext->transferLock, &oldIrql);
    PIRP transfer = ext->currentTransferIrp;
    ext->currentTransferIrp = NULL;
    if (transfer != NULL) {
        ext->cancellingIrp = transfer;
        ext->cancelledCompletionHeld = FALSE;
    }
    KeReleaseSpinLock(&ext->transferLock, oldIrql);

    if (transfer != NULL) {
        DbgPrint("(((IRP was canceled.)))[%08lX] [%08lx]\r\n", PtrToUlong(transfer),
                 PtrToUlong((PVOID)transfer->CancelRoutine));
        IoCancelIrp(transfer);
        KeAcquireSpinLock(&ext->transferLock, &oldIrql);
        BOOLEAN held = ext->cancelledCompletionHeld;
        ext->cancellingIrp = NULL;
        ext->cancelledCompletionHeld = FALSE;
        KeReleaseSpinLock(&ext->transferLock, oldIrql);
        if (held) {
            IoCompleteRequest(transfer, IO_NO_INCREMENT); /* on to its owner */
        }
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    return CvtPassCopy(deviceObject, irp);
}

/*
 * Drops the base reference, aborts the open pipes, passes the request on and
 * waits for every outstanding request before the device object goes away.
 */
static CODE_PAGE NTSTATUS CvtRemoveSequence(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    ConverterExtension *ext = CvtExtension(deviceObject);

    CvtDecrementIoCount(deviceObject);
    ext->deviceRemoving = TRUE;
    CvtAbortOpenPipes(deviceObject);

    IoCopyCurrentIrpStackLocationToNext(irp);
    NTSTATUS status = IoCallDriver(ext->lowerDeviceObject, irp);
    CvtDecrementIoCount(deviceObject);
    KeWaitForSingleObject(&ext->removeEvent, Suspended, KernelMode, FALSE, NULL);

    /* A device removed without a stop still holds its configuration. */
    CvtFreeConfiguration(deviceObject);
    CvtRemoveDevice(deviceObject);
    return status;
}

CODE_PAGE NTSTATUS NTAPI CvtDispatchPnp(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    ConverterExtension *ext = CvtExtension(deviceObject);

    CvtIncrementIoCount(deviceObject);
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
        return CvtStartDevice(deviceObject, irp);

    case IRP_MN_QUERY_REMOVE_DEVICE:
        if (!ext->deviceStarted) {
            return CvtPassSkip(deviceObject, irp);
        }
        ext->removePending = TRUE;
        /* Set for good once the first request ended with nothing else
         * outstanding, so this does not hold the query up afterwards. */
        KeWaitForSingleObject(&ext->idleEvent, Suspended, KernelMode, FALSE, NULL);
        return CvtPassCopy(deviceObject, irp);

    case IRP_MN_REMOVE_DEVICE:
        return CvtRemoveSequence(deviceObject, irp);

    case IRP_MN_CANCEL_REMOVE_DEVICE:
        if (!ext->deviceStarted) {
            return CvtPassSkip(deviceObject, irp);
        }
        ext->removePending = FALSE;
        return CvtPassCopy(deviceObject, irp);

    case IRP_MN_STOP_DEVICE:
        return CvtStopSequence(deviceObject, irp);

    case IRP_MN_QUERY_STOP_DEVICE:
        if (!ext->deviceStarted) {
            return CvtPassSkip(deviceObject, irp);
        }
        ext->stopPending = TRUE;
        return CvtPassCopy(deviceObject, irp);

    case IRP_MN_CANCEL_STOP_DEVICE:
        if (!ext->deviceStarted) {
            return CvtPassSkip(deviceObject, irp);
        }
        ext->stopPending = FALSE;
        return CvtPassCopy(deviceObject, irp);

    case IRP_MN_SURPRISE_REMOVAL:
        return CvtSurpriseSequence(deviceObject, irp);

    default:
        return CvtPassCopy(deviceObject, irp);
    }
}
