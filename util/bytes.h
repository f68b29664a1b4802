// Byte-order and shared-field helpers.
//
// Wire fields are read and written through these helpers with the byte order
// named at the call, never by casting structures over buffers.  The table and
// matrix bytes that several threads touch without a lock go through the
// relaxed atomic_ref accessors, so that every such access is one whole,
// well-defined load or store.
#pragma once

#include <atomic>
#include <cstdint>

// Big-endian (network order) loads and stores; alignment-free.
constexpr uint16_t load_be16(const uint8_t *p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}
constexpr uint32_t load_be32(const uint8_t *p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}
constexpr void store_be16(uint8_t *p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
constexpr void store_be32(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

// Checked at compile time against a fixed byte pattern, so both orders are
// exercised whatever the host's order is.
static_assert([] {
    uint8_t b[4]{};
    store_be32(b, 0x0a000102u);
    return b[0] == 0x0a && b[1] == 0x00 && b[2] == 0x01 && b[3] == 0x02 &&
           load_be32(b) == 0x0a000102u && load_be16(b + 2) == 0x0102;
}());

// One lock-free relaxed load or store of a plain field shared between threads.
template <class T>
inline T load_relaxed(T &field) {
    static_assert(std::atomic_ref<T>::is_always_lock_free);
    return std::atomic_ref<T>(field).load(std::memory_order_relaxed);
}
template <class T, class V>
inline void store_relaxed(T &field, V value) {
    static_assert(std::atomic_ref<T>::is_always_lock_free);
    std::atomic_ref<T>(field).store(static_cast<T>(value), std::memory_order_relaxed);
}
