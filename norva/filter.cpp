/*
 * filter.cpp - driver entry, the shared dispatch table, the pass-down
 * routine, unload, and AddDevice of the filter device.
 */
#define NORVA_UNIT "filter"
#include "norva.h"

ULONG gDebugLevel = 3;
PDRIVER_OBJECT gDriverObject = NULL;

/* Pipe file objects are plain records in the extension; tembris reads only
 * their device object and file name. */
static VOID FilterNamePipe(PFILE_OBJECT pipe, PWCHAR nameBuffer, PCWSTR name, ULONG nameSize,
                           PDEVICE_OBJECT deviceObject)
{
    RtlCopyMemory(nameBuffer, name, nameSize);
    pipe->DeviceObject = deviceObject;
    pipe->FileName.Buffer = nameBuffer;
    pipe->FileName.Length = (USHORT)(nameSize - sizeof(WCHAR));
    pipe->FileName.MaximumLength = (USHORT)(PIPE_NAME_CHARS * sizeof(WCHAR));
}

#define NAME_PIPE(pipe, buffer, text, device) \
    FilterNamePipe(&(pipe), (buffer), (text), sizeof(text), (device))

static_assert(sizeof(L"PIPE01") <= PIPE_NAME_CHARS * sizeof(WCHAR), "pipe names fit their buffers");

/*
 * Reads the first 32 bits of a value in the device's driver key.  The value's
 * type is not examined; data shorter than 32 bits counts as unreadable.
 */
static BOOLEAN FilterQueryRegistryDword(HANDLE key, PCWSTR name, PULONG value)
{
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, name);

    ULONG bufferSize = valueName.MaximumLength + 28;
    PKEY_VALUE_FULL_INFORMATION info =
        (PKEY_VALUE_FULL_INFORMATION)ExAllocatePoolWithTag(PagedPool, bufferSize, WDM_POOL_TAG);
    if (info == NULL) {
        NorvaTrace(DBG_FAIL, "failed ExAllocatePool\r\n");
        return FALSE;
    }

    ULONG resultLength = 0;
    NTSTATUS status = ZwQueryValueKey(key, &valueName, KeyValueFullInformation, info, bufferSize, &resultLength);
    BOOLEAN found = FALSE;
    if (NT_SUCCESS(status) && info->DataLength >= sizeof(ULONG) && info->DataOffset <= bufferSize &&
        bufferSize - info->DataOffset >= sizeof(ULONG)) {
        RtlCopyMemory(value, (PUCHAR)info + info->DataOffset, sizeof(ULONG));
        found = TRUE;
    } else {
        NorvaTrace(DBG_FAIL, "failed ZwQueryValueKey\r\n");
    }
    ExFreePool(info);
    return found;
}

