// fake_port.hpp - a SerialPort for the bridge tests: records what the bridge
// asked for, in order, refuses what a test tells it to refuse, and lets the
// test drive the modem lines and the data that arrives.
#pragma once

#include "bridge/serial_config.hpp"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace bridge_test {

class FakePort : public bridge::SerialPort {
public:
    // Every call, in order: "write 3", "configure 9600 7E1", "dtr on", "purge rx".
    std::vector<std::string> Events() const
    {
        std::lock_guard g(m_);
        return events_;
    }
    std::vector<uint8_t> Written() const
    {
        std::lock_guard g(m_);
        return written_;
    }
    // Refuses (with this message) every settings request it returns true for.
    void RefuseWhen(std::function<bool(const bridge::SerialConfig &)> rule) { refuse_ = std::move(rule); }
    void FailLines(bool fail) { failLines_ = fail; }
    void SetModemStatus(uint8_t s)
    {
        std::lock_guard g(m_);
        modem_ = s;
    }
    void Arrive(std::span<const uint8_t> bytes)
    {
        std::lock_guard g(m_);
        incoming_.insert(incoming_.end(), bytes.begin(), bytes.end());
        cv_.notify_all();
    }
    void Remove()
    {
        std::lock_guard g(m_);
        removed_ = true;
        cv_.notify_all();
    }
    bool WaitWritten(size_t n, std::chrono::milliseconds timeout) const
    {
        std::unique_lock l(m_);
        return cv_.wait_for(l, timeout, [&] { return written_.size() >= n; });
    }
    bool WaitEvent(const std::string &e, std::chrono::milliseconds timeout) const
    {
        std::unique_lock l(m_);
        return cv_.wait_for(l, timeout, [&] {
            for (const std::string &x : events_)
                if (x == e)
                    return true;
            return false;
        });
    }

    bridge::SerialConfig Config() const override
    {
        std::lock_guard g(m_);
        return config_;
    }
    bridge::PortOutcome Configure(const bridge::SerialConfig &wanted) override
    {
        const bool refused = refuse_ && refuse_(wanted);
        std::lock_guard g(m_);
        if (!refused)
            config_ = wanted;  // in force before anyone sees the event
        events_.push_back("configure " + ToString(wanted));
        cv_.notify_all();
        return refused ? bridge::PortOutcome::Failed("cannot take " + ToString(wanted)) : bridge::PortOutcome::Ok();
    }
    bool Dtr() const override { return dtr_; }
    bool Rts() const override { return rts_; }
    bridge::PortOutcome SetDtr(bool on) override
    {
        Event(std::string("dtr ") + (on ? "on" : "off"));
        if (failLines_)
            return bridge::PortOutcome::Failed("line request failed");
        dtr_ = on;
        return bridge::PortOutcome::Ok();
    }
    bridge::PortOutcome SetRts(bool on) override
    {
        Event(std::string("rts ") + (on ? "on" : "off"));
        if (failLines_)
            return bridge::PortOutcome::Failed("line request failed");
        rts_ = on;
        return bridge::PortOutcome::Ok();
    }
    uint8_t ModemStatus() const override
    {
        std::lock_guard g(m_);
        return modem_;
    }
    bridge::PortTransfer Read(std::span<uint8_t> buffer, std::chrono::milliseconds timeout) override
    {
        std::unique_lock l(m_);
        cv_.wait_for(l, timeout, [&] { return !incoming_.empty() || removed_; });
        size_t n = std::min(buffer.size(), incoming_.size());
        std::copy(incoming_.begin(), incoming_.begin() + n, buffer.begin());
        incoming_.erase(incoming_.begin(), incoming_.begin() + n);
        return {n, removed_ && n == 0};
    }
    bridge::PortTransfer Write(std::span<const uint8_t> bytes, std::chrono::milliseconds timeout) override
    {
        Event("write " + std::to_string(bytes.size()));
        std::unique_lock l(m_);
        // A port whose transmit side is full takes nothing until the timeout.
        cv_.wait_for(l, timeout, [&] { return !stalled_ || removed_; });
        if (removed_)
            return {0, true};
        if (stalled_)
            return {0, false};
        written_.insert(written_.end(), bytes.begin(), bytes.end());
        cv_.notify_all();
        return {bytes.size(), false};
    }
    void StallWrites(bool stalled)
    {
        std::lock_guard g(m_);
        stalled_ = stalled;
        cv_.notify_all();
    }
    bridge::PortOutcome Purge(bool rx, bool tx) override
    {
        Event(std::string("purge") + (rx ? " rx" : "") + (tx ? " tx" : ""));
        return bridge::PortOutcome::Ok();
    }
    size_t WrittenCount() const
    {
        std::lock_guard g(m_);
        return written_.size();
    }
    bool Removed() const override { return removed_; }
    uint64_t Overruns() const override { return overruns_; }
    void Overrun(uint64_t bytes) { overruns_ += bytes; }

private:
    void Event(std::string e)
    {
        std::lock_guard g(m_);
        events_.push_back(std::move(e));
        cv_.notify_all();
    }

    mutable std::mutex m_;
    mutable std::condition_variable cv_;
    std::vector<std::string> events_;
    std::vector<uint8_t> written_;
    std::deque<uint8_t> incoming_;
    bridge::SerialConfig config_;
    std::function<bool(const bridge::SerialConfig &)> refuse_;
    std::atomic<bool> failLines_{false};
    std::atomic<bool> dtr_{false}, rts_{false}, removed_{false};
    std::atomic<uint64_t> overruns_{0};
    bool stalled_ = false;
    uint8_t modem_ = 0;
};

}  // namespace bridge_test
