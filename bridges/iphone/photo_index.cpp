#include "bridges/iphone/photo_index.h"

#include <cstdio>
#include <filesystem>
#include <vector>

#include "bridges/iphone/phone_context.h"
#include "runtime/file_name.h"
#include "runtime/file_writer.h"
#include "runtime/read_file.h"

namespace lumivane {

namespace fs = std::filesystem;

namespace {

constexpr auto kEventInterval = std::chrono::milliseconds(100);
constexpr std::size_t kMaxStamp = 64u << 10;

struct Found {
    std::string name;
    std::int64_t size;
};

}  // namespace

std::string PhotoIndex::folder(const std::string& dataFolder, const std::string& udid) {
    return dataFolder + "/iphone-files/" + fileNameComponent(udid) + "-photos";
}

IPhoneResult<EncodableMap> PhotoIndex::copy() {
    const MobileDevice& api = context_.api();
    const std::string local = folder(context_.dataFolder, phone_.udid);
    std::error_code created;
    fs::create_directories(local, created);
    if (created) return Error{created.message()};

    // What the phone has, and the stamp that describes it.
    std::vector<Found> found;
    std::string stamp;
    for (const char* name : kFiles) {
        auto info = fileInfo(api, control_, std::string("/PhotoData/") + name);
        if (!info.ok()) continue;
        auto size = info.value().find("st_size");
        auto bytes = size == info.value().end() ? std::nullopt : fileInfoNumber(size->second);
        if (!bytes) continue;
        auto mtime = info.value().find("st_mtime");
        if (!found.empty()) stamp += "\n";
        stamp +=
            std::string(name) + ":" + std::to_string(*bytes) + ":" + (mtime == info.value().end() ? "" : mtime->second);
        found.push_back({name, *bytes});
    }
    if (found.empty() || found.front().name != kFiles[0])
        return Error{"The phone's photo index isn't readable over this connection."};

    const std::string database = local + "/" + kFiles[0];
    std::error_code ignored;
    if (readFile(local + "/stamp", kMaxStamp) == stamp && fs::exists(database, ignored))
        return EncodableMap{{"path", database}, {"copied", false}};

    std::int64_t total = 0;
    for (const auto& file : found) total += file.size;
    auto started = context_.clock.steadyNow();
    auto progress = [&](std::int64_t done) {
        context_.events.post(EncodableMap{
            {"type", "iphoneScan"}, {"udid", phone_.udid}, {"stage", "indexing"}, {"done", done}, {"total", total}});
    };
    progress(0);
    auto lastEvent = started;
    std::int64_t done = 0;
    for (const auto& file : found) {
        std::string partial = local + "/" + file.name + ".partial";
        auto writer = FileWriter::create(partial, 0644);
        if (!writer.ok()) return Error{"Can't write to " + partial + "."};
        auto streamed = streamFile(api, control_, "/PhotoData/" + file.name,
                                   [&](const std::uint8_t* data, std::uint32_t length) -> IPhoneResult<void> {
                                       if (context_.stopping()) return Error(Error::Code::cancelled, "Cancelled");
                                       if (auto written = writer.value().write(data, length); !written.ok())
                                           return written.error();
                                       done += length;
                                       auto now = context_.clock.steadyNow();
                                       if (now - lastEvent > kEventInterval) {
                                           lastEvent = now;
                                           progress(done);
                                       }
                                       return {};
                                   });
        if (!streamed.ok()) return streamed.error();
        if (auto committed = writer.value().commit(); !committed.ok()) return committed.error();
    }

    // The old copy goes whole, so that a log or shared-memory file the phone
    // no longer has does not outlive it; then the new one takes its place.
    for (const char* name : kFiles) fs::remove(local + "/" + name, ignored);
    for (const auto& file : found) {
        std::error_code renamed;
        fs::rename(local + "/" + file.name + ".partial", local + "/" + file.name, renamed);
        if (renamed) return Error{renamed.message()};
    }
    if (auto written = writeFileAtomically(local + "/stamp", stamp, 0644); !written.ok()) return written.error();

    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(context_.clock.steadyNow() - started).count();
    context_.log.write("Lumivane iPhone: copied the photo index, " + std::to_string(total) + " bytes in " +
                       std::to_string(ms) + " ms");
    return EncodableMap{{"path", database}, {"copied", true}, {"bytes", total}, {"ms", static_cast<std::int64_t>(ms)}};
}

}  // namespace lumivane
