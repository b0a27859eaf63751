// Named buffers: the allocation, the large-buffer path in whole huge pages,
// the test seam, and the "NAME no memory!!" exit.
#include "common/named_alloc.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "common/fatal.h"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace korvale {
namespace {

// The armed failure of the test seam: the name it waits for (nullptr: any)
// and how many matching allocations remain until it fires (0: disarmed).
const char* g_fail_name = nullptr;
int g_fail_countdown = 0;

bool seam_fires(const char* name) {
  if (g_fail_countdown <= 0) return false;
  if (g_fail_name != nullptr && std::strcmp(g_fail_name, name) != 0) return false;
  if (--g_fail_countdown > 0) return false;
  g_fail_name = nullptr;
  return true;
}

}  // namespace

void* try_alloc_bytes(std::size_t count, std::size_t size, const char* name) {
  if (seam_fires(name)) return nullptr;
  if (size != 0 && count > SIZE_MAX / size) return nullptr;
  std::size_t bytes = count * size;
  return std::malloc(bytes == 0 ? 1 : bytes);
}

void* try_alloc_large_bytes(std::size_t count, std::size_t size, const char* name) {
  constexpr std::size_t kHugePage = std::size_t{2} << 20;
  if (seam_fires(name)) return nullptr;
  if (size != 0 && count > SIZE_MAX / size) return nullptr;
  const std::size_t bytes = count * size;
  // Small blocks stay with malloc. From a quarter of a huge page up, the
  // memory rounded up to whole huge pages (at most four times the request)
  // costs less than the first touch of that many 4 KB pages.
  if (bytes < kHugePage / 4) return std::malloc(bytes == 0 ? 1 : bytes);
  if (bytes > SIZE_MAX - kHugePage) return nullptr;
  const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
  void* p = std::aligned_alloc(kHugePage, rounded);
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (p != nullptr) madvise(p, rounded, MADV_HUGEPAGE);  // advice only: failure is harmless
#endif
  return p;
}

void die_no_memory(const char* name) {
  char line[160];
  std::snprintf(line, sizeof line, "%s no memory!!", name);
  fail_exit(line);
}

void fail_named_allocation(const char* name, int occurrence) {
  g_fail_name = name;
  g_fail_countdown = occurrence;
}

void clear_named_allocation_failure() {
  g_fail_name = nullptr;
  g_fail_countdown = 0;
}

}  // namespace korvale
