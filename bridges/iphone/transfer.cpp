#include "bridges/iphone/transfer.h"

#include "bridges/iphone/dcim_scan.h"
#include "bridges/iphone/phone_context.h"
#include "runtime/file_writer.h"

namespace lumivane {

namespace {

constexpr auto kEventInterval = std::chrono::milliseconds(100);

}  // namespace

IPhoneResult<std::string> Transfer::run(PhoneContext& context, const std::shared_ptr<AFCConnection>& connection) const {
    auto outcome = copy(context, *connection);
    connection->close();
    return outcome;
}

IPhoneResult<std::string> Transfer::copy(PhoneContext& context, AFCConnection& connection) const {
    const MobileDevice& api = context.api();
    const std::string phonePath = DcimScan::phonePath(path);
    auto info = fileInfo(api, connection, phonePath);
    if (!info.ok()) return info.error();
    std::int64_t total = 0;
    if (auto size = info.value().find("st_size"); size != info.value().end())
        total = fileInfoNumber(size->second).value_or(0);

    // A download is the user's file, not a private one: readable by all.
    auto local = FileWriter::create(target, 0644, within);
    if (!local.ok()) return Error{"Can't write to " + target + "."};

    std::int64_t written = 0;
    std::optional<Clock::Steady> lastEvent;  // none yet: the first chunk always reports
    auto streamed = streamFile(
        api, connection, phonePath, [&](const std::uint8_t* data, std::uint32_t length) -> IPhoneResult<void> {
            if (context.takeCancel(token)) return Error(Error::Code::cancelled, "Cancelled");
            // A local write error (a full disk, say) is told in the system's words.
            if (auto stored = local.value().write(data, length); !stored.ok()) return stored.error();
            written += length;
            auto now = context.clock.steadyNow();
            if (!lastEvent || now - *lastEvent > kEventInterval || written == total) {
                lastEvent = now;
                context.events.post(
                    EncodableMap{{"type", "download"}, {"token", token}, {"done", written}, {"total", total}});
            }
            return {};
        });
    if (!streamed.ok()) return streamed.error();
    if (total >= 1 && written != total)
        return Error{path + ": got " + std::to_string(written) + " of " + std::to_string(total) + " bytes."};
    if (auto committed = local.value().commit(); !committed.ok()) return committed.error();
    return target;
}

}  // namespace lumivane
