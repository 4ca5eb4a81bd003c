#include "bridges/import/import_log.h"

#include <ctime>

#include "runtime/file_writer.h"

namespace lumivane {

namespace {

std::string oneLine(std::string text) {
    for (auto& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
    return text;
}

std::string localTime(double seconds, const char* format) {
    std::time_t whole = static_cast<std::time_t>(seconds);
    std::tm local{};
    localtime_r(&whole, &local);
    char text[40];
    std::strftime(text, sizeof text, format, &local);
    return text;
}

}  // namespace

std::string ImportLog::text() const {
    std::string out = "Import from " + oneLine(job.device) + " to " + oneLine(destination) + ", started " +
                      localTime(job.created, "%Y-%m-%d %H:%M:%S") + "\n";
    out += std::string("Ended: ") + textOf(state) + (reason.empty() ? "" : " (" + oneLine(reason) + ")") + ". " +
           std::to_string(counts.imported) + " imported, " + std::to_string(counts.skipped) + " skipped, " +
           std::to_string(counts.failed) + " failed.\n\n";
    const std::string inside = destination + "/";
    for (const auto& item : items) {
        std::string line = std::string(textOf(item.state)) + "\t" + oneLine(item.item.path);
        if (item.state == ItemState::imported) {
            // Where the copy went, as found from the log's own folder.
            auto copy = item.path.compare(0, inside.size(), inside) == 0 ? item.path.substr(inside.size()) : item.path;
            line += "\t-> " + oneLine(copy);
        } else if (!item.reason.empty()) {
            line += "\t" + oneLine(item.reason);
        } else if (item.state == ItemState::pending) {
            line += "\tnot copied: the job ended first";
        }
        out += line + "\n";
    }
    return out;
}

Result<std::string> ImportLog::write() const {
    auto writer = FileWriter::create(destination, "Import log " + localTime(job.created, "%Y-%m-%d %H.%M.%S") + ".txt",
                                     0644, destination);
    if (!writer.ok()) return failure(writer.error());
    auto content = text();
    if (auto written = writer.value().write(content.data(), content.size()); !written.ok()) {
        writer.value().abort();
        return failure(written.error());
    }
    auto name = writer.value().commitUnderFreeName();
    if (!name.ok()) return failure(name.error());
    return destination + "/" + name.value();
}

}  // namespace lumivane
