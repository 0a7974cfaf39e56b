/*
 * read-rc02-3.cpp - the receive engine: one read outstanding per port,
 * data reads on the receive pipe alternating with one-byte line-status reads
 * on the control pipe, each issued from the completion of the previous one;
 * and the exports that start and stop it.
 */
#define NORVA_UNIT "read-rc02-3"
#include "norva.h"

/* ------------------------------------------------------------------------ */
/* Request helpers                                                            */

VOID MyIoSetCompletionRoutine(PIRP Irp, PIO_COMPLETION_ROUTINE CompletionRoutine, PVOID Context,
                              BOOLEAN InvokeOnSuccess, BOOLEAN InvokeOnError, BOOLEAN InvokeOnCancel)
{
    ASSERT((InvokeOnSuccess) | (InvokeOnError) | (InvokeOnCancel) ? (CompletionRoutine) != NULL : TRUE);

    PIO_STACK_LOCATION irpSp = IoGetNextIrpStackLocation(Irp);
    irpSp->CompletionRoutine = CompletionRoutine;
    irpSp->Context = Context;
    irpSp->Control = 0;
    if (InvokeOnSuccess) {
        irpSp->Control = SL_INVOKE_ON_SUCCESS;
    }
    if (InvokeOnError) {
        irpSp->Control |= SL_INVOKE_ON_ERROR;
    }
    if (InvokeOnCancel) {
        irpSp->Control |= SL_INVOKE_ON_CANCEL;
    }
}

NTSTATUS MyIoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return IofCallDriver(DeviceObject, Irp);
}

/*
 * Readies the receive engine's one request for its next read.  The request
 * came back from its previous read through a completion routine that kept
 * it, so its next location is again the top one.
 */
static VOID FilterPrepareRead(PFilterExtension deviceExtension, PMDL mdl, ULONG length, PFILE_OBJECT pipe,
                              PIO_COMPLETION_ROUTINE completionRoutine)
{
    PIRP irp = deviceExtension->rxIrp;
    irp->MdlAddress = mdl;
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;

    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    RtlZeroMemory(next, sizeof(IO_STACK_LOCATION));
    next->MajorFunction = IRP_MJ_READ;
    next->Parameters.Read.Length = length;
    next->Parameters.Read.ByteOffset.QuadPart = 0;
    next->FileObject = pipe;
    MyIoSetCompletionRoutine(irp, completionRoutine, deviceExtension, TRUE, TRUE, TRUE);
}

/* How long a stop waits for the outstanding read before it cancels it. */
#define RX_STOP_GRACE_100NS (500LL * 10 * 1000)

/* The running flag is cleared by the stop while a completion routine on
 * another processor reads it. */
static BOOLEAN FilterReceiveRunning(PFilterExtension deviceExtension)
{
    return InterlockedCompareExchange(&deviceExtension->rx.running, FALSE, FALSE) != FALSE;
}

static VOID FilterSetReceiveRunning(PFilterExtension deviceExtension, BOOLEAN running)
{
    InterlockedExchange(&deviceExtension->rx.running, running);
}

/* The loop has ended: RxThreadStop may release what it uses. */
static VOID FilterReceiveFinished(PFilterExtension deviceExtension)
{
    KeSetEvent(&deviceExtension->rx.finishEvent, IO_NO_INCREMENT, FALSE);
}

/* ------------------------------------------------------------------------ */
/* Receive loop                                                               */

NTSTATUS FilterPolling(PFilterExtension deviceExtension)
{
    NorvaTrace(DBG_ENTRY, "FilterPolling\n");
    NTSTATUS status = deviceExtension->rx.pollState == 1 ? FilterPollingLines(deviceExtension)
                                                         : FilterReceiveData(deviceExtension);
    if (!NT_SUCCESS(status)) {
        deviceExtension->modemStatus = 0;
    }
    return status;
}

NTSTATUS FilterNextPolling(PFilterExtension deviceExtension)
{
    NorvaTrace(DBG_ENTRY, "FilterNextPolling\n");
    deviceExtension->rx.pollState = deviceExtension->rx.pollState == 0 ? 1 : 0;

    if (deviceExtension->rx.pollState == 0) {
        /* A line-status read has just finished: report the lines alone. */
        ULONG hold = 0;
        ASSERT(deviceExtension->rx.pfnRxCallback != NULL);
        if (deviceExtension->rx.pfnRxCallback != NULL) {
            deviceExtension->rx.pfnRxCallback(deviceExtension->rx.context, NULL, 0,
                                              (UCHAR)deviceExtension->modemStatus, &hold);
        }
        if (hold) {
            NorvaTrace(DBG_STATE, "hold\n");
            deviceExtension->rx.pollState = 1;
        }
    }
    return FilterPolling(deviceExtension);
}

