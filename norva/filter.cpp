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

/*
 * PnP for the filter device: bus relations go to the bus side; everything
 * else passes down.
 */
NTSTATUS FDO_Pnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PFilterExtension deviceExtension = (PFilterExtension)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    NorvaTrace(DBG_ENTRY, "FDO_Pnp\n");
    NorvaTrace(DBG_ENTRY, "\t%s\n", PnPMinorFunctionString(stack->MinorFunction));

    switch (stack->MinorFunction) {
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        return OsQueryDeviceRelations(DeviceObject, Irp);
    default:
        IoSkipCurrentIrpStackLocation(Irp);
        return IoCallDriver(deviceExtension->nextLowerDriver, Irp);
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
    DriverObject->DriverExtension->AddDevice = FilterAddDevice;
    DriverObject->DriverUnload = FilterUnload;
    return STATUS_SUCCESS;
}