CODE_PAGE NTSTATUS NTAPI FilterAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    NorvaPagedCode();
    NorvaTrace(DBG_ENTRY, "FilterAddDevice\r\n");

    ULONG endPointCaps = 0;
    HANDLE key = NULL;
    NTSTATUS status = IoOpenDeviceRegistryKey(PhysicalDeviceObject, PLUGPLAY_REGKEY_DRIVER, KEY_ALL_ACCESS, &key);
    if (!NT_SUCCESS(status)) {
        NorvaTrace(DBG_FAIL, "failed IoOpenDeviceRegistryKey\r\n");
    } else {
        ULONG value;
        if (FilterQueryRegistryDword(key, L"EndPointCaps", &value)) {
            endPointCaps = value;
            NorvaTrace(DBG_STATE, "EndPointCaps = %ld\r\n", endPointCaps);
        }
        if (FilterQueryRegistryDword(key, L"DebugLevel", &value)) {
            gDebugLevel = value;
            DbgPrint("gDebugLevel = %ld\r\n", gDebugLevel);
        }
        ZwClose(key);
    }

    PDEVICE_OBJECT deviceObject = NULL;
    status = OsAddDevice(DriverObject, PhysicalDeviceObject, &deviceObject);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    PFilterExtension deviceExtension = (PFilterExtension)deviceObject->DeviceExtension;
    PDEVICE_OBJECT lower = deviceExtension->nextLowerDriver;
    deviceObject->Flags |= lower->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE | DO_POWER_INRUSH);
    deviceObject->DeviceType = lower->DeviceType;
    deviceObject->Characteristics = lower->Characteristics;

    deviceExtension->endPointCaps = endPointCaps;
    deviceExtension->self = deviceObject;

    NAME_PIPE(deviceExtension->rxPipe, deviceExtension->rxPipeNameBuffer, L"PIPE01", deviceObject);
    NorvaTrace(DBG_DETAIL, "rx  pipe=%wZ\r\n", &deviceExtension->rxPipe.FileName);
    NAME_PIPE(deviceExtension->txPipe, deviceExtension->txPipeNameBuffer, L"PIPE00", deviceObject);
    NorvaTrace(DBG_DETAIL, "tx  pipe=%wZ\r\n", &deviceExtension->txPipe.FileName);

    deviceExtension->isFdo = TRUE;

    if (deviceExtension->endPointCaps != 0) {
        NAME_PIPE(deviceExtension->ctlPipe, deviceExtension->ctlPipeNameBuffer, L"PIPE02", deviceObject);
        NorvaTrace(DBG_DETAIL, "ctl pipe=%wZ\r\n", &deviceExtension->ctlPipe.FileName);
    }

    KeInitializeSpinLock(&deviceExtension->txIrpLock);
    KeInitializeSpinLock(&deviceExtension->modemControlLock);
    /* The engines' events exist from the start: a kick or a stop before the
     * first start finds them in their idle state. */
    KeInitializeEvent(&deviceExtension->tx.idleEvent, NotificationEvent, TRUE);
    KeInitializeEvent(&deviceExtension->rx.finishEvent, SynchronizationEvent, FALSE);

    status = FilterSetDeviceInterface(deviceObject);
    if (!NT_SUCCESS(status)) {
        /* Without its interface the port driver could never find this device;
         * take it off the stack again so that nothing is left behind. */
        IoDetachDevice(deviceExtension->nextLowerDriver);
        IoDeleteDevice(deviceObject);
        return status;
    }

    deviceExtension->pnpState = NotStarted;
    deviceExtension->previousPnpState = NotStarted;
    deviceObject->Flags &= ~DO_DEVICE_INITIALIZING;

    NorvaTrace(DBG_DETAIL, "\tAddDevice: %p to %p->%p \n", deviceObject, deviceExtension->nextLowerDriver,
               PhysicalDeviceObject);
    return status;
}

/* The child PDO is the bottom of its own stack: a request other than PnP and
 * power that reaches it has nowhere to go and is refused. */
NTSTATUS FilterRefuseOnPdo(PIRP Irp)
{
    NorvaTrace(DBG_FAIL, "not fdo\r\n");
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

NTSTATUS NTAPI FilterPass(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    NorvaTrace(DBG_ENTRY, "FilterPass\r\n");
    PFilterExtension deviceExtension = (PFilterExtension)DeviceObject->DeviceExtension;
    if (!deviceExtension->isFdo) {
        return FilterRefuseOnPdo(Irp);
    }
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(deviceExtension->nextLowerDriver, Irp);
}

/* ------------------------------------------------------------------------ */
/* PnP, power, cleanup and removal of the filter device                       */

VOID CancelWaitOnMask(PFilterExtension deviceExtension)
{
    UNREFERENCED_PARAMETER(deviceExtension);
    NorvaTrace(DBG_ENTRY, "CancelWaitOnMask\r\n");
}

static VOID FilterSetNewPnpState(PFilterExtension deviceExtension, FilterPnpState state)
{
    deviceExtension->previousPnpState = deviceExtension->pnpState;
    deviceExtension->pnpState = state;
}

static VOID FilterRestorePnpState(PFilterExtension deviceExtension, FilterPnpState expected)
{
    if (deviceExtension->pnpState == (ULONG)expected) {
        deviceExtension->pnpState = deviceExtension->previousPnpState;
    }
}

/* Passes a PnP request down with the given status, as a filter does. */
static NTSTATUS FilterPassPnp(PFilterExtension deviceExtension, PIRP Irp, NTSTATUS status)
{
    Irp->IoStatus.Status = status;
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(deviceExtension->nextLowerDriver, Irp);
}

NTSTATUS NTAPI FilterCompletionRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    NorvaTrace(DBG_ENTRY, "FilterCompletionRoutine\r\n");
    /* The dispatch routine waits for this and completes the request itself,
     * returning its final status: the request is not marked pending here. */
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

/* Sends the request down and waits until the drivers below are done with it. */
static NTSTATUS FilterForwardAndWait(PFilterExtension deviceExtension, PIRP Irp)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, FilterCompletionRoutine, &event, TRUE, TRUE, TRUE);

    NTSTATUS status = IoCallDriver(deviceExtension->nextLowerDriver, Irp);
    if (status == STATUS_PENDING) {
        status = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        ASSERT(status == STATUS_SUCCESS);
        status = Irp->IoStatus.Status;
    }
    return status;
}

