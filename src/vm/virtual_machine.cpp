#include "vm/virtual_machine.h"

#include <cstdlib>
#include <cstring>
#include "module/parse_trace.h"
#include "platform/sync.h"
#include "platform/wstr.h"

CVirtualMachine::CVirtualMachine(const WCHAR* path) : m_Path(WStrDup(path)) {}

CVirtualMachine::~CVirtualMachine() {
  if (m_DiskNames)
    for (int32_t i = 0; i < m_DiskCount; ++i) free(m_DiskNames[i]);
  free(m_DiskNames);
  free(m_Path);
}

uint32_t CVirtualMachine::AddRef() { return InterlockedIncrement(&m_RefCount); }

void CVirtualMachine::Release() {
  if (InterlockedDecrement(&m_RefCount) == 0) Destroy(1);
}

int32_t CVirtualMachine::GetDiskCount() { return m_DiskCount; }

const WCHAR* CVirtualMachine::GetDiskName(int32_t index) {
  if (index >= 0 && index < m_DiskCount) return m_DiskNames ? m_DiskNames[index] : nullptr;
  TRACE_ERR(u"CVirtualMachine::GetDiskName : Request for diskname %d when there's only %d\n", index,
            m_DiskCount);
  return nullptr;
}

bool CVirtualMachine::AllocateDiskNames(int32_t count) {
  m_DiskCount = count;
  if (count <= 0) return true;
  if (static_cast<uint64_t>(count) > SIZE_MAX / sizeof(WCHAR*)) return false;
  m_DiskNames = static_cast<WCHAR**>(calloc(static_cast<size_t>(count), sizeof(WCHAR*)));
  return m_DiskNames != nullptr;
}
