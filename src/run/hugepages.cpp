#include "hugepages.h"

#include <cstdlib>
#include <sys/mman.h>

void* huge_alloc(std::size_t bytes) {
  void* p = nullptr;
  if (bytes < huge_page_bytes) {
    p = std::malloc(bytes == 0 ? 1 : bytes);
    if (p == nullptr) throw std::bad_alloc();
    return p;
  }
  // Whole huge pages: a block then costs at most one partly used page of resident memory.
  if (bytes > static_cast<std::size_t>(-1) - huge_page_bytes) throw std::bad_alloc();
  const std::size_t size = (bytes + huge_page_bytes - 1) / huge_page_bytes * huge_page_bytes;
  if (posix_memalign(&p, huge_page_bytes, size) != 0) throw std::bad_alloc();
  madvise(p, size, MADV_HUGEPAGE);  // advice only: without it the pages are just smaller
  return p;
}

void huge_free(void* p) noexcept { std::free(p); }
