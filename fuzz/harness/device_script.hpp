// device_script.hpp - a malicious converter: a USB device whose descriptors
// and every answer are given by a script (the fuzzers' input), and the run
// that puts it through the whole stack: plug and start, open the port, move
// data, settings and lines, an unplug at any step, unload, then a kernel
// that must be clean.
//
// Input layout (every field optional: a short input ends with defaults):
//   u8   EndPointCaps value for the driver key (taken modulo 5: 4 is a value
//        no variant has)
//   u8   plan flags: bit 0 Windows 98 unplug (else surprise removal), bit 1
//        close the port before the unplug, bits 2-4 the step after which the
//        converter is pulled out
//   u16  device descriptor length (little-endian, at most 256), then its bytes
//   u16  configuration descriptor length (at most 1024), then its bytes
//   then the script: one answer per transfer or vendor request, in the
//   order the device is asked (see Op).  Past its end the device answers as
//   an idle converter: IN transfers end empty, OUT transfers take everything,
//   vendor requests are accepted.
#pragma once

#include <usb/usb_device.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

namespace fuzzing {

// What one script entry makes the device answer.
enum class Op : uint8_t {
    Data,       // IN: u8 n, then n bytes (a short or empty packet ends the transfer); OUT: takes n bytes
    Empty,      // a zero-length packet
    Stall,      // STALL handshake (the pipe halts)
    Fail,       // u8 index into a table of USBD error statuses
    Nak,        // u8 frames of NAK, then the next entry decides
    Full,       // IN: fills the whole buffer; OUT: takes everything
    Gone,       // the device stops answering: every later request fails with DEVICE_GONE
    kCount
};

class ScriptedConverter : public world::UsbDevice {
public:
    explicit ScriptedConverter(std::span<const uint8_t> script);

    bool gone() const { return gone_.load(); }
    size_t opsUsed() const;

protected:
    world::UsbAnswer OnTransfer(world::EndpointTransfer &transfer) override;
    world::UsbAnswer OnClassOrVendor(const world::SetupPacket &setup, std::span<uint8_t> data,
                                     size_t *returned) override;

private:
    // With mutex_ held.
    bool Next(Op *op, std::span<const uint8_t> *args);
    world::UsbAnswer Answer(Op op, std::span<const uint8_t> args, world::EndpointTransfer *transfer,
                            world::Frame now);

    std::vector<uint8_t> script_;
    size_t at_ = 0;
    size_t used_ = 0;
    std::map<uint8_t, world::Frame> nakUntil_;  // per endpoint (0: the default pipe)
    std::atomic<bool> gone_{false};
};

struct Input {
    unsigned endPointCaps = 1;
    bool win98Unplug = false;
    bool closeFirst = false;
    unsigned unplugAfter = 7;
    std::vector<uint8_t> deviceDescriptor;
    std::vector<uint8_t> configurationDescriptor;
    std::vector<uint8_t> script;
};
Input Parse(std::span<const uint8_t> data);
// The layout above, for seeds and regression inputs.
std::vector<uint8_t> Serialize(const Input &input);

// What a run did.
struct RunReport {
    bool started = false;     // the stack started and the port's PDO was enumerated
    bool opened = false;      // the port opened
    size_t bytesRead = 0;     // bytes the port handed to its reader
    size_t opsUsed = 0;       // script entries the device consumed
    std::string leaks;        // the kernel's leak report after unload (empty: clean)
};

// Runs one input through the whole world.  A broken verifier rule or a
// failed driver assertion is reported by the platform (a bug check unless
// a ViolationTrap is alive); the leak report is returned.
// readWait bounds how long the read step waits for its first byte: short for
// fuzzing speed, longer where a test needs the bytes to have arrived.
RunReport RunConverterScript(std::span<const uint8_t> data,
                             std::chrono::milliseconds readWait = std::chrono::milliseconds(5));

}  // namespace fuzzing
