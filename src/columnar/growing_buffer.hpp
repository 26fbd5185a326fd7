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
//
// Buffers filled side by side can be joined without copying their contents:
// a buffer that starts at the right distance past a page boundary (its
// "lead", reserved with reserve_after) hands its pages over to the one it
// is appended to (append_pages).
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
    // For an empty buffer that will be appended after `preceding` bytes of
    // another: reserve(bytes), and if that makes a mapping, the contents
    // start `preceding` modulo the page size past its start, where they
    // will sit when appended to a buffer of `preceding` bytes.
    void reserve_after(std::size_t preceding, std::size_t bytes);
    // Before appending parts with append_pages: makes room for `bytes` in
    // all (the contents after every part) and a page more. True when
    // granted; the buffer then never moves while it stays within that room,
    // which it must (pages taken over cannot move with it).
    bool reserve_to_join(std::size_t bytes);
    // Appends the contents of `part` by taking over its pages when both are
    // mappings, `part` starts where this buffer ends within a page (see
    // reserve_after) and they fit the room reserved; then empties `part`.
    // False, the contents of both unchanged, when that cannot be done (the
    // caller copies instead).
    bool append_pages(GrowingBuffer& part);
    // Returns the room beyond the contents to the system.
    void shrink_to_fit();

    std::byte* data() { return base_ == nullptr ? nullptr : base_ + lead_; }
    const std::byte* data() const { return base_ == nullptr ? nullptr : base_ + lead_; }
    std::size_t size() const { return size_ - lead_; }

private:
    void grow(std::size_t needed);
    // Moves the contents to room for `capacity` bytes; false if refused.
    bool move_to(std::size_t capacity);
    void release();

    std::byte* base_ = nullptr;
    std::size_t size_ = 0;  // the lead included
    std::size_t capacity_ = 0;
    std::size_t lead_ = 0;  // unused bytes before the contents (a mapping only)
    bool mapped_ = false;   // base_ is a mapping (else a heap block, or nothing)
};

}  // namespace vintrel::columnar
