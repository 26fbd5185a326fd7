#include "columnar/mapped_buffer.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <new>
#include <utility>

namespace vintrel::columnar {
namespace {

// First mapping of a buffer; later ones double.
constexpr std::size_t kFirstCapacity = std::size_t{64} << 10;
// From this size on, the mapping asks for transparent huge pages, as numpy
// does for its large arrays: filling the buffer then takes one page fault
// per 2 MiB instead of one per 4 KiB (which costs several times more per
// byte written).
constexpr std::size_t kHugePageSize = std::size_t{2} << 20;
constexpr std::size_t kHugePageThreshold = kHugePageSize;

std::size_t page_size() {
    static const std::size_t size = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return size;
}

std::size_t round_up(std::size_t bytes, std::size_t unit) {
    if (bytes > SIZE_MAX - (unit - 1)) throw std::bad_alloc();
    return (bytes + unit - 1) / unit * unit;
}

std::size_t round_up_to_pages(std::size_t bytes) { return round_up(bytes, page_size()); }

// The capacity to map for `bytes`: whole pages, and whole huge pages for a
// mapping that gets them (a huge page must lie wholly inside the mapping).
std::size_t capacity_for(std::size_t bytes) {
    const std::size_t pages = round_up_to_pages(bytes);
    return pages < kHugePageThreshold ? pages : round_up(pages, kHugePageSize);
}

void advise_huge_pages(std::byte* base, std::size_t capacity) {
#ifdef MADV_HUGEPAGE
    // Advice only: a kernel without transparent huge pages refuses it, which changes nothing.
    if (capacity >= kHugePageThreshold) madvise(base, capacity, MADV_HUGEPAGE);
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
    if (capacity < kHugePageThreshold || capacity > SIZE_MAX - kHugePageSize) return map_anonymous(capacity);
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

MappedBuffer::~MappedBuffer() {
    if (base_ != nullptr) munmap(base_, capacity_);
}

MappedBuffer::MappedBuffer(MappedBuffer&& other) noexcept
    : base_(std::exchange(other.base_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

MappedBuffer& MappedBuffer::operator=(MappedBuffer&& other) noexcept {
    if (this != &other) {
        MappedBuffer gone(std::move(*this));
        base_ = std::exchange(other.base_, nullptr);
        size_ = std::exchange(other.size_, 0);
        capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
}

std::byte* MappedBuffer::extend(std::size_t bytes) {
    if (bytes > SIZE_MAX - size_) throw std::bad_alloc();
    if (size_ + bytes > capacity_) grow(size_ + bytes);
    std::byte* at = base_ + size_;
    size_ += bytes;
    return at;
}

void MappedBuffer::grow(std::size_t needed) {
    const std::size_t doubled = capacity_ > SIZE_MAX / 2 ? SIZE_MAX : 2 * capacity_;
    if (!remap(capacity_for(std::max({needed, doubled, kFirstCapacity})))) throw std::bad_alloc();
}

void MappedBuffer::reserve(std::size_t bytes) {
    if (bytes > capacity_ && bytes <= SIZE_MAX - kHugePageSize) remap(capacity_for(bytes));
}

bool MappedBuffer::remap(std::size_t capacity) {
    void* moved = base_ == nullptr ? map_fresh(capacity) : mremap(base_, capacity_, capacity, MREMAP_MAYMOVE);
    if (moved == MAP_FAILED) return false;
    base_ = static_cast<std::byte*>(moved);
    capacity_ = capacity;
    advise_huge_pages(base_, capacity_);
    return true;
}

void MappedBuffer::shrink_to_fit() {
    if (base_ == nullptr) return;
    if (size_ == 0) {
        munmap(base_, capacity_);
        base_ = nullptr;
        capacity_ = 0;
        return;
    }
    const std::size_t capacity = round_up_to_pages(size_);
    if (capacity == capacity_) return;
    // Shrinking keeps the mapping where it is; should the system refuse, the
    // buffer simply keeps its room.
    if (mremap(base_, capacity_, capacity, 0) != MAP_FAILED) capacity_ = capacity;
}

}  // namespace vintrel::columnar
