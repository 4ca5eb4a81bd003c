// The web console in front of a real host process: its guard (token, Host
// header, the listed methods, the chosen destination), its calls and its
// event stream.
#include <gtest/gtest.h>

#include <httplib.h>
#include <map>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>
#include <tuple>

#include "runtime/testing/build_paths.h"
#include "runtime/testing/temp_folder.h"
#include "tests/host_process.h"
#include "tools/common/json_value.h"
#include "tools/console/console_server.h"
#include "tools/console/console_token.h"
#include "tools/transport/host_client.h"

using namespace lumivane;
namespace fs = std::filesystem;

namespace {

struct Console : ::testing::Test {
    HostProcess host;
    std::unique_ptr<ConsoleServer> console;
    std::unique_ptr<httplib::Client> client;
    std::string cookie;

    void SetUp() override {
        HostClient ready;  // the host listens before the console starts
        ASSERT_TRUE(ready.connect(host.socketPath()));
        console = std::make_unique<ConsoleServer>(ConsoleServer::Options{host.socketPath()});
        ASSERT_TRUE(console->start());
        client = std::make_unique<httplib::Client>("127.0.0.1", console->port());
        cookie = console->cookieName() + "=" + console->token();
    }
    httplib::Headers withCookie() { return {{"Cookie", cookie}}; }
    Json post(const std::string& path, const Json& body, int expected = 200) {
        auto response = client->Post(path.c_str(), withCookie(), body.dump(), "application/json");
        EXPECT_TRUE(response);
        if (!response) return Json();
        EXPECT_EQ(response->status, expected) << path << " " << body.dump() << " " << response->body;
        return Json::parse(response->body, nullptr, false);
    }
};

}  // namespace

TEST_F(Console, OnlyTheTokenAndTheListeningAddressGetIn) {
    auto url = console->url();
    auto path = url.substr(url.find('/', 7));
    auto first = client->Get(path.c_str());
    ASSERT_TRUE(first);
    EXPECT_EQ(first->status, 200);
    EXPECT_NE(first->body.find("<title>Lumivane console</title>"), std::string::npos);
    // Then the cookie carries it: this console's own name, never readable by
    // the page's scripts, never sent by another site.
    EXPECT_EQ(first->get_header_value("Set-Cookie"), "lumivane_token_" + std::to_string(console->port()) + "=" +
                                                         console->token() + "; HttpOnly; SameSite=Strict; Path=/");

    const std::string self = "http://127.0.0.1:" + std::to_string(console->port());
    const std::string otherPort = "http://127.0.0.1:" + std::to_string(console->port() + 1);
    struct Case {
        const char* name;
        httplib::Headers headers;
        int status;
    };
    const Case cases[] = {
        {"no token", {}, 403},
        {"a wrong token", {{"Cookie", console->cookieName() + "=" + std::string(64, '0')}}, 403},
        {"another console's cookie name", {{"Cookie", "lumivane_token=" + console->token()}}, 403},
        {"the cookie", withCookie(), 200},
        {"another host name",
         {{"Cookie", cookie}, {"Host", "attacker.example:" + std::to_string(console->port())}},
         421},
        {"its own page", {{"Cookie", cookie}, {"Origin", self}, {"Sec-Fetch-Site", "same-origin"}}, 200},
        {"a page on another port", {{"Cookie", cookie}, {"Origin", otherPort}}, 403},
        {"a page of another site", {{"Cookie", cookie}, {"Origin", "http://attacker.example"}}, 403},
        {"a same-site page without Origin", {{"Cookie", cookie}, {"Sec-Fetch-Site", "same-site"}}, 403},
        {"a cross-site navigation", {{"Cookie", cookie}, {"Sec-Fetch-Site", "cross-site"}}, 403},
        {"the address typed in", {{"Cookie", cookie}, {"Sec-Fetch-Site", "none"}}, 200},
        {"localhost for loopback",
         {{"Cookie", cookie},
          {"Host", "localhost:" + std::to_string(console->port())},
          {"Origin", "http://localhost:" + std::to_string(console->port())}},
         200},
        {"localhost's page calling 127.0.0.1",
         {{"Cookie", cookie}, {"Origin", "http://localhost:" + std::to_string(console->port())}},
         403},
    };
    for (const auto& c : cases) {
        auto response = client->Get("/", c.headers);
        ASSERT_TRUE(response) << c.name;
        EXPECT_EQ(response->status, c.status) << c.name;
    }
    // A person at the address bar without the token reads why, not JSON.
    auto bare = client->Get("/");
    ASSERT_TRUE(bare);
    EXPECT_EQ(bare->get_header_value("Content-Type"), "text/html; charset=utf-8");
    EXPECT_NE(bare->body.find("Open the address the console printed."), std::string::npos);
    // A simple request (a form's text/plain body) is not JSON, so never a call.
    auto simple = client->Post("/api/call", withCookie(), R"({"channel": "lumivane/macos", "method": "camera.list"})",
                               "text/plain");
    ASSERT_TRUE(simple);
    EXPECT_EQ(simple->status, 415);
}

