/*
 * init98.cpp - the operating-system layer: driver-object bookkeeping,
 * creating and attaching the filter device, and its device interface.
 */
#define NORVA_UNIT "init98"
#include "norva.h"

/* Device interface through which the port driver finds the filter device. */
static const GUID GUID_WDMVXD = {0x82ccc361, 0xc550, 0x11d4, {0x96, 0x1c, 0x00, 0x60, 0x67, 0x72, 0x8f, 0xa8}};

NTSTATUS OsDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNREFERENCED_PARAMETER(RegistryPath);
    NorvaTrace(DBG_ENTRY, "OsDriverEntry\r\n");
    gDriverObject = DriverObject;
    return STATUS_SUCCESS;
}

NTSTATUS OsAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject,
                     PDEVICE_OBJECT *FunctionalDeviceObject)
{
    NorvaTrace(DBG_ENTRY, "OsAddDevice\r\n");

    PDEVICE_OBJECT deviceObject = NULL;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(FilterExtension), NULL, FILE_DEVICE_BUS_EXTENDER, 0,
                                     TRUE, &deviceObject);
    if (!NT_SUCCESS(status)) {
        NorvaTrace(DBG_FAIL, "\tfailed IoCreateDevice\n");
        return status;
    }

    PFilterExtension deviceExtension = (PFilterExtension)deviceObject->DeviceExtension;
    RtlZeroMemory(deviceExtension, sizeof(FilterExtension));
    deviceExtension->physicalDeviceObject = PhysicalDeviceObject;

    NorvaTrace(DBG_DETAIL, "\tIoAttachDeviceToDeviceStack\n");
    deviceExtension->nextLowerDriver = IoAttachDeviceToDeviceStack(deviceObject, PhysicalDeviceObject);
    if (deviceExtension->nextLowerDriver == NULL) {
        NorvaTrace(DBG_FAIL, "\tfailed IoAttachDeviceToDeviceStack\n");
        IoDeleteDevice(deviceObject);
        return STATUS_NO_SUCH_DEVICE;
    }

    *FunctionalDeviceObject = deviceObject;
    return STATUS_SUCCESS;
}

NTSTATUS FilterSetDeviceInterface(PDEVICE_OBJECT DeviceObject)
{
    NorvaTrace(DBG_ENTRY, "FilterStartDevice\r\n");
    PFilterExtension deviceExtension = (PFilterExtension)DeviceObject->DeviceExtension;

    NTSTATUS status = IoRegisterDeviceInterface(deviceExtension->physicalDeviceObject, &GUID_WDMVXD, NULL,
                                                &deviceExtension->interfaceName);
    if (!NT_SUCCESS(status)) {
        /* Whatever the failed call left there is not a name of ours. */
        RtlZeroMemory(&deviceExtension->interfaceName, sizeof(UNICODE_STRING));
    }
    NorvaTrace(DBG_DETAIL, "device class interface name=(%wZ)\n", &deviceExtension->interfaceName);
    if (!NT_SUCCESS(status)) {
        NorvaTrace(DBG_FAIL, "\tfailed IoRegisterDeviceInterface\n");
        return status;
    }

    status = IoSetDeviceInterfaceState(&deviceExtension->interfaceName, TRUE);
    if (!NT_SUCCESS(status)) {
        NorvaTrace(DBG_FAIL, "\tfailed IoSetDeviceInterfaceState\n");
        RtlFreeUnicodeString(&deviceExtension->interfaceName);
        RtlZeroMemory(&deviceExtension->interfaceName, sizeof(UNICODE_STRING));
        return status;
    }
    return STATUS_SUCCESS;
}
