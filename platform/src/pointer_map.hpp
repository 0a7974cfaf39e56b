// pointer_map.hpp - a map keyed by address, in one flat table.
//
// The kernel keeps records of the blocks, requests and devices it hands out,
// looked up by address on every call that names one.  A node-based map pays
// an allocation and a free for every record; this one keeps the records in
// a single array, open-addressed with linear probing (at most half full),
// and closes the gap a removal leaves by moving later entries of the same
// run back, so that no tombstones accumulate.
//
// Keys are never null.  A pointer or reference to a value stays good only
// until the next Insert or Erase.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace platform::detail {

template <class V>
class PointerMap {
public:
    // The value stored under key, or null.
    V *Find(const void *key)
    {
        if (slots_.empty())
            return nullptr;
        for (size_t i = Home(key);; i = (i + 1) & mask_) {
            Slot &s = slots_[i];
            if (s.key == key)
                return &s.value;
            if (!s.key)
                return nullptr;
        }
    }
    const V *Find(const void *key) const { return const_cast<PointerMap *>(this)->Find(key); }
    bool Contains(const void *key) const { return Find(key) != nullptr; }

    // The value under key, value-initialised if there was none.
    V &operator[](const void *key)
    {
        if ((used_ + 1) * 2 > slots_.size())
            Grow();  // harmless when the key is there already
        size_t i = Home(key);
        for (; slots_[i].key; i = (i + 1) & mask_)
            if (slots_[i].key == key)
                return slots_[i].value;
        slots_[i].key = key;
        slots_[i].value = V();
        ++used_;
        return slots_[i].value;
    }

    // Removes the entry whose value Find returned.
    void Erase(V *value)
    {
        size_t hole = size_t(reinterpret_cast<Slot *>(reinterpret_cast<char *>(value) - offsetof(Slot, value)) -
                             slots_.data());
        // Backward shift: an entry later in the run moves into the hole
        // unless its home lies cyclically in (hole, its place].
        for (size_t i = (hole + 1) & mask_; slots_[i].key; i = (i + 1) & mask_) {
            size_t home = Home(slots_[i].key);
            if (((i - home) & mask_) >= ((i - hole) & mask_)) {
                slots_[hole] = std::move(slots_[i]);
                hole = i;
            }
        }
        slots_[hole].key = nullptr;
        slots_[hole].value = V();
        --used_;
    }

    bool Erase(const void *key)
    {
        V *v = Find(key);
        if (!v)
            return false;
        Erase(v);
        return true;
    }

    size_t size() const { return used_; }
    bool empty() const { return used_ == 0; }

    template <class F>
    void ForEach(F &&f) const
    {
        for (const Slot &s : slots_)
            if (s.key)
                f(s.key, s.value);
    }

    void clear()
    {
        slots_.clear();
        mask_ = 0;
        used_ = 0;
    }

private:
    struct Slot {
        const void *key = nullptr;
        V value{};
    };

    size_t Home(const void *key) const
    {
        // Fibonacci hashing: the product's high bits, which every bit of the
        // address feeds (blocks are aligned, so the low bits alone would cluster).
        uint64_t h = uint64_t(reinterpret_cast<uintptr_t>(key)) * 0x9E3779B97F4A7C15ull;
        return size_t(h >> 32) & mask_;
    }

    void Grow()
    {
        std::vector<Slot> old = std::move(slots_);
        size_t capacity = old.empty() ? 64 : old.size() * 2;
        slots_ = std::vector<Slot>(capacity);
        mask_ = capacity - 1;
        for (Slot &s : old) {
            if (!s.key)
                continue;
            size_t i = Home(s.key);
            while (slots_[i].key)
                i = (i + 1) & mask_;
            slots_[i] = std::move(s);
        }
    }

    std::vector<Slot> slots_;
    size_t mask_ = 0;
    size_t used_ = 0;
};

}  // namespace platform::detail
