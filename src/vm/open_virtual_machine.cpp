// OpenVirtualMachine: picks the configuration reader by the file extension (.VMX or .VMC).
#include "vm/open_virtual_machine.h"

#include <cstdlib>
#include "module/parse_trace.h"
#include "platform/status.h"
#include "platform/wstr.h"
#include "vm/microsoft_virtual_machine.h"
#include "vm/vmware_virtual_machine.h"

uint32_t OpenVirtualMachine(const WCHAR* path, vmpeek::CVirtualMachine** machine) {
  OpenParseTraceChannels();
  if (!path) {
    TRACE_ERR(u"OpenVirtualMachine(NULL)\n");
    if (machine) *machine = nullptr;
    return ERROR_INVALID_PARAMETER;
  }
  TRACE_DETAIL(u"OpenVirtualMachine(%s)\n", path);
  TRACE_ERR(u"OpenVirtualMachine(%s)\n", path);

  uint32_t status = ERROR_SUCCESS;
  CVirtualMachine* made = nullptr;
  WCHAR* upper = WStrDup(path);
  if (upper) {
    WStrUpper(upper);
    const WCHAR* slash = WStrRChr(upper, u'\\');
    const WCHAR* dot = WStrRChr(upper, u'.');
    if (!dot || !slash || dot < slash) {
      TRACE_ERR(u"OpenVirtualMachine : no extension\n");
      status = ERROR_INVALID_PARAMETER;
    } else if (WStrCmp(dot, u".VMX") == 0) {
      TRACE_DETAIL(u"OpenVirtualMachine : Making CVMWareVirtualMachine\n");
      made = new (std::nothrow) CVMWareVirtualMachine(path);
    } else if (WStrCmp(dot, u".VMC") == 0) {
      TRACE_DETAIL(u"OpenVirtualMachine : Making CMicrosoftVirtualMachine\n");
      made = new (std::nothrow) CMicrosoftVirtualMachine(path);
    } else {
      TRACE_ERR(u"OpenVirtualMachine : unrecognised extension\n");
      status = ERROR_INVALID_PARAMETER;
    }
    free(upper);
  } else {
    status = ERROR_NOT_ENOUGH_MEMORY;
  }

  if (made) {
    // A reader that could not keep its own copy of the path cannot open anything.
    uint32_t opened = made->Path() ? made->Open() : ERROR_NOT_ENOUGH_MEMORY;
    if (opened != 0) {
      status = opened;
      made->Release();
      made = nullptr;
    }
  }
  if (machine)
    *machine = made;
  else if (made)
    made->Release();  // nowhere to hand it
  return status;
}
