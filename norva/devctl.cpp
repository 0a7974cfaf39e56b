/*
 * devctl.cpp - port control: the filter device's own device-control
 * requests, the serial-settings translation into the converter's line-setting
 * command, the modem-control lines, the synchronous vendor request that
 * carries converter commands, and pipe resets.
 */
#define NORVA_UNIT "devctl"
#include "norva.h"

#include "usbcvt.h"

/* Converter commands: the first data byte names the command. */
#define CONVERTER_CMD_LINE_SETTING  0x00
#define CONVERTER_CMD_MODEM_CONTROL 0x01

#define MODEM_CONTROL_RTS 0x01
#define MODEM_CONTROL_DTR 0x02

/* The serial-settings record (_DCB) as it arrives: 48 bytes, read by offset. */
#define DCB_SIZE         48
#define DCB_BAUD_RATE    4  /* 32-bit */
#define DCB_FLAGS        8  /* 32-bit; only bit 0 is read */
#define DCB_BYTE_SIZE    22 /* data bits: 7, 8 */
#define DCB_PARITY       23 /* 0 none, 1 odd, 2 even */
#define DCB_STOP_BITS    24 /* 0 one, 2 two */

static_assert(IOCTL_VCP_SET_COMM_STATE == 0x1B01B0 && IOCTL_VCP_SET_RTS == 0x1B01B8 &&
                  IOCTL_VCP_CLR_RTS == 0x1B01BC && IOCTL_VCP_SET_DTR == 0x1B01C0 && IOCTL_VCP_CLR_DTR == 0x1B01C4 &&
                  IOCTL_VCP_RESET_RX_PIPE == 0x1B0320 && IOCTL_VCP_RESET_TX_PIPE == 0x1B0324,
              "the port driver's control codes");
static_assert(IOCTL_USBCVT_VENDOR_REQUEST == 0x23001C && IOCTL_USBCVT_RESET_PIPE == 0x230008,
              "the converter driver's control codes");

static ULONG DcbUlong(const UCHAR *dcb, ULONG offset)
{
    ULONG value;
    RtlCopyMemory(&value, dcb + offset, sizeof(value));
    return value;
}

/* ------------------------------------------------------------------------ */
/* Vendor request, modem lines, pipe reset                                    */

NTSTATUS FilterVendorRequest(PDEVICE_OBJECT DeviceObject, PUCHAR data, ULONG length)
{
    NorvaTrace(DBG_ENTRY, "FilterVendorRequest(%08lx,%08lx,%08lx)\n", PtrToUlong(DeviceObject), PtrToUlong(data),
               length);
    ASSERT(data != NULL);
    if (data == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    /* The request is built and waited for: only a PASSIVE_LEVEL caller may. */
    ASSERT(KeGetCurrentIrql() == (0));
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        return STATUS_INVALID_DEVICE_STATE;
    }

    PFilterExtension deviceExtension = (PFilterExtension)DeviceObject->DeviceExtension;
    KEVENT event;
    IO_STATUS_BLOCK ioStatus;
    KeInitializeEvent(&event, NotificationEvent, FALSE);

    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_USBCVT_VENDOR_REQUEST, deviceExtension->nextLowerDriver, data,
                                             length, NULL, 0, FALSE, &event, &ioStatus);
    if (irp == NULL) {
        NorvaTrace(DBG_FAIL, "failed IoBuildDeviceIoControl\r\n");
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    NTSTATUS status = IofCallDriver(deviceExtension->nextLowerDriver, irp);
    if (status == STATUS_PENDING) {
        ASSERT(KeGetCurrentIrql() < (2));
        status = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        ASSERT(status == STATUS_SUCCESS);
        status = ioStatus.Status;
    }
    return status;
}

/*
 * Changes the modem-control image and sends the whole image.  The image is
 * changed under its lock, so that an RTS and a DTR change at the same time
 * keep each other's bit; a sender that finds the image changed after its
 * command went out sends the current image again, so that the last command
 * the converter gets carries the last image.
 */
