#pragma once
#include <optional>

#include "channel/encodable_value.h"
#include "platform/imaging.h"

namespace lumivane {

// A thumbnail of `source`'s first image, its longer edge at most `px`, turned
// the way the file says, encoded as one JPEG at quality 0.8; nothing when
// decoding or encoding fails. Runs on the caller's thread.
std::optional<Bytes> jpegThumbnail(Imaging& imaging, const ImageSource& source, ThumbnailFrom from, int px);

// The same from a file's bytes; nothing when they are not an image.
std::optional<Bytes> jpegThumbnail(Imaging& imaging, Bytes bytes, ThumbnailFrom from, int px);

}  // namespace lumivane
