// nomalloc: an LD_PRELOAD shim under which every malloc of exactly
// $NOMALLOC_SIZE bytes fails, to show what a program does when the heap
// has nothing to give.
#include <cstddef>
#include <cstdlib>
#include <cstring>

extern "C" void* __libc_malloc(size_t size);

extern "C" void* malloc(size_t size) {
  static long refused = [] {
    const char* text = std::getenv("NOMALLOC_SIZE");
    return text ? std::strtol(text, nullptr, 10) : -1L;
  }();
  if (static_cast<long>(size) == refused)
    return nullptr;
  return __libc_malloc(size);
}
