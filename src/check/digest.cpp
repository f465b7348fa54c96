#include "check/digest.h"

#include <cstring>

namespace {

constexpr std::uint64_t kPrime1 = 0x9E3779B185EBCA87ull;
constexpr std::uint64_t kPrime2 = 0xC2B2AE3D27D4EB4Full;
constexpr std::uint64_t kPrime3 = 0x165667B19E3779F9ull;
constexpr std::uint64_t kPrime4 = 0x85EBCA77C2B2AE63ull;
constexpr std::uint64_t kPrime5 = 0x27D4EB2F165667C5ull;

std::uint64_t RotateLeft(std::uint64_t value, int bits) { return (value << bits) | (value >> (64 - bits)); }

// Little-endian on every host.
std::uint64_t Load(const unsigned char* bytes, int count) {
    std::uint64_t value = 0;
    for (int i = count - 1; i >= 0; --i) value = (value << 8) | bytes[i];
    return value;
}

std::uint64_t Round(std::uint64_t lane, std::uint64_t input) {
    return RotateLeft(lane + input * kPrime2, 31) * kPrime1;
}

std::uint64_t Merge(std::uint64_t hash, std::uint64_t lane) { return (hash ^ Round(0, lane)) * kPrime1 + kPrime4; }

}  // namespace

void Hash64::Stripe(const unsigned char* stripe) {
    for (int lane = 0; lane < 4; ++lane) lanes_[lane] = Round(lanes_[lane], Load(stripe + 8 * lane, 8));
}

void Hash64::Take(const char* bytes, std::size_t size) {
    const unsigned char* next = reinterpret_cast<const unsigned char*>(bytes);
    length_ += size;
    if (pendingSize_ > 0) {
        const std::size_t taken = size < sizeof pending_ - pendingSize_ ? size : sizeof pending_ - pendingSize_;
        std::memcpy(pending_ + pendingSize_, next, taken);
        pendingSize_ += taken;
        next += taken;
        size -= taken;
        if (pendingSize_ < sizeof pending_) return;
        Stripe(pending_);
        pendingSize_ = 0;
    }
    for (; size >= sizeof pending_; next += sizeof pending_, size -= sizeof pending_) Stripe(next);
    std::memcpy(pending_, next, size);
    pendingSize_ = size;
}

std::uint64_t Hash64::Value() const {
    std::uint64_t hash = kPrime5;  // the hash of fewer than 32 bytes starts here
    if (length_ >= sizeof pending_) {
        hash = RotateLeft(lanes_[0], 1) + RotateLeft(lanes_[1], 7) + RotateLeft(lanes_[2], 12) +
               RotateLeft(lanes_[3], 18);
        for (const std::uint64_t lane : lanes_) hash = Merge(hash, lane);
    }
    hash += length_;
    const unsigned char* tail = pending_;
    std::size_t left = pendingSize_;
    for (; left >= 8; tail += 8, left -= 8) hash = RotateLeft(hash ^ Round(0, Load(tail, 8)), 27) * kPrime1 + kPrime4;
    if (left >= 4) {
        hash = RotateLeft(hash ^ (Load(tail, 4) * kPrime1), 23) * kPrime2 + kPrime3;
        tail += 4;
        left -= 4;
    }
    for (; left > 0; ++tail, --left) hash = RotateLeft(hash ^ (*tail * kPrime5), 11) * kPrime1;
    hash ^= hash >> 33;
    hash *= kPrime2;
    hash ^= hash >> 29;
    hash *= kPrime3;
    return hash ^ (hash >> 32);
}
