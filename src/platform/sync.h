// Locks, interlocked operations and thread ids.
#pragma once
#include <cstdint>
#include <pthread.h>
#include "platform/export.h"

// A Windows critical section: recursive for the thread that holds it.
struct CRITICAL_SECTION {
  pthread_mutex_t mutex;
};

extern "C" {
VMPLAT_API void InitializeCriticalSection(CRITICAL_SECTION* cs);
VMPLAT_API void DeleteCriticalSection(CRITICAL_SECTION* cs);
VMPLAT_API void EnterCriticalSection(CRITICAL_SECTION* cs);
VMPLAT_API void LeaveCriticalSection(CRITICAL_SECTION* cs);
VMPLAT_API uint32_t GetCurrentThreadId(void);
}

inline uint32_t InterlockedIncrement(volatile uint32_t* p) { return __atomic_add_fetch(p, 1, __ATOMIC_SEQ_CST); }
inline uint32_t InterlockedDecrement(volatile uint32_t* p) { return __atomic_sub_fetch(p, 1, __ATOMIC_SEQ_CST); }
inline int32_t InterlockedIncrement(volatile int32_t* p) { return __atomic_add_fetch(p, 1, __ATOMIC_SEQ_CST); }
inline int32_t InterlockedDecrement(volatile int32_t* p) { return __atomic_sub_fetch(p, 1, __ATOMIC_SEQ_CST); }
inline int32_t InterlockedExchange(volatile int32_t* p, int32_t v) { return __atomic_exchange_n(p, v, __ATOMIC_SEQ_CST); }
template <class T>
inline T* InterlockedExchangePointer(T* volatile* p, T* v) { return __atomic_exchange_n(p, v, __ATOMIC_SEQ_CST); }

// A critical section together with the id of the thread that holds it.
class OwnedLock {
 public:
  OwnedLock() { InitializeCriticalSection(&m_Section); }
  ~OwnedLock() { DeleteCriticalSection(&m_Section); }
  OwnedLock(const OwnedLock&) = delete;
  OwnedLock& operator=(const OwnedLock&) = delete;
  void Enter() {
    EnterCriticalSection(&m_Section);
    __atomic_store_n(&m_Owner, static_cast<uint64_t>(GetCurrentThreadId()), __ATOMIC_RELAXED);
  }
  void Leave() {
    __atomic_store_n(&m_Owner, uint64_t{0}, __ATOMIC_RELAXED);
    LeaveCriticalSection(&m_Section);
  }
  uint64_t Owner() const { return __atomic_load_n(&m_Owner, __ATOMIC_RELAXED); }

 private:
  CRITICAL_SECTION m_Section;
  uint64_t m_Owner = 0;
};

// Scope guard for a critical section.
class CsGuard {
 public:
  explicit CsGuard(CRITICAL_SECTION* cs) : m_Cs(cs) { EnterCriticalSection(m_Cs); }
  ~CsGuard() { LeaveCriticalSection(m_Cs); }
  CsGuard(const CsGuard&) = delete;
  CsGuard& operator=(const CsGuard&) = delete;

 private:
  CRITICAL_SECTION* m_Cs;
};
