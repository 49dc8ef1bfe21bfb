// Large working memory in transparent huge pages where the system offers them: faulting in
// hundreds of megabytes 4 KB at a time costs more than a good part of the arithmetic, most
// of all on virtual machines.
#pragma once

#include <cstddef>
#include <new>
#include <vector>

constexpr std::size_t huge_page_bytes = std::size_t(2) << 20;

// At least `bytes`; from huge_page_bytes on, whole huge pages, aligned and advised as such
// (smaller blocks come from the ordinary heap). Release with huge_free. Throws
// std::bad_alloc.
void* huge_alloc(std::size_t bytes);
void huge_free(void* p) noexcept;

// For std::vector buffers that are large and kept between calls.
template <class T>
struct HugeAllocator {
  using value_type = T;
  HugeAllocator() = default;
  template <class U>
  HugeAllocator(const HugeAllocator<U>&) noexcept {}
  T* allocate(std::size_t n) {
    if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
    return static_cast<T*>(huge_alloc(n * sizeof(T)));
  }
  void deallocate(T* p, std::size_t) noexcept { huge_free(p); }
  template <class U>
  bool operator==(const HugeAllocator<U>&) const noexcept { return true; }
  template <class U>
  bool operator!=(const HugeAllocator<U>&) const noexcept { return false; }
};

template <class T>
using HugeVector = std::vector<T, HugeAllocator<T>>;