TEST_F(Console, TwoConsolesKeepTheirOwnCookies) {
    ConsoleServer::Options kept{host.socketPath()};
    kept.tokenKept = true;
    ConsoleServer second(kept);
    ASSERT_TRUE(second.start());
    EXPECT_NE(second.cookieName(), console->cookieName());
    httplib::Client other("127.0.0.1", second.port());
    // A browser sends both consoles' cookies to each: each finds its own.
    std::string both = cookie + "; " + second.cookieName() + "=" + second.token();
    for (auto* c : {client.get(), &other}) {
        auto response = c->Get("/", {{"Cookie", both}});
        ASSERT_TRUE(response);
        EXPECT_EQ(response->status, 200);
    }
    // A kept token's cookie outlives the browser's session (a bookmark
    // without the token still opens the page); a token of this start only
    // is not kept past it.
    for (auto [c, token, lasting] :
         {std::tuple{client.get(), console->token(), false}, std::tuple{&other, second.token(), true}}) {
        auto response = c->Get("/?token=" + token);
        ASSERT_TRUE(response);
        auto set = response->get_header_value("Set-Cookie");
        EXPECT_NE(set.find("HttpOnly"), std::string::npos) << set;
        EXPECT_EQ(set.find("Max-Age=34560000") != std::string::npos, lasting) << set;
    }
}

// Folders are typed as a person types them, and one that is not there yet is
// made only when the page says the person agreed.
TEST_F(Console, AFolderIsTypedAsAPersonWouldAndMadeOnlyWhenAsked) {
    TempFolder home;
    fs::create_directories(home.path() + "/Pictures");
    std::ofstream(home.path() + "/a-file") << "x";
    ConsoleServer::Options options{host.socketPath()};
    options.home = home.path();
    ConsoleServer typed(options);
    ASSERT_TRUE(typed.start());
    httplib::Client other("127.0.0.1", typed.port());
    struct Case {
        std::string path;
        bool create;
        int status;
        std::string code;  // of the refusal; for 200: the folder chosen, under the home
    };
    const std::vector<Case> cases = {
        {"~", false, 200, ""},
        {"~/Pictures", false, 200, "/Pictures"},
        {"Pictures", false, 200, "/Pictures"},
        {"~/Pictures/", false, 200, "/Pictures"},
        {"~/Shoots/2026", false, 404, "missing"},
        {"~/Shoots/2026", true, 200, "/Shoots/2026"},
        {"Later/One", true, 200, "/Later/One"},
        {home.path() + "/Full", true, 200, "/Full"},
        {"~root/Pictures", true, 400, "destination"},
        {"~/a-file", true, 400, "destination"},
        {"", true, 400, "destination"},
    };
    for (const auto& c : cases) {
        Json body{{"path", c.path}, {"create", c.create}};
        auto response = other.Post("/api/destination", {{"Cookie", typed.cookieName() + "=" + typed.token()}},
                                   body.dump(), "application/json");
        ASSERT_TRUE(response) << c.path;
        EXPECT_EQ(response->status, c.status) << c.path << " " << response->body;
        auto answer = Json::parse(response->body, nullptr, false);
        if (c.status == 200) {
            EXPECT_EQ(answer["value"]["path"], home.path() + c.code) << c.path;
        } else {
            EXPECT_EQ(answer["error"]["code"], c.code) << c.path;
        }
    }
    EXPECT_FALSE(fs::exists(home.path() + "/~root")) << "another user's home is not made in this one";
    EXPECT_TRUE(fs::is_regular_file(home.path() + "/a-file"));
    // Root may write anywhere: a folder it cannot write is for other users.
    if (geteuid() != 0) {
        fs::create_directories(home.path() + "/locked");
        fs::permissions(home.path() + "/locked", fs::perms::owner_read | fs::perms::owner_exec);
        auto response = other.Post("/api/destination", {{"Cookie", typed.cookieName() + "=" + typed.token()}},
                                   Json{{"path", "~/locked"}}.dump(), "application/json");
        ASSERT_TRUE(response);
        EXPECT_EQ(response->status, 400);
        EXPECT_NE(response->body.find("cannot be written"), std::string::npos) << response->body;
        fs::permissions(home.path() + "/locked", fs::perms::owner_all);
    }
}

