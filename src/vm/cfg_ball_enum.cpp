// CfgBallEnum: walks a private copy of section or key names, one name per Next.
#include <cstdlib>
#include <cstring>
#include "vm/cfg_ball.h"

CfgBallEnum::CfgBallEnum(WCHAR* names, uint64_t total) : m_Names(names), m_Total(names ? total : 0) {}

CfgBallEnum::~CfgBallEnum() { free(m_Names); }

uint32_t CfgBallEnum::AddRef() { return InterlockedIncrement(&m_RefCount); }

void CfgBallEnum::Release() {
  if (InterlockedDecrement(&m_RefCount) == 0) delete this;
}

void CfgBallEnum::Reset() {
  m_Lock.Enter();
  m_Position = 0;
  m_Lock.Leave();
}

bool CfgBallEnum::Next(WCHAR* buffer, uint64_t capacity) {
  m_Lock.Enter();
  if (m_Position >= m_Total) {
    m_Lock.Leave();
    return false;
  }
  const WCHAR* name = m_Names + m_Position;
  uint64_t length = 0;
  while (m_Position + length < m_Total && name[length]) ++length;
  if (buffer && capacity) {
    uint64_t n = length < capacity - 1 ? length : capacity - 1;
    if (n) memcpy(buffer, name, n * sizeof(WCHAR));
    buffer[n] = 0;
  }
  m_Position += length + 1;
  m_Lock.Leave();
  return true;
}