static NTSTATUS FilterStartDevice(PFilterExtension deviceExtension, PIRP Irp)
{
    NTSTATUS status = FilterForwardAndWait(deviceExtension, Irp);
    if (NT_SUCCESS(status) && NT_SUCCESS(Irp->IoStatus.Status)) {
        FilterSetNewPnpState(deviceExtension, Started);
    }
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

/*
 * The capability record goes down with SurpriseRemovalOK set; the copy the
 * child answers its own query from is taken as the record passes, before the
 * drivers below fill it in.
 */
static NTSTATUS FilterQueryCapabilities(PFilterExtension deviceExtension, PIRP Irp)
{
    PDEVICE_CAPABILITIES capabilities = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceCapabilities.Capabilities;
    capabilities->SurpriseRemovalOK = TRUE;
    RtlCopyMemory(&deviceExtension->deviceCapabilities, capabilities, sizeof(DEVICE_CAPABILITIES));
    return FilterPassPnp(deviceExtension, Irp, Irp->IoStatus.Status);
}

/*
 * A cancelled query-stop or query-remove: the drivers below take their
 * device back first (the request is handled on its way up).  The converter's
 * driver refused reads while the query was pending, which ends the receive
 * loop; reception its user has not stopped goes on from here.
 */
static NTSTATUS FilterCancelQuery(PFilterExtension deviceExtension, PIRP Irp, FilterPnpState queried)
{
    Irp->IoStatus.Status = STATUS_SUCCESS;
    NTSTATUS status = FilterForwardAndWait(deviceExtension, Irp);
    FilterRestorePnpState(deviceExtension, queried);
    FilterResumeReception(deviceExtension);
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS FilterRemoveInterfaceAndResources(PDEVICE_OBJECT DeviceObject)
{
    NorvaTrace(DBG_ENTRY, "FilterRemoveInterfaceAndResources\r\n");
    PFilterExtension deviceExtension = (PFilterExtension)DeviceObject->DeviceExtension;

    TxThreadStop(DeviceObject);
    CancelAllRxIrp(deviceExtension);
    CancelAllTxIrp(deviceExtension);
    CancelWaitOnMask(deviceExtension);
    FreeRxBuffer(deviceExtension);
    FreeTxBuffer(deviceExtension);

    if (deviceExtension->interfaceName.Buffer != NULL) {
        IoSetDeviceInterfaceState(&deviceExtension->interfaceName, FALSE);
        RtlFreeUnicodeString(&deviceExtension->interfaceName);
        RtlZeroMemory(&deviceExtension->interfaceName, sizeof(UNICODE_STRING));
    }
    return STATUS_SUCCESS;
}

/* The last step of removal; the teardown has run before the request went down. */
NTSTATUS FilterRemoveDevice(PDEVICE_OBJECT DeviceObject)
{
    NorvaTrace(DBG_ENTRY, "FilterRemoveDevice\r\n");
    PFilterExtension deviceExtension = (PFilterExtension)DeviceObject->DeviceExtension;

    if (deviceExtension->nextLowerDriver != NULL) {
        IoDetachDevice(deviceExtension->nextLowerDriver);
    }
    IoDeleteDevice(DeviceObject);
    return STATUS_SUCCESS;
}

/*
 * Removal cannot fail: whatever the drivers below complete the request with,
 * it goes up as a success.  The status is changed on the way up rather than
 * after a wait here, so that no code of this driver runs once the request is
 * back with its sender, who may unload the driver at once.
 */
NTSTATUS NTAPI FilterRemoveCompletionRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Context);
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    Irp->IoStatus.Status = STATUS_SUCCESS;
    return STATUS_SUCCESS;
}

