// Byte helpers of the emulated host: explicit little-/big-endian access at named offsets, hex text
// and digests. Every wire structure the emulator reads or writes goes through these.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zev::emu {

using Bytes = std::vector<uint8_t>;

// Reads return 0 for bytes beyond the end of the buffer, so a short buffer never reads out of bounds.
uint8_t GetU8(const Bytes& b, size_t off);
uint16_t GetLE16(const Bytes& b, size_t off);
uint32_t GetLE32(const Bytes& b, size_t off);
uint64_t GetLE64(const Bytes& b, size_t off);
uint16_t GetBE16(const Bytes& b, size_t off);
uint32_t GetBE32(const Bytes& b, size_t off);

// Writes grow the buffer when needed (zero filled).
void PutU8(Bytes& b, size_t off, uint8_t v);
void PutLE16(Bytes& b, size_t off, uint16_t v);
void PutLE32(Bytes& b, size_t off, uint32_t v);
void PutLE64(Bytes& b, size_t off, uint64_t v);
void PutBE16(Bytes& b, size_t off, uint16_t v);
void PutBE32(Bytes& b, size_t off, uint32_t v);
void PutBytes(Bytes& b, size_t off, const Bytes& v);
// Text into a fixed-width field: cut to the width, padded with `pad` (a controller pads with blanks).
void PutText(Bytes& b, size_t off, size_t width, const std::string& text, uint8_t pad = ' ');

// Lower-case hex without separators ("2600").
std::string ToHex(const Bytes& b);
std::string ToHex(const uint8_t* p, size_t n);
// Parses hex text; blanks, ':' and '-' between byte pairs are ignored. Returns false on bad text.
bool ParseHex(const std::string& text, Bytes* out);

// SHA-256 of the bytes as lower-case hex.
std::string Sha256Hex(const uint8_t* p, size_t n);
inline std::string Sha256Hex(const Bytes& b) { return Sha256Hex(b.data(), b.size()); }

}  // namespace zev::emu
