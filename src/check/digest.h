// A file's content hash, taken a block at a time: XXH64 (seed 0), fast on every build
// where a byte-by-byte hash would cost more than reading the file.
#ifndef RELAYHIVE_CHECK_DIGEST_H
#define RELAYHIVE_CHECK_DIGEST_H

#include <cstddef>
#include <cstdint>

#include "os/os.h"

class Hash64 final : public os::BlockConsumer {
public:
    void Take(const char* bytes, std::size_t size) override;
    // The hash of every byte taken so far.
    std::uint64_t Value() const;

private:
    void Stripe(const unsigned char* stripe);

    std::uint64_t lanes_[4] = {0x60EA27EEADC0B5D6ull, 0xC2B2AE3D27D4EB4Full, 0, 0x61C8864E7A143579ull};
    std::uint64_t length_ = 0;
    unsigned char pending_[32] = {};  // the bytes of a stripe not yet whole
    std::size_t pendingSize_ = 0;
};

#endif
