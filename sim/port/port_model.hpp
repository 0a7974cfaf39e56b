// port_model.hpp - the client that plays the port VxD: it opens a converter's
// port through norva's exports, keeps the receive and transmit rings, holds
// reception when its receive ring is nearly full, sends norva's port-control
// requests for settings and lines, and learns of removal through its remove
// routine.
//
// Contexts.  The receive and transmit callbacks run at up to DISPATCH_LEVEL
// on the host controller's thread (or inside the export that issued the
// transfer): they only copy under the rings' spin locks and set events.
// Everything else runs at PASSIVE_LEVEL in the caller's thread.  Calls that
// reach norva's start and stop exports (Open, Close, the remove routine) and
// those that use the filter device (Write's kick, TransmitChar, settings,
// lines) are serialised by one mutex, so a removal never stops the engines
// while the port's own caller is inside one of them, and never lets the
// filter device be used after it.  Read and the waits take only the spin
// locks and wait on kernel events.
//
// Removal.  When norva calls the remove routine the port stops transmission
// and reception, drops what was still waiting to be sent, and answers every
// later call with STATUS_DEVICE_REMOVED; bytes that had reached the receive
// ring are still returned by Read before it reports the removal.  The handle
// an open port holds to its port's PDO is closed by Close, or by the port
// itself a while after its removal (Options::closeAfterRemoval).
#pragma once

#include "port/byte_ring.hpp"
#include "port/line_settings.hpp"
#include "port/norva_exports.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace world {

// The outcome of a port call: a status, the bytes moved (Read, Write), and a
// message when the call failed.
struct PortResult {
    NTSTATUS status = STATUS_SUCCESS;
    size_t bytes = 0;
    std::string message;

    bool ok() const { return NT_SUCCESS(status); }
};
std::string Describe(const PortResult &r);  // "0xC00002B6: device removed ..."

struct PortCounters {
    // Receive side.
    uint64_t dataCalls = 0;           // receive callback calls with data
    uint64_t statusCalls = 0;         // status-only receive callback calls
    uint64_t bytesIn = 0;             // bytes that reached the receive ring
    uint64_t overrunBytes = 0;        // bytes delivered while the ring was full: lost
    uint64_t bytesRead = 0;           // bytes Read handed to the caller
    uint64_t holds = 0;               // status-only calls answered with hold
    uint64_t holdPeriods = 0;         // times reception went from running to held
    uint64_t receiveRestarts = 0;     // variant 0: receive loops started again after a hold
    uint64_t modemStatusChanges = 0;  // calls that carried a new modem-status byte
    // Transmit side.
    uint64_t bytesWritten = 0;        // bytes Write accepted into the transmit ring
    uint64_t kicks = 0;               // KickTx calls made by Write
    uint64_t retryKicks = 0;          // KickTx calls made because sent data sat unfetched
    uint64_t txCallbacks = 0;         // transmit callback calls
    uint64_t transfers = 0;           // transmit callback calls that handed out bytes (one write each)
    uint64_t bytesOut = 0;            // bytes handed to norva
    uint64_t largestTransfer = 0;     // most bytes handed out in one call
    uint64_t transmitChars = 0;       // TransmitChar calls that norva reported sent
    uint64_t discardedBytes = 0;      // bytes still waiting to be sent when the port was removed
    // Purges.
    uint64_t purgedIn = 0;            // received bytes dropped unread by PurgeReceived
    uint64_t purgedOut = 0;           // bytes dropped unsent by PurgeUnsent
};

class PortModel {
public:
    struct Options {
        size_t rxRingSize = 64 * 1024;
        // Reception is held on a status-only call while the ring holds more
        // than rxHighWater bytes and released once it holds rxLowWater or
        // fewer.  A converter without a control pipe (variant 0) makes no
        // status-only calls: there the port answers hold on the data call
        // that passes the high-water mark, which ends norva's receive loop,
        // and starts reception again once a reader has drained the ring to
        // the low-water mark.  A data call brings at most 1024 bytes, so a
        // high-water mark of at most rxRingSize - 1024 means the ring never
        // overflows.  By default 3/4 and 1/4 of the ring.
        std::optional<size_t> rxHighWater;
        std::optional<size_t> rxLowWater;
        size_t txRingSize = 64 * 1024;
        // A kick that meets a transmit chain just ending backs off, and the
        // bytes it announced wait for the next kick.  When bytes have sat in
        // the transmit ring this long without a transmit callback, the port
        // kicks again.  Zero: never.
        std::chrono::milliseconds kickRetry{50};
        // The converter variant; by default asked with GetEndPointCaps.
        std::optional<ULONG> variant;
        // An open port holds a handle to its port's PDO.  When its remove
        // routine runs, the port keeps that handle this long (its calls fail
        // meanwhile) and then closes it, as a program closes the port it
        // lost; the PnP manager's surprise removal waits for it.  Nothing:
        // the handle is kept until Close.
        std::optional<std::chrono::milliseconds> closeAfterRemoval{std::chrono::milliseconds(5)};
    };

