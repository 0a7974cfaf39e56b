// stress_test.cpp - norva's exports driven from many threads at once, as a
// port driver with several callers would drive them: kicks and single
// characters from three threads, settings and lines from two, reception
// stopped and started over and over, the system put to sleep and woken, and
// in the last round the converter pulled out at a random moment.  Between
// rounds everything is quiet and checked: every byte norva took from the
// transmit callback came back through the loopback plug, in order; every
// character TransmitChar reported sent came back; the converter has the
// lines norva last asked for.  Built with -fsanitize=thread this is the race
// test (label "races"); the round count and seed come from VCP_STRESS_ROUNDS
// and VCP_STRESS_SEED.
#include <fixture.hpp>

#include <port/norva_exports.hpp>
#include <world/world.hpp>

#include <atomic>
#include <cstdio>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <random>
#include <shared_mutex>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// Stream bytes are below 0x80; single characters have the high bit set.
uint8_t StreamByte(uint64_t i) { return uint8_t((i * 7 + i / 127) & 0x7F); }

constexpr ULONG kSetCommState = 0x1B01B0, kSetRts = 0x1B01B8, kClrRts = 0x1B01BC, kSetDtr = 0x1B01C0,
                kClrDtr = 0x1B01C4;

class Stress : public testing_support::KernelTest {
protected:
    struct Port {
        Stress *self;
    };

    void SetUp() override
    {
        const char *seed = std::getenv("VCP_STRESS_SEED");
        seed_ = seed ? std::strtoull(seed, nullptr, 0) : 1;
        const char *rounds = std::getenv("VCP_STRESS_ROUNDS");
        rounds_ = rounds ? unsigned(std::strtoul(rounds, nullptr, 0)) : 8;
        world_ = std::make_unique<world::World>();
        world::ConverterOptions options;
        options.latencyFrames = 4;
        // Reception stops and starts all the time: the converter holds
        // whatever arrives meanwhile (its own overrun is not under test).
        options.rxBufferSize = size_t(1) << 30;
        converter_ = world_->Plug(3, std::make_shared<world::LoopbackPlug>(), options, 0x01);
        ASSERT_TRUE(NT_SUCCESS(converter_->status));
        ASSERT_NE(nullptr, converter_->child);
        norva_ = world::NorvaExports::Bind(world_->norva());
        filter_ = converter_->filter;
        ASSERT_EQ(1u, norva_.SetRemoveCallback(converter_->child, this, &Stress::OnRemove));
        params_ = {this, &Stress::OnTransmit};
        ASSERT_EQ(1u, norva_.RxThreadStart(filter_, this, &Stress::OnReceive));
        ASSERT_EQ(1u, norva_.TxThreadStart(filter_, &params_));
    }

    void TearDown() override
    {
        if (converter_ && converter_->plugged)
            world_->Unplug(converter_, world::UnplugKind::Surprise);
        if (world_) {
            EXPECT_TRUE(world_->UnloadDrivers());
        }
        world_.reset();
    }

    // --- The port driver's callbacks ---------------------------------------

    static ULONG NTAPI OnReceive(PVOID context, PUCHAR data, ULONG length, UCHAR, PULONG)
    {
        auto *self = static_cast<Stress *>(context);
        if (self->inReceive_.exchange(true))
            ADD_FAILURE() << "the receive callback ran twice at once";
        if (data && length) {
            std::lock_guard lock(self->rxMutex_);
            for (ULONG i = 0; i < length; ++i) {
                if (data[i] & 0x80)
                    ++self->charsReceived_;
                else
                    self->received_.push_back(data[i]);
            }
        }
        self->inReceive_ = false;
        return 0;
    }

    static ULONG NTAPI OnTransmit(PVOID context, PUCHAR buffer, ULONG length, ULONG)
    {
        auto *self = static_cast<Stress *>(context);
        if (self->inTransmit_.exchange(true))
            ADD_FAILURE() << "the transmit callback ran twice at once";
        std::lock_guard lock(self->txMutex_);
        ULONG n = ULONG(std::min<uint64_t>(length, self->queued_ - self->handedOut_));
        for (ULONG i = 0; i < n; ++i)
            buffer[i] = StreamByte(self->handedOut_ + i);
        self->handedOut_ += n;
        self->inTransmit_ = false;
        return n;
    }

