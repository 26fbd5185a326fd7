// A growable byte buffer that never holds two copies of its contents.
//
// A large buffer lives on an anonymous memory mapping of its own, grown with
// mremap, which hands the same pages to a larger range of addresses instead
// of copying them: its peak memory is its size (rounded up to pages), where
// a std::vector grown by doubling briefly holds the old and the new block
// (up to three times its size). Room reserved ahead costs address space
// only: a page is backed by memory once written. A small buffer (below
// kMapFrom) lives on the heap instead, where it costs far less than mapping
// and unmapping it; it moves to a mapping, once, when it grows past that size.
#pragma once

#include <cstddef>

namespace vintrel::columnar {

class GrowingBuffer {
public:
    static constexpr std::size_t kMapFrom = std::size_t{64} << 10;

    GrowingBuffer() = default;
    ~GrowingBuffer();
    GrowingBuffer(GrowingBuffer&& other) noexcept;
    GrowingBuffer& operator=(GrowingBuffer&& other) noexcept;
    GrowingBuffer(const GrowingBuffer&) = delete;
    GrowingBuffer& operator=(const GrowingBuffer&) = delete;

    // Adds `bytes` uninitialised bytes at the end and returns where they
    // start (valid until the buffer grows again). Throws std::bad_alloc when
    // the system gives no more memory, as a std::vector does.
    std::byte* extend(std::size_t bytes);
    // Makes room for `bytes` in all, when the system grants it (a hint:
    // refused, the buffer grows as it goes).
    void reserve(std::size_t bytes);
    // Returns the room beyond the contents to the system.
    void shrink_to_fit();

    std::byte* data() { return base_; }
    const std::byte* data() const { return base_; }
    std::size_t size() const { return size_; }

private:
    void grow(std::size_t needed);
    // Moves the contents to room for `capacity` bytes; false if refused.
    bool move_to(std::size_t capacity);
    void release();

    std::byte* base_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    bool mapped_ = false;  // base_ is a mapping (else a heap block, or nothing)
};

}  // namespace vintrel::columnar
