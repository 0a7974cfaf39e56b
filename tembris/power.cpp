/*
 * power.cpp - the power policy of the converter's stack: system power
 * states become device power states through the capability table, device
 * power states are recorded and announced, wait-wake powers the device back
 * up.  System-control requests pass straight through.
 */
#include "tembris.h"

/* Passes a power request on (copy) and lets the next one in. */
static NTSTATUS CvtPowerCallLower(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    IoCopyCurrentIrpStackLocationToNext(irp);
    PoStartNextPowerIrp(irp);
    return PoCallDriver(CvtExtension(deviceObject)->lowerDeviceObject, irp);
}

static NTSTATUS CvtPowerPassDown(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    NTSTATUS status = CvtPowerCallLower(deviceObject, irp);
    CvtDecrementIoCount(deviceObject);
    return status;
}

static void NTAPI CvtWakePowerComplete(PDEVICE_OBJECT deviceObject, UCHAR minorFunction, POWER_STATE powerState,
                                       PVOID context, PIO_STATUS_BLOCK ioStatus)
{
    PDEVICE_OBJECT device = (PDEVICE_OBJECT)context;
    UNREFERENCED_PARAMETER(deviceObject);
    UNREFERENCED_PARAMETER(minorFunction);
    UNREFERENCED_PARAMETER(powerState);
    UNREFERENCED_PARAMETER(ioStatus);

    KeSetEvent(&CvtExtension(device)->powerUpEvent, EVENT_INCREMENT, FALSE);
    CvtDecrementIoCount(device);
}

/*
 * The device state a wait-wake is judged by: the state the device is in,
 * or, while it is in D0, the state it will be in when the system sleeps in
 * the state the wait-wake names (the power policy owner arms wake while its
 * device is still in D0, before it powers down).  A device whose
 * capabilities name no wake state is not armed from D0.
 */
static DEVICE_POWER_STATE CvtWakeDeviceState(ConverterExtension *ext, PIRP irp)
{
    if (ext->devicePowerState != PowerDeviceD0) {
        return ext->devicePowerState;
    }
    SYSTEM_POWER_STATE from = IoGetCurrentIrpStackLocation(irp)->Parameters.WaitWake.PowerState;
    if (from <= PowerSystemWorking || from >= PowerSystemMaximum ||
        ext->deviceCapabilities.DeviceWake == PowerDeviceUnspecified) {
        return PowerDeviceUnspecified;
    }
    return ext->deviceCapabilities.DeviceState[from];
}

/*
 * Wait-wake: held below until the device signals wake (or the request is
 * cancelled), then the device is powered back to D0 before the request
 * completes.
 */
static NTSTATUS CvtWaitWake(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    ConverterExtension *ext = CvtExtension(deviceObject);
    KEVENT event;
    DEVICE_POWER_STATE judged = CvtWakeDeviceState(ext, irp);

    if (judged == PowerDeviceUnspecified || judged == PowerDeviceD0 || ext->deviceCapabilities.DeviceWake > judged) {
        PoStartNextPowerIrp(irp);
        return CvtCompleteRequest(deviceObject, irp, STATUS_INVALID_DEVICE_STATE, 0);
    }

    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, CvtSyncCompletion, &event, TRUE, TRUE, TRUE);
    PoStartNextPowerIrp(irp);
    if (PoCallDriver(ext->lowerDeviceObject, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, NULL);
    }

    CvtIncrementIoCount(deviceObject); /* held by the D0 request */
    KeInitializeEvent(&ext->powerUpEvent, NotificationEvent, FALSE);
    POWER_STATE state;
    state.DeviceState = PowerDeviceD0;
    if (PoRequestPowerIrp(ext->physicalDeviceObject, IRP_MN_SET_POWER, state, CvtWakePowerComplete, deviceObject,
                          NULL) == STATUS_PENDING) {
        KeWaitForSingleObject(&ext->powerUpEvent, Suspended, KernelMode, FALSE, NULL);
    } else {
        CvtDecrementIoCount(deviceObject); /* no D0 request, no completion */
    }

    /* The wait-wake request ends with what the lower drivers gave it. */
    NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    CvtDecrementIoCount(deviceObject);
    return status;
}

/* The device has reached the state the system request asked for: let it go down. */
static void NTAPI CvtSystemPowerComplete(PDEVICE_OBJECT deviceObject, UCHAR minorFunction, POWER_STATE powerState,
                                         PVOID context, PIO_STATUS_BLOCK ioStatus)
{
    PDEVICE_OBJECT device = (PDEVICE_OBJECT)context;
    ConverterExtension *ext = CvtExtension(device);
    UNREFERENCED_PARAMETER(deviceObject);
    UNREFERENCED_PARAMETER(minorFunction);
    UNREFERENCED_PARAMETER(powerState);
    UNREFERENCED_PARAMETER(ioStatus);

    PIRP irp = ext->pendingSystemPowerIrp;
    ext->pendingSystemPowerIrp = NULL;
    CvtPowerPassDown(device, irp);
}