static NTSTATUS FilterChangeModemControl(PDEVICE_OBJECT DeviceObject, UCHAR set, UCHAR clear)
{
    PFilterExtension deviceExtension = (PFilterExtension)DeviceObject->DeviceExtension;
    KIRQL irql;
    KeAcquireSpinLock(&deviceExtension->modemControlLock, &irql);
    deviceExtension->modemControl = (UCHAR)((deviceExtension->modemControl & ~clear) | set);
    UCHAR image = deviceExtension->modemControl;
    KeReleaseSpinLock(&deviceExtension->modemControlLock, irql);

    /* Only the known converter variants take modem-control commands. */
    if (deviceExtension->endPointCaps < 1 || deviceExtension->endPointCaps > 3) {
        return STATUS_SUCCESS;
    }
    for (;;) {
        UCHAR command[2] = {CONVERTER_CMD_MODEM_CONTROL, image};
        NTSTATUS status = FilterVendorRequest(DeviceObject, command, sizeof(command));
        if (!NT_SUCCESS(status)) {
            return status;
        }
        KeAcquireSpinLock(&deviceExtension->modemControlLock, &irql);
        UCHAR now = deviceExtension->modemControl;
        KeReleaseSpinLock(&deviceExtension->modemControlLock, irql);
        if (now == image) {
            return status;
        }
        image = now;
    }
}

static NTSTATUS FilterCompleteControl(PIRP Irp, NTSTATUS status)
{
    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS FilterSetRTS(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    NorvaTrace(DBG_ENTRY, "FilterSetRTS\n");
    NTSTATUS status;
    if (IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode == IOCTL_VCP_SET_RTS) {
        NorvaTrace(DBG_MODEM, "RTS ON\r\n");
        status = FilterChangeModemControl(DeviceObject, MODEM_CONTROL_RTS, 0);
    } else {
        NorvaTrace(DBG_MODEM, "RTS OFF\r\n");
        status = FilterChangeModemControl(DeviceObject, 0, MODEM_CONTROL_RTS);
    }
    return FilterCompleteControl(Irp, status);
}

NTSTATUS FilterSetDTR(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    NorvaTrace(DBG_ENTRY, "FilterSetDTR\n");
    NTSTATUS status;
    if (IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode == IOCTL_VCP_SET_DTR) {
        NorvaTrace(DBG_MODEM, "DTR ON\r\n");
        status = FilterChangeModemControl(DeviceObject, MODEM_CONTROL_DTR, 0);
    } else {
        NorvaTrace(DBG_MODEM, "DTR OFF\r\n");
        status = FilterChangeModemControl(DeviceObject, 0, MODEM_CONTROL_DTR);
    }
    return FilterCompleteControl(Irp, status);
}

NTSTATUS NorvaResetPipe(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    NorvaTrace(DBG_DETAIL, "NorvaResetPipe\n");
    PFilterExtension deviceExtension = (PFilterExtension)DeviceObject->DeviceExtension;
    ULONG code = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode;

    IoCopyCurrentIrpStackLocationToNext(Irp);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    next->FileObject = code == IOCTL_VCP_RESET_RX_PIPE ? &deviceExtension->rxPipe : &deviceExtension->txPipe;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_USBCVT_RESET_PIPE;
    /* The converter's driver completes it straight back to the sender. */
    return IofCallDriver(deviceExtension->nextLowerDriver, Irp);
}

/* ------------------------------------------------------------------------ */
/* Comm-state translation                                                     */

/* The parts of a _DCB the converter is told about, and whether any of them
 * was outside what the converter understands. */
struct CommSettings {
    ULONG baudRate;
    BOOLEAN flag;
    UCHAR dataBits;
    UCHAR parity;
    UCHAR stopBits;
};

static BOOLEAN FilterReadDcb(PIRP Irp, CommSettings *settings)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const UCHAR *dcb = (const UCHAR *)Irp->AssociatedIrp.SystemBuffer;
    if (stack->Parameters.DeviceIoControl.InputBufferLength < DCB_SIZE || dcb == NULL) {
        NorvaTrace(DBG_FAIL, "invalid _DCB size\r\n");
        return FALSE;
    }
    settings->baudRate = DcbUlong(dcb, DCB_BAUD_RATE);
    settings->flag = (DcbUlong(dcb, DCB_FLAGS) & 1) != 0;
    settings->dataBits = dcb[DCB_BYTE_SIZE];
    settings->parity = dcb[DCB_PARITY];
    settings->stopBits = dcb[DCB_STOP_BITS];
    return TRUE;
}

