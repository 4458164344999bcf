#include "vm/vmware_slots.h"

#include <algorithm>
#include <tuple>

#include "platform/wstr.h"

namespace {

constexpr size_t kNameUnits = 128;

const VMwareBus kExtraBuses[] = {
    {u"sata%d:%d.filename", u"sata%d:%d.deviceType", u"CVMWareVirtualMachine::FindDisksEx : SATA%d:%d = %s(%s).\n",
     4, 0, 30},
    {u"nvme%d:%d.filename", u"nvme%d:%d.deviceType", u"CVMWareVirtualMachine::FindDisksEx : NVME%d:%d = %s(%s).\n",
     4, 0, 15},
    {u"scsi%d:%d.filename", u"scsi%d:%d.deviceType", u"CVMWareVirtualMachine::FindDisksEx : SCSI%d:%d = %s(%s).\n",
     4, 16, 65},
};

// Reads a decimal number of at most 3 digits at *p; false when there is none.
bool ReadNumber(const WCHAR** p, int32_t* value) {
  const WCHAR* s = *p;
  *value = 0;
  while (**p >= u'0' && **p <= u'9' && *p - s < 3) *value = *value * 10 + (*(*p)++ - u'0');
  return *p != s;
}

// The extra slot a key name stands for, when it is one's file name key written the way the
// probe formats it (any case, no leading zeros).
bool ParseSlotKey(const WCHAR* key, VMwareSlot* slot) {
  for (const VMwareBus& bus : kExtraBuses) {
    if (WStrNICmpAZ(key, bus.nameFormat, 4) != 0) continue;
    const WCHAR* p = key + 4;
    int32_t busNumber = 0, unit = 0;
    if (!ReadNumber(&p, &busNumber) || *p++ != u':' || !ReadNumber(&p, &unit)) return false;
    if (busNumber >= bus.buses || unit < bus.firstUnit || unit >= bus.units) continue;
    WCHAR formatted[kNameUnits];
    WStrFormat(formatted, kNameUnits, bus.nameFormat, busNumber, unit);
    if (WStrICmpAZ(formatted, key) != 0) return false;
    *slot = {&bus, busNumber, unit};
    return true;
  }
  return false;
}

}  // namespace

bool ContainsAZ(const WCHAR* text, const WCHAR* word) {
  const size_t n = WStrLen(word);
  for (; *text; ++text)
    if (WStrNICmpAZ(text, word, n) == 0) return true;
  return false;
}

const VMwareBus kVMwareFixedBuses[2] = {
    {u"ide%d:%d.filename", u"ide%d:%d.deviceType", u"CVMWareVirtualMachine::FindDisksEx : IDE%d:%d = %s(%s).\n", 2,
     0, 2},
    {u"scsi%d:%d.filename", u"scsi%d:%d.deviceType", u"CVMWareVirtualMachine::FindDisksEx : SCSI%d:%d = %s(%s).\n",
     4, 0, 16},
};

std::vector<VMwareSlot> VMwareExtraSlots(CfgBall* store) {
  std::vector<VMwareSlot> slots;
  CfgBallEnum* keys = store->EnumKeys(u"");
  if (!keys) {
    for (const VMwareBus& bus : kExtraBuses)
      for (int32_t b = 0; b < bus.buses; ++b)
        for (int32_t u = bus.firstUnit; u < bus.units; ++u) slots.push_back({&bus, b, u});
    return slots;
  }
  WCHAR key[kNameUnits];
  VMwareSlot slot;
  while (keys->Next(key, kNameUnits))
    if (ParseSlotKey(key, &slot)) slots.push_back(slot);
  keys->Release();
  auto order = [](const VMwareSlot& s) { return std::tuple(s.bus, s.busNumber, s.unit); };
  std::sort(slots.begin(), slots.end(), [&](const VMwareSlot& a, const VMwareSlot& b) { return order(a) < order(b); });
  slots.erase(std::unique(slots.begin(), slots.end(),
                          [&](const VMwareSlot& a, const VMwareSlot& b) { return order(a) == order(b); }),
              slots.end());
  return slots;
}

bool VMwareSlotHoldsDisk(const WCHAR* fileName, const WCHAR* deviceType) {
  if (WStrICmpAZ(fileName, u"auto detect") == 0) return false;
  // "cdrom-raw", "cdrom-image", "atapi-cdrom", "sata-cdrom", "CD-ROM", "floppy-image", ...
  WCHAR squeezed[kNameUnits];
  size_t n = 0;
  for (const WCHAR* p = deviceType; *p && n + 1 < kNameUnits; ++p)
    if (*p != u'-' && *p != u'_' && *p != u' ') squeezed[n++] = *p;
  squeezed[n] = 0;
  return !ContainsAZ(squeezed, u"cdrom") && !ContainsAZ(squeezed, u"dvdrom") && !ContainsAZ(squeezed, u"floppy") &&
         !ContainsAZ(squeezed, u"passthru");
}
