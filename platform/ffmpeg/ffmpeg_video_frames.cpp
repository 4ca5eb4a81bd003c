#include "platform/ffmpeg/ffmpeg_video_frames.h"

#include "platform/capture_time.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/display.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <chrono>
#include <cmath>
#include <mutex>

#include "runtime/read_file.h"

namespace lumivane {

namespace {

struct CloseInput {
    void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
struct FreeCodec {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct FreeFrame {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct FreePacket {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct FreeScaler {
    void operator()(SwsContext* context) const { sws_freeContext(context); }
};
using Frame = std::unique_ptr<AVFrame, FreeFrame>;

void quietOnce() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });  // damaged files are expected input
}

// Quarter turns clockwise that the stream's display matrix asks for.
int quarterTurns(const AVStream* stream) {
    const auto* matrix =
        reinterpret_cast<const std::int32_t*>(av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, nullptr));
    if (!matrix) return 0;
    double degrees = -av_display_rotation_get(matrix);  // counterclockwise in the matrix
    if (std::isnan(degrees)) return 0;
    long turns = std::lround(degrees / 90.0) % 4;
    return int(turns < 0 ? turns + 4 : turns);
}

// Turns packed RGB rows by quarter turns clockwise.
std::vector<std::uint8_t> turned(const std::vector<std::uint8_t>& rgb, int& width, int& height, int turns) {
    if (turns == 0) return rgb;
    int w = width, h = height;
    int outWidth = turns % 2 ? h : w, outHeight = turns % 2 ? w : h;
    std::vector<std::uint8_t> out(rgb.size());
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            int ox = x, oy = y;
            if (turns == 1) ox = h - 1 - y, oy = x;
            if (turns == 2) ox = w - 1 - x, oy = h - 1 - y;
            if (turns == 3) ox = y, oy = w - 1 - x;
            std::copy_n(&rgb[(std::size_t(y) * w + x) * 3], 3, &out[(std::size_t(oy) * outWidth + ox) * 3]);
        }
    width = outWidth;
    height = outHeight;
    return out;
}

// When a call on one file gives up: every read of the file after it fails, so
// a file made to demux or decode slowly never holds a worker for long.
struct Deadline {
    std::chrono::steady_clock::time_point at;
    static int passed(void* self) { return std::chrono::steady_clock::now() >= static_cast<Deadline*>(self)->at; }
};

// A video file opened and probed within bounds, or null. A file from outside
// may claim any number of tracks and hide its streams' parameters far in:
// probing reads at most kProbeBytes and a file of more than kMaxStreams
// streams (a phone's or a camera's has a handful) is no video to show.
std::unique_ptr<AVFormatContext, CloseInput> openInput(const std::string& path, Deadline& deadline) {
    constexpr const char* kMaxStreams = "32";
    constexpr const char* kProbeBytes = "8000000";
    constexpr const char* kAnalyzeMicroseconds = "5000000";
    // Opened through the file checked, so a path swapped meanwhile for a
    // FIFO or a device cannot wedge the demuxer.
    auto file = RegularFile::open(path);
    if (!file) return nullptr;
    AVDictionary* options = nullptr;
    av_dict_set(&options, "max_streams", kMaxStreams, 0);
    av_dict_set(&options, "probesize", kProbeBytes, 0);
    av_dict_set(&options, "analyzeduration", kAnalyzeMicroseconds, 0);
    AVFormatContext* opened = avformat_alloc_context();
    if (!opened) {
        av_dict_free(&options);
        return nullptr;
    }
    opened->interrupt_callback = {&Deadline::passed, &deadline};
    int result = avformat_open_input(&opened, file->path().c_str(), nullptr, &options);  // frees it on failure
    av_dict_free(&options);
    if (result != 0) return nullptr;
    std::unique_ptr<AVFormatContext, CloseInput> input(opened);
    if (input->nb_streams > 32 || avformat_find_stream_info(input.get(), nullptr) < 0) return nullptr;
    return input;
}

// The file's best video stream with its decoder open, or none: no video, or
// frames larger than kMaxPixels.
struct Video {
    AVStream* stream = nullptr;
    int index = -1;
    std::unique_ptr<AVCodecContext, FreeCodec> decoder;
    double unit = 0;         // seconds per stream time unit
    std::int64_t start = 0;  // the stream's first time, in its units
};

std::optional<Video> openVideo(AVFormatContext& input) {
    const AVCodec* codec = nullptr;
    int index = av_find_best_stream(&input, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
    if (index < 0 || !codec) return std::nullopt;
    AVStream* stream = input.streams[index];
    auto* parameters = stream->codecpar;
    if (parameters->width <= 0 || parameters->height <= 0 ||
        std::int64_t{parameters->width} * parameters->height > FfmpegVideoFrames::kMaxPixels)
        return std::nullopt;
    std::unique_ptr<AVCodecContext, FreeCodec> decoder(avcodec_alloc_context3(codec));
    if (!decoder || avcodec_parameters_to_context(decoder.get(), parameters) < 0) return std::nullopt;
    decoder->thread_count = 1;
    if (avcodec_open2(decoder.get(), codec, nullptr) < 0) return std::nullopt;
    return Video{stream, index, std::move(decoder), av_q2d(stream->time_base),
                 stream->start_time == AV_NOPTS_VALUE ? 0 : stream->start_time};
}

// To the key frame at or before `seconds` (from the stream's start).
void seekBefore(AVFormatContext& input, Video& video, double seconds) {
    if (video.unit <= 0 || seconds <= 0) return;
    auto target = video.start + std::int64_t(seconds / video.unit);
    if (av_seek_frame(&input, video.index, target, AVSEEK_FLAG_BACKWARD) >= 0)
        avcodec_flush_buffers(video.decoder.get());
}

// Decodes on to the frame nearest the time asked for within the tolerance:
// the last one before it and the first one at or after it are the
// candidates. At most kMaxFrames frames are decoded on the way.
Frame nearestFrame(AVFormatContext& input, Video& video, const VideoFrames::Request& request) {
    Frame before, chosen;
    double beforeTime = 0, wanted = request.seconds;
    Frame decoded(av_frame_alloc());
    std::unique_ptr<AVPacket, FreePacket> packet(av_packet_alloc());
    if (!decoded || !packet) return nullptr;
    bool draining = false;
    int frames = 0;
    while (!chosen && frames < FfmpegVideoFrames::kMaxFrames) {
        int received = avcodec_receive_frame(video.decoder.get(), decoded.get());
        if (received == AVERROR(EAGAIN)) {
            if (draining) break;
            int read = av_read_frame(&input, packet.get());
            if (read < 0) {
                draining = true;
                avcodec_send_packet(video.decoder.get(), nullptr);
                continue;
            }
            if (packet->stream_index == video.index) avcodec_send_packet(video.decoder.get(), packet.get());
            av_packet_unref(packet.get());
            continue;
        }
        if (received < 0) break;  // end of stream, or a decoder that gives up
        ++frames;
        std::int64_t pts =
            decoded->best_effort_timestamp == AV_NOPTS_VALUE ? video.start : decoded->best_effort_timestamp;
        double time = double(pts - video.start) * video.unit;
        if (time < wanted) {
            if (!request.toleranceBefore || wanted - time <= *request.toleranceBefore) {
                before.reset(av_frame_clone(decoded.get()));
                beforeTime = time;
            }
        } else if (!request.toleranceAfter || time - wanted <= *request.toleranceAfter) {
            bool earlierIsNearer = before && wanted - beforeTime < time - wanted;
            chosen = earlierIsNearer ? std::move(before) : Frame(av_frame_clone(decoded.get()));
        } else {
            break;  // past the window
        }
        av_frame_unref(decoded.get());
    }
    return chosen ? std::move(chosen) : std::move(before);
}

struct RGB {
    std::vector<std::uint8_t> pixels;  // packed rows
    int width = 0, height = 0;
};

// The frame as packed RGB at its shown size (pixels may be non-square),
// scaled down to fit a square of `maxPixelSize`.
std::optional<RGB> scaledRGB(const AVFrame& frame, int maxPixelSize) {
    double shownWidth = frame.width;
    if (frame.sample_aspect_ratio.num > 0 && frame.sample_aspect_ratio.den > 0)
        shownWidth *= av_q2d(frame.sample_aspect_ratio);
    double scale = std::min(1.0, maxPixelSize / std::max(shownWidth, double(frame.height)));
    RGB out;
    out.width = std::max(1, int(std::lround(shownWidth * scale)));
    out.height = std::max(1, int(std::lround(frame.height * scale)));
    std::unique_ptr<SwsContext, FreeScaler> scaler(
        sws_getContext(frame.width, frame.height, AVPixelFormat(frame.format), out.width, out.height, AV_PIX_FMT_RGB24,
                       SWS_AREA, nullptr, nullptr, nullptr));
    if (!scaler) return std::nullopt;
    out.pixels.resize(std::size_t(out.width) * out.height * 3);
    std::uint8_t* rows[4] = {out.pixels.data(), nullptr, nullptr, nullptr};
    int strides[4] = {out.width * 3, 0, 0, 0};
    if (sws_scale(scaler.get(), frame.data, frame.linesize, 0, frame.height, rows, strides) != out.height)
        return std::nullopt;
    return out;
}

}  // namespace

std::optional<double> FfmpegVideoFrames::duration(const std::string& path) {
    quietOnce();
    Deadline deadline{std::chrono::steady_clock::now() + timeLimit_};
    auto input = openInput(path, deadline);
    if (!input || input->duration == AV_NOPTS_VALUE || input->duration <= 0) return std::nullopt;
    return double(input->duration) / AV_TIME_BASE;
}

std::optional<std::int64_t> FfmpegVideoFrames::creationTime(const std::string& path) {
    quietOnce();
    Deadline deadline{std::chrono::steady_clock::now() + timeLimit_};
    auto input = openInput(path, deadline);
    if (!input) return std::nullopt;
    // A phone's video carries its local time with the zone it was in; the
    // container's own field is UTC. Either may also sit on the video track.
    for (const char* key : {"com.apple.quicktime.creationdate", "creation_time"}) {
        const AVDictionaryEntry* entry = av_dict_get(input->metadata, key, nullptr, 0);
        for (unsigned i = 0; !entry && i < input->nb_streams; ++i)
            entry = av_dict_get(input->streams[i]->metadata, key, nullptr, 0);
        if (!entry || !entry->value) continue;
        if (auto parsed = parseIsoDateTime(entry->value)) return parsed;
    }
    return std::nullopt;
}

std::unique_ptr<Picture> FfmpegVideoFrames::frame(const std::string& path, const Request& request) {
    quietOnce();
    if (request.maxPixelSize <= 0) return nullptr;
    Deadline deadline{std::chrono::steady_clock::now() + timeLimit_};
    auto input = openInput(path, deadline);
    if (!input) return nullptr;
    auto video = openVideo(*input);
    if (!video) return nullptr;
    seekBefore(*input, *video, request.seconds);
    auto chosen = nearestFrame(*input, *video, request);
    if (!chosen || chosen->width <= 0 || chosen->height <= 0) return nullptr;
    auto rgb = scaledRGB(*chosen, request.maxPixelSize);
    if (!rgb) return nullptr;
    rgb->pixels = turned(rgb->pixels, rgb->width, rgb->height, quarterTurns(video->stream));
    return imaging_.pictureWithRGB(rgb->width, rgb->height, std::move(rgb->pixels));
}

}  // namespace lumivane
