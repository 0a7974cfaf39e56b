/*
 * devctl.cpp - the private device-control interface (IOCTL_USBCVT_*): the
 * configuration descriptor, device and pipe resets, pipe information,
 * transfer statistics and the vendor request that carries converter
 * commands.  Every request completes before the dispatch routine returns.
 */
#include "tembris.h"

static void CvtPutUshort(PUCHAR record, ULONG offset, USHORT value)
{
    record[offset] = (UCHAR)value;
    record[offset + 1] = (UCHAR)(value >> 8);
}

static void CvtPutUlong(PUCHAR record, ULONG offset, ULONG value)
{
    record[offset] = (UCHAR)value;
    record[offset + 1] = (UCHAR)(value >> 8);
    record[offset + 2] = (UCHAR)(value >> 16);
    record[offset + 3] = (UCHAR)(value >> 24);
}

NTSTATUS CvtGetPortStatus(PDEVICE_OBJECT deviceObject, PULONG portStatus)
{
    *portStatus = 0;
    return CvtCallLowerInternal(deviceObject, IOCTL_INTERNAL_USB_GET_PORT_STATUS, portStatus);
}

NTSTATUS CvtResetParentPort(PDEVICE_OBJECT deviceObject)
{
    return CvtCallLowerInternal(deviceObject, IOCTL_INTERNAL_USB_RESET_PORT, NULL);
}

/* Only a port that has a device connected but has been disabled is reset. */
NTSTATUS CvtResetDevice(PDEVICE_OBJECT deviceObject)
{
    ULONG portStatus;
    NTSTATUS status = CvtGetPortStatus(deviceObject, &portStatus);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (!(portStatus & USBD_PORT_ENABLED) && (portStatus & USBD_PORT_CONNECTED)) {
        return CvtResetParentPort(deviceObject);
    }
    return status;
}

static NTSTATUS CvtGetConfigDescriptor(PDEVICE_OBJECT deviceObject, PIRP irp, ULONG outputLength)
{
    UsbConfiguration *configuration = CvtExtension(deviceObject)->usbConfiguration;
    if (configuration == NULL || configuration->configurationDescriptor == NULL) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    ULONG length = configuration->configurationDescriptor->wTotalLength;
    if (outputLength < length) {
        return STATUS_INVALID_BUFFER_SIZE;
    }
    RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, configuration->configurationDescriptor, length);
    irp->IoStatus.Information = length;
    return STATUS_SUCCESS;
}

static NTSTATUS CvtGetPipeInfo(PipeContext *pipe, PIRP irp, ULONG outputLength)
{
    if (pipe == NULL) {
        return STATUS_INVALID_HANDLE;
    }
    if (outputLength < USBCVT_PIPE_RECORD_SIZE) {
        return STATUS_INVALID_BUFFER_SIZE;
    }
    PUSBD_PIPE_INFORMATION info = pipe->pipeInformation;
    PUCHAR record = (PUCHAR)irp->AssociatedIrp.SystemBuffer;
    CvtPutUshort(record, USBCVT_PIPE_RECORD_MAX_PACKET_SIZE, info->MaximumPacketSize);
    record[USBCVT_PIPE_RECORD_ENDPOINT_ADDRESS] = info->EndpointAddress;
    record[USBCVT_PIPE_RECORD_INTERVAL] = info->Interval;
    CvtPutUlong(record, USBCVT_PIPE_RECORD_PIPE_TYPE, (ULONG)info->PipeType);
    CvtPutUlong(record, USBCVT_PIPE_RECORD_PIPE_HANDLE, PtrToUlong(info->PipeHandle));
    CvtPutUlong(record, USBCVT_PIPE_RECORD_MAX_TRANSFER_SIZE, info->MaximumTransferSize);
    CvtPutUlong(record, USBCVT_PIPE_RECORD_PIPE_FLAGS, info->PipeFlags);
    irp->IoStatus.Information = USBCVT_PIPE_RECORD_SIZE;
    return STATUS_SUCCESS;
}

/*
 * dividend / divisor with 64-bit operands through the kernel's 64-by-32
 * division: both are scaled down until the divisor fits 32 bits, and a
 * quotient beyond 32 bits reads as the largest value.
 */
static ULONG CvtScaledQuotient(ULONGLONG dividend, ULONGLONG divisor)
{
    while (divisor > MAXULONG) {
        divisor >>= 1;
        dividend >>= 1;
    }
    LARGE_INTEGER quotient;
    LARGE_INTEGER value;
    value.QuadPart = (LONGLONG)dividend;
    quotient = RtlExtendedLargeIntegerDivide(value, (ULONG)divisor, NULL);
    return quotient.HighPart != 0 ? MAXULONG : quotient.LowPart;
}

