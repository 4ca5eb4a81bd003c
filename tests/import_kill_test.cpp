// A host killed (SIGKILL) in the middle of an import, and the next one
// resuming it: every item copied exactly once, whole, and nothing half
// written left behind.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <thread>

#include "channel/arguments.h"
#include "runtime/testing/temp_folder.h"
#include "tests/host_process.h"
#include "tools/transport/host_client.h"

using namespace lumivane;
namespace fs = std::filesystem;

namespace {

constexpr int kFiles = 60;

std::string contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

EncodableValue answer(HostClient& client, const std::string& method, const EncodableMap& args) {
    auto reply = client.call("lumivane/import", method, args);
    auto* value = reply.ok() ? std::get_if<EncodableValue>(&reply.value()) : nullptr;
    return value ? *value : EncodableValue();
}

// The job's status once `ready` holds for it, polled as it goes.
EncodableValue statusWhen(HostClient& client, const std::string& job,
                          const std::function<bool(const Arguments&)>& ready) {
    for (int i = 0; i < 6000; ++i) {
        auto status = answer(client, "import.status", {{"job", job}});
        if (ready(Arguments(status))) return status;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return answer(client, "import.status", {{"job", job}});
}

struct Host {
    HostProcess process;
    HostClient client;
    Host(const std::string& home, const std::string& card) : process({"--home", home}) {
        EXPECT_TRUE(client.connect(process.socketPath(), std::chrono::seconds(20)));
        auto mounted = client.call("sim/control", "volume.mount", EncodableMap{{"path", card}, {"uuid", "KILL-1"}});
        EXPECT_TRUE(mounted.ok());
    }
};

}  // namespace

TEST(ImportKill, AJobResumedAfterTheHostWasKilledCopiesEveryItemOnce) {
    TempFolder work;
    auto home = work / "home", card = work / "CARD", destination = work / "Pictures";
    fs::create_directories(card + "/DCIM/100KILL");
    fs::create_directories(destination);
    std::mt19937 random(11);
    for (int i = 0; i < kFiles; ++i) {
        std::string bytes(1 << 20, '\0');
        for (std::size_t at = 0; at < bytes.size(); at += 4) {  // a draw is four bytes
            auto word = static_cast<std::uint32_t>(random());
            std::memcpy(&bytes[at], &word, 4);
        }
        std::ofstream(card + "/DCIM/100KILL/IMG_" + std::to_string(1000 + i) + ".JPG", std::ios::binary) << bytes;
    }

    std::string job;
    {
        Host first(home, card);
        auto started =
            answer(first.client, "import.start",
                   {{"source", EncodableMap{{"kind", "volume"}, {"id", card}}}, {"destination", destination}});
        ASSERT_TRUE(started.get<std::string>());
        job = *started.get<std::string>();
        statusWhen(first.client, job, [](const Arguments& s) { return s.integer("imported").value_or(0) >= 5; });
        ::kill(first.process.pid(), SIGKILL);
        first.process.stop();
    }
    Host second(home, card);
    auto before = statusWhen(second.client, job, [](const Arguments&) { return true; });
    ASSERT_EQ(Arguments(before).string("state"), "interrupted");
    ASSERT_LT(Arguments(before).integer("imported").value_or(0), kFiles) << "the job ended before the kill";
    ASSERT_TRUE(answer(second.client, "import.resume", {{"job", job}}).get<std::string>());
    auto after =
        statusWhen(second.client, job, [](const Arguments& s) { return s.string("state").value_or("") != "running"; });
    Arguments status(after);
    EXPECT_EQ(status.string("state"), "done");
    EXPECT_EQ(status.integer("imported"), kFiles);
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(destination)) names.insert(entry.path().filename());
    EXPECT_EQ(names.size(), std::size_t(kFiles));
    for (const auto& name : names) {
        EXPECT_EQ(name.find(".lumivane"), std::string::npos) << name;
        EXPECT_EQ(contents(destination + "/" + name), contents(card + "/DCIM/100KILL/" + name)) << name;
    }
}
