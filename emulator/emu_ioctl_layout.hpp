// What an ioctl's argument looks like to the driver that reads it: how many bytes of the caller's
// memory it takes, and which of those bytes are addresses of further buffers (and how long each is).
// Pure: it sees only the request number and the argument's bytes, so the recorder can use it inside
// any process and the tests can feed it hand-made structures.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "emu_bytes.hpp"

namespace zev::emu {

struct PointerField {
    size_t offset = 0;  // of the address in the argument
    size_t width = 0;   // 8, or 4 for a 32-bit scatter-gather address
    size_t length = 0;  // bytes the driver moves through it (0: it does not touch the buffer)
};

struct IoctlLayout {
    bool known = false;  // false: a request none of the emulated drivers answers
    size_t length = 0;   // bytes of the argument the driver reads and may write back
    std::vector<PointerField> pointers;
};

// The layout of `request` given the argument's first bytes. When `arg` is shorter than the returned
// length, ask again with that many bytes: later fields (a FIB's size, an SRB's entries) decide the rest.
// A length field the driver would refuse yields only the bytes it reads before refusing, and no
// buffer lengths, so a recorder never follows an address the driver would not.
IoctlLayout DescribeIoctl(unsigned long request, const Bytes& arg);

// The address stored in a pointer field.
uint64_t PointerValue(const Bytes& arg, const PointerField& p);
// Zeroes every pointer field (the rest of a recording compares the bytes without the addresses).
void MaskPointers(Bytes& arg, const IoctlLayout& layout);

}  // namespace zev::emu