/*
 * Everything of the filter that sends requests below (transmission,
 * reception its user left running, pipe closes and cancels) ends before the
 * removal goes down: once the drivers below have handled it their devices
 * are gone, and nothing more is sent to them.  The request is returned
 * pending: it may complete below at any moment after the call.
 */
static NTSTATUS FilterRemove(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PFilterExtension deviceExtension = (PFilterExtension)DeviceObject->DeviceExtension;

    /* A child still present goes with its bus: its own removal, which comes
     * before this one, can no longer reach it.  Its port driver was told at
     * its surprise removal, or hears nothing, as when its removal deletes it. */
    if (deviceExtension->norva_pdo != NULL) {
        PDO_RemoveDevice(deviceExtension->norva_pdo);
        deviceExtension->norva_pdo = NULL;
    }

    FilterRemoveInterfaceAndResources(DeviceObject);
    if (deviceExtension->rx.target != NULL) {
        RxThreadStop(DeviceObject);
    }

    FilterSetNewPnpState(deviceExtension, Removed);
    IoMarkIrpPending(Irp);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, FilterRemoveCompletionRoutine, NULL, TRUE, TRUE, TRUE);
    IoCallDriver(deviceExtension->nextLowerDriver, Irp);
    FilterRemoveDevice(DeviceObject);
    return STATUS_PENDING;
}

NTSTATUS FDO_Pnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PFilterExtension deviceExtension = (PFilterExtension)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    NorvaTrace(DBG_ENTRY, "FDO_Pnp\n");
    NorvaTrace(DBG_ENTRY, "\t%s\n", PnPMinorFunctionString(stack->MinorFunction));

    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        return FilterStartDevice(deviceExtension, Irp);

    case IRP_MN_QUERY_REMOVE_DEVICE:
        NorvaTrace(DBG_STATE, "FDO::IRP_MN_QUERY_REMOVE_DEVICE\n");
        FilterSetNewPnpState(deviceExtension, RemovePending);
        return FilterPassPnp(deviceExtension, Irp, STATUS_SUCCESS);

    case IRP_MN_REMOVE_DEVICE:
        NorvaTrace(DBG_STATE, "FDO::IRP_MN_REMOVE_DEVICE\n");
        DbgPrint("FDO::IRP_MN_REMOVE_DEVICE\r\n");
        return FilterRemove(DeviceObject, Irp);

    case IRP_MN_CANCEL_REMOVE_DEVICE:
        NorvaTrace(DBG_STATE, "FDO::IRP_MN_CANCEL_REMOVE_DEVICE\n");
        return FilterCancelQuery(deviceExtension, Irp, RemovePending);

    case IRP_MN_STOP_DEVICE:
        NorvaTrace(DBG_STATE, "FDO::IRP_MN_STOP_DEVICE\n");
        FilterSetNewPnpState(deviceExtension, Stopped);
        return FilterPassPnp(deviceExtension, Irp, STATUS_SUCCESS);

    case IRP_MN_QUERY_STOP_DEVICE:
        NorvaTrace(DBG_STATE, "FDO::IRP_MN_QUERY_STOP_DEVICE\n");
        FilterSetNewPnpState(deviceExtension, Stopped);
        return FilterPassPnp(deviceExtension, Irp, STATUS_SUCCESS);

    case IRP_MN_CANCEL_STOP_DEVICE:
        NorvaTrace(DBG_STATE, "FDO::IRP_MN_CANCEL_STOP_DEVICE\n");
        return FilterCancelQuery(deviceExtension, Irp, Stopped);

    case IRP_MN_QUERY_DEVICE_RELATIONS:
        return OsQueryDeviceRelations(DeviceObject, Irp);

    case IRP_MN_QUERY_CAPABILITIES:
        return FilterQueryCapabilities(deviceExtension, Irp);

    case IRP_MN_SURPRISE_REMOVAL:
        NorvaTrace(DBG_STATE, "FDO::IRP_MN_SURPRISE_REMOVAL\n");
        FilterSetNewPnpState(deviceExtension, SurpriseRemoved);
        FilterRemoveInterfaceAndResources(DeviceObject);
        return FilterPassPnp(deviceExtension, Irp, STATUS_SUCCESS);

    default:
        return FilterPassPnp(deviceExtension, Irp, Irp->IoStatus.Status);
    }
}