NTSTATUS FilterReceiveData(PFilterExtension deviceExtension)
{
    NorvaTrace(DBG_ENTRY, "FilterReceiveData\n");
    ASSERT(KeGetCurrentIrql() <= (2));

    if (deviceExtension->rxIrp == NULL) {
        NorvaTrace(DBG_FAIL, "err\n");
        FilterReceiveFinished(deviceExtension);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    FilterPrepareRead(deviceExtension, deviceExtension->rxMdl, RX_BUFFER_SIZE, &deviceExtension->rxPipe,
                      FilterReceiveDataCompletionRoutine);
    return MyIoCallDriver(deviceExtension->nextLowerDriver, deviceExtension->rxIrp);
}

NTSTATUS NTAPI FilterReceiveDataCompletionRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    PFilterExtension deviceExtension = (PFilterExtension)Context;
    NorvaTrace(DBG_ENTRY, "FilterReceiveDataCompletionRoutine\n");
    ASSERT(deviceExtension != NULL);

    NTSTATUS status = Irp->IoStatus.Status;
    ULONG count = (ULONG)Irp->IoStatus.Information;
    if (!NT_SUCCESS(status)) {
        NorvaTrace(DBG_FAIL, "err:0x%08lx\n", status);
    }
    if (count != 0) {
        NorvaTrace(DBG_DETAIL, "rx:%lu\n", count);
    }
    /* Never hand on more than the buffer holds, whatever the driver below says. */
    if (count > RX_BUFFER_SIZE) {
        count = RX_BUFFER_SIZE;
    }

    BOOLEAN heldWithoutLines = FALSE;
    if (status == STATUS_SUCCESS && count != 0) {
        ULONG hold = 0;
        ASSERT(deviceExtension->rx.pfnRxCallback != NULL);
        if (deviceExtension->rx.pfnRxCallback != NULL) {
            deviceExtension->rx.pfnRxCallback(deviceExtension->rx.context, deviceExtension->rx.buffer, count,
                                              (UCHAR)deviceExtension->modemStatus, &hold);
        }
        /* The next poll reads the lines in any case; its report decides.
         * Without a control pipe no status-only call follows that could
         * release a hold, and another data read would bring bytes the port
         * driver cannot take: the loop ends here, and the port driver starts
         * reception again once it can take data. */
        if (hold) {
            NorvaTrace(DBG_STATE, "hold\n");
            heldWithoutLines = deviceExtension->endPointCaps == 0;
        }
    }

    if (NT_SUCCESS(status) && !heldWithoutLines && FilterReceiveRunning(deviceExtension)) {
        FilterNextPolling(deviceExtension);
    } else {
        NorvaTrace(DBG_STATE, "rx finish\n");
        FilterReceiveFinished(deviceExtension);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

/* ------------------------------------------------------------------------ */
/* Line-state polling                                                         */

/* Converter line-status bits: CTS 0x01, DSR 0x02, DCD 0x04, RI 0x08. */
static ULONG FilterModemStatusFromLines(UCHAR lines)
{
    ULONG modemStatus = (ULONG)(lines & 0x03) << 4; /* CTS 0x10, DSR 0x20 */
    if (lines & 0x04) {
        modemStatus |= 0x80; /* DCD */
    }
    if (lines & 0x08) {
        modemStatus |= 0x40; /* RI */
    }
    return modemStatus;
}

NTSTATUS FilterPollingLines(PFilterExtension deviceExtension)
{
    NorvaTrace(DBG_ENTRY, "FilterPollingLines\r\n");

    if (deviceExtension->endPointCaps == 0) {
        /* No control pipe: all four input lines count as on, and the next
         * read is a data read again, so that reception goes on (the port
         * holds it on a data call instead, which ends the loop). */
        deviceExtension->modemStatus = 0xF0;
        deviceExtension->rx.pollState = 0;
        return FilterReceiveData(deviceExtension);
    }
    if (deviceExtension->rxIrp == NULL) {
        NorvaTrace(DBG_FAIL, "err\n");
        FilterReceiveFinished(deviceExtension);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    FilterPrepareRead(deviceExtension, deviceExtension->ctlMdl, 1, &deviceExtension->ctlPipe,
                      FilterPollingLinesCompletionRoutine);
    return IofCallDriver(deviceExtension->nextLowerDriver, deviceExtension->rxIrp);
}

NTSTATUS NTAPI FilterPollingLinesCompletionRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    PFilterExtension deviceExtension = (PFilterExtension)Context;
    NorvaTrace(DBG_ENTRY, "FilterPollingLinesCompletionRoutine\n");
    ASSERT(deviceExtension != NULL);

    NTSTATUS status = Irp->IoStatus.Status;
    ULONG count = (ULONG)Irp->IoStatus.Information;
    if (!NT_SUCCESS(status)) {
        NorvaTrace(DBG_FAIL, "err:0x%08lx\n", status);
    } else if (count != 0) {
        deviceExtension->modemStatus = FilterModemStatusFromLines(deviceExtension->rx.buffer[0]);
    }

    if (!NT_SUCCESS(status) || !FilterReceiveRunning(deviceExtension)) {
        NorvaTrace(DBG_STATE, "rx finish\n");
        FilterReceiveFinished(deviceExtension);
    } else {
        FilterNextPolling(deviceExtension);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

/*
 * A cancelled query-stop or query-remove gives the device back: a loop that
 * ended while its user still wants reception (the converter's driver refused
 * a read while the query was pending) starts again.  The end of the loop is
 * owned by whoever takes its signal: the stop by waiting for it, this
 * routine by a wait that does not block.
 */
VOID FilterResumeReception(PFilterExtension deviceExtension)
{
    if (deviceExtension->rx.target == NULL || deviceExtension->rxIrp == NULL) {
        return; /* reception is not started */
    }
    LARGE_INTEGER now;
    now.QuadPart = 0;
    if (KeWaitForSingleObject(&deviceExtension->rx.finishEvent, Executive, KernelMode, FALSE, &now) !=
        STATUS_SUCCESS) {
        return; /* the loop goes on by itself */
    }
    if (!FilterReceiveRunning(deviceExtension)) {
        FilterReceiveFinished(deviceExtension); /* the end belongs to a stop under way */
        return;
    }
    NorvaTrace(DBG_STATE, "rx resume\n");
    deviceExtension->rx.pollState = 0;
    FilterPolling(deviceExtension);
}

/* ------------------------------------------------------------------------ */
/* Receive start and stop (exports)                                           */

static PFilterExtension FilterExtensionOf(PDEVICE_OBJECT deviceObject)
{
    if (deviceObject == NULL) {
        return NULL;
    }
    PFilterExtension deviceExtension = (PFilterExtension)deviceObject->DeviceExtension;
    return deviceExtension->isFdo ? deviceExtension : NULL;
}

static PMDL FilterAllocateNonPagedMdl(PVOID buffer, ULONG length)
{
    PMDL mdl = IoAllocateMdl(buffer, length, FALSE, FALSE, NULL);
    if (mdl != NULL) {
        MmBuildMdlForNonPagedPool(mdl);
    }
    return mdl;
}

extern "C" ULONG NTAPI RxThreadStart(PDEVICE_OBJECT deviceObject, PVOID context, PNORVA_RX_CALLBACK callback)
{
    NorvaTrace(DBG_ENTRY, "RxThreadStart(%08lx)\n", PtrToUlong(deviceObject));
    ASSERT(deviceObject);
    PFilterExtension deviceExtension = FilterExtensionOf(deviceObject);
    if (deviceExtension == NULL) {
        return 0;
    }
    /* A second start without a stop would lose what the first one holds. */
    ASSERT(deviceExtension->rx.target == NULL);
    if (deviceExtension->rx.target != NULL) {
        return 0;
    }

    deviceExtension->rx.target = IoGetAttachedDeviceReference(deviceObject);
    if (deviceExtension->rx.target == NULL) {
        NorvaTrace(DBG_FAIL, "err\n");
        return 0;
    }

    deviceExtension->rx.context = context;
    deviceExtension->rx.pfnRxCallback = callback;
    deviceExtension->rx.buffer = NULL;
    FilterSetReceiveRunning(deviceExtension, FALSE);
    deviceExtension->rx.pollState = 0;
    KeInitializeEvent(&deviceExtension->rx.finishEvent, SynchronizationEvent, FALSE);

    deviceExtension->rx.buffer = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, RX_BUFFER_SIZE, NORVA_POOL_TAG);
    if (deviceExtension->rx.buffer == NULL) {
        NorvaTrace(DBG_FAIL, "error\n");
        return 0;
    }

    /* Opened whatever the variant: without a control pipe its file object
     * has no name and opens the converter itself. */
    if (!NT_SUCCESS(CreateClosePipe(deviceObject, IRP_MJ_CREATE, &deviceExtension->ctlPipe))) {
        NorvaTrace(DBG_FAIL, "failed CreateClosePipe\n");
        return 0;
    }
    deviceExtension->ctlPipeOpen = TRUE;
    if (!NT_SUCCESS(CreateClosePipe(deviceObject, IRP_MJ_CREATE, &deviceExtension->rxPipe))) {
        NorvaTrace(DBG_FAIL, "failed CreateClosePipe\n");
        return 0;
    }
    deviceExtension->rxPipeOpen = TRUE;

    deviceExtension->rxMdl = FilterAllocateNonPagedMdl(deviceExtension->rx.buffer, RX_BUFFER_SIZE);
    if (deviceExtension->rxMdl == NULL) {
        NorvaTrace(DBG_FAIL, "error\n");
    }
    deviceExtension->ctlMdl = FilterAllocateNonPagedMdl(deviceExtension->rx.buffer, 1);
    if (deviceExtension->ctlMdl == NULL) {
        NorvaTrace(DBG_FAIL, "error\n");
    }
    deviceExtension->rxIrp = IoAllocateIrp(deviceObject->StackSize, FALSE);
    if (deviceExtension->rxIrp == NULL) {
        NorvaTrace(DBG_FAIL, "error\n");
    }
    /* A read without its buffer description would never reach the
     * converter's data: do not start at all. */
    if (deviceExtension->rxMdl == NULL || deviceExtension->ctlMdl == NULL) {
        return 0;
    }

    NorvaTrace(DBG_ENTRY, " -*-*- issue   #1 \n");
    FilterSetReceiveRunning(deviceExtension, TRUE);
    NTSTATUS status = FilterPolling(deviceExtension);
    NorvaTrace(DBG_ENTRY, " -*-*- issue   #2 \n");
    if (status != STATUS_SUCCESS && status != STATUS_PENDING) {
        /* The first read failed at once and the loop has ended: a start
         * reported failed is never resumed. */
        FilterSetReceiveRunning(deviceExtension, FALSE);
        NorvaTrace(DBG_FAIL, "error\n");
        return 0;
    }
    NorvaTrace(DBG_ENTRY, " -*-*- issue   #3 \n");
    return 1;
}

extern "C" ULONG NTAPI RxThreadStop(PDEVICE_OBJECT deviceObject)
{
    NorvaTrace(DBG_LIFE, "RxThreadStop(%08lx)\n", PtrToUlong(deviceObject));
    PFilterExtension deviceExtension = FilterExtensionOf(deviceObject);
    if (deviceExtension == NULL) {
        return 0;
    }

    if (FilterReceiveRunning(deviceExtension)) {
        /* Waiting needs a caller below DISPATCH_LEVEL. */
        ASSERT(KeGetCurrentIrql() < (2));
        if (KeGetCurrentIrql() >= DISPATCH_LEVEL) {
            return 0;
        }
        /* The outstanding read completes by itself (a data read within the
         * converter's latency time, a line-status read within its polling
         * interval) and still delivers its bytes; its completion sees the
         * flag cleared, ends the loop and sets the event.  A read the
         * converter leaves pending past the grace time is cancelled. */
        FilterSetReceiveRunning(deviceExtension, FALSE);
        LARGE_INTEGER grace;
        grace.QuadPart = -RX_STOP_GRACE_100NS;
        NTSTATUS status =
            KeWaitForSingleObject(&deviceExtension->rx.finishEvent, Executive, KernelMode, FALSE, &grace);
        if (status == STATUS_TIMEOUT && deviceExtension->rxIrp != NULL) {
            NorvaTrace(DBG_STATE, "rx cancel\n");
            IoCancelIrp(deviceExtension->rxIrp);
            status = KeWaitForSingleObject(&deviceExtension->rx.finishEvent, Executive, KernelMode, FALSE, NULL);
        }
        ASSERT(status == STATUS_SUCCESS);
        if (!NT_SUCCESS(status)) {
            NorvaTrace(DBG_FAIL, "error\n");
            return 0;
        }
    }

    if (deviceExtension->rxMdl != NULL) {
        IoFreeMdl(deviceExtension->rxMdl);
        deviceExtension->rxMdl = NULL;
    }
    if (deviceExtension->ctlMdl != NULL) {
        IoFreeMdl(deviceExtension->ctlMdl);
        deviceExtension->ctlMdl = NULL;
    }
    if (deviceExtension->rxIrp != NULL) {
        IoFreeIrp(deviceExtension->rxIrp);
        deviceExtension->rxIrp = NULL;
    }
    if (deviceExtension->rx.buffer != NULL) {
        ExFreePool(deviceExtension->rx.buffer);
        deviceExtension->rx.buffer = NULL;
    }
    if (deviceExtension->ctlPipeOpen) {
        CreateClosePipe(deviceObject, IRP_MJ_CLOSE, &deviceExtension->ctlPipe);
        deviceExtension->ctlPipeOpen = FALSE;
    }
    if (deviceExtension->rxPipeOpen) {
        CreateClosePipe(deviceObject, IRP_MJ_CLOSE, &deviceExtension->rxPipe);
        deviceExtension->rxPipeOpen = FALSE;
    }
    if (deviceExtension->rx.target != NULL) {
        ObDereferenceObject(deviceExtension->rx.target);
        deviceExtension->rx.target = NULL;
    }
    return 1;
}
