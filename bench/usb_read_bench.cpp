// usb_read_bench.cpp - bulk-IN read round trips through tembris and the hub.
//
// A converter on the world's hub, tembris as its function driver, the
// receive pipe "PIPE01" opened on tembris's device; the converter's peer
// always has data waiting.  Each iteration sends one 1024-byte read (an
// allocated request with an MDL over non-paged pool, reused like the receive
// engine's) and waits for its completion from the host controller.
#include <benchmark/benchmark.h>

#include <pnp/pnp.hpp>
#include <usb/converter.hpp>
#include <usb/host_controller.hpp>
#include <usb/hub.hpp>
#include <usb/peers.hpp>

#include <cstdio>
#include <cstdlib>

namespace {

using namespace std::chrono_literals;

constexpr ULONG kReadLength = 1024;
constexpr size_t kRefill = 64 * 1024;

[[noreturn]] void Fail(const char *what, NTSTATUS status = 0)
{
    std::fprintf(stderr, "bench_usb: %s (0x%08x)\n", what, unsigned(status));
    std::abort();
}

NTSTATUS NTAPI ReadDone(PDEVICE_OBJECT, PIRP, PVOID event)
{
    KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// The converter stack with tembris, started, and PIPE01 open.
class Rig {
public:
    explicit Rig(world::ClockMode mode) : hub_(mode)
    {
        converter_ = std::make_shared<world::ConverterDevice>(1);
        peer_ = std::make_shared<world::ScriptedPeer>();
        converter_->Connect(peer_);
        pdo_ = hub_.Plug(converter_);
        node_ = std::make_unique<world::DevNode>(pdo_, u"USB\\VID_FFFE&PID_0001\\7&1");
        std::string error;
        tembris_ = world::DriverModule::Load(TEMBRIS_MODULE_PATH, u"tembris", &error);
        if (!tembris_)
            Fail(error.c_str());
        if (NTSTATUS s = node_->AddDevices(tembris_.get()); !NT_SUCCESS(s))
            Fail("AddDevice", s);
        fdo_ = node_->top();
        if (NTSTATUS s = node_->Start(); !NT_SUCCESS(s))
            Fail("start", s);
        if (NTSTATUS s = platform::OpenDevice(fdo_, u"PIPE01", &pipe_); !NT_SUCCESS(s))
            Fail("open PIPE01", s);
        buffer_ = ExAllocatePoolWithTag(NonPagedPool, kReadLength, platform::MakeTag("Bnch"));
        mdl_ = IoAllocateMdl(buffer_, kReadLength, FALSE, FALSE, nullptr);
        MmBuildMdlForNonPagedPool(mdl_);
        irp_ = IoAllocateIrp(fdo_->StackSize, FALSE);
    }

    ~Rig()
    {
        IoFreeIrp(irp_);
        IoFreeMdl(mdl_);
        ExFreePool(buffer_);
        platform::CloseDevice(pipe_);
        node_->SendPnp(IRP_MN_REMOVE_DEVICE);
        tembris_->Unload();
        node_.reset();
        hub_.DeletePdo(pdo_);
    }

    // One read; returns the bytes it brought.
    ULONG_PTR Read()
    {
        if (converter_->rxPending() < kReadLength)
            peer_->Send(std::vector<uint8_t>(kRefill, 0x55));
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        irp_->IoStatus.Status = STATUS_SUCCESS;
        irp_->IoStatus.Information = 0;
        irp_->MdlAddress = mdl_;
        PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp_);
        sp->MajorFunction = IRP_MJ_READ;
        sp->Parameters.Read.Length = kReadLength;
        sp->Parameters.Read.ByteOffset.QuadPart = 0;
        sp->FileObject = pipe_;
        IoSetCompletionRoutine(irp_, ReadDone, &done, TRUE, TRUE, TRUE);
        IoCallDriver(fdo_, irp_);
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        // The completion routine runs inside IoCompleteRequest on the
        // controller's thread: the request is ours again once that returned.
        world::ControllerOfPdo(pdo_)->WaitReleased(irp_, 10s);
        if (!NT_SUCCESS(irp_->IoStatus.Status))
            Fail("read", irp_->IoStatus.Status);
        return irp_->IoStatus.Information;
    }

private:
    world::UsbHub hub_;
    std::shared_ptr<world::ConverterDevice> converter_;
    std::shared_ptr<world::ScriptedPeer> peer_;
    PDEVICE_OBJECT pdo_ = nullptr;
    std::unique_ptr<world::DevNode> node_;
    std::unique_ptr<world::DriverModule> tembris_;
    PDEVICE_OBJECT fdo_ = nullptr;
    PFILE_OBJECT pipe_ = nullptr;
    PVOID buffer_ = nullptr;
    PMDL mdl_ = nullptr;
    PIRP irp_ = nullptr;
};

void RunReads(benchmark::State &state, world::ClockMode mode)
{
    Rig rig(mode);
    uint64_t bytes = 0;
    for (auto _ : state)
        bytes += rig.Read();
    state.counters["round_trips"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
    state.SetBytesProcessed(int64_t(bytes));
}

// As fast as the controller can go (virtual bus time): the cost of the
// software path, dispatch to completion.
void BM_BulkInReadRoundTrip_Fast(benchmark::State &state) { RunReads(state, world::ClockMode::Fast); }
BENCHMARK(BM_BulkInReadRoundTrip_Fast)->UseRealTime();

// Real 1 ms frames: a transfer sent in one frame is served in the next, so a
// client that waits for each read gets at most one per frame.
void BM_BulkInReadRoundTrip_Frames(benchmark::State &state) { RunReads(state, world::ClockMode::Frames); }
BENCHMARK(BM_BulkInReadRoundTrip_Frames)->UseRealTime()->Iterations(300);

}  // namespace

BENCHMARK_MAIN();
