// The content identifier of an image file, read straight from the file (the host interface has
// no slot for it): a VMDK's "CID=" value, from the text descriptor or the one embedded in a hosted
// sparse file, or a VHD footer's 16-byte unique id.
#pragma once
#include <optional>
#include <string>

// Lowercase hex ("fffffffe", 32 digits for VHD); nothing when the file has none or cannot be read.
std::optional<std::string> ReadContentId(const std::string& posixPath, const std::string& format);
// The CID value of VMDK descriptor text; nothing when absent.
std::optional<std::string> DescriptorCid(const std::string& text);
