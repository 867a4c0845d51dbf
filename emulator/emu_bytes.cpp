#include "emu_bytes.hpp"

#include <glib.h>

#include <cctype>

namespace zev::emu {

uint8_t GetU8(const Bytes& b, size_t off) { return off < b.size() ? b[off] : 0; }
uint16_t GetLE16(const Bytes& b, size_t off) { return static_cast<uint16_t>(GetU8(b, off) | (GetU8(b, off + 1) << 8)); }
uint32_t GetLE32(const Bytes& b, size_t off)
{
    return static_cast<uint32_t>(GetLE16(b, off)) | (static_cast<uint32_t>(GetLE16(b, off + 2)) << 16);
}
uint64_t GetLE64(const Bytes& b, size_t off)
{
    return static_cast<uint64_t>(GetLE32(b, off)) | (static_cast<uint64_t>(GetLE32(b, off + 4)) << 32);
}
uint16_t GetBE16(const Bytes& b, size_t off) { return static_cast<uint16_t>((GetU8(b, off) << 8) | GetU8(b, off + 1)); }
uint32_t GetBE32(const Bytes& b, size_t off)
{
    return (static_cast<uint32_t>(GetBE16(b, off)) << 16) | GetBE16(b, off + 2);
}

static void Grow(Bytes& b, size_t end)
{
    if (b.size() < end) b.resize(end, 0);
}
void PutU8(Bytes& b, size_t off, uint8_t v)
{
    Grow(b, off + 1);
    b[off] = v;
}
void PutLE16(Bytes& b, size_t off, uint16_t v)
{
    PutU8(b, off, static_cast<uint8_t>(v));
    PutU8(b, off + 1, static_cast<uint8_t>(v >> 8));
}
void PutLE32(Bytes& b, size_t off, uint32_t v)
{
    PutLE16(b, off, static_cast<uint16_t>(v));
    PutLE16(b, off + 2, static_cast<uint16_t>(v >> 16));
}
void PutLE64(Bytes& b, size_t off, uint64_t v)
{
    PutLE32(b, off, static_cast<uint32_t>(v));
    PutLE32(b, off + 4, static_cast<uint32_t>(v >> 32));
}
void PutBE16(Bytes& b, size_t off, uint16_t v)
{
    PutU8(b, off, static_cast<uint8_t>(v >> 8));
    PutU8(b, off + 1, static_cast<uint8_t>(v));
}
void PutBE32(Bytes& b, size_t off, uint32_t v)
{
    PutBE16(b, off, static_cast<uint16_t>(v >> 16));
    PutBE16(b, off + 2, static_cast<uint16_t>(v));
}
void PutBytes(Bytes& b, size_t off, const Bytes& v)
{
    Grow(b, off + v.size());
    for (size_t i = 0; i < v.size(); ++i) b[off + i] = v[i];
}
void PutText(Bytes& b, size_t off, size_t width, const std::string& text, uint8_t pad)
{
    Grow(b, off + width);
    for (size_t i = 0; i < width; ++i) b[off + i] = i < text.size() ? static_cast<uint8_t>(text[i]) : pad;
}

std::string ToHex(const uint8_t* p, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    s.reserve(n * 2);
    for (size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}
std::string ToHex(const Bytes& b) { return ToHex(b.data(), b.size()); }

bool ParseHex(const std::string& text, Bytes* out)
{
    Bytes r;
    int hi = -1;
    for (char c : text) {
        if (c == ' ' || c == ':' || c == '-' || c == '\n' || c == '\t') {
            if (hi >= 0) return false;  // a separator inside a byte pair
            continue;
        }
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
        int v = std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : (std::tolower(c) - 'a' + 10);
        if (hi < 0) {
            hi = v;
        } else {
            r.push_back(static_cast<uint8_t>((hi << 4) | v));
            hi = -1;
        }
    }
    if (hi >= 0) return false;
    *out = std::move(r);
    return true;
}

std::string Sha256Hex(const uint8_t* p, size_t n)
{
    GChecksum* c = g_checksum_new(G_CHECKSUM_SHA256);
    if (n) g_checksum_update(c, p, static_cast<gssize>(n));
    std::string s = g_checksum_get_string(c);
    g_checksum_free(c);
    return s;
}

}  // namespace zev::emu