TEST_F(Console, CallsPassOnlyForTheListedMethodsAndImportsGoOnlyIntoTheChosenFolders) {
    EXPECT_EQ(post("/api/call", {{"channel", "lumivane/macos"}, {"method", "iphone.available"}}),
              Json({{"value", true}}));
    for (auto [channel, method] :
         {std::pair{"sim/control", "ping"}, std::pair{"lumivane/macos", "iphone.download"},
          std::pair{"lumivane/macos", "camera.download"}, std::pair{"lumivane/import", "import.start"},
          std::pair{"lumivane/import", "import.remember"}})
        post("/api/call", {{"channel", channel}, {"method", method}}, 403);
    post("/api/call", {{"channel", "lumivane/macos"}, {"method", "file.reveal"}}, 403);  // nothing chosen yet
    post("/api/call", {{"method", "iphone.list"}}, 400);
    // Nesting deeper than any page request is refused before it is read.
    std::string deep = std::string(10'000, '[') + std::string(10'000, ']');
    auto response = client->Post("/api/call", withCookie(),
                                 R"({"channel": "lumivane/macos", "method": "iphone.list", "args": )" + deep + "}",
                                 "application/json");
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, 400);

    auto card = host.folder() + "/card", chosen = host.folder() + "/imports", elsewhere = host.folder() + "/elsewhere";
    fs::create_directories(card + "/DCIM/100MSDCF");
    fs::create_directories(elsewhere);
    std::ofstream(card + "/DCIM/100MSDCF/IMG_0001.JPG") << "card";
    HostClient control;
    ASSERT_TRUE(control.connect(host.socketPath()));
    control.call("sim/control", "volume.mount",
                 EncodableMap{{"path", card}, {"name", "EOS_DIGITAL"}, {"removable", true}, {"ejectable", true}});
    const Json source{{"kind", "volume"}, {"id", card}};
    // The engine's reads of a device, only of one the page shows.
    auto items =
        post("/api/call", {{"channel", "lumivane/import"}, {"method", "import.items"}, {"args", {{"source", source}}}});
    ASSERT_EQ(items["value"].size(), 1u) << items.dump();
    EXPECT_EQ(items["value"][0]["path"], card + "/DCIM/100MSDCF/IMG_0001.JPG");
    for (const auto& other : {host.folder(), std::string("/")})
        for (const char* method :
             {"import.items", "import.dates", "import.deviceDates", "import.imported", "import.flag", "import.flags"})
            post("/api/call",
                 {{"channel", "lumivane/import"},
                  {"method", method},
                  {"args", {{"source", {{"kind", "volume"}, {"id", other}}}, {"items", Json::array()}}}},
                 403);
    // Flags pass for a device the page shows.
    post("/api/call",
         {{"channel", "lumivane/import"},
          {"method", "import.flag"},
          {"args", {{"source", source}, {"items", {card + "/DCIM/100MSDCF/IMG_0001.JPG"}}, {"stars", 2}}}});
    EXPECT_EQ(
        post("/api/call", {{"channel", "lumivane/import"},
                           {"method", "import.flags"},
                           {"args", {{"source", source}}}})["value"][card + "/DCIM/100MSDCF/IMG_0001.JPG"]["stars"],
        2);
    // A large preview from the engine, under the same rule.
    auto preview = [&](const Json& args) {
        auto response = client->Get("/api/thumbnail?" + httplib::detail::params_to_query_str(
                                                            {{"method", "import.preview"}, {"args", args.dump()}}),
                                    withCookie());
        return response ? response->status : 0;
    };
    auto photo = card + "/DCIM/100MSDCF/IMG_0001.JPG";
    EXPECT_EQ(preview({{"source", source}, {"path", photo}}), 404);  // asked, and not a picture
    EXPECT_EQ(preview({{"source", {{"kind", "volume"}, {"id", "/"}}}, {"path", photo}}), 403);
    EXPECT_EQ(preview({{"path", photo}}), 403);
    post("/api/import", {{"source", source}}, 400);  // no destination yet
    post("/api/destination", {{"path", host.folder() + "/missing"}}, 404);
    fs::create_directories(chosen);
    EXPECT_EQ(post("/api/destination", {{"path", chosen + "/"}})["value"]["path"], chosen);
    post("/api/destination", {{"path", chosen}, {"role", "backup"}}, 400);  // the same folder twice
    post("/api/destination", {{"path", chosen}, {"role", "elsewhere"}}, 400);
    // The host remembers it for every client (and this page's next load).
    auto settings = post("/api/call", {{"channel", "lumivane/import"}, {"method", "import.settings"}});
    EXPECT_EQ(settings["value"]["destination"], chosen);

    // The chosen backup folder is the job's too.
    auto backup = host.folder() + "/backup";
    fs::create_directories(backup);
    EXPECT_EQ(post("/api/destination", {{"path", backup}, {"role", "backup"}})["value"]["path"], backup);
    // A destination the page names is not the one used.
    auto job = post("/api/import", {{"source", source}, {"destination", elsewhere}, {"rename", "{name}_x"}});
    ASSERT_TRUE(job["value"].is_string()) << job.dump();
    Json status;
    for (int i = 0; i < 600; ++i) {
        status = post("/api/call",
                      {{"channel", "lumivane/import"}, {"method", "import.status"}, {"args", {{"job", job["value"]}}}});
        if (status["value"]["state"] != "running") break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(status["value"]["state"], "done");
    EXPECT_TRUE(fs::exists(chosen + "/IMG_0001_x.JPG"));
    EXPECT_EQ(status["value"]["backup"], backup);
    EXPECT_TRUE(fs::exists(backup + "/IMG_0001_x.JPG"));
    EXPECT_TRUE(fs::is_empty(elsewhere));
    // The options used are remembered; the folders are the chosen ones.
    settings = post("/api/call", {{"channel", "lumivane/import"}, {"method", "import.settings"}});
    EXPECT_EQ(settings["value"]["rename"], "{name}_x");
    for (const Json& bad : {Json{{"source", source}, {"items", "IMG_0001.JPG"}}, Json{{"source", "card"}},
                            Json{{"source", source}, {"items", {1, 2}}}})
        post("/api/import", bad, 400);
    // Only the devices the page shows: not a folder that is no card, not an
    // internal disk, not a phone or camera the host does not list.
    auto internal = host.folder() + "/internal";
    fs::create_directories(internal);
    control.call("sim/control", "volume.mount",
                 EncodableMap{{"path", internal}, {"removable", false}, {"ejectable", false}, {"internal", true}});
    for (const Json& unseen : {Json{{"kind", "volume"}, {"id", elsewhere}}, Json{{"kind", "volume"}, {"id", internal}},
                               Json{{"kind", "iphone"}, {"id", "nope"}}, Json{{"kind", "camera"}, {"id", "nope"}},
                               Json{{"kind", "scanner"}, {"id", card}}})
        post("/api/import", {{"source", unseen}}, 403);

    auto reveal = [&](const std::string& path, int status) {
        post("/api/call", {{"channel", "lumivane/macos"}, {"method", "file.reveal"}, {"args", {{"path", path}}}},
             status);
    };
    reveal(chosen + "/IMG_0001_x.JPG", 200);
    reveal(chosen, 200);
    reveal(elsewhere, 403);
    reveal(chosen + "/../elsewhere", 403);
    fs::create_directories(chosen + "-old");
    reveal(chosen + "-old", 403);  // beside it, its name starting with the destination's
    fs::create_directory_symlink(elsewhere, chosen + "/out");
    reveal(chosen + "/out", 403);  // a link out of the destination
}

TEST_F(Console, AutomaticImportsAreKeptForShownDevicesByTheIdentityTheyComeBackWith) {
    HostClient control;
    ASSERT_TRUE(control.connect(host.socketPath()));
    auto card = host.folder() + "/card", bare = host.folder() + "/bare", chosen = host.folder() + "/imports";
    fs::create_directories(card);
    fs::create_directories(bare);
    fs::create_directories(host.folder() + "/camera/DCIM");
    control.call("sim/control", "volume.mount",
                 EncodableMap{{"path", card}, {"name", "EOS_DIGITAL"}, {"uuid", "3A5C-11F0"}, {"removable", true}});
    control.call("sim/control", "volume.mount", EncodableMap{{"path", bare}, {"name", "BARE"}, {"removable", true}});
    for (auto [key, serial] : {std::pair{"R6", "SN-123"}, std::pair{"G7", ""}}) {
        EncodableMap camera{{"uuid", key}, {"name", std::string("Camera ") + key}, {"root", host.folder() + "/camera"}};
        if (*serial) camera.set("serial", serial);
        control.call("sim/control", "camera.add", camera);
    }
    const Json onCard{{"kind", "volume"}, {"id", card}};
    post("/api/auto", {{"source", onCard}}, 400);  // no folder chosen yet
    fs::create_directories(chosen);
    post("/api/destination", {{"path", chosen}});

    // A card by its volume's UUID, a camera by its serial (else its key); the
    // folder is the chosen one, whatever the page names.
    post("/api/auto", {{"source", onCard}, {"destination", "/tmp"}, {"rename", "{name}_auto"}, {"eject", true}});
    post("/api/auto", {{"source", {{"kind", "camera"}, {"id", "R6"}}}});
    post("/api/auto", {{"source", {{"kind", "camera"}, {"id", "G7"}}}, {"onlyNew", false}});
    auto rules = post("/api/call", {{"channel", "lumivane/import"}, {"method", "import.autoList"}})["value"];
    ASSERT_EQ(rules.size(), 3u) << rules.dump();
    std::map<std::string, Json> byDevice;
    for (const auto& rule : rules)
        byDevice[rule["device"]["kind"].get<std::string>() + ":" + rule["device"]["id"].get<std::string>()] = rule;
    ASSERT_TRUE(byDevice.count("volume:3A5C-11F0") && byDevice.count("camera:SN-123") && byDevice.count("camera:G7"))
        << rules.dump();
    EXPECT_EQ(byDevice["volume:3A5C-11F0"]["settings"]["destination"], chosen);
    EXPECT_EQ(byDevice["volume:3A5C-11F0"]["settings"]["rename"], "{name}_auto");
    EXPECT_EQ(byDevice["volume:3A5C-11F0"]["eject"], true);
    EXPECT_EQ(byDevice["camera:SN-123"]["eject"], false);
    EXPECT_EQ(byDevice["camera:G7"]["settings"]["onlyNew"], false);

    // A card without a UUID could never be known again; devices the page
    // does not show, and rules made straight through the host, are refused.
    post("/api/auto", {{"source", {{"kind", "volume"}, {"id", bare}}}}, 400);
    for (const Json& unseen :
         {Json{{"kind", "volume"}, {"id", chosen}}, Json{{"kind", "iphone"}, {"id", "nope"}},
          Json{{"kind", "camera"}, {"id", "SN-123"}}, Json{{"kind", "volume"}, {"id", "3A5C-11F0"}}})
        post("/api/auto", {{"source", unseen}}, 403);
    Json direct{{"device", {{"kind", "volume"}, {"id", "X"}}}, {"settings", {{"destination", "/tmp"}}}};
    post("/api/call", {{"channel", "lumivane/import"}, {"method", "import.autoSet"}, {"args", direct}}, 403);
    Json g7{{"device", {{"kind", "camera"}, {"id", "G7"}}}};
    post("/api/call", {{"channel", "lumivane/import"}, {"method", "import.autoRemove"}, {"args", g7}});
    rules = post("/api/call", {{"channel", "lumivane/import"}, {"method", "import.autoList"}})["value"];
    EXPECT_EQ(rules.size(), 2u) << rules.dump();
}

TEST_F(Console, TheEventStreamCarriesTheHostsEvents) {
    std::string received;
    std::thread reader([&] {
        httplib::Client events("127.0.0.1", console->port());
        events.set_read_timeout(5, 0);
        events.Get("/api/events", withCookie(), [&](const char* data, std::size_t length) {
            received.append(data, length);
            return received.find("\"iphones\"") == std::string::npos;  // enough once the event is in
        });
    });
    while (console->openEventStreams() == 0) std::this_thread::yield();  // listening before the event
    HostClient control;
    ASSERT_TRUE(control.connect(host.socketPath()));
    fs::create_directories(host.folder() + "/phone/DCIM");
    control.call("sim/control", "phone.add",
                 EncodableMap{{"udid", "P1"}, {"name", "Ada's iPhone"}, {"root", host.folder() + "/phone"}});
    control.call("sim/control", "phone.attach", EncodableMap{{"udid", "P1"}, {"link", "usb"}});
    reader.join();
    EXPECT_NE(received.find("data: {\"channel\":\"lumivane/macos/events\",\"event\":{\"type\":\"iphones\"}}"),
              std::string::npos)
        << received;
}

TEST_F(Console, SlowClientsAndOpenEventStreamsNeverKeepThePageFromLoading) {
    // Forty clients that have sent part of a request and then nothing.
    auto connectRaw = [&] {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(std::uint16_t(console->port()));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        return fd;
    };
    std::vector<int> slow;
    for (int i = 0; i < 40; ++i) {
        int fd = connectRaw();
        ASSERT_EQ(::send(fd, "GET / HTTP/1.1\r\nHo", 19, MSG_NOSIGNAL), 19);
        slow.push_back(fd);
    }
    // As many event streams as the console keeps open, from clients that
    // asked and then never read a byte.
    std::vector<int> deaf;
    for (std::size_t i = 0; i < ConsoleServer::kMaxEventStreams; ++i) {
        int fd = connectRaw();
        std::string ask =
            "GET /api/events HTTP/1.1\r\nHost: " + console->authority() + "\r\nCookie: " + cookie + "\r\n\r\n";
        ASSERT_EQ(::send(fd, ask.data(), ask.size(), MSG_NOSIGNAL), static_cast<ssize_t>(ask.size()));
        deaf.push_back(fd);
        while (console->openEventStreams() < i + 1) std::this_thread::yield();
    }
    // A page opened now still hears the host.
    httplib::Client stream("127.0.0.1", console->port());
    std::atomic<bool> heard{false};
    std::thread reader([&] {
        stream.Get("/api/events", withCookie(), [&](const char* data, std::size_t size) {
            std::string line(data, size);
            heard = line.starts_with(": still here") || line.starts_with("data: ");
            return false;
        });
    });
    reader.join();
    EXPECT_TRUE(heard);
    EXPECT_LE(console->openEventStreams(), ConsoleServer::kMaxEventStreams);
    // The page still loads at once (the slow clients hold their own workers,
    // and would hold every one of a fixed pool for seconds).
    httplib::Client page("127.0.0.1", console->port());
    page.set_read_timeout(3, 0);
    auto loaded = page.Get("/", withCookie());
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->status, 200);
    for (int fd : slow) ::close(fd);
    for (int fd : deaf) ::close(fd);
}