    // The converter is going: no caller may use the filter device after
    // this returns, and both engines are stopped.
    static ULONG NTAPI OnRemove(PVOID context)
    {
        auto *self = static_cast<Stress *>(context);
        self->removed_ = true;
        std::unique_lock gate(self->gate_);
        self->norva_.TxThreadStop(self->filter_);
        if (self->rxStarted_)
            self->norva_.RxThreadStop(self->filter_);
        self->rxStarted_ = false;
        return 0;
    }

    // --- Callers --------------------------------------------------------------

    NTSTATUS Control(ULONG code, std::vector<uint8_t> input = {})
    {
        KEVENT event;
        IO_STATUS_BLOCK iosb{};
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        PIRP irp = IoBuildDeviceIoControlRequest(code, filter_, input.empty() ? nullptr : input.data(),
                                                 ULONG(input.size()), nullptr, 0, FALSE, &event, &iosb);
        return irp ? platform::CallAndWait(filter_, irp, &event, &iosb) : STATUS_INSUFFICIENT_RESOURCES;
    }

    static std::vector<uint8_t> Dcb(ULONG baud)
    {
        std::vector<uint8_t> dcb(48, 0);
        dcb[0] = 48;
        for (int i = 0; i < 4; ++i)
            dcb[4 + i] = uint8_t(baud >> (8 * i));
        dcb[22] = 8;
        return dcb;
    }

    // Runs body repeatedly while the round lasts, each call inside the gate.
    template <class Body> std::thread Caller(unsigned id, Body body)
    {
        return std::thread([this, id, body]() mutable {
            std::mt19937_64 random(seed_ * 1000 + id);
            while (!stop_) {
                {
                    std::shared_lock gate(gate_);
                    if (removed_)
                        return;
                    if (!paused_)
                        body(random);
                }
                std::this_thread::sleep_for(std::chrono::microseconds(random() % 400));
            }
        });
    }

    // Everything quiet: the transmit engine drains what was queued and the
    // loopback brings it all back.
    void CheckQuiet(unsigned round)
    {
        uint64_t handed = 0;
        for (int i = 0; i < 500; ++i) {
            norva_.KickTx(filter_);
            {
                std::lock_guard lock(txMutex_);
                handed = handedOut_;
                if (handed == queued_) {
                    std::lock_guard rx(rxMutex_);
                    if (received_.size() == handed && charsReceived_ == charsSent_)
                        break;
                }
            }
            std::this_thread::sleep_for(10ms);
        }
        std::lock_guard lock(rxMutex_);
        ASSERT_EQ(0u, converter_->device->rxLostBytes()) << "round " << round;
        ASSERT_EQ(queued_.load(), handed) << "round " << round << ": queued bytes never handed out";
        ASSERT_EQ(handed, received_.size()) << "round " << round << ": bytes taken by norva did not come back";
        for (size_t i = 0; i < received_.size(); ++i)
            ASSERT_EQ(StreamByte(i), received_[i]) << "round " << round << ": byte " << i << " out of order";
        EXPECT_EQ(charsSent_.load(), charsReceived_.load()) << "round " << round;

        // Two senders of lines may overtake each other's commands; norva's
        // image must hold both, and one more command brings the converter
        // level with it.
        EXPECT_EQ(STATUS_SUCCESS, Control(rts_ ? kSetRts : kClrRts));
        world::ConverterLineState line = converter_->device->lineState();
        EXPECT_EQ(bool(rts_), line.rts) << "round " << round;
        EXPECT_EQ(bool(dtr_), line.dtr) << "round " << round;
    }

    uint64_t seed_ = 1;
    unsigned rounds_ = 8;
    std::unique_ptr<world::World> world_;
    world::World::Converter *converter_ = nullptr;
    world::NorvaExports norva_;
    PDEVICE_OBJECT filter_ = nullptr;
    world::TxThreadParams params_{};

    std::shared_mutex gate_;        // callers inside norva hold it shared
    std::atomic<bool> stop_{false};
    std::atomic<bool> paused_{false};
    std::atomic<bool> removed_{false};
    bool rxStarted_ = true;         // under gate_ (the receive cycler holds it shared alone)

    std::mutex txMutex_;
    std::atomic<uint64_t> queued_{0};
    uint64_t handedOut_ = 0;
    std::atomic<bool> inTransmit_{false};
    std::atomic<uint64_t> charsSent_{0};

