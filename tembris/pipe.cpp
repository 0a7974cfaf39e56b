/*
 * pipe.cpp - pipe file objects: a create whose file name ends in a pipe
 * number opens that pipe of the selected interface through the new file
 * object; its close closes the pipe again.
 */
#include "tembris.h"

static NTSTATUS CvtCreateCloseGate(PDEVICE_OBJECT deviceObject, PIRP irp, BOOLEAN create)
{
    /* After a surprise removal clients may still close what they opened. */
    if (CvtCanAcceptIo(deviceObject) || CvtExtension(deviceObject)->surpriseRemoved) {
        return CvtCreateClosePipe(deviceObject, irp, create);
    }
    CvtCompleteRequest(deviceObject, irp, STATUS_DELETE_PENDING, 0);
    DbgPrint("CreateClose Rejected\r\n");
    return STATUS_DELETE_PENDING;
}

NTSTATUS NTAPI CvtDispatchCreate(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    CvtIncrementIoCount(deviceObject);
    return CvtCreateCloseGate(deviceObject, irp, TRUE);
}

NTSTATUS NTAPI CvtDispatchClose(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    CvtIncrementIoCount(deviceObject);
    return CvtCreateCloseGate(deviceObject, irp, FALSE);
}

/*
 * The pipe a file object has open, or null.  FsContext is trusted only
 * while it names a pipe context of the current configuration that is open
 * through this very file object: a stop frees the pipe contexts whatever
 * file objects still point into them.
 */
PipeContext *CvtPipeFromFileObject(PDEVICE_OBJECT deviceObject, PFILE_OBJECT fileObject)
{
    if (fileObject == NULL || fileObject->FsContext == NULL) {
        return NULL;
    }
    UsbConfiguration *configuration = CvtExtension(deviceObject)->usbConfiguration;
    if (configuration == NULL || configuration->interfaceInformation == NULL || configuration->pipeContexts == NULL) {
        return NULL;
    }
    for (ULONG i = 0; i < configuration->interfaceInformation->NumberOfPipes; i++) {
        PipeContext *pipe = &configuration->pipeContexts[i];
        if (pipe == fileObject->FsContext) {
            if (pipe->pipeInformation->PipeFlags != 0 && pipe->openFileObject == fileObject) {
                return pipe;
            }
            return NULL;
        }
    }
    return NULL;
}

static NTSTATUS CvtOpenPipe(PDEVICE_OBJECT deviceObject, PFILE_OBJECT fileObject)
{
    ULONG number;

    if (fileObject->FileName.Length == 0) {
        return STATUS_SUCCESS; /* the device itself, without a pipe */
    }
    if (!NT_SUCCESS(CvtParsePipeNumber(&fileObject->FileName, &number))) {
        return STATUS_INVALID_HANDLE;
    }
    UsbConfiguration *configuration = CvtExtension(deviceObject)->usbConfiguration;
    if (configuration == NULL || configuration->interfaceInformation == NULL ||
        number >= configuration->interfaceInformation->NumberOfPipes) {
        return STATUS_INVALID_HANDLE;
    }
    PipeContext *pipe = CvtGetPipeContext(deviceObject, number);
    if (pipe == NULL) {
        return STATUS_INVALID_HANDLE;
    }
    /* One file object per pipe; of two racing creates only one wins. */
    if (InterlockedCompareExchange((volatile LONG *)&pipe->pipeInformation->PipeFlags, 1, 0) != 0) {
        return STATUS_INVALID_HANDLE;
    }
    pipe->openFileObject = fileObject;
    pipe->statisticsEnabled = FALSE;
    fileObject->FsContext = pipe;
    return STATUS_SUCCESS;
}

static NTSTATUS CvtClosePipe(PDEVICE_OBJECT deviceObject, PFILE_OBJECT fileObject)
{
    PipeContext *pipe = CvtPipeFromFileObject(deviceObject, fileObject);
    if (fileObject != NULL) {
        fileObject->FsContext = NULL;
    }
    if (pipe == NULL) {
        return STATUS_INVALID_HANDLE;
    }
    pipe->openFileObject = NULL;
    InterlockedExchange((volatile LONG *)&pipe->pipeInformation->PipeFlags, 0);
    return STATUS_SUCCESS;
}

NTSTATUS CvtCreateClosePipe(PDEVICE_OBJECT deviceObject, PIRP irp, BOOLEAN create)
{
    PFILE_OBJECT fileObject = IoGetCurrentIrpStackLocation(irp)->FileObject;
    NTSTATUS status;

    if (create) {
        status = fileObject != NULL ? CvtOpenPipe(deviceObject, fileObject) : STATUS_INVALID_HANDLE;
    } else {
        status = CvtClosePipe(deviceObject, fileObject);
    }
    return CvtCompleteRequest(deviceObject, irp, status, 0);
}

/*
 * The pipe number is the run of decimal digits nearest the end of the name
 * (trailing non-digits are skipped); the first character never counts, so
 * a name needs something before its number.  A number beyond 32 bits is no
 * pipe number.
 */
NTSTATUS CvtParsePipeNumber(PCUNICODE_STRING fileName, PULONG number)
{
    ULONG length = fileName->Length / sizeof(WCHAR);
    const WCHAR *name = fileName->Buffer;

    if (length == 0) {
        return STATUS_INVALID_HANDLE;
    }
    ULONG position = length - 1;
    while (!(name[position] >= L'0' && name[position] <= L'9')) {
        if (position == 0) {
            return STATUS_INVALID_HANDLE;
        }
        position--;
    }
    if (position == 0) {
        return STATUS_INVALID_HANDLE;
    }

    ULONGLONG value = 0;
    ULONGLONG weight = 1;
    while (position != 0 && name[position] >= L'0' && name[position] <= L'9') {
        ULONG digit = (ULONG)(name[position] - L'0');
        if (digit != 0) {
            if (weight > MAXULONG) {
                return STATUS_INVALID_HANDLE;
            }
            value += digit * weight;
            if (value > MAXULONG) {
                return STATUS_INVALID_HANDLE;
            }
        }
        if (weight <= MAXULONG) {
            weight *= 10;
        }
        position--;
    }
    *number = (ULONG)value;
    return STATUS_SUCCESS;
}
