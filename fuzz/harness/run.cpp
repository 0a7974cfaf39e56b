// run.cpp - one malicious converter through the whole world.
#include "device_script.hpp"

#include <port/port_model.hpp>
#include <world/world.hpp>

#include <chrono>

namespace fuzzing {

namespace {

using namespace std::chrono_literals;

// The port's steps, in order; the converter is pulled out after one of them.
enum Step { kOpen, kWrite, kTransmitChar, kSettings, kRead, kResetPipes, kClose, kSteps };

void RunStep(Step step, world::PortModel &port, const Input &in, RunReport *report,
             std::chrono::milliseconds readWait)
{
    static const uint8_t kBlock[] = "The quick brown fox jumps over the lazy dog 0123456789";
    std::vector<uint8_t> buffer(512);
    switch (step) {
    case kOpen:
        report->opened = port.Open().ok();
        break;
    case kWrite:
        port.WriteAll(std::span<const uint8_t>(kBlock, sizeof kBlock), 50ms);
        break;
    case kTransmitChar:
        port.TransmitChar('!');
        break;
    case kSettings:
        port.SetLineSettings(19200, 8, world::CommParity::None, world::CommStopBits::One);
        port.SetRts();
        port.SetDtr();
        break;
    case kRead:
        report->bytesRead += port.Read(buffer, readWait).bytes;
        break;
    case kResetPipes:
        port.ResetRxPipe();
        port.ResetTxPipe();
        break;
    case kClose:
        if (in.closeFirst)
            port.Close();
        break;
    default:
        break;
    }
}

}  // namespace

RunReport RunConverterScript(std::span<const uint8_t> data, std::chrono::milliseconds readWait)
{
    platform::ResetRecords();
    Input in = Parse(data);
    RunReport report;
    auto device = std::make_shared<ScriptedConverter>(in.script);
    device->SetDescriptors(in.deviceDescriptor, in.configurationDescriptor);
    {
        world::World w;
        world::World::Converter *c = w.PlugDevice(device, [&in](world::DevNode &node) {
            node.SetDword(u"EndPointCaps", in.endPointCaps);
            node.SetDword(u"DebugLevel", 0);
        });
        report.started = NT_SUCCESS(c->status) && c->child != nullptr;
        std::unique_ptr<world::PortModel> port;
        if (report.started) {
            world::NorvaExports exports = world::NorvaExports::Bind(w.norva());
            port = std::make_unique<world::PortModel>(exports, world::PortHandle{c->filter, c->child});
        }
        auto unplug = [&] {
            if (c->plugged)
                w.Unplug(c, in.win98Unplug ? world::UnplugKind::Win98 : world::UnplugKind::Surprise);
        };
        for (int step = 0; step < kSteps; ++step) {
            if (port)
                RunStep(Step(step), *port, in, &report, readWait);
            if (unsigned(step) == in.unplugAfter || device->gone())
                unplug();
        }
        unplug();
        port.reset();
        w.UnloadDrivers();
    }
    report.opsUsed = device->opsUsed();
    report.leaks = platform::LeakReport();
    return report;
}

}  // namespace fuzzing
