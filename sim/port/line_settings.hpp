// line_settings.hpp - serial line settings as the port sends them to norva:
// the communications layer's 48-byte device-control block (_DCB), the
// device-control codes of norva's filter device, and what each converter
// variant can take.
#pragma once

extern "C" {
#include <ntddk.h>
}

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace world {

// norva's port-control requests, IOCTL_VCP_* (device type FILE_DEVICE_SERIAL_PORT,
// METHOD_BUFFERED, any access), sent to the filter device.
inline constexpr ULONG kVcpSetCommState = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0x6C, METHOD_BUFFERED, FILE_ANY_ACCESS);
inline constexpr ULONG kVcpSetRts = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0x6E, METHOD_BUFFERED, FILE_ANY_ACCESS);
inline constexpr ULONG kVcpClearRts = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0x6F, METHOD_BUFFERED, FILE_ANY_ACCESS);
inline constexpr ULONG kVcpSetDtr = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0x70, METHOD_BUFFERED, FILE_ANY_ACCESS);
inline constexpr ULONG kVcpClearDtr = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0x71, METHOD_BUFFERED, FILE_ANY_ACCESS);
inline constexpr ULONG kVcpResetRxPipe = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0xC8, METHOD_BUFFERED, FILE_ANY_ACCESS);
inline constexpr ULONG kVcpResetTxPipe = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0xC9, METHOD_BUFFERED, FILE_ANY_ACCESS);
static_assert(kVcpSetCommState == 0x1B01B0 && kVcpSetRts == 0x1B01B8 &&
              kVcpClearRts == 0x1B01BC && kVcpSetDtr == 0x1B01C0 && kVcpClearDtr == 0x1B01C4 &&
              kVcpResetRxPipe == 0x1B0320 && kVcpResetTxPipe == 0x1B0324);

// Parity and stop-bit codes as the _DCB carries them.
enum class CommParity : uint8_t { None = 0, Odd = 1, Even = 2, Mark = 3, Space = 4 };
enum class CommStopBits : uint8_t { One = 0, OneAndHalf = 1, Two = 2 };

struct CommSettings {
    ULONG baudRate = 9600;
    UCHAR dataBits = 8;
    CommParity parity = CommParity::None;
    CommStopBits stopBits = CommStopBits::One;
    bool flag = false;  // bit 0 of the _DCB flag word, which the converter takes as its own bit

    bool operator==(const CommSettings &) const = default;
};
std::string Describe(const CommSettings &s);  // e.g. "19200 7E2 flag"

// The communications layer's device-control block.  Only the fields at
// offsets 4, 8, 22, 23 and 24 reach the converter; the rest is sent zeroed
// (DCBLength holds the record's size).
#pragma pack(push, 1)
struct VcommDcb {
    uint32_t DCBLength;
    uint32_t BaudRate;
    uint32_t BitMask;  // flag word: bit 0 is read
    uint32_t XonLim;
    uint32_t XoffLim;
    uint16_t wReserved;
    uint8_t ByteSize;  // data bits
    uint8_t Parity;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
    uint8_t StopBits;  // 0 one, 1 one and a half, 2 two
    int8_t XonChar;
    int8_t XoffChar;
    int8_t ErrorChar;
    int8_t EofChar;
    int8_t EvtChar1;
    int8_t EvtChar2;
    uint8_t bReserved;
    uint32_t RlsTimeout;
    uint32_t CtsTimeout;
    uint32_t DsrTimeout;
    uint32_t TxDelay;
};
#pragma pack(pop)
static_assert(sizeof(VcommDcb) == 48);
static_assert(offsetof(VcommDcb, BaudRate) == 4);
static_assert(offsetof(VcommDcb, BitMask) == 8);
static_assert(offsetof(VcommDcb, ByteSize) == 22);
static_assert(offsetof(VcommDcb, Parity) == 23);
static_assert(offsetof(VcommDcb, StopBits) == 24);

inline constexpr size_t kDcbSize = sizeof(VcommDcb);

// The 48 bytes of a _DCB for these settings (little-endian fields).
std::array<uint8_t, kDcbSize> BuildDcb(const CommSettings &settings);
// Reads the settings back from a _DCB (for tests and traces).
CommSettings ParseDcb(std::span<const uint8_t, kDcbSize> dcb);

// Whether a converter of this variant ("EndPointCaps") can take the
// settings.  Returns nothing when it can; otherwise the status to report and
// a message saying what it cannot take.
struct Refusal {
    NTSTATUS status = STATUS_NOT_SUPPORTED;
    std::string message;
};
std::optional<Refusal> CheckCommSettings(ULONG variant, const CommSettings &settings);

// The baud rates of a variant's table (empty for variant 0 and unknown ones).
std::span<const ULONG> SupportedBaudRates(ULONG variant);

}  // namespace world
