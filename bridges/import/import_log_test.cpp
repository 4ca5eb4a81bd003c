// A job's log as a person reads it: one line per item with what became of
// it, copies named from the log's folder, and nothing from a device that can
// start a line of its own.
#include "bridges/import/import_log.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "runtime/testing/temp_folder.h"

namespace lumivane {
namespace {

ImportHistory::Item item(int seq, const std::string& source, ItemState state, const std::string& path = {},
                         const std::string& reason = {}) {
    ImportHistory::Item made;
    made.seq = seq;
    made.item.path = source;
    made.state = state;
    made.path = path;
    made.reason = reason;
    return made;
}

ImportLog sample(const std::string& destination) {
    ImportLog log;
    log.job.device = "Ada's\nimported\tfake";
    log.job.created = 1765346592;
    log.state = JobState::interrupted;
    log.reason = "Ada's iPhone was unplugged.";
    log.destination = destination;
    log.counts.imported = 1;
    log.counts.skipped = 1;
    log.counts.failed = 1;
    log.items = {item(1, "100APPLE/IMG_0001.JPG", ItemState::imported, destination + "/2019/IMG_0001.JPG"),
                 item(2, "100APPLE/IMG_0002.JPG", ItemState::skipped, "", "Already imported on 2026-12-01 10:00."),
                 item(3, "100APPLE/IMG_\r0003.JPG", ItemState::failed, "", "The phone stopped answering."),
                 item(4, "100APPLE/IMG_0004.JPG", ItemState::pending),
                 item(5, "100APPLE/IMG_0005.JPG", ItemState::imported, "/elsewhere/IMG_0005.JPG")};
    return log;
}

TEST(ImportLog, OneLinePerItemWithWhatBecameOfItAndWhy) {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    std::istringstream text(sample("/pictures").text());
    std::vector<std::string> lines;
    for (std::string line; std::getline(text, line);) lines.push_back(line);
    const std::vector<std::string> expected = {
        "Import from Ada's imported fake to /pictures, started 2025-12-10 06:03:12",
        "Ended: interrupted (Ada's iPhone was unplugged.). 1 imported, 1 skipped, 1 failed.",
        "",
        "imported\t100APPLE/IMG_0001.JPG\t-> 2019/IMG_0001.JPG",
        "skipped\t100APPLE/IMG_0002.JPG\tAlready imported on 2026-12-01 10:00.",
        "failed\t100APPLE/IMG_ 0003.JPG\tThe phone stopped answering.",
        "pending\t100APPLE/IMG_0004.JPG\tnot copied: the job ended first",
        "imported\t100APPLE/IMG_0005.JPG\t-> /elsewhere/IMG_0005.JPG",
    };
    EXPECT_EQ(lines, expected);
}

TEST(ImportLog, WrittenWholeBesideTheCopiesUnderAFreeName) {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    TempFolder folder;
    auto log = sample(folder.path());
    auto first = log.write(), second = log.write();
    ASSERT_TRUE(first.ok() && second.ok());
    EXPECT_EQ(first.value(), folder.path() + "/Import log 2025-12-10 06.03.12.txt");
    EXPECT_EQ(second.value(), folder.path() + "/Import log 2025-12-10 06.03.12 1.txt");
    std::ifstream in(first.value());
    std::stringstream read;
    read << in.rdbuf();
    EXPECT_EQ(read.str(), log.text());
    log.destination = folder.path() + "/missing";
    EXPECT_FALSE(log.write().ok());
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()), {}), 2) << "nothing half-written";
}

}  // namespace
}  // namespace lumivane
