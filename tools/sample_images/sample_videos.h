#pragma once
// Short generated videos for the tests, made with the ffmpeg command from a
// generated picture (a gradient with a red mark at its top left, as shown).
#include <cstdlib>
#include <initializer_list>
#include <string>

#include "tools/sample_images/sample_images.h"

namespace lumivane {

struct VideoSpec {
    const char* codec = "libx264";  // or "libx265"
    double seconds = 2;
    // Stored a quarter turn clockwise, with a display matrix that turns it a
    // quarter anticlockwise (what this ffmpeg writes for "rotate=90").
    bool turned = false;
    int width = 320, height = 240;  // as shown
    int pixelAspect = 1;            // stored pixels this many times as wide as tall (width / pixelAspect stored)
};

// Writes the video to `path` (its extension picks the container); false on failure.
inline bool makeVideo(const std::string& path, const VideoSpec& spec) {
    auto picture = path + ".png";
    if (!samples::write(
            picture, {.format = samples::Format::png, .width = spec.width / spec.pixelAspect, .height = spec.height}))
        return false;
    std::string command = "ffmpeg -v error -y -loop 1 -framerate 25 -i '" + picture + "' -t " +
                          std::to_string(spec.seconds) + " -c:v " + spec.codec + " -pix_fmt yuv420p";
    if (spec.turned) command += " -vf transpose=clock";
    if (spec.pixelAspect != 1) command += " -vf setsar=" + std::to_string(spec.pixelAspect);
    if (std::string(spec.codec) == "libx265") command += " -tag:v hvc1 -x265-params log-level=none";
    auto encoded = spec.turned ? path + ".part" + path.substr(path.rfind('.')) : path;
    command += " '" + encoded + "'";
    // This ffmpeg writes the rotation only when it copies a stream as it is.
    if (spec.turned)
        command += " && ffmpeg -v error -y -i '" + encoded + "' -c copy -metadata:s:v:0 rotate=90 '" + path +
                   "' && rm '" + encoded + "'";
    bool made = std::system(command.c_str()) == 0;
    std::remove(picture.c_str());
    return made;
}

// A video of `seconds` per colour, one colour after another, at 25 frames a
// second.
inline bool colourVideo(const std::string& path, std::initializer_list<const char*> colours, double seconds) {
    std::string command = "ffmpeg -v error -y";
    for (const char* colour : colours)
        command += std::string(" -f lavfi -i color=c=") + colour + ":s=320x240:r=25:d=" + std::to_string(seconds);
    command += " -filter_complex '";
    for (std::size_t i = 0; i < colours.size(); ++i) command += "[" + std::to_string(i) + "]";
    command += "concat=n=" + std::to_string(colours.size()) + ":v=1' -c:v libx264 -pix_fmt yuv420p '" + path + "'";
    return std::system(command.c_str()) == 0;
}

}  // namespace lumivane
