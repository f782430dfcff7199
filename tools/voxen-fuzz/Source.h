// Where the fuzzer's choices come from: a seeded generator for long runs, or
// the bytes libFuzzer hands over. Both go through one decoder, so a finding of
// either is a sequence of steps the other can replay.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fuzz {

class Source {
public:
    virtual ~Source() = default;
    virtual uint32_t Bits32() = 0;
    // Nothing more to decode (a seeded source never runs out).
    virtual bool Done() const { return false; }

    // A number in [0, bound); 0 when bound is 0.
    uint32_t Below(uint32_t bound) { return bound == 0 ? 0 : Bits32() % bound; }
    // True with the given chance in percent.
    bool Percent(uint32_t chance) { return Below(100) < chance; }
    uint8_t Byte() { return static_cast<uint8_t>(Bits32()); }
};

// splitmix64: small, fast, and the same sequence everywhere for a seed.
class SeededSource : public Source {
public:
    explicit SeededSource(uint64_t seed) : state_(seed) {}
    uint32_t Bits32() override {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return static_cast<uint32_t>((z ^ (z >> 31)) >> 32);
    }

private:
    uint64_t state_;
};

// Four bytes a number, little-endian; zeros once the bytes run out.
class ByteSource : public Source {
public:
    ByteSource(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint32_t Bits32() override {
        uint32_t value = 0;
        for (int i = 0; i < 4; ++i, ++used_)
            if (used_ < size_) value |= static_cast<uint32_t>(data_[used_]) << (8 * i);
        return value;
    }
    bool Done() const override { return used_ >= size_; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t used_ = 0;
};

}  // namespace fuzz
