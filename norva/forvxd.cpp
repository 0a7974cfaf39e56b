/*
 * forvxd.cpp - the exports with which the port driver finds each converter
 * and its port PDO, reads the link name, variant and debug level, registers
 * its remove routine and sends its own converter commands.
 */
#define NORVA_UNIT "forvxd"
#include "norva.h"

/* The filter extension of a filter device object; null for anything else. */
static PFilterExtension FilterExtensionOf(PDEVICE_OBJECT deviceObject)
{
    if (deviceObject == NULL) {
        return NULL;
    }
    PFilterExtension deviceExtension = (PFilterExtension)deviceObject->DeviceExtension;
    return deviceExtension->isFdo ? deviceExtension : NULL;
}

static BOOLEAN IsFilterDevice(PDEVICE_OBJECT deviceObject)
{
    return ((CommonExtension *)deviceObject->DeviceExtension)->isFdo;
}

VOID DUMP_DEVICES(PDRIVER_OBJECT driverObject)
{
    if (driverObject == NULL) {
        return;
    }
    for (PDEVICE_OBJECT device = driverObject->DeviceObject; device != NULL; device = device->NextDevice) {
        if (IsFilterDevice(device)) {
            NorvaTrace(DBG_DETAIL, "FDO:0x%08lx\r\n", PtrToUlong(device));
            NorvaTrace(DBG_DETAIL, "    PDO:0x%08lx\r\n",
                       PtrToUlong(((PFilterExtension)device->DeviceExtension)->norva_pdo));
        } else {
            NorvaTrace(DBG_DETAIL, "PDO:0x%08lx\r\n", PtrToUlong(device));
        }
    }
}

extern "C" PDEVICE_OBJECT NTAPI GetNextPDO(PDEVICE_OBJECT *deviceObject)
{
    NorvaTrace(DBG_ENTRY, "GetNextPDO\n");
    if (deviceObject == NULL) {
        NorvaTrace(DBG_FAIL, "invalid parameter\r\n");
        return NULL;
    }
    if (gDriverObject == NULL) {
        NorvaTrace(DBG_FAIL, "No driver object\r\n");
        *deviceObject = NULL;
        return NULL;
    }
    if (gDriverObject->DeviceObject == NULL) {
        NorvaTrace(DBG_FAIL, "No device object\r\n");
        *deviceObject = NULL;
        return NULL;
    }
    DUMP_DEVICES(gDriverObject);

    PDEVICE_OBJECT device = gDriverObject->DeviceObject;
    if (*deviceObject == NULL) {
        /* A new walk, from the most recently created device. */
        for (; device != NULL; device = device->NextDevice) {
            NorvaTrace(DBG_DETAIL, "device = 0x%08lx\r\n", PtrToUlong(device));
            if (IsFilterDevice(device)) {
                NorvaTrace(DBG_DETAIL, "\tfdo!\r\n");
                *deviceObject = device;
                return ((PFilterExtension)device->DeviceExtension)->norva_pdo;
            }
            NorvaTrace(DBG_DETAIL, "\tnot fdo\r\n");
        }
        NorvaTrace(DBG_FAIL, "\t---- fdo not found ----\r\n");
        *deviceObject = NULL;
        return NULL;
    }

    /* Go on after the caller's device; one that is no longer in the list
     * ends the walk rather than being followed. */
    while (device != NULL && device != *deviceObject) {
        device = device->NextDevice;
    }
    for (device = device != NULL ? device->NextDevice : NULL; device != NULL; device = device->NextDevice) {
        if (IsFilterDevice(device)) {
            *deviceObject = device;
            return ((PFilterExtension)device->DeviceExtension)->norva_pdo;
        }
    }
    *deviceObject = NULL;
    return NULL;
}

extern "C" PUNICODE_STRING NTAPI GetLinkName(PDEVICE_OBJECT deviceObject)
{
    NorvaTrace(DBG_ENTRY, "GetLinkName\n");
    if (deviceObject == NULL) {
        NorvaTrace(DBG_FAIL, "fdo == NULL\n");
        return NULL;
    }
    PFilterExtension deviceExtension = FilterExtensionOf(deviceObject);
    return deviceExtension != NULL ? &deviceExtension->interfaceName : NULL;
}

extern "C" ULONG NTAPI GetEndPointCaps(PDEVICE_OBJECT deviceObject)
{
    NorvaTrace(DBG_ENTRY, "GetEndPointCaps\n");
    ASSERT(deviceObject);
    PFilterExtension deviceExtension = FilterExtensionOf(deviceObject);
    return deviceExtension != NULL ? deviceExtension->endPointCaps : 0;
}

extern "C" ULONG NTAPI GetDebugLevel(ULONG unused)
{
    UNREFERENCED_PARAMETER(unused);
    NorvaTrace(DBG_ENTRY, "GetDebugLevel\n");
    return gDebugLevel;
}

extern "C" ULONG NTAPI SetRemoveCallback(PDEVICE_OBJECT deviceObject, PVOID context, PNORVA_REMOVE_CALLBACK callback)
{
    NorvaTrace(DBG_ENTRY, "SetRemoveCallback(%lx, %lx, %lx)\n", PtrToUlong(deviceObject), PtrToUlong(context),
               PtrToUlong(callback));
    ASSERT(deviceObject);
    if (deviceObject == NULL) {
        return 0;
    }
    PPdoExtension pdoExtension = (PPdoExtension)deviceObject->DeviceExtension;
    /* Only the port's PDO has a place for the routine. */
    ASSERT(pdoExtension->isFdo == FALSE);
    if (pdoExtension->isFdo) {
        return 0;
    }
    pdoExtension->removeContext = context;
    pdoExtension->removeCallback = callback;
    return 1;
}

extern "C" ULONG NTAPI VendorRequest(PDEVICE_OBJECT deviceObject, PUCHAR data, ULONG length)
{
    NorvaTrace(DBG_ENTRY, "VendorRequest\n");
    if (FilterExtensionOf(deviceObject) == NULL) {
        return 0;
    }
    return NT_SUCCESS(FilterVendorRequest(deviceObject, data, length)) ? 1 : 0;
}
