#include "cli/volume_label.h"

#include "platform/win_file.h"
#include "platform/wstr.h"

VolumeLabel ReadVolumeLabel(vmpeek::CMountedVirtualPartition* mounted) {
  VolumeLabel out;
  WCHAR* root = mounted->GetFullPath(u"\\");
  if (!root) return out;
  WCHAR label[261] = {}, fs[64] = {};
  if (GetVolumeInformationW(root, label, 261, nullptr, nullptr, nullptr, fs, 64)) {
    out.fileSystem = Utf16ToUtf8(fs);
    out.label = Utf16ToUtf8(label);
  }
  mounted->FreeString(root);
  return out;
}
