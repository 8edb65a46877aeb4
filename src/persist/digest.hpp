// MD5 and SHA-256 over byte strings, and the lower-case hex form of digests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "module/core.hpp"

namespace lvx::persist {

// MD5 (RFC 1321) of data.
void md5(std::string_view data, std::uint8_t out[16]) noexcept;

// SHA-256 (FIPS 180-4) of data. Uses the CPU's SHA instructions when the
// processor has them.
void sha256(std::string_view data, std::uint8_t out[32]) noexcept;

// Writes the 2n lower-case hex digits of in[0..n) to out.
void hex_lower(const std::uint8_t* in, std::size_t n, char* out) noexcept;

// A new str holding the 2n lower-case hex digits of in[0..n).
Ref hex_text(const std::uint8_t* in, std::size_t n);

namespace detail {

// Block functions: process nblocks consecutive 64-byte blocks into state.
using Sha256Blocks = void (*)(std::uint32_t state[8], const std::uint8_t* data, std::size_t nblocks) noexcept;

void sha256_blocks_portable(std::uint32_t state[8], const std::uint8_t* data, std::size_t nblocks) noexcept;

// The SHA-extension block function when this build and this processor
// support it, else nullptr.
Sha256Blocks sha256_blocks_accelerated() noexcept;

extern const std::uint32_t kSha256K[64];

}  // namespace detail
}  // namespace lvx::persist
