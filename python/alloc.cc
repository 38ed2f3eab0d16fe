// Memory exhaustion inside the extension is not recoverable: say how much was asked for
// and abort, instead of unwinding through the interpreter.
#include <cstdlib>
#include <new>

#include "error/error.h"

void* operator new(std::size_t n) {
  if (void* p = std::malloc(n != 0 ? n : 1)) return p;
  pelorin::out_of_memory(n);
}

void* operator new[](std::size_t n) {
  if (void* p = std::malloc(n != 0 ? n : 1)) return p;
  pelorin::out_of_memory(n);
}

void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