    // Attaches to one converter's port: registers the remove routine on the
    // child PDO (when norva exports SetRemoveCallback and the child exists)
    // and learns the converter variant.  Nothing is started until Open.
    PortModel(const NorvaExports &norva, PortHandle port, Options options);
    PortModel(const NorvaExports &norva, PortHandle port) : PortModel(norva, port, Options{}) {}
    // Closes the port and withdraws the remove routine.  Must not run while
    // norva may call the remove routine (during a removal of the converter).
    ~PortModel();
    PortModel(const PortModel &) = delete;
    PortModel &operator=(const PortModel &) = delete;

    PortHandle handle() const { return port_; }
    std::optional<ULONG> variant() const { return variant_; }
    bool isOpen() const { return open_.load(); }
    bool isRemoved() const { return removed_.load(); }
    // Whether the port holds its handle to the port's PDO.
    bool holdsHandle() const;
    bool removeRoutineRegistered() const { return registered_; }

    // Starts reception, then transmission.  A failed start is undone with the
    // matching stop, as norva requires.  Clears both rings.
    PortResult Open();
    // Stops transmission, then reception.
    PortResult Close();

    // Copies as many bytes as the transmit ring takes and kicks norva.
    PortResult Write(std::span<const uint8_t> bytes);
    // Writes all bytes, waiting for room; fewer on timeout (STATUS_TIMEOUT).
    PortResult WriteAll(std::span<const uint8_t> bytes, std::chrono::milliseconds timeout);
    // Waits until norva has fetched everything from the transmit ring.
    PortResult Drain(std::chrono::milliseconds timeout);
    // Sends one character at once, beside the transmit ring.
    PortResult TransmitChar(UCHAR c);

    // Returns what the receive ring holds, up to buffer.size(), waiting up to
    // timeout for the first byte.  STATUS_TIMEOUT with 0 bytes when nothing
    // came; STATUS_DEVICE_REMOVED once the port is removed and the ring empty.
    PortResult Read(std::span<uint8_t> buffer, std::chrono::milliseconds timeout);
    // Reads until count bytes have come or the timeout has passed.
    std::vector<uint8_t> ReadExactly(size_t count, std::chrono::milliseconds timeout);
    size_t ReadAvailable() const;
    // Bytes in the transmit ring that norva has not fetched yet.
    size_t WriteWaiting() const;

    // The last modem-status byte norva delivered (16550 layout: 0x10 CTS,
    // 0x20 DSR, 0x40 RI, 0x80 DCD); 0 before the first callback.
    UCHAR ModemStatus() const;
    // Waits until the modem status differs from its value at the call.
    std::optional<UCHAR> WaitModemStatusChange(std::chrono::milliseconds timeout);
    // Waits until (status & mask) == value.
    std::optional<UCHAR> WaitModemStatus(UCHAR mask, UCHAR value, std::chrono::milliseconds timeout);
    // Callers inside either wait above, each past taking the status it
    // waits from; tests use it to change the status only once they wait.
    int ModemStatusWaiters() const { return modemWaiters_.load(); }
    // Whether reception is held now.
    bool ReceptionHeld() const;

    PortCounters Counters() const;

    // Settings.  Settings the converter cannot take are refused before
    // anything is sent; a refused or failed request leaves the settings in
    // force as they were.  A variant-0 converter has no command interpreter
    // and runs at fixed settings: every change is refused (norva would report
    // success and send nothing).
    PortResult SetLineSettings(const CommSettings &settings);
    PortResult SetLineSettings(ULONG baudRate, UCHAR dataBits, CommParity parity, CommStopBits stopBits,
                               bool flag = false)
    {
        return SetLineSettings(CommSettings{baudRate, dataBits, parity, stopBits, flag});
    }
    // The settings last accepted by norva; nothing until the first.
    std::optional<CommSettings> LineSettingsInForce() const;