static NTSTATUS CvtSetSystemPower(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    ConverterExtension *ext = CvtExtension(deviceObject);
    SYSTEM_POWER_STATE systemState = IoGetCurrentIrpStackLocation(irp)->Parameters.Power.State.SystemState;
    POWER_STATE wanted;

    if (systemState == PowerSystemWorking) {
        wanted.DeviceState = PowerDeviceD0;
    } else if (systemState > PowerSystemUnspecified && systemState < PowerSystemMaximum) {
        wanted.DeviceState = ext->deviceCapabilities.DeviceState[systemState];
    } else {
        wanted.DeviceState = PowerDeviceUnspecified;
    }
    /* No table entry (the capability query failed): the device keeps its state. */
    if (wanted.DeviceState == ext->devicePowerState || wanted.DeviceState == PowerDeviceUnspecified) {
        return CvtPowerPassDown(deviceObject, irp);
    }

    ext->pendingSystemPowerIrp = irp;
    IoMarkIrpPending(irp);
    NTSTATUS status = PoRequestPowerIrp(ext->physicalDeviceObject, IRP_MN_SET_POWER, wanted, CvtSystemPowerComplete,
                                        deviceObject, NULL);
    if (!NT_SUCCESS(status)) {
        /* A system power request must not be held for good: without the
         * device request it goes down at once. */
        ext->pendingSystemPowerIrp = NULL;
        CvtPowerPassDown(deviceObject, irp);
    }
    return STATUS_PENDING;
}

static NTSTATUS NTAPI CvtPowerUpComplete(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context)
{
    PDEVICE_OBJECT device = (PDEVICE_OBJECT)context;
    UNREFERENCED_PARAMETER(deviceObject);

    if (irp->PendingReturned) {
        IoMarkIrpPending(irp);
    }
    CvtExtension(device)->devicePowerState = PowerDeviceD0;
    POWER_STATE state;
    state.DeviceState = PowerDeviceD0;
    PoSetPowerState(device, DevicePowerState, state);
    irp->IoStatus.Status = STATUS_SUCCESS;
    CvtDecrementIoCount(device);
    return STATUS_SUCCESS;
}

/*
 * Going down (D1-D3) is recorded and announced before the request goes on;
 * D0 only once the lower drivers have powered the device up.
 */
static NTSTATUS CvtSetDevicePower(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    ConverterExtension *ext = CvtExtension(deviceObject);
    POWER_STATE state = IoGetCurrentIrpStackLocation(irp)->Parameters.Power.State;

    if (state.DeviceState == PowerDeviceD1 || state.DeviceState == PowerDeviceD2 ||
        state.DeviceState == PowerDeviceD3) {
        PoSetPowerState(deviceObject, DevicePowerState, state);
        ext->devicePowerState = state.DeviceState;
    }
    if (state.DeviceState != PowerDeviceD0) {
        return CvtPowerPassDown(deviceObject, irp);
    }

    /* The completion routine makes the request succeed whatever the lower
     * drivers say, so the lower drivers' return value is not this request's
     * status: it is returned as pending. */
    IoMarkIrpPending(irp);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, CvtPowerUpComplete, deviceObject, TRUE, TRUE, TRUE);
    PoStartNextPowerIrp(irp);
    /* CvtPowerUpComplete releases the dispatch reference. */
    PoCallDriver(ext->lowerDeviceObject, irp);
    return STATUS_PENDING;
}

NTSTATUS NTAPI CvtDispatchPower(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);

    CvtIncrementIoCount(deviceObject);
    switch (stack->MinorFunction) {
    case IRP_MN_WAIT_WAKE:
        return CvtWaitWake(deviceObject, irp);
    case IRP_MN_SET_POWER:
        if (stack->Parameters.Power.Type == SystemPowerState) {
            return CvtSetSystemPower(deviceObject, irp);
        }
        if (stack->Parameters.Power.Type == DevicePowerState) {
            return CvtSetDevicePower(deviceObject, irp);
        }
        return CvtPowerPassDown(deviceObject, irp);
    default:
        return CvtPowerPassDown(deviceObject, irp);
    }
}

NTSTATUS NTAPI CvtDispatchSystemControl(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    CvtIncrementIoCount(deviceObject);
    IoCopyCurrentIrpStackLocationToNext(irp);
    NTSTATUS status = IoCallDriver(CvtExtension(deviceObject)->lowerDeviceObject, irp);
    CvtDecrementIoCount(deviceObject);
    return status;
}
