/*
 * brokendrv.cpp - a filter driver module whose AddDevice breaks one rule on
 * purpose when it attaches as a filter (above another driver's device), chosen
 * by the "Fault" value in the device's driver key:
 *   1  leaves DO_DEVICE_INITIALIZING set on its new device
 *   2  does not copy the buffered/direct I/O flags and device type of the
 *      device below it
 *   3  answers a bus relations query with its own device (not a PDO)
 * Otherwise it passes every request down and leaves at removal as a filter
 * should.
 */
extern "C" {
#include <ntddk.h>
}

#define BROKEN_FAULT_INITIALIZING 1
#define BROKEN_FAULT_FLAGS        2
#define BROKEN_FAULT_RELATIONS    3

struct BrokenExtension {
    PDEVICE_OBJECT lower;
    ULONG fault;
};

static ULONG BrokenReadFault(PDEVICE_OBJECT pdo)
{
    HANDLE key;
    ULONG fault = 0;
    if (!NT_SUCCESS(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key))) {
        return 0;
    }
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"Fault");
    UCHAR buffer[sizeof(KEY_VALUE_FULL_INFORMATION) + 32 + sizeof(ULONG)];
    ULONG length = 0;
    PKEY_VALUE_FULL_INFORMATION info = (PKEY_VALUE_FULL_INFORMATION)buffer;
    if (NT_SUCCESS(ZwQueryValueKey(key, &name, KeyValueFullInformation, info, sizeof(buffer), &length)) &&
        info->DataLength == sizeof(ULONG) && info->DataOffset + sizeof(ULONG) <= sizeof(buffer)) {
        RtlCopyMemory(&fault, buffer + info->DataOffset, sizeof(ULONG));
    }
    ZwClose(key);
    return fault;
}

static NTSTATUS NTAPI BrokenPass(PDEVICE_OBJECT device, PIRP irp)
{
    BrokenExtension *ext = (BrokenExtension *)device->DeviceExtension;
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(ext->lower, irp);
}

static NTSTATUS NTAPI BrokenPower(PDEVICE_OBJECT device, PIRP irp)
{
    BrokenExtension *ext = (BrokenExtension *)device->DeviceExtension;
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(ext->lower, irp);
}

/* Reports its own device as a child: a bus relations list holds PDOs only. */
static NTSTATUS BrokenRelations(PDEVICE_OBJECT device, PIRP irp)
{
    PDEVICE_RELATIONS relations = (PDEVICE_RELATIONS)ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS),
                                                                                  0x6E6B7242 /* "Brkn" */);
    if (relations == NULL) {
        return BrokenPass(device, irp);
    }
    relations->Count = 1;
    relations->Objects[0] = device;
    ObReferenceObject(device);
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = (ULONG_PTR)relations;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

static NTSTATUS NTAPI BrokenPnp(PDEVICE_OBJECT device, PIRP irp)
{
    BrokenExtension *ext = (BrokenExtension *)device->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (ext->fault == BROKEN_FAULT_RELATIONS && stack->MinorFunction == IRP_MN_QUERY_DEVICE_RELATIONS &&
        stack->Parameters.QueryDeviceRelations.Type == BusRelations) {
        return BrokenRelations(device, irp);
    }
    if (stack->MinorFunction != IRP_MN_REMOVE_DEVICE) {
        return BrokenPass(device, irp);
    }
    PDEVICE_OBJECT lower = ext->lower;
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(lower, irp);
    IoDetachDevice(lower);
    IoDeleteDevice(device);
    return status;
}

static NTSTATUS NTAPI BrokenAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    ULONG fault = BrokenReadFault(pdo);
    PDEVICE_OBJECT device;
    NTSTATUS status = IoCreateDevice(driver, sizeof(BrokenExtension), NULL, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    BrokenExtension *ext = (BrokenExtension *)device->DeviceExtension;
    ext->lower = IoAttachDeviceToDeviceStack(device, pdo);
    if (ext->lower == NULL) {
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    if (ext->lower == pdo) {
        fault = 0; /* as the function driver it behaves */
    }
    ext->fault = fault;
    if (fault != BROKEN_FAULT_FLAGS) {
        device->Flags |= ext->lower->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE);
        device->DeviceType = ext->lower->DeviceType;
    }
    if (fault != BROKEN_FAULT_INITIALIZING) {
        device->Flags &= ~DO_DEVICE_INITIALIZING;
    }
    return STATUS_SUCCESS;
}

static VOID NTAPI BrokenUnload(PDRIVER_OBJECT driver) { UNREFERENCED_PARAMETER(driver); }

extern "C" __attribute__((visibility("default"))) NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver,
                                                                            PUNICODE_STRING registryPath)
{
    UNREFERENCED_PARAMETER(registryPath);
    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++) {
        driver->MajorFunction[i] = BrokenPass;
    }
    driver->MajorFunction[IRP_MJ_PNP] = BrokenPnp;
    driver->MajorFunction[IRP_MJ_POWER] = BrokenPower;
    driver->DriverExtension->AddDevice = BrokenAddDevice;
    driver->DriverUnload = BrokenUnload;
    return STATUS_SUCCESS;
}
