#pragma once
#include <cstddef>
#include <string>
#include <vector>

namespace lumivane {

// Which of a device's files travel together, the one rule the engine, the
// item listing and so every client follow: files of one folder with one
// stem, compared without case (a RAW and its JPEG twin), and their sidecars
// (".XMP", ".AAE"), also one named after the whole file ("IMG_1.CR2.xmp"
// goes with IMG_1). Each group is indices into `paths`: the first file that
// is no sidecar leads (by the order given), then the others, then the
// sidecars; groups come in the order of their first file. A sidecar with no
// photo of its stem is a group of its own.
//
// Any thread.
std::vector<std::vector<std::size_t>> groupByStem(const std::vector<std::string>& paths);

// Whether the file named `name` describes another (".XMP", ".AAE").
bool isSidecar(const std::string& name);
// Whether it is an XMP sidecar, the one kind photo tools read ratings from.
bool isXmp(const std::string& name);

}  // namespace lumivane
