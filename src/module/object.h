// Helpers for the reference-counted objects handed to the host.
#pragma once
#include <cstdint>
#include <new>

// The explicit destructor slot: runs the C++ destructor chain, frees the memory when bit 0 of
// flags is set, and returns the object's address. Objects are allocated with new (std::nothrow).
#define VMPEEK_DESTROY_SLOT(T)                        \
  void* Destroy(uint32_t flags) override {            \
    this->~T();                                       \
    if (flags & 1u) ::operator delete(this);          \
    return this;                                      \
  }