/* The converter takes the command with the fallback value; the sender learns
 * that its settings were not taken as asked. */
static NTSTATUS FilterSendLineSetting(PDEVICE_OBJECT DeviceObject, PUCHAR command, ULONG length, BOOLEAN fellBack)
{
    NTSTATUS status = FilterVendorRequest(DeviceObject, command, length);
    if (!NT_SUCCESS(status)) {
        NorvaTrace(DBG_FAIL, "failed to write to pipe0 (code=0x%08lx)\r\n", status);
        return status;
    }
    return fellBack ? STATUS_INVALID_PARAMETER : status;
}

NTSTATUS FilterSetCommState0(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    NorvaTrace(DBG_ENTRY, "FilterSetCommState0\n");
    return STATUS_SUCCESS;
}

/* Variants 1 and 2: {command, setting} with the baud code in bits 0-1. */
static NTSTATUS FilterSetCommState12(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    CommSettings dcb;
    if (!FilterReadDcb(Irp, &dcb)) {
        return STATUS_INVALID_PARAMETER;
    }
    BOOLEAN fellBack = FALSE;
    UCHAR setting = 0;

    switch (dcb.baudRate) {
    case 9600:
        setting = 0;
        break;
    case 19200:
        setting = 1;
        break;
    case 38400:
        setting = 2;
        break;
    case 115200:
        setting = 3;
        break;
    default:
        NorvaTrace(DBG_FAIL, "\tunknown baudrate = %08lx\r\n", dcb.baudRate);
        setting = 3;
        fellBack = TRUE;
        break;
    }

    if (dcb.dataBits == 8) {
        setting |= 0x04;
    } else if (dcb.dataBits != 7) {
        NorvaTrace(DBG_FAIL, "\tunknown setting\r\n");
        setting |= 0x04;
        fellBack = TRUE;
    }

    if (dcb.stopBits == 2) {
        setting |= 0x08;
    } else if (dcb.stopBits != 0) {
        NorvaTrace(DBG_FAIL, "\tunknown setting\r\n");
        fellBack = TRUE;
    }

    if (dcb.parity == 1) {
        setting |= 0x20;
    } else if (dcb.parity == 2) {
        setting |= 0x10;
    } else if (dcb.parity != 0) {
        NorvaTrace(DBG_FAIL, "\tunknown setting\r\n");
        fellBack = TRUE;
    }

    if (dcb.flag) {
        setting |= 0x80;
    }

    NorvaTrace(DBG_DETAIL, "\tsetting = 0x%02x\r\n", setting);
    UCHAR command[2] = {CONVERTER_CMD_LINE_SETTING, setting};
    return FilterSendLineSetting(DeviceObject, command, sizeof(command), fellBack);
}

NTSTATUS FilterSetCommState1(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    NorvaTrace(DBG_ENTRY, "FilterSetCommState1\n");
    return FilterSetCommState12(DeviceObject, Irp);
}

NTSTATUS FilterSetCommState2(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    NorvaTrace(DBG_ENTRY, "FilterSetCommState2\n");
    return FilterSetCommState12(DeviceObject, Irp);
}