CODE_PAGE NTSTATUS NTAPI FilterDispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    NorvaPagedCode();
    NorvaTrace(DBG_ENTRY, "FilterDispatchPnp\r\n");
    CommonExtension *commonExtension = (CommonExtension *)DeviceObject->DeviceExtension;

    /* A child that is gone answers nothing more; only its own removal still
     * reaches it, so that it is deleted. */
    if (commonExtension->removed && IoGetCurrentIrpStackLocation(Irp)->MinorFunction != IRP_MN_REMOVE_DEVICE) {
        NorvaTrace(DBG_STATE, "removed\r\n");
        Irp->IoStatus.Status = STATUS_NO_SUCH_DEVICE;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_NO_SUCH_DEVICE;
    }
    return commonExtension->isFdo ? FDO_Pnp(DeviceObject, Irp) : PDO_Pnp(DeviceObject, Irp);
}

CODE_PAGE NTSTATUS NTAPI FilterDispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    NorvaTrace(DBG_ENTRY, "FilterDispatchPower\r\n");
    NorvaPagedCode();
    CommonExtension *commonExtension = (CommonExtension *)DeviceObject->DeviceExtension;
    if (!commonExtension->isFdo) {
        return PDO_DispatchPower(DeviceObject, Irp);
    }
    /* The filter neither changes nor watches power states. */
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(((PFilterExtension)DeviceObject->DeviceExtension)->nextLowerDriver, Irp);
}

NTSTATUS NTAPI FilterCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    NorvaTrace(DBG_LIFE, "FilterCleanup\r\n");
    PFilterExtension deviceExtension = (PFilterExtension)DeviceObject->DeviceExtension;
    if (deviceExtension->isFdo) {
        CancelAllRxIrp(deviceExtension);
        CancelAllTxIrp(deviceExtension);
        CancelWaitOnMask(deviceExtension);
    }
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

CODE_PAGE VOID NTAPI FilterUnload(PDRIVER_OBJECT DriverObject)
{
    NorvaPagedCode();
    NorvaTrace(DBG_LIFE, "FilterUnload\n");
    /* The removal paths delete the filter and child devices before unload. */
    ASSERT(DriverObject->DeviceObject == NULL);
}

CODE_INIT NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    NorvaTrace(DBG_LIFE, "DriverEntry " __TIMESTAMP__ "\r\n\a");
    NorvaTrace(DBG_ENTRY, "\tregistry path:%ws\r\n", RegistryPath->Buffer);

    OsDriverEntry(DriverObject, RegistryPath);

    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++) {
        DriverObject->MajorFunction[i] = FilterPass;
    }
    DriverObject->MajorFunction[IRP_MJ_CREATE] = FilterCreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = FilterCreateClose;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = FilterDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_PNP] = FilterDispatchPnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = FilterDispatchPower;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = FilterCleanup;
    DriverObject->DriverExtension->AddDevice = FilterAddDevice;
    DriverObject->DriverUnload = FilterUnload;
    return STATUS_SUCCESS;
}