    PortResult SetRts() { return SendLine(kVcpSetRts); }
    PortResult ClearRts() { return SendLine(kVcpClearRts); }
    PortResult SetDtr() { return SendLine(kVcpSetDtr); }
    PortResult ClearDtr() { return SendLine(kVcpClearDtr); }
    // The output lines as last accepted: 0x01 RTS, 0x02 DTR.
    UCHAR ModemControl() const;
    // Drop what the rings hold (an application's purge): the received bytes
    // nobody has read, or the bytes not sent yet: those norva has not
    // fetched, and its write in flight, cancelled by a stop and start of
    // transmission.  Both return the bytes dropped from the rings; a byte the
    // converter already took is on its way.
    size_t PurgeReceived();
    size_t PurgeUnsent();
    PortResult ResetRxPipe() { return SendControl(kVcpResetRxPipe, {}, "reset of the receive pipe"); }
    PortResult ResetTxPipe() { return SendControl(kVcpResetTxPipe, {}, "reset of the transmit pipe"); }

    // Sends a converter command with the VendorRequest export.
    PortResult VendorRequest(std::span<const uint8_t> bytes);
    // The filter device's interface link (empty when norva has none).
    std::u16string LinkName();

private:
    static ULONG NTAPI RxCallback(PVOID context, PUCHAR data, ULONG length, UCHAR modemStatus, PULONG hold);
    static ULONG NTAPI TxCallback(PVOID context, PUCHAR buffer, ULONG length, ULONG reserved);
    static ULONG NTAPI RemoveRoutine(PVOID context);

    void OnReceive(PUCHAR data, ULONG length, UCHAR modemStatus, PULONG hold);
    ULONG OnTransmit(PUCHAR buffer, ULONG length, ULONG reserved);
    void OnRemove();
    std::optional<UCHAR> WaitModemStatus(UCHAR mask, UCHAR value, std::chrono::milliseconds timeout, bool equal);

    // Callers hold mutex_.
    std::optional<PortResult> Unusable(const char *what) const;
    PortResult StopEngines();
    void StartKicker();
    void StopKicker();
    void KickerLoop(std::stop_token stop);
    PortResult SendLine(ULONG code);
    PortResult SendControl(ULONG code, std::span<const uint8_t> input, const std::string &what);
    NTSTATUS CallFilter(ULONG code, std::span<const uint8_t> input);
    void WakeWaiters();
    void ResumeReception();  // takes mutex_
    void CloseHandle();

    // A notification event stays signalled until a waiter clears it, and no
    // one waits on it meanwhile: setting it again would change nothing.  It
    // is set and cleared under one lock alone (rxLock_, txLock_), so the flag
    // beside it tells.
    struct LatchedEvent {
        KEVENT event;
        bool signalled = false;
        void Signal()
        {
            if (!signalled) {
                KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
                signalled = true;
            }
        }
        void Clear()
        {
            KeClearEvent(&event);
            signalled = false;
        }
    };

    NorvaExports norva_;
    PortHandle port_;
    Options options_;
    std::optional<ULONG> variant_;
    bool registered_ = false;

    // PASSIVE_LEVEL serialisation of everything that reaches norva.
    mutable std::mutex mutex_;
    std::atomic<bool> open_{false};
    std::atomic<bool> removed_{false};
    bool rxStarted_ = false;  // RxThreadStart called and not yet stopped
    bool txStarted_ = false;
    TxThreadParams txParams_{};
    std::optional<CommSettings> settings_;
    UCHAR modemControl_ = 0;

    // The callbacks check that norva calls them only while started and
    // never twice at once.
    std::atomic<bool> rxLive_{false};
    std::atomic<bool> txLive_{false};
    std::atomic<bool> inRxCallback_{false};
    std::atomic<bool> inTxCallback_{false};

    // Receive ring and state, under rxLock_.
    mutable KSPIN_LOCK rxLock_;
    ByteRing rxRing_;
    size_t highWater_;
    size_t lowWater_;
    bool holding_ = false;
    bool parked_ = false;  // variant 0: norva's loop ended on a hold; a reader starts it again
    UCHAR modemStatus_ = 0;
    LatchedEvent rxEvent_;  // bytes arrived, or the port closed or was removed
    std::atomic<int> modemWaiters_{0};
    KEVENT statusEvent_;  // a new modem status, or the port closed or was removed

    // Transmit ring, under txLock_.
    mutable KSPIN_LOCK txLock_;
    ByteRing txRing_;
    LatchedEvent txEvent_;  // norva fetched bytes, or the port closed or was removed

    PortCounters rxCounters_;  // receive-side fields, under rxLock_
    PortCounters txCounters_;  // transmit-side fields, under txLock_

    // The retry kicker (PASSIVE_LEVEL thread).
    std::mutex kickerMutex_;
    std::condition_variable_any kickerWake_;
    std::jthread kicker_;

    // The handle to the port's PDO (under mutex_), and the thread that
    // closes it a while after a removal.
    bool handle_ = false;
    std::mutex releaseMutex_;
    std::condition_variable_any releaseWake_;
    std::jthread releaser_;
};

}  // namespace world
