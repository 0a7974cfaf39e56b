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
#include <memory>
#include <utility>

namespace platform::detail {

template <class V>
class PointerMap {
public:
    // The value stored under key, or null.
    V *Find(const void *key)
    {
        if (!slots_)
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
        if (used_ >= limit_)
            Grow();  // harmless when the key is there already
        size_t i = Home(key);
        for (; slots_[i].key; i = (i + 1) & mask_)
            if (slots_[i].key == key)
                return slots_[i].value;
        slots_[i].key = key;
        ++used_;
        return slots_[i].value;  // value-initialised when its slot was emptied
    }

    // Removes the entry whose value Find returned.
    void Erase(V *value)
    {
        size_t hole = size_t(reinterpret_cast<Slot *>(reinterpret_cast<char *>(value) - offsetof(Slot, value)) -
                             slots_.get());
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
        for (size_t i = 0; slots_ && i <= mask_; ++i)
            if (slots_[i].key)
                f(slots_[i].key, slots_[i].value);
    }

    void clear()
    {
        slots_.reset();
        mask_ = 0;
        shift_ = 64;
        used_ = 0;
        limit_ = 0;
    }

private:
    struct Slot {
        const void *key = nullptr;
        V value{};
    };

    size_t Home(const void *key) const
    {
        // Fibonacci hashing: the product's top bits, which every bit of the
        // address feeds (blocks are aligned, so the low bits alone would cluster).
        return size_t((uint64_t(reinterpret_cast<uintptr_t>(key)) * 0x9E3779B97F4A7C15ull) >> shift_);
    }

    void Grow()
    {
        std::unique_ptr<Slot[]> old = std::move(slots_);
        const size_t oldCapacity = old ? mask_ + 1 : 0;
        const size_t capacity = oldCapacity ? oldCapacity * 2 : 64;
        slots_ = std::make_unique<Slot[]>(capacity);
        mask_ = capacity - 1;
        shift_ = 64 - unsigned(__builtin_ctzll(capacity));
        limit_ = capacity / 2;  // at most half full
        for (size_t j = 0; j < oldCapacity; ++j) {
            Slot &s = old[j];
            if (!s.key)
                continue;
            size_t i = Home(s.key);
            while (slots_[i].key)
                i = (i + 1) & mask_;
            slots_[i] = std::move(s);
        }
    }

    std::unique_ptr<Slot[]> slots_;
    size_t mask_ = 0;
    unsigned shift_ = 64;
    size_t used_ = 0;
    size_t limit_ = 0;  // used_ at which the table grows
};

}  // namespace platform::detail
