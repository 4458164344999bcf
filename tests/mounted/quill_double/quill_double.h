// A stand-in for the external volume driver's link library, for the exact records the plug-in
// sends: it answers "QuillLoad2", records every request and replies as the test sets it up.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct QuillDoubleRequest {
  uint32_t code;
  std::vector<uint8_t> in;
  uint64_t outSize;
  bool wantsReturned;
};

struct QuillDoubleState {
  std::vector<QuillDoubleRequest> requests;
  uint32_t status[8] = {};        // reply status by request code
  std::u16string rootName = u"\\\\?\\GLOBALROOT\\Device\\ZelVolume{1}";
  uint64_t mountId = 0x1122334455667788ull;
  uint32_t readOnlyValue = 0;
  uint64_t readOnlyReturned = 4;
  int connections = 0;            // LoadContentDriver calls
  int driverRefs = 0;             // references on the one ContentDriver alive
};

// Exported by libquilldrv_double.so.
typedef QuillDoubleState* (*PFN_QuillDoubleState)();