static NTSTATUS CvtGetStatistics(PipeContext *pipe, PIRP irp, ULONG outputLength)
{
    if (pipe == NULL) {
        return STATUS_INVALID_HANDLE;
    }
    if (outputLength < USBCVT_STATISTICS_RECORD_SIZE) {
        return STATUS_INVALID_BUFFER_SIZE;
    }

    /* Bytes per second: bytes x counter frequency / counter ticks. */
    LARGE_INTEGER frequency;
    KeQueryPerformanceCounter(&frequency);
    LARGE_INTEGER bytes;
    bytes.QuadPart = (LONGLONG)pipe->bytesTransferred;
    LARGE_INTEGER product = RtlExtendedIntegerMultiply(bytes, (LONG)frequency.LowPart);
    if (pipe->elapsedTicks == 0) {
        pipe->elapsedTicks = 1;
    }
    ULONG bytesPerSecond = CvtScaledQuotient((ULONGLONG)product.QuadPart, (ULONGLONG)pipe->elapsedTicks);

    /* Cycles per byte. */
    ULONG cyclesPerByte = 0;
    if (pipe->bytesTransferred != 0) {
        cyclesPerByte = CvtScaledQuotient(pipe->elapsedCycles, pipe->bytesTransferred);
    }

    PUCHAR record = (PUCHAR)irp->AssociatedIrp.SystemBuffer;
    CvtPutUlong(record, USBCVT_STATISTICS_BYTES_PER_SECOND, bytesPerSecond);
    CvtPutUlong(record, USBCVT_STATISTICS_CYCLES_PER_BYTE, cyclesPerByte);
    irp->IoStatus.Information = USBCVT_STATISTICS_RECORD_SIZE;
    return STATUS_SUCCESS;
}

/* One control transfer: request 0x0B, the input bytes as its data stage. */
static NTSTATUS CvtVendorRequest(PDEVICE_OBJECT deviceObject, PIRP irp, ULONG inputLength)
{
    ULONG size = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    PURB urb = (PURB)CvtAllocatePool(size);
    if (urb == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(urb, size);
    urb->UrbHeader.Length = (USHORT)size;
    urb->UrbHeader.Function = URB_FUNCTION_VENDOR_DEVICE;
    struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST *request = &urb->UrbControlVendorClassRequest;
    request->TransferFlags = 0; /* host to device, short transfers not allowed */
    request->TransferBufferLength = inputLength;
    request->TransferBuffer = inputLength != 0 ? irp->AssociatedIrp.SystemBuffer : NULL;
    request->TransferBufferMDL = NULL;
    request->UrbLink = NULL;
    request->RequestTypeReservedBits = 0;
    request->Request = USBCVT_VENDOR_COMMAND_REQUEST;
    request->Value = 0;
    request->Index = 0;
    NTSTATUS status = CvtCallUsbd(deviceObject, urb);
    ExFreePool(urb);
    return status;
}

static NTSTATUS CvtDeviceControl(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    PipeContext *pipe = CvtPipeFromFileObject(deviceObject, stack->FileObject);

    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_USBCVT_GET_CONFIG_DESCRIPTOR:
        return CvtGetConfigDescriptor(deviceObject, irp, outputLength);
    case IOCTL_USBCVT_RESET_DEVICE:
        return CvtResetDevice(deviceObject);
    case IOCTL_USBCVT_RESET_PIPE:
        return pipe != NULL ? CvtResetPipe(deviceObject, pipe) : STATUS_INVALID_PARAMETER;
    case IOCTL_USBCVT_GET_PIPE_INFO:
        return CvtGetPipeInfo(pipe, irp, outputLength);
    case IOCTL_USBCVT_START_STATISTICS:
        if (pipe == NULL) {
            return STATUS_INVALID_HANDLE;
        }
        pipe->bytesTransferred = 0;
        pipe->elapsedTicks = 0;
        pipe->startTicks = 0;
        pipe->elapsedCycles = 0;
        pipe->cycleMark = 0;
        pipe->statisticsEnabled = TRUE;
        return STATUS_SUCCESS;
    case IOCTL_USBCVT_STOP_STATISTICS:
        if (pipe == NULL) {
            return STATUS_INVALID_HANDLE;
        }
        pipe->statisticsEnabled = FALSE;
        return STATUS_SUCCESS;
    case IOCTL_USBCVT_GET_STATISTICS:
        return CvtGetStatistics(pipe, irp, outputLength);
    case IOCTL_USBCVT_VENDOR_REQUEST:
        return CvtVendorRequest(deviceObject, irp, inputLength);
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

NTSTATUS NTAPI CvtDispatchDeviceControl(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    NTSTATUS status;

    CvtIncrementIoCount(deviceObject);
    irp->IoStatus.Information = 0;
    if (!CvtCanAcceptIo(deviceObject)) {
        status = STATUS_DELETE_PENDING;
    } else {
        irp->IoStatus.Status = STATUS_SUCCESS;
        status = CvtDeviceControl(deviceObject, irp);
    }
    /* Nothing is returned with a failure. */
    return CvtCompleteRequest(deviceObject, irp, status, NT_SUCCESS(status) ? irp->IoStatus.Information : 0);
}
