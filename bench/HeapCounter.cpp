// Replaces the global operator new and delete of the benchmark program so that peak heap use
// can be read around one call. Each block carries its size in a 16-byte header (which keeps
// the default new alignment), so the count needs no allocator-specific size query.
#include <atomic>
#include <cstdlib>
#include <new>

#include "bench/BenchSupport.h"

namespace tarvik::bench {
namespace {

constexpr std::size_t kHeader = 16;
static_assert(kHeader >= sizeof(std::size_t) && kHeader % __STDCPP_DEFAULT_NEW_ALIGNMENT__ == 0);

std::atomic<std::size_t> inUse{0};
std::atomic<std::size_t> peak{0};

void* allocate(std::size_t size) noexcept {
    auto* block = static_cast<unsigned char*>(std::malloc(size + kHeader));
    if (block == nullptr) {
        return nullptr;
    }
    *reinterpret_cast<std::size_t*>(block) = size;
    const std::size_t now = inUse.fetch_add(size, std::memory_order_relaxed) + size;
    std::size_t seen = peak.load(std::memory_order_relaxed);
    while (now > seen && !peak.compare_exchange_weak(seen, now, std::memory_order_relaxed)) {
    }
    return block + kHeader;
}

void release(void* pointer) noexcept {
    if (pointer == nullptr) {
        return;
    }
    auto* block = static_cast<unsigned char*>(pointer) - kHeader;
    inUse.fetch_sub(*reinterpret_cast<std::size_t*>(block), std::memory_order_relaxed);
    std::free(block);
}

void* allocateOrThrow(std::size_t size) {
    void* pointer = allocate(size == 0 ? 1 : size);
    if (pointer == nullptr) {
        throw std::bad_alloc();
    }
    return pointer;
}

}  // namespace

std::size_t heapInUse() {
    return inUse.load(std::memory_order_relaxed);
}

std::size_t heapPeak() {
    return peak.load(std::memory_order_relaxed);
}

void resetHeapPeak() {
    peak.store(inUse.load(std::memory_order_relaxed), std::memory_order_relaxed);
}

}  // namespace tarvik::bench

void* operator new(std::size_t size) {
    return tarvik::bench::allocateOrThrow(size);
}
void* operator new[](std::size_t size) {
    return tarvik::bench::allocateOrThrow(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return tarvik::bench::allocate(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return tarvik::bench::allocate(size == 0 ? 1 : size);
}
void operator delete(void* pointer) noexcept {
    tarvik::bench::release(pointer);
}
void operator delete[](void* pointer) noexcept {
    tarvik::bench::release(pointer);
}
void operator delete(void* pointer, std::size_t) noexcept {
    tarvik::bench::release(pointer);
}
void operator delete[](void* pointer, std::size_t) noexcept {
    tarvik::bench::release(pointer);
}
void operator delete(void* pointer, const std::nothrow_t&) noexcept {
    tarvik::bench::release(pointer);
}
void operator delete[](void* pointer, const std::nothrow_t&) noexcept {
    tarvik::bench::release(pointer);
}
