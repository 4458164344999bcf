#include "cli/guest_drives.h"

#include "cli/volume_label.h"

int CollectDrives(GuestSession& session, std::vector<DriveRow>* rows) {
  std::vector<GuestVolume> volumes;
  if (int rc = session.ListVolumes(&volumes)) return rc;
  for (const GuestVolume& v : volumes) {
    DriveRow row;
    row.volume = v;
    const GuestVolume& mine = session.Chosen();
    if (v.disk == mine.disk && v.partition == mine.partition) {
      VolumeLabel l = ReadVolumeLabel(session.Volume());
      row.fileSystem = l.fileSystem;
      row.label = l.label;
    } else {
      Ref<vmpeek::CMountedVirtualPartition> other;
      if (session.MountOther(v, &other) == 0) {
        VolumeLabel l = ReadVolumeLabel(other.Get());
        row.fileSystem = l.fileSystem;
        row.label = l.label;
      }
    }
    rows->push_back(row);
  }
  return 0;
}

Json DriveJson(const DriveRow& row) {
  Json j;
  j["disk"] = row.volume.disk;
  j["image"] = row.volume.image;
  if (row.volume.partition == 255)
    j["partition"] = "whole";
  else
    j["partition"] = row.volume.partition;
  j["type"] = row.volume.type;
  j["size"] = row.volume.bytes;
  j["filesystem"] = row.fileSystem.empty() ? Json() : Json(row.fileSystem);
  j["label"] = row.label;
  j["letter"] = row.volume.letter ? Json(std::string(1, row.volume.letter) + ":") : Json();
  return j;
}
