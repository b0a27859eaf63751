// Named buffers: allocation that never throws and fails loudly.
//
// Every large buffer of korvale has a short name ("vin", "R", "ww", "HDCT",
// ...). When such a buffer cannot be obtained the process writes
// "NAME no memory!!\n" to standard output and ends with status 1: the one
// place where library code ends the process (common/fatal.h). Callers that
// report the failure themselves use the try_ variants.
//
// Memory comes from std::malloc and goes back with std::free, through Buffer.
// Element types must be trivial (bytes, ints, doubles). A request of zero
// elements still yields a valid, unique pointer. A byte count that overflows
// size_t counts as a failed allocation.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <utility>

namespace korvale {

// Owns one malloc'd array and frees it when it goes out of scope (or on
// reset()). Move-only; holds no size.
template <class T>
class Buffer {
 public:
  Buffer() = default;
  explicit Buffer(T* p) : p_(p) {}
  Buffer(Buffer&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  Buffer& operator=(Buffer&& other) noexcept {
    if (this != &other) {
      reset();
      p_ = std::exchange(other.p_, nullptr);
    }
    return *this;
  }
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  ~Buffer() { reset(); }

  T* get() const { return p_; }
  T& operator[](std::size_t i) const { return p_[i]; }
  explicit operator bool() const { return p_ != nullptr; }
  void reset() {
    std::free(p_);
    p_ = nullptr;
  }
  T* release() { return std::exchange(p_, nullptr); }

 private:
  T* p_ = nullptr;
};

// Allocates count * size bytes for the buffer `name`; nullptr on failure.
void* try_alloc_bytes(std::size_t count, std::size_t size, const char* name);

// Writes "NAME no memory!!\n" to standard output and ends the process with 1.
[[noreturn]] void die_no_memory(const char* name);

// count elements of T for the buffer `name`, or nullptr when they cannot be had.
template <class T>
T* try_alloc(std::size_t count, const char* name) {
  return static_cast<T*>(try_alloc_bytes(count, sizeof(T), name));
}

// count elements of T for the buffer `name`; ends the process on failure.
template <class T>
Buffer<T> named_buffer(std::size_t count, const char* name) {
  T* p = try_alloc<T>(count, name);
  if (p == nullptr) die_no_memory(name);
  return Buffer<T>(p);
}

// For the planes, the file's bytes and the grids of a run: count elements of
// T for `name`; from 512 KB up, rounded up to whole 2 MB pages, aligned to
// them and, on Linux, offered to the kernel as transparent huge pages (a first
// touch of a fresh 4 KB page costs far more than of a 2 MB one). Freed by
// Buffer like any other. Same failure contract as named_buffer.
void* try_alloc_large_bytes(std::size_t count, std::size_t size, const char* name);

template <class T>
Buffer<T> named_large_buffer(std::size_t count, const char* name) {
  T* p = static_cast<T*>(try_alloc_large_bytes(count, sizeof(T), name));
  if (p == nullptr) die_no_memory(name);
  return Buffer<T>(p);
}

// Test seam. Makes the `occurrence`-th named allocation from now on (1 for the
// next one) fail; with a non-null `name`, only allocations of that name count.
// One failure is armed at a time; it disarms itself once it fires.
void fail_named_allocation(const char* name, int occurrence);
void clear_named_allocation_failure();

}  // namespace korvale