TEST_F(Console, AnEventStreamWhosePageWentFreesItsSlot) {
    std::vector<std::thread> pages;
    for (std::size_t i = 0; i < ConsoleServer::kMaxEventStreams; ++i)
        pages.emplace_back([&] {
            // A page that reads what comes first, then goes.
            httplib::Client page("127.0.0.1", console->port());
            page.Get("/api/events", withCookie(), [](const char*, std::size_t) { return false; });
        });
    for (auto& page : pages) page.join();
    // Every page has gone: the slots come free (each at its stream's next line), not 15 s later.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (console->openEventStreams() > 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(console->openEventStreams(), 0u);
    httplib::Client next("127.0.0.1", console->port());
    std::atomic<bool> opened{false};
    std::thread reader([&] {
        next.Get("/api/events", withCookie(), [&](const char*, std::size_t) {
            opened = true;
            return false;
        });
    });
    reader.join();
    EXPECT_TRUE(opened);
}

TEST(ConsoleAddress, LoopbackOnlyUnlessTheNetworkIsAskedFor) {
    struct Case {
        const char* host;
        bool loopback;
    };
    for (auto [host, loopback] :
         {Case{"127.0.0.1", true}, Case{"127.45.0.9", true}, Case{"::1", true}, Case{"0.0.0.0", false},
          Case{"128.0.0.1", false}, Case{"192.168.1.20", false}, Case{"::", false}, Case{"::ffff:10.0.0.1", false},
          Case{"localhost", false}, Case{"", false}})
        EXPECT_EQ(ConsoleServer::isLoopback(host), loopback) << host;

    // The program refuses another address unless --allow-remote says so.
    auto firstLine = [](const std::string& arguments, int* status) {
        auto command = "timeout -s TERM 2 " + buildPath("bin/lumivane-console") + " --socket /nonexistent " +
                       arguments + " 2>/dev/null";
        FILE* out = popen(command.c_str(), "r");
        char line[256] = {};
        if (!fgets(line, sizeof line, out)) line[0] = 0;
        *status = pclose(out);
        return std::string(line);
    };
    int status = 0;
    EXPECT_EQ(firstLine("--listen 0.0.0.0:0", &status), "");
    EXPECT_EQ(WEXITSTATUS(status), 64);
    EXPECT_EQ(firstLine("--listen 127.0.0.1:70000", &status), "");
    EXPECT_EQ(WEXITSTATUS(status), 64);
    EXPECT_EQ(firstLine("--listen 0.0.0.0:0 --allow-remote", &status).rfind("http://0.0.0.0:", 0), 0u);
}

