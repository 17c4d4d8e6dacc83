// SHA-256 (FIPS 180-4) of the bytes of an image, computed as they are read.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>

const size_t kSha256Size = 32;

struct Sha256 {
    uint32_t state[8];
    uint64_t length;  // bytes taken so far
    BYTE pending[64]; // the start of a block not yet complete
    size_t pendingSize;
    bool portable; // the plain C++ rounds even where the processor has SHA instructions
};

// Starts a hash; `portable` forces the plain rounds (for comparing both paths).
void Sha256Init(Sha256& hash, bool portable = false);
void Sha256Update(Sha256& hash, const BYTE* data, size_t size);
// Pads, ends the hash and gives the digest; the record must be started again before reuse.
void Sha256Final(Sha256& hash, BYTE digest[kSha256Size]);

// Whether the processor has the SHA instructions (asked once, at the first call).
bool Sha256HasProcessorRounds();

// The digest as 64 lower-case hex digits, as sha256sum writes it.
std::wstring DigestHex(const BYTE digest[kSha256Size]);