    std::mutex rxMutex_;
    std::vector<uint8_t> received_;
    std::atomic<uint64_t> charsReceived_{0};
    std::atomic<bool> inReceive_{false};

    std::atomic<int> rts_{0}, dtr_{0};
    std::atomic<uint64_t> rxRestarts_{0};
};

TEST_F(Stress, ManyCallersThenAnUnplugLoseNothingAndNeverRace)
{
    std::mt19937_64 random(seed_);
    std::mutex rxCycle;  // one thread stops and starts reception
    std::vector<std::thread> threads;
    for (unsigned k = 0; k < 3; ++k)
        threads.push_back(Caller(k, [this, k](std::mt19937_64 &r) {
            if (r() % 8 == 0) {
                if (norva_.TransmitChar(filter_, 0x80 | (k << 4) | (r() & 0xF)))
                    ++charsSent_;
                return;
            }
            {
                std::lock_guard lock(txMutex_);
                queued_ += 1 + r() % 3000;
            }
            norva_.KickTx(filter_);
        }));
    threads.push_back(Caller(10, [this](std::mt19937_64 &r) {
        static const ULONG bauds[] = {9600, 19200, 38400, 115200};
        if (r() % 2)
            Control(kSetCommState, Dcb(bauds[r() % 4]));
        int on = int(r() % 2);
        rts_ = on;  // under the gate: the check runs with the gate held exclusively
        Control(on ? kSetRts : kClrRts);
    }));
    threads.push_back(Caller(11, [this](std::mt19937_64 &r) {
        int on = int(r() % 2);
        dtr_ = on;
        Control(on ? kSetDtr : kClrDtr);
    }));
    threads.push_back(Caller(12, [this](std::mt19937_64 &) {
        norva_.RxThreadStop(filter_);
        rxStarted_ = norva_.RxThreadStart(filter_, this, &Stress::OnReceive) == 1;
        ++rxRestarts_;
        if (!rxStarted_)
            norva_.RxThreadStop(filter_);
    }));
    // Sleep and wake come from the power manager, not through norva's
    // callers: outside the gate (the PnP manager serialises them with the
    // removal, which waits for the gate).
    threads.push_back(std::thread([this] {
        std::mt19937_64 r(seed_ * 1000 + 13);
        while (!stop_ && !removed_) {
            if (!paused_) {
                world_->pnp().SetSystemPower(r() % 2 ? PowerSystemSleeping1 : PowerSystemSleeping3);
                world_->pnp().SetSystemPower(PowerSystemWorking);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2 + r() % 10));
        }
    }));

    for (unsigned round = 1; round <= rounds_; ++round) {
        if (round == rounds_) {
            // The last round ends with the converter pulled out mid-traffic.
            std::this_thread::sleep_for(std::chrono::milliseconds(5 + random() % 60));
            world_->Unplug(converter_, round % 2 ? world::UnplugKind::Surprise : world::UnplugKind::Win98);
            break;
        }
        std::this_thread::sleep_for(60ms);
        std::unique_lock gate(gate_);  // waits for every caller to leave norva
        paused_ = true;
        gate.unlock();
        {
            std::shared_lock quiet(gate_);
            ASSERT_TRUE(rxStarted_) << "reception could not be started again";
            CheckQuiet(round);
        }
        paused_ = false;
    }
    stop_ = true;
    for (auto &t : threads)
        t.join();

    // After the unplug: what came back is still the stream, in order, up to
    // where the converter went (what it held then is lost with it).
    EXPECT_TRUE(removed_) << "norva never called the remove routine";
    std::lock_guard tx(txMutex_);  // the order CheckQuiet takes them in
    std::lock_guard lock(rxMutex_);
    for (size_t i = 0; i < received_.size(); ++i)
        ASSERT_EQ(StreamByte(i), received_[i]) << "byte " << i << " out of order";
    EXPECT_LE(received_.size(), handedOut_);
    std::printf("[ stress   ] seed %llu, %u rounds: %llu bytes through norva, %zu back before the unplug, %llu "
                "single characters, %llu receive restarts\n",
                (unsigned long long)seed_, rounds_, (unsigned long long)handedOut_, received_.size(),
                (unsigned long long)charsSent_.load(), (unsigned long long)rxRestarts_.load());
}

}  // namespace
