// rig.cpp - the whole stack set up for a measurement.
#include "perf/rig.hpp"

#include "usb/host_controller.hpp"

#include <algorithm>
#include <ctime>
#include <stdexcept>

namespace perf {

using namespace std::chrono_literals;

void MeteredLine::OnTransmit(world::ConverterDevice &from, std::span<const uint8_t> bytes)
{
    bytes_ += bytes.size();
    if (loopback_)
        from.ReceiveFromLine(bytes);
}

void MeteredLine::OnOutputLines(world::ConverterDevice &from, bool rts, bool dtr)
{
    if (loopback_)
        from.SetInputLines({.cts = rts, .dsr = dtr, .dcd = dtr, .ri = false});
}

Rig::Rig(const RigOptions &options) : options_(options)
{
    world_ = std::make_unique<world::World>();
    if (options.observer)
        world_->hub().SetObserver(options.observer);
    world::ConverterOptions co;
    co.pacing = options.paced;
    co.rxBufferSize = options.rxFifo;
    co.txFifoSize = options.txFifo;
    co.latencyFrames = options.latencyFrames;
    line_ = std::make_shared<MeteredLine>(options.loopback);
    converter_ = world_->Plug(options.variant, line_, co);
    if (!converter_->pdo || !NT_SUCCESS(converter_->status) || !converter_->filter || !converter_->child)
        throw std::runtime_error("the converter's stack did not start");
    exports_ = world::NorvaExports::Bind(world_->norva());
    if (!exports_.Missing().empty())
        throw std::runtime_error("norva does not export " + exports_.Missing().front());
    world::PortModel::Options po;
    po.kickRetry = 0ms;  // the step is the application: no thread of the port's own
    port_ = std::make_unique<world::PortModel>(exports_, world::PortHandle{converter_->filter, converter_->child}, po);
    world_->hub().ClearUrbs(converter_->pdo);
}

Rig::~Rig()
{
    if (port_)
        port_->Close();
    port_.reset();
    world_.reset();  // unplugs and unloads
}

bool Rig::SetLine(uint32_t baud)
{
    std::span<const ULONG> table = world::SupportedBaudRates(ULONG(options_.variant));
    if (std::find(table.begin(), table.end(), ULONG(baud)) != table.end()) {
        world::PortResult r = port_->SetLineSettings(baud, 8, world::CommParity::None, world::CommStopBits::One);
        if (!r.ok())
            throw std::runtime_error("line settings: " + world::Describe(r));
        return true;
    }
    converter().ForceLineSettings({.baud = baud, .dataBits = 8, .parity = world::Parity::None, .stopBits = 1});
    return false;
}

void Rig::SetOutputLines(bool on)
{
    for (world::PortResult r : {on ? port_->SetRts() : port_->ClearRts(), on ? port_->SetDtr() : port_->ClearDtr()})
        if (!r.ok())
            throw std::runtime_error("modem lines: " + world::Describe(r));
}

Frame Rig::Run(const std::function<bool(Frame)> &step, bool fullSpeedBandwidth)
{
    bool opened = false;
    std::string failure;
    world::HostController::VirtualRun run;
    run.fullSpeedBandwidth = fullSpeedBandwidth;
    run.step = [&](Frame f) {
        if (f == 0) {
            world::PortResult r = port_->Open();
            if (!r.ok()) {
                failure = world::Describe(r);
                return false;
            }
            opened = true;
        }
        return step(f);
    };
    Frame frames = world_->hub().controller().RunVirtual(std::move(run));
    if (!failure.empty())
        throw std::runtime_error("the port did not open: " + failure);
    if (opened) {
        world::PortResult r = port_->Close();
        if (!r.ok())
            throw std::runtime_error("the port did not close: " + world::Describe(r));
    }
    return frames;
}

std::vector<world::UrbRecord> Rig::TakeUrbs()
{
    std::vector<world::UrbRecord> urbs = world_->hub().urbs(converter_->pdo);
    world_->hub().ClearUrbs(converter_->pdo);
    std::erase_if(urbs, [](const world::UrbRecord &u) {
        return u.function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER || u.status == USBD_STATUS_PENDING;
    });
    return urbs;
}

double ProcessCpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

}  // namespace perf
