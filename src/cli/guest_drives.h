// Every volume of a target with its filesystem, label, size and the guest's drive letter.
#pragma once
#include <string>
#include <vector>

#include "cli/guest_session.h"
#include "cli/json_output.h"

struct DriveRow {
  GuestVolume volume;
  std::string fileSystem;  // "" when the volume does not mount
  std::string label;
};

// Needs an open session; letters come from its registry when it has one loaded.
int CollectDrives(GuestSession& session, std::vector<DriveRow>* rows);
Json DriveJson(const DriveRow& row);
