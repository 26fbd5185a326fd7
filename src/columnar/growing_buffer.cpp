#include "columnar/growing_buffer.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace vintrel::columnar {
namespace {

// First room of a buffer; later growth doubles it.
constexpr std::size_t kFirstCapacity = std::size_t{4} << 10;
// Mappings ask for transparent huge pages, as numpy does for its large
// arrays: filling one then takes one page fault per 2 MiB instead of one per
// 4 KiB (which costs several times more per byte written).
constexpr std::size_t kHugePageSize = std::size_t{2} << 20;

std::size_t page_size() {
    static const std::size_t size = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return size;
}

std::size_t round_up(std::size_t bytes, std::size_t unit) {
    if (bytes > SIZE_MAX - (unit - 1)) throw std::bad_alloc();
    return (bytes + unit - 1) / unit * unit;
}

// The room to take for `bytes`: a heap block below kMapFrom; else whole
// pages, and whole huge pages from their size on (a huge page must lie
// wholly inside the mapping).
std::size_t capacity_for(std::size_t bytes) {
    if (bytes < GrowingBuffer::kMapFrom) return bytes;
    const std::size_t pages = round_up(bytes, page_size());
    return pages < kHugePageSize ? pages : round_up(pages, kHugePageSize);
}

void advise_huge_pages(void* base, std::size_t capacity) {
#ifdef MADV_HUGEPAGE
    // Advice only: a kernel without transparent huge pages refuses it, which changes nothing.
    if (capacity >= kHugePageSize) madvise(base, capacity, MADV_HUGEPAGE);
#else
    (void)base;
    (void)capacity;
#endif
}

void* map_anonymous(std::size_t bytes) {
    return mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
}

// A new mapping; one large enough for huge pages starts on a huge-page
// boundary (newer kernels place it so anyway), so that none is lost at its start.
void* map_fresh(std::size_t capacity) {
    if (capacity < kHugePageSize || capacity > SIZE_MAX - kHugePageSize) return map_anonymous(capacity);
    void* wide = map_anonymous(capacity + kHugePageSize);
    if (wide == MAP_FAILED) return wide;
    const auto start = reinterpret_cast<std::uintptr_t>(wide);
    const std::uintptr_t aligned = (start + kHugePageSize - 1) / kHugePageSize * kHugePageSize;
    if (aligned > start) munmap(wide, aligned - start);
    const std::size_t tail = kHugePageSize - (aligned - start);
    if (tail > 0) munmap(reinterpret_cast<void*>(aligned + capacity), tail);
    return reinterpret_cast<void*>(aligned);
}

}  // namespace

GrowingBuffer::~GrowingBuffer() { release(); }

void GrowingBuffer::release() {
    if (base_ == nullptr) return;
    if (mapped_) munmap(base_, capacity_);
    else std::free(base_);
    base_ = nullptr;
    size_ = capacity_ = 0;
    mapped_ = false;
}

GrowingBuffer::GrowingBuffer(GrowingBuffer&& other) noexcept
    : base_(std::exchange(other.base_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)),
      mapped_(std::exchange(other.mapped_, false)) {}

GrowingBuffer& GrowingBuffer::operator=(GrowingBuffer&& other) noexcept {
    if (this != &other) {
        release();
        base_ = std::exchange(other.base_, nullptr);
        size_ = std::exchange(other.size_, 0);
        capacity_ = std::exchange(other.capacity_, 0);
        mapped_ = std::exchange(other.mapped_, false);
    }
    return *this;
}

std::byte* GrowingBuffer::extend(std::size_t bytes) {
    if (bytes > SIZE_MAX - size_) throw std::bad_alloc();
    if (size_ + bytes > capacity_) grow(size_ + bytes);
    std::byte* at = base_ + size_;
    size_ += bytes;
    return at;
}

void GrowingBuffer::grow(std::size_t needed) {
    const std::size_t doubled = capacity_ > SIZE_MAX / 2 ? SIZE_MAX : 2 * capacity_;
    if (!move_to(capacity_for(std::max({needed, doubled, kFirstCapacity})))) throw std::bad_alloc();
}

void GrowingBuffer::reserve(std::size_t bytes) {
    if (bytes > capacity_ && bytes <= SIZE_MAX - kHugePageSize) move_to(capacity_for(bytes));
}

bool GrowingBuffer::move_to(std::size_t capacity) {
    if (mapped_) {
        // A buffer once mapped stays on its mapping, whatever size it asks
        // for later (shrunk, then grown again): the heap never sees its pages.
        capacity = round_up(capacity, page_size());
        void* moved = mremap(base_, capacity_, capacity, MREMAP_MAYMOVE);
        if (moved == MAP_FAILED) return false;
        base_ = static_cast<std::byte*>(moved);
        advise_huge_pages(base_, capacity);
    } else if (capacity < kMapFrom) {
        void* block = std::realloc(base_, capacity);
        if (block == nullptr) return false;
        base_ = static_cast<std::byte*>(block);
    } else {
        // From the heap to a mapping of its own: one copy, below kMapFrom bytes.
        void* mapping = map_fresh(capacity);
        if (mapping == MAP_FAILED) return false;
        advise_huge_pages(mapping, capacity);
        if (size_ != 0) std::memcpy(mapping, base_, size_);
        std::free(base_);
        base_ = static_cast<std::byte*>(mapping);
        mapped_ = true;
    }
    capacity_ = capacity;
    return true;
}

void GrowingBuffer::shrink_to_fit() {
    if (base_ == nullptr || size_ == capacity_) return;
    if (size_ == 0) {
        release();
        return;
    }
    if (!mapped_) {
        move_to(size_);
        return;
    }
    const std::size_t capacity = round_up(size_, page_size());
    // Shrinking keeps the mapping where it is; should the system refuse, the
    // buffer simply keeps its room.
    if (capacity < capacity_ && mremap(base_, capacity_, capacity, 0) != MAP_FAILED) capacity_ = capacity;
}

}  // namespace vintrel::columnar
