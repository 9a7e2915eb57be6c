// SHA-256 (FIPS 180-4), for telling whether a staged file holds exactly what
// its version list says. Small and self-contained rather than the system's
// cryptography library: the launcher would otherwise load another DLL at
// every start with an update, and this needs no key, no randomness and no
// certified module, only the digest.
//
// Portable: no Windows header.
#ifndef ORBEX_BASE_SHA256_H_
#define ORBEX_BASE_SHA256_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

using Sha256Digest = std::array<uint8_t, 32>;

// Hashes a message given in pieces of any size. Copyable: a copy goes on
// from the same point.
class Sha256 {
public:
    Sha256();
    void Update(const void* data, size_t size);
    // The digest of everything given; the object is then used up.
    Sha256Digest Finish();

private:
    void Compress(const uint8_t* block);

    uint32_t state_[8];
    uint8_t block_[64];
    size_t blockUsed_ = 0;
    uint64_t totalBytes_ = 0;
};

// 64 lower-case hexadecimal digits.
std::string DigestToHex(const Sha256Digest& digest);

// Exactly 64 hexadecimal digits (either case) to a digest; false otherwise.
bool DigestFromHex(const std::string& hex, Sha256Digest& digest);

#endif  // ORBEX_BASE_SHA256_H_
