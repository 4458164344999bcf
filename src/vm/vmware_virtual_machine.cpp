#include "vm/vmware_virtual_machine.h"

#include <cstdlib>
#include "module/parse_trace.h"
#include "platform/loader.h"
#include "platform/status.h"
#include "platform/win_file.h"
#include "platform/wstr.h"

using namespace vmpeek;

namespace {

constexpr size_t kKeyUnits = 128;
constexpr size_t kValueUnits = 260;
constexpr uint32_t kReadFault = 30;  // ERROR_READ_FAULT, when a failed read leaves no error code

// The calling thread's last error, or `fallback` when the system reported none.
uint32_t LastErrorOr(uint32_t fallback) {
  uint32_t e = GetLastError();
  return e ? e : fallback;
}

}  // namespace

CVMWareVirtualMachine::~CVMWareVirtualMachine() {
  if (m_Store) m_Store->Release();
}

uint32_t CVMWareVirtualMachine::Open() {
  HANDLE file = CreateFileW(m_Path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    uint32_t error = LastErrorOr(ERROR_FILE_NOT_FOUND);
    TRACE_DETAIL(u"CVMWareVirtualMachine::Open : failed to open file %s error=%d .\n", m_Path,
                 static_cast<int32_t>(error));
    return error;
  }

  uint32_t status = ERROR_SUCCESS;
  uint8_t* buffer = nullptr;
  uint32_t high = 0;
  SetLastError(0);
  uint32_t size = GetFileSize(file, &high);
  if (size == INVALID_FILE_SIZE && GetLastError() != 0) {
    status = GetLastError();
    TRACE_DETAIL(u"CVMWareVirtualMachine::Open : failed to get filesize error=%d .\n",
                 static_cast<int32_t>(status));
  } else if (high != 0 || size < kMinSize || size > kMaxSize) {
    TRACE_DETAIL(u"CVMWareVirtualMachine::Open : size of %d isn't valid .\n", static_cast<int32_t>(size));
    status = ERROR_BAD_FORMAT;
  } else if (!(buffer = static_cast<uint8_t*>(calloc(size + 1, 1)))) {
    TRACE_DETAIL(u"CVMWareVirtualMachine::Open : memory allocation failed.\n");
    status = ERROR_NOT_ENOUGH_MEMORY;
  } else {
    uint32_t got = 0;
    if (!ReadFile(file, buffer, size, &got, nullptr)) {
      status = LastErrorOr(kReadFault);
      TRACE_DETAIL(u"CVMWareVirtualMachine::Open : read of file failed %d.\n", static_cast<int32_t>(status));
    } else if (!(m_Store = CreateCfgBall())) {
      TRACE_DETAIL(u"CVMWareVirtualMachine::Open : failed to make CfgBall.\n");
      status = ERROR_NOT_ENOUGH_MEMORY;
    } else if (!m_Store->SetTextUtf8(buffer, static_cast<uint64_t>(size) + 1)) {
      TRACE_DETAIL(u"CVMWareVirtualMachine::Open : CfgBall didn't accept the data.\n");
      m_Store->Release();
      m_Store = nullptr;
      status = ERROR_NOT_ENOUGH_MEMORY;
    } else {
      FindDisks();
    }
  }
  free(buffer);
  CloseHandle(file);
  return status;
}

void CVMWareVirtualMachine::FindDisks() {
  int32_t count = FindDisksEx();
  TRACE_DETAIL(u"CVMWareVirtualMachine::FindDisks : found %d disks.\n", count);
  if (count != 0 && AllocateDiskNames(count)) FindDisksEx();
  m_DiskCount = count;
}

int32_t CVMWareVirtualMachine::FindDisksEx() {
  int32_t found = 0;
  for (const VMwareBus& bus : kVMwareFixedBuses)
    for (int32_t b = 0; b < bus.buses; ++b)
      for (int32_t u = bus.firstUnit; u < bus.units; ++u) ProbeSlot({&bus, b, u}, &found);
  for (const VMwareSlot& slot : VMwareExtraSlots(m_Store)) ProbeSlot(slot, &found);
  return found;
}

void CVMWareVirtualMachine::ProbeSlot(const VMwareSlot& slot, int32_t* found) {
  WCHAR nameKey[kKeyUnits], typeKey[kKeyUnits];
  WStrFormat(nameKey, kKeyUnits, slot.bus->nameFormat, slot.busNumber, slot.unit);
  WStrFormat(typeKey, kKeyUnits, slot.bus->typeFormat, slot.busNumber, slot.unit);
  WCHAR name[kValueUnits] = {0}, type[kValueUnits] = {0};
  m_Store->GetString(u"", nameKey, name, kValueUnits);
  m_Store->GetString(u"", typeKey, type, kValueUnits);
  if (name[0] == 0) return;
  TRACE_DETAIL(slot.bus->traceFormat, slot.busNumber, slot.unit, name, type);
  if (!VMwareSlotHoldsDisk(name, type)) return;
  if (m_DiskNames && *found < m_DiskCount) m_DiskNames[*found] = WStrDup(name);
  ++*found;
}

bool CVMWareVirtualMachine::IsSuspended() {
  WCHAR value[kValueUnits] = {0};
  if (!m_Store || !m_Store->GetString(u"", u"checkpoint.vmState", value, kValueUnits)) {
    TRACE_DETAIL(u"CVMWareVirtualMachine::IsSuspended : didn't find checkpoint.vmState line.\n");
    return false;
  }
  TRACE_DETAIL(u"CVMWareVirtualMachine::IsSuspended : checkpint.vmState = \"%s\".\n", value);
  return value[0] != 0;
}

GuestOs CVMWareVirtualMachine::GetGuestOperatingSystem() {
  WCHAR value[kValueUnits] = {0};
  if (!m_Store || !m_Store->GetString(u"", u"guestOS", value, kValueUnits)) {
    TRACE_DETAIL(u"CVMWareVirtualMachine::GetGuestOperatingSystem : didn't find guestOS line.\n");
    return GuestOsUnknown;
  }
  TRACE_DETAIL(u"CVMWareVirtualMachine::GetGuestOperatingSystem : guestOS = \"%s\".\n", value);
  return VMwareGuestOsCode(value);
}