TEST_F(Console, CardsAreReadOnlyWhereTheHostHasACard) {
    auto card = host.folder() + "/card";
    fs::create_directories(card + "/DCIM/100MSDCF");
    std::ofstream(card + "/DCIM/100MSDCF/IMG_0001.JPG") << "card";
    HostClient control;
    ASSERT_TRUE(control.connect(host.socketPath()));
    control.call("sim/control", "volume.mount",
                 EncodableMap{{"path", card}, {"name", "EOS_DIGITAL"}, {"removable", true}, {"ejectable", true}});

    auto get = [&](const std::string& path, const std::string& folder) {
        auto response =
            client->Get(path + "?" + httplib::detail::params_to_query_str({{"path", folder}}), withCookie());
        return response ? response->status : 0;
    };
    std::ofstream(card + "/DCIM/100MSDCF/IMG_\xff.JPG") << "a name that is not UTF-8";
    EXPECT_EQ(get("/api/media", card), 200);
    EXPECT_EQ(get("/api/folder", card + "/DCIM"), 200);
    EXPECT_EQ(get("/api/folder", host.folder()), 403);
    EXPECT_EQ(get("/api/media", card + "/.."), 403);

    // A name that is not UTF-8 is listed in a form the page can send back.
    auto media = client->Get("/api/media?" + httplib::detail::params_to_query_str({{"path", card}}), withCookie());
    ASSERT_TRUE(media);
    std::string odd;
    auto listed = Json::parse(media->body);
    for (const auto& entry : listed["value"])
        if (entry["name"].get<std::string>() != "IMG_0001.JPG") odd = entry["path"].get<std::string>();
    EXPECT_EQ(odd, card + "/DCIM/100MSDCF/IMG_\uF7FF.JPG");  // U+F780 + (0xFF - 0x80)
    // ... and that form names the same file when it is imported.
    fs::create_directories(host.folder() + "/imports");
    post("/api/destination", {{"path", host.folder() + "/imports"}});
    auto job = post("/api/import", {{"source", {{"kind", "volume"}, {"id", card}}}, {"items", {odd}}});
    ASSERT_TRUE(job["value"].is_string()) << job.dump();
    auto copy = host.folder() + "/imports/IMG_\xff.JPG";
    for (int i = 0; i < 600 && !fs::exists(copy); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(fs::exists(copy));
    EXPECT_FALSE(fs::exists(host.folder() + "/imports/IMG_0001.JPG")) << "only the item asked for";

    // A sidecar is listed, and comes with its photo as the host groups them.
    std::ofstream(card + "/DCIM/100MSDCF/IMG_0001.XMP") << "<x:xmpmeta/>";
    media = client->Get("/api/media?" + httplib::detail::params_to_query_str({{"path", card}}), withCookie());
    ASSERT_TRUE(media);
    EXPECT_NE(media->body.find("IMG_0001.XMP"), std::string::npos) << media->body;
    job = post("/api/import",
               {{"source", {{"kind", "volume"}, {"id", card}}}, {"items", {card + "/DCIM/100MSDCF/IMG_0001.JPG"}}});
    ASSERT_TRUE(job["value"].is_string()) << job.dump();
    auto sidecar = host.folder() + "/imports/IMG_0001.XMP";
    for (int i = 0; i < 600 && !fs::exists(sidecar); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(fs::exists(sidecar));
}

TEST(ConsoleToken, KeptPrivatelyPerPortAndNeverThroughALink) {
    TempFolder config;
    auto file = [&](int port) { return config.path() + "/lumivane/console-" + std::to_string(port) + ".token"; };
    auto first = keptToken(config.path(), 5718);
    EXPECT_EQ(first.size(), 64u);
    EXPECT_EQ(keptToken(config.path(), 5718), first) << "the same address from start to start";
    EXPECT_EQ(fs::status(file(5718)).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(fs::status(config.path() + "/lumivane").permissions() & fs::perms::all, fs::perms::owner_all);
    EXPECT_NE(keptToken(config.path(), 5719), first) << "each port its own";

    // A file others could read, or a link, is no kept token: a new one replaces it.
    fs::permissions(file(5718), fs::perms::group_read, fs::perm_options::add);
    auto replaced = keptToken(config.path(), 5718);
    EXPECT_NE(replaced, first);
    std::ofstream(config.path() + "/elsewhere") << std::string(64, 'a');
    fs::remove(file(5718));
    fs::create_symlink(config.path() + "/elsewhere", file(5718));
    EXPECT_NE(keptToken(config.path(), 5718), std::string(64, 'a'));
    EXPECT_FALSE(fs::is_symlink(file(5718)));
    std::ifstream untouched(config.path() + "/elsewhere");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(untouched), {}), std::string(64, 'a'));
}

TEST_F(Console, AClientThatTakesTooLongToSendARequestIsCutButAnOpenStreamIsNot) {
    ConsoleServer::Options options{host.socketPath()};
    options.requestTimeLimit = std::chrono::milliseconds(500);
    ConsoleServer quick(options);
    ASSERT_TRUE(quick.start());
    auto connect = [&] {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(std::uint16_t(quick.port()));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        return fd;
    };
    // An open event stream outlives the limit: its handler is running.
    httplib::Client stream("127.0.0.1", quick.port());
    std::atomic<bool> done{false}, ended{false};
    std::thread reader([&] {
        stream.Get("/api/events", {{"Cookie", quick.cookieName() + "=" + quick.token()}},
                   [&](const char*, std::size_t) { return !done.load(); });
        ended = true;  // a stream cut by the console ends here at once
    });
    while (quick.openEventStreams() == 0) std::this_thread::yield();

    // Headers dripped a byte at a time (each read well within the library's
    // own timeout), a body that never ends, and the next request on a
    // kept-alive connection after one answered whole: each is cut.
    for (const std::string& start : std::vector<std::string>{
             "GET / HTTP/1.1\r\nHost: x\r\nX-Slow: ",
             "POST /api/cancel HTTP/1.1\r\nHost: x\r\nContent-Length: 100\r\n\r\n{",
             "GET /api/session HTTP/1.1\r\nHost: " + quick.authority() + "\r\nCookie: " + quick.cookieName() + "=" +
                 quick.token() + "\r\n\r\nGET / HTTP/1.1\r\nX-Slow: "}) {
        SCOPED_TRACE(start);
        int fd = connect();
        ASSERT_EQ(::send(fd, start.data(), start.size(), MSG_NOSIGNAL), ssize_t(start.size()));
        auto began = std::chrono::steady_clock::now();
        bool cut = false;
        while (!cut && std::chrono::steady_clock::now() - began < std::chrono::seconds(60)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            char byte = 'a', answer[256];
            cut = ::send(fd, &byte, 1, MSG_NOSIGNAL) != 1 ||
                  ::recv(fd, answer, sizeof answer, MSG_DONTWAIT) == 0;  // 0: the console closed it
        }
        EXPECT_TRUE(cut);
        ::close(fd);
    }
    // A whole request is still answered, and the stream is still open.
    httplib::Client page("127.0.0.1", quick.port());
    auto loaded = page.Get("/", {{"Cookie", quick.cookieName() + "=" + quick.token()}});
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->status, 200);
    EXPECT_FALSE(ended);
    done = true;
    quick.stop();
    reader.join();
}

