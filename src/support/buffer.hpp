// An owned, uninitialised or zero-filled heap buffer of trivially copyable values.
//
// Large masks and output arrays live here rather than in std::vector: a
// zero-filled buffer comes from calloc, so the kernel maps its pages lazily and
// an array that is mostly untouched costs no more than the pages written, and a
// request that cannot be met throws std::bad_alloc instead of touching memory.
// The storage can be released to a new owner (the NumPy array's base object),
// which frees it with std::free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <span>
#include <type_traits>
#include <utility>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace ostrel {

template <class T>
class Buffer {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    Buffer() = default;

    static Buffer uninitialised(std::size_t count) { return Buffer(count, false); }
    static Buffer zeroed(std::size_t count) { return Buffer(count, true); }

    // Whether zeroed(count) is cheap until its pages are touched. The C
    // library serves requests of 32 MiB and more (the ceiling of its dynamic
    // mmap threshold) with fresh mappings, whose zero pages calloc leaves
    // alone; smaller ones may reuse freed memory, which calloc must clear in
    // full. A caller that writes every element anyway does better with
    // uninitialised() below this size.
    static constexpr bool zeroing_is_lazy(std::size_t count) {
        return count >= (std::size_t{32} << 20) / sizeof(T);
    }

    Buffer(Buffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
    Buffer& operator=(Buffer&& other) noexcept {
        if (this != &other) {
            std::free(data_);
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
        }
        return *this;
    }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() { std::free(data_); }

    T* data() noexcept { return data_; }
    const T* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    T& operator[](std::size_t i) noexcept { return data_[i]; }
    const T& operator[](std::size_t i) const noexcept { return data_[i]; }
    T* begin() noexcept { return data_; }
    T* end() noexcept { return data_ + size_; }
    const T* begin() const noexcept { return data_; }
    const T* end() const noexcept { return data_ + size_; }
    std::span<T> span() noexcept { return {data_, size_}; }
    std::span<const T> span() const noexcept { return {data_, size_}; }

    // Hands the storage to a new owner, who must free it with std::free.
    T* release() noexcept {
        size_ = 0;
        return std::exchange(data_, nullptr);
    }

private:
    Buffer(std::size_t count, bool zero) {
        if (count == 0) return;
        if (count > static_cast<std::size_t>(PTRDIFF_MAX) / sizeof(T)) throw std::bad_alloc();
        void* p = zero ? std::calloc(count, sizeof(T)) : std::malloc(count * sizeof(T));
        if (p == nullptr) throw std::bad_alloc();
        data_ = static_cast<T*>(p);
        size_ = count;
        advise_huge_pages(p, count * sizeof(T));
    }

    // Large buffers are written in full soon after they are made; backing them
    // with huge pages where the kernel offers them saves most of the page
    // faults that touching them would cost. Only whole pages inside the
    // buffer are advised, and the advice is a hint whose failure is harmless.
    static void advise_huge_pages([[maybe_unused]] void* p, [[maybe_unused]] std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
        constexpr std::size_t kHugeThreshold = std::size_t{4} << 20;
        constexpr std::uintptr_t kPage = 4096;
        if (bytes < kHugeThreshold) return;
        const auto begin = (reinterpret_cast<std::uintptr_t>(p) + kPage - 1) & ~(kPage - 1);
        const auto end = (reinterpret_cast<std::uintptr_t>(p) + bytes) & ~(kPage - 1);
        if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#endif
    }

    T* data_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace ostrel