/* Variant 3: {command, baud code, setting}. */
NTSTATUS FilterSetCommState3(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    static const ULONG baudRates[] = {600, 1200, 2400, 4800, 9600, 19200, 38400, 76800, 115200};

    NorvaTrace(DBG_ENTRY, "FilterSetCommState3\n");
    CommSettings dcb;
    if (!FilterReadDcb(Irp, &dcb)) {
        return STATUS_INVALID_PARAMETER;
    }
    BOOLEAN fellBack = FALSE;
    UCHAR command[3] = {CONVERTER_CMD_LINE_SETTING, 8, 0};

    /* A rate in no row keeps the code of 115200. */
    for (UCHAR code = 0; code < sizeof(baudRates) / sizeof(baudRates[0]); code++) {
        if (baudRates[code] == dcb.baudRate) {
            command[1] = code;
            break;
        }
    }

    if (dcb.dataBits == 8) {
        command[2] |= 0x01;
    } else if (dcb.dataBits != 7) {
        NorvaTrace(DBG_FAIL, "\tunknown setting\r\n");
        command[2] |= 0x01;
        fellBack = TRUE;
    }

    if (dcb.stopBits == 2) {
        command[2] |= 0x02;
    } else if (dcb.stopBits != 0) {
        NorvaTrace(DBG_FAIL, "\tunknown setting\r\n");
        fellBack = TRUE;
    }

    if (dcb.parity == 1) {
        command[2] |= 0x08;
    } else if (dcb.parity == 2) {
        command[2] |= 0x04;
    } else if (dcb.parity != 0) {
        NorvaTrace(DBG_FAIL, "\tunknown setting\r\n");
        fellBack = TRUE;
    }

    if (dcb.flag) {
        command[2] |= 0x20;
    }

    NorvaTrace(DBG_DETAIL, "\tsetting = 0x%02x\r\n", command[1]);
    return FilterSendLineSetting(DeviceObject, command, sizeof(command), fellBack);
}

typedef NTSTATUS (*PFILTER_SET_COMM_STATE)(PDEVICE_OBJECT DeviceObject, PIRP Irp);

static const PFILTER_SET_COMM_STATE FilterSetCommStateVariants[] = {
    FilterSetCommState0,
    FilterSetCommState1,
    FilterSetCommState2,
    FilterSetCommState3,
};

NTSTATUS FilterSetCommState(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    NorvaTrace(DBG_ENTRY, "FilterSetCommState\n");
    PFilterExtension deviceExtension = (PFilterExtension)DeviceObject->DeviceExtension;

    NTSTATUS status;
    ULONG variant = deviceExtension->endPointCaps;
    if (variant < sizeof(FilterSetCommStateVariants) / sizeof(FilterSetCommStateVariants[0])) {
        status = FilterSetCommStateVariants[variant](DeviceObject, Irp);
    } else {
        /* A converter variant the translation does not know. */
        NorvaTrace(DBG_FAIL, "not support\n");
        status = STATUS_NOT_SUPPORTED;
    }
    return FilterCompleteControl(Irp, status);
}

/* ------------------------------------------------------------------------ */
/* Dispatch                                                                   */

NTSTATUS NTAPI FilterDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    NorvaTrace(DBG_ENTRY, "FilterDeviceControl\r\n");
    PFilterExtension deviceExtension = (PFilterExtension)DeviceObject->DeviceExtension;
    if (!deviceExtension->isFdo) {
        return FilterRefuseOnPdo(Irp);
    }
    Irp->IoStatus.Information = 0;

    switch (IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_VCP_SET_COMM_STATE:
        return FilterSetCommState(DeviceObject, Irp);
    case IOCTL_VCP_SET_RTS:
    case IOCTL_VCP_CLR_RTS:
        return FilterSetRTS(DeviceObject, Irp);
    case IOCTL_VCP_SET_DTR:
    case IOCTL_VCP_CLR_DTR:
        return FilterSetDTR(DeviceObject, Irp);
    case IOCTL_VCP_RESET_RX_PIPE:
    case IOCTL_VCP_RESET_TX_PIPE:
        return NorvaResetPipe(DeviceObject, Irp);
    default:
        NorvaTrace(DBG_FAIL, "not support\n");
        return FilterCompleteControl(Irp, STATUS_NOT_SUPPORTED);
    }
}
