#pragma once
// Zeroed request records with their transfer set, for any record kind that has the fields named
// here: a test sets only what it is about.

#include <cstdint>
#include <cstring>

namespace zevtest {

// Packed members are compared by value, never bound to references.
template <typename T>
T val(T v)
{
    return v;
}

// The fields every request kind shares; the rest zero.
template <typename R>
R transferRequest(std::uint32_t direction, void* data, std::uint32_t dataLength)
{
    R r;
    std::memset(&r, 0, sizeof(r));
    r.direction = direction;
    r.data = data;
    r.dataLength = dataLength;
    return r;
}

template <typename R>
R cdbRequest(std::uint32_t direction, std::uint8_t* cdb, std::uint8_t cdbLength, void* data, std::uint32_t dataLength)
{
    R r = transferRequest<R>(direction, data, dataLength);
    r.cdb = cdb;
    r.cdbLength = cdbLength;
    return r;
}

template <typename R>
R bmicRequest(std::uint32_t direction, std::uint8_t command, void* data, std::uint32_t dataLength)
{
    R r = transferRequest<R>(direction, data, dataLength);
    r.command = command;
    return r;
}

}  // namespace zevtest