TEST(JsonText, WrittenStraightAsTheTreeWritesIt) {
    const EncodableValue values[] = {
        EncodableValue(),
        EncodableValue(true),
        EncodableValue(std::int32_t(-7)),
        EncodableValue(std::int64_t(1) << 40),
        EncodableValue(0.1),
        EncodableValue(1e300),
        EncodableValue("plain"),
        EncodableValue(std::string("quote \" backslash \\ newline \n tab \t bell \x07 nul \0 end", 48)),
        EncodableValue("IMG_\xff.JPG"),  // not UTF-8: kept as on the channel
        EncodableValue("Ada’s 📷"),
        EncodableValue(Bytes{1, 2, 3}),
        EncodableValue(EncodableList{}),
        EncodableValue(EncodableMap{}),
        EncodableValue(EncodableList{EncodableMap{{"path", "100APPLE/IMG_0001.JPG"}, {"size", 12}, {"dir", false}},
                                     EncodableList{1, "two", EncodableValue()}}),
        EncodableValue(EncodableMap{{std::int32_t(3), "a number for a key"}, {"b", EncodableMap{{"c", 1.5}}}}),
    };
    for (const auto& value : values) EXPECT_EQ(jsonTextOf(value), toJson(value).dump()) << toJson(value).dump();
}
