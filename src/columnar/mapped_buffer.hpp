// A growable byte buffer on an anonymous memory mapping of its own.
//
// Growing moves the mapping with mremap, which hands the same pages to a
// larger range of addresses instead of copying them, so the buffer never
// holds two copies of its contents: its peak memory is its size (rounded up
// to pages). A std::vector grown by doubling briefly holds the old and the
// new block, up to three times its size. Room reserved ahead by doubling
// costs address space only: a page is backed by memory once written.
#pragma once

#include <cstddef>

namespace vintrel::columnar {

class MappedBuffer {
public:
    MappedBuffer() = default;
    ~MappedBuffer();
    MappedBuffer(MappedBuffer&& other) noexcept;
    MappedBuffer& operator=(MappedBuffer&& other) noexcept;
    MappedBuffer(const MappedBuffer&) = delete;
    MappedBuffer& operator=(const MappedBuffer&) = delete;

    // Adds `bytes` zero bytes at the end and returns where they start (valid
    // until the next call that grows the buffer). Throws std::bad_alloc when
    // the system gives no more memory, as a std::vector does.
    std::byte* extend(std::size_t bytes);
    // Makes room for `bytes` in all, when the system grants the address
    // space (a hint: refused, the buffer grows as it goes).
    void reserve(std::size_t bytes);
    // Returns the room beyond the contents to the system.
    void shrink_to_fit();

    std::byte* data() { return base_; }
    const std::byte* data() const { return base_; }
    std::size_t size() const { return size_; }

private:
    void grow(std::size_t needed);
    bool remap(std::size_t capacity);

    std::byte* base_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace vintrel::columnar
