// CMicrosoftVirtualMachine: a Microsoft .vmc configuration (XML). Open loads the document, finds
// the suspended state, the guest system and the disk files, keeps them and lets the document go.
#pragma once
#include "module/object.h"
#include "vm/virtual_machine.h"
#include "vm/xml_dom.h"

class CMicrosoftVirtualMachine final : public CVirtualMachine {
 public:
  explicit CMicrosoftVirtualMachine(const WCHAR* path) : CVirtualMachine(path) {}

  bool IsSuspended() override { return m_Suspended; }
  vmpeek::GuestOs GetGuestOperatingSystem() override { return m_Guest; }
  VMPEEK_DESTROY_SLOT(CMicrosoftVirtualMachine)
  uint32_t Open() override;  // a COM status: 0 success, negative failure

 private:
  ~CMicrosoftVirtualMachine() = default;
  void FindSuspended(XmlElement root);
  void FindGuestOs(XmlElement root);
  int32_t FindDisks(XmlElement root);
  void FindDisks(XmlElement hardware, const char* adapter, int32_t* count);
  void ProcessLocation(XmlElement location, int32_t* count);

  bool m_Suspended = false;
  vmpeek::GuestOs m_Guest = vmpeek::GuestOsUnknown;
};
