#pragma once
#include <optional>
#include <string>

namespace lumivane {

// What a file is taken to be from its name's extension, one list per purpose
// (case does not matter). Any thread.

// The type identifier a Mac gives a camera's or a card's file of this name
// (photos, RAW files, videos); none for a name it does not take as media.
std::optional<std::string> cameraTypeIdentifier(const std::string& name);

// Whether a camera's file of this name is a video: the movie types among
// cameraTypeIdentifier's.
bool isCameraVideoName(const std::string& name);

// Whether a file on a volume with this name is a video whose frame can be its
// thumbnail: wider than the cameras' list (action cameras' proxies and 360
// files, broadcast formats).
bool isVideoFileName(const std::string& name);

// Whether a file of this name is a HEIF container (HEIC, HEIF, AVIF), whose
// metadata are items that may lie anywhere in the file.
bool isHeifFileName(const std::string& name);

}  // namespace lumivane
