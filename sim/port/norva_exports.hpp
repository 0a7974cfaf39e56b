// norva_exports.hpp - the twelve functions norva exports to the port driver,
// bound by name as the port VxD binds them through the export directory, and
// the three callbacks the port supplies.
#pragma once

extern "C" {
#include <ntddk.h>
}

#include <string>
#include <vector>

namespace world {

class DriverModule;

// The port's callbacks.  Receive: context, data (null on a status-only call),
// length (0 on a status-only call), modem status byte, hold flag.  Transmit:
// context, buffer, length offered, reserved (0); returns the bytes placed.
// Remove: the context registered with it.
using PortRxCallback = ULONG(NTAPI *)(PVOID context, PUCHAR data, ULONG length, UCHAR modemStatus, PULONG hold);
using PortTxCallback = ULONG(NTAPI *)(PVOID context, PUCHAR buffer, ULONG length, ULONG reserved);
using PortRemoveCallback = ULONG(NTAPI *)(PVOID context);

// The record whose address TxThreadStart takes.
struct TxThreadParams {
    PVOID context;
    PortTxCallback pfnTxCallback;
};

struct NorvaExports {
    ULONG(NTAPI *GetDebugLevel)(ULONG ignored) = nullptr;
    ULONG(NTAPI *GetEndPointCaps)(PDEVICE_OBJECT filter) = nullptr;
    PUNICODE_STRING(NTAPI *GetLinkName)(PDEVICE_OBJECT filter) = nullptr;
    PDEVICE_OBJECT(NTAPI *GetNextPDO)(PDEVICE_OBJECT *filter) = nullptr;
    void(NTAPI *KickTx)(PDEVICE_OBJECT filter) = nullptr;
    ULONG(NTAPI *RxThreadStart)(PDEVICE_OBJECT filter, PVOID context, PortRxCallback callback) = nullptr;
    ULONG(NTAPI *RxThreadStop)(PDEVICE_OBJECT filter) = nullptr;
    ULONG(NTAPI *SetRemoveCallback)(PDEVICE_OBJECT childPdo, PVOID context, PortRemoveCallback callback) = nullptr;
    ULONG(NTAPI *TransmitChar)(PDEVICE_OBJECT filter, ULONG character) = nullptr;
    ULONG(NTAPI *TxThreadStart)(PDEVICE_OBJECT filter, TxThreadParams *params) = nullptr;
    ULONG(NTAPI *TxThreadStop)(PDEVICE_OBJECT filter) = nullptr;
    ULONG(NTAPI *VendorRequest)(PDEVICE_OBJECT filter, PUCHAR bytes, ULONG length) = nullptr;

    // Binds every export the module has by name; absent ones stay null.  The
    // module must stay loaded while the bound functions are used.
    static NorvaExports Bind(const DriverModule &norva);
    // Names of the exports that are absent.
    std::vector<std::string> Missing() const;
};

// One converter as GetNextPDO hands it out: the filter device object and the
// child PDO it reported (null while it has reported none).
struct PortHandle {
    PDEVICE_OBJECT filter = nullptr;
    PDEVICE_OBJECT childPdo = nullptr;
};

// Walks GetNextPDO from a null variable until the variable comes back null:
// every filter device norva serves, the most recently added first.  Empty
// without the export.
std::vector<PortHandle> FindPorts(const NorvaExports &norva);

}  // namespace world
