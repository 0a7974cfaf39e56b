// byte_ring.hpp - a fixed-capacity byte ring for the port model.
//
// The storage is allocated once, at construction; Push and Pop only copy, so
// both may run at DISPATCH_LEVEL inside the port's callbacks.  The ring does
// no locking of its own: its owner guards it with a spin lock.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <stdexcept>
#include <vector>

namespace world {

class ByteRing {
public:
    explicit ByteRing(size_t capacity) : storage_(capacity)
    {
        if (capacity == 0)
            throw std::invalid_argument("a byte ring needs a capacity");
    }

    size_t capacity() const { return storage_.size(); }
    size_t size() const { return count_; }
    size_t space() const { return storage_.size() - count_; }
    bool empty() const { return count_ == 0; }

    // Copies as many bytes as fit; returns how many were taken.
    size_t Push(std::span<const uint8_t> bytes)
    {
        size_t n = std::min(bytes.size(), space());
        if (n == 0)
            return 0;
        size_t tail = (head_ + count_) % storage_.size();
        size_t first = std::min(n, storage_.size() - tail);
        std::memcpy(storage_.data() + tail, bytes.data(), first);
        std::memcpy(storage_.data(), bytes.data() + first, n - first);
        count_ += n;
        return n;
    }

    // Copies up to out.size() of the oldest bytes out; returns how many.
    size_t Pop(std::span<uint8_t> out)
    {
        size_t n = std::min(out.size(), count_);
        if (n == 0)
            return 0;
        size_t first = std::min(n, storage_.size() - head_);
        std::memcpy(out.data(), storage_.data() + head_, first);
        std::memcpy(out.data() + first, storage_.data(), n - first);
        head_ = (head_ + n) % storage_.size();
        count_ -= n;
        return n;
    }

    void Clear()
    {
        head_ = 0;
        count_ = 0;
    }

private:
    std::vector<uint8_t> storage_;
    size_t head_ = 0;   // oldest byte
    size_t count_ = 0;  // bytes held
};

}  // namespace world
