#include "bridges/import/import_bridge.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <random>
#include <utility>

#include "bridges/common/method_table.h"
#include "bridges/common/pending_result.h"
#include "bridges/import/automatic_end.h"
#include "bridges/import/capture_dates.h"
#include "bridges/import/item_groups.h"
#include "bridges/import/item_preview.h"
#include "channel/arguments.h"
#include "platform/common/file_url.h"
#include "platform/common/media_types.h"

namespace lumivane {

namespace {

// Failures no caller tells apart; the others carry channelCode()'s codes.
const std::string kError = "import";
const std::string kBadRequest = channelCode(Error::Code::badInput, kError);
const std::string kNotAllowed = channelCode(Error::Code::noPermission, kError);

void fail(MethodResult& result, const Error& error) { result.error(channelCode(error.code, kError), error.message); }

// A launch's answer: the job's id once it runs, else why not.
std::function<void(Result<void>)> answerWithId(PendingResult pending, std::string id) {
    return [pending = std::move(pending), id = std::move(id)](const Result<void>& launched) {
        if (!launched.ok()) return pending.error(channelCode(launched.error().code, kError), launched.error());
        pending.success(EncodableValue(id));
    };
}

std::string newJobId() {
    static constexpr char kDigits[] = "0123456789abcdef";
    thread_local std::mt19937_64 random{std::random_device{}()};
    std::string id = "job-";
    auto bits = random();
    for (int i = 0; i < 16; ++i, bits >>= 4) id += kDigits[bits & 15];
    return id;
}

// How many items a device reads at once: a phone and a volume serve reads in
// parallel well; a camera's link answers one request at a time, and two items
// in flight keep it busy while one item's part is written.
int readersFor(const std::string& kind) { return kind == "camera" ? 2 : 3; }

EncodableMap jobMap(const ImportHistory::Job& job, const ImportHistory::Counts& counts, const ImportRequest* request) {
    EncodableMap map{{"job", job.id},
                     {"state", textOf(job.state)},
                     {"reason", job.reason},
                     {"created", job.created},
                     {"source", EncodableMap{{"kind", job.kind}, {"id", job.source}}},
                     {"device", job.device},
                     {"total", counts.total},
                     {"imported", counts.imported},
                     {"skipped", counts.skipped},
                     {"failed", counts.failed},
                     {"bytes", counts.bytes},
                     {"totalBytes", counts.totalBytes}};
    if (request) {
        map.set("destination", request->destination);
        map.set("backup", request->backup);
        if (request->automatic) map.set("auto", true);
    }
    return map;
}

}  // namespace

ImportBridge::ImportBridge(const BridgeContext& context)
    : platform_(context.platform),
      loop_(context.loop),
      log_(context.log),
      clock_(context.clock),
      sources_(context.importSources),
      dataFolder_(context.dataFolder),
      settings_(context.dataFolder + "/" + ImportSettings::kFile),
      autoRules_(context.dataFolder + "/" + ImportAutoRules::kFile),
      events_(std::make_shared<EventHandler>(context.loop)),
      deviceDates_(
          {platform_.photoMetadata, platform_.videoFrames}, dataFolder_ + "/import-staging",
          [this](std::function<void()> work) { queue_.post(lifetime_.guard(std::move(work))); },
          [this](std::function<void()> work) { loop_.post(lifetime_.guard(std::move(work))); },
          [this](const std::string& kind, const std::string& id, const DeviceDates::Progress& progress) {
              events_->send(EncodableMap{{"type", "dates"},
                                         {"source", EncodableMap{{"kind", kind}, {"id", id}}},
                                         {"done", progress.done},
                                         {"total", progress.total},
                                         {"complete", progress.complete}});
          }) {}

ImportBridge::~ImportBridge() {
    shutdown();
    lifetime_.end();
}

void ImportBridge::start(BinaryMessenger& messenger) {
    LUMIVANE_ASSERT_MAIN_LOOP(loop_);
    channel_ = std::make_unique<MethodChannel>(messenger, "lumivane/import", log_);
    channel_->setMethodCallHandler(
        [this](const MethodCall& call, MethodResult result) { handle(call, std::move(result)); });
    eventChannel_ = std::make_unique<EventChannel>(messenger, "lumivane/import/events", log_);
    eventChannel_->setStreamHandler(events_);
    arrivals_ = sources_.watchArrivals(
        lifetime_.guard([this](const std::string& kind, const std::string& id) { arrived(kind, id); }));
    departures_ = sources_.watchDepartures(
        lifetime_.guard([this](const std::string& kind, const std::string& id) { departed(kind, id); }));
    // The file may be large, or held by another process for seconds: the
    // main loop goes on while it opens, and calls wait for it.
    // Not guarded work: it uses only what outlives the bridge (the host's
    // log and loop), so the main loop's part never waits on this worker
    // leaving a guarded callback.
    queue_.post([this, folder = dataFolder_, &log = log_, &loop = loop_, bridge = lifetime_.handle()] {
        std::error_code ignored;  // a folder that cannot be made shows as a history that cannot be opened
        std::filesystem::create_directories(folder, ignored);
        auto opened = std::make_shared<Result<std::unique_ptr<ImportHistory>>>(
            ImportHistory::open(folder + "/" + kHistoryFile, log));
        if (opened->ok())
            if (auto marked = opened->value()->interruptRunning(); !marked.ok())
                log.write("Lumivane import history: " + marked.error().message);
        loop.post(bridge.guard([this, opened] { historyOpened(std::move(*opened)); }));
    });
}

void ImportBridge::historyOpened(Result<std::unique_ptr<ImportHistory>> opened) {
    opening_ = false;
    if (opened.ok())
        history_ = std::move(opened.value());
    else
        log_.write("Lumivane import history: " + opened.error().message + "; imports are unavailable.");
    // Each as a task of its own, as they would have come: the main loop
    // stays free between them.
    for (auto& waiting : std::exchange(waitingForHistory_, {}))
        loop_.post(lifetime_.guard(
            [this, call = waiting.first, result = std::make_shared<MethodResult>(std::move(waiting.second))] {
                handle(call, std::move(*result));
            }));
    for (auto& device : std::exchange(arrivedWhileOpening_, {}))
        loop_.post(lifetime_.guard([this, device] { resumeOrStartOnArrival(device.first, device.second); }));
}

void ImportBridge::shutdown() {
    for (auto& [id, job] : jobs_) job->stop();
    deviceDates_.stop();
    for (auto& [call, result] : std::exchange(waitingForHistory_, {}))
        result.error(channelCode(Error::Code::unavailable, kError), "The host is quitting.");
}

void ImportBridge::handle(const MethodCall& call, MethodResult result) {
    LUMIVANE_ASSERT_MAIN_LOOP(loop_);
    if (opening_) {
        waitingForHistory_.emplace_back(call, std::move(result));
        return;
    }
    if (!history_)
        return result.error(channelCode(Error::Code::unavailable, kError),
                            "The import history could not be opened; see the log.");
    static const MethodTable<ImportBridge> table{
        {"import.start", &ImportBridge::startJob},
        {"import.status", &ImportBridge::status},
        {"import.list", &ImportBridge::list},
        {"import.cancel", &ImportBridge::cancel},
        {"import.resume", &ImportBridge::resume},
        {"import.dates", &ImportBridge::dates},
        {"import.items", &ImportBridge::items},
        {"import.settings", &ImportBridge::settings},
        {"import.remember", &ImportBridge::remember},
        {"import.autoSet", &ImportBridge::autoSet},
        {"import.autoList", &ImportBridge::autoList},
        {"import.autoRemove", &ImportBridge::autoRemove},
        {"import.deviceDates", &ImportBridge::deviceDates},
        {"import.preview", &ImportBridge::preview},
        {"import.imported", &ImportBridge::imported},
        {"import.flag", &ImportBridge::flag},
        {"import.flags", &ImportBridge::flags},
    };
    if (!table.dispatch(*this, call, result)) result.notImplemented();
}

void ImportBridge::settings(const Arguments& args, MethodResult& result) {
    if (!args.value("source")) return result.success(EncodableValue(remembered()));
    withDeviceKey(args, result, [this](const std::string& device, PendingResult pending) {
        auto settings = remembered();
        auto preset = settings_.preset(device);
        for (const auto& [key, value] : preset) settings.set(*key.get<std::string>(), value);
        if (!preset.empty()) settings.set("preset", true);
        pending.success(EncodableValue(std::move(settings)));
    });
}

void ImportBridge::withDeviceKey(const Arguments& args, MethodResult& result,
                                 std::function<void(const std::string& device, PendingResult pending)> then) {
    if (!args.map("source")) return result.error(kBadRequest, "A source.");
    Arguments where(*args.value("source"));
    auto kind = where.string("kind").value_or("");
    auto opened = sources_.open(kind, where.string("id").value_or(""));
    if (!opened.ok()) return fail(result, opened.error());
    // A device's identity may take a read of the device: off the main loop.
    queue_.post(lifetime_.guard([pending = PendingResult(std::move(result), loop_), device = opened.value(), kind,
                                 then = std::move(then)] { then(kind + ":" + device->identity(), pending); }));
}

EncodableMap ImportBridge::remembered() const {
    auto settings = settings_.load();
    if (settings.find("destination")) return settings;
    struct stat info {};
    auto pictures = platform_.environment.picturesDirectory();
    if (pictures && ::stat(pictures->c_str(), &info) == 0 && S_ISDIR(info.st_mode))
        settings.set("destination", *pictures);
    return settings;
}

void ImportBridge::remember(const Arguments& args, MethodResult& result) {
    const auto* settings = args.map("settings");
    if (!settings) return result.error(kBadRequest, "No settings given.");
    if (!args.value("source"))
        return save(result, [settings = settings_, asked = *settings] { return settings.remember(asked); });
    // A device's own names: kept by its identity, so the same camera finds them on any port.
    withDeviceKey(args, result, [this, asked = *settings](const std::string& device, PendingResult pending) {
        saves_.post([pending, settings = settings_, device, asked] {
            if (auto written = settings.rememberPreset(device, asked); !written.ok())
                return pending.error(channelCode(written.error().code, kError), written.error());
            pending.success();
        });
    });
}

void ImportBridge::save(MethodResult& result, std::function<Result<void>()> write) {
    // Each write rewrites a whole file and flushes it: slow on a busy disk,
    // so off the main loop, and one at a time so that they land in the order
    // asked. Not guarded work: a save asked for is made even while quitting.
    saves_.post([pending = PendingResult(std::move(result), loop_), write = std::move(write)] {
        if (auto written = write(); !written.ok())
            return pending.error(channelCode(written.error().code, kError), written.error());
        pending.success();
    });
}

namespace {

// The device a rule names: {"kind", "id"}.
Result<std::pair<std::string, std::string>> ruleDevice(const Arguments& args) {
    const auto* device = args.map("device");
    auto bad = failure(Error{Error::Code::badInput,
                             "No device given: {\"kind\": \"volume\" | \"camera\" | \"iphone\", \"id\": the "
                             "volume's UUID, the camera's serial number or the phone's UDID}."});
    if (!device) return bad;
    Arguments where(*args.value("device"));
    auto kind = where.string("kind").value_or(""), id = where.string("id").value_or("");
    if ((kind != "volume" && kind != "camera" && kind != "iphone") || id.empty() || id.size() > 256 ||
        std::any_of(id.begin(), id.end(), [](unsigned char c) { return c < 0x20; }))
        return bad;
    return std::pair{kind, id};
}

}  // namespace

void ImportBridge::autoSet(const Arguments& args, MethodResult& result) {
    auto device = ruleDevice(args);
    if (!device.ok()) return fail(result, device.error());
    const auto* settings = args.map("settings");
    if (!settings) return result.error(kBadRequest, "No settings given.");
    if (settings->find("source") || settings->find("items"))
        return result.error(kBadRequest, "A rule's settings name no source and no items: the device brings them.");
    auto eject = args.value("eject");
    if (eject && !eject->isNull() && !eject->get<bool>())
        return result.error(kBadRequest, "\"eject\" is true or false.");
    // Read as "import.start" reads them, for the device.
    EncodableMap asked = *settings;
    asked.set("source", EncodableMap{{"kind", device.value().first}, {"id", device.value().second}});
    EncodableValue arguments(std::move(asked));
    auto request = ImportRequest::fromArguments(Arguments(arguments),
                                                settings->find("destination") ? EncodableMap{} : remembered());
    if (!request.ok()) return fail(result, request.error());
    if (auto checked = checkedFolders(request.value()); !checked.ok()) return fail(result, checked.error());
    ImportAutoRules::Rule rule{device.value().first, device.value().second, request.value(),
                               eject && eject->get<bool>() && *eject->get<bool>()};
    save(result, [rules = autoRules_, rule = std::move(rule)] { return rules.set(rule); });
}

void ImportBridge::autoList(const Arguments&, MethodResult& result) {
    EncodableList rules;
    for (const auto& rule : autoRules_.load()) rules.push_back(rule.toMap());
    result.success(EncodableValue(std::move(rules)));
}

void ImportBridge::autoRemove(const Arguments& args, MethodResult& result) {
    auto device = ruleDevice(args);
    if (!device.ok()) return fail(result, device.error());
    save(result, [rules = autoRules_, device = device.value()] { return rules.remove(device.first, device.second); });
}

void ImportBridge::startAutomatic(const std::string& kind, const std::string& id) {
    auto rules = autoRules_.load();
    if (rules.empty()) return;
    auto source = sources_.open(kind, id);
    if (!source.ok()) return;
    auto identity = source.value()->identity();
    auto rule = std::find_if(rules.begin(), rules.end(), [&](const auto& kept) { return kept.identity() == identity; });
    if (rule == rules.end() || rule->kind != kind) return;
    auto name = source.value()->name();
    auto skip = [&](const std::string& why) {
        log_.write("Lumivane import: no automatic import from " + name + ": " + why);
    };
    if (auto why = source.value()->notReady(); !why.empty()) return skip(why);
    // One job at a time per device: a resumed one, or one a person started.
    for (const auto& [jobId, job] : jobs_)
        if (job->request().kind == kind && job->request().id == id) return skip("job " + jobId + " is running.");
    if (kind == "volume" && readOnlyVolume(id)) return skip("it is read-only.");
    auto request = rule->settings;
    request.kind = kind, request.id = id, request.items.reset();
    request.automatic = true, request.autoResume = true;
    if (auto checked = checkedFolders(request); !checked.ok()) return skip(checked.error().message);
    if (auto startable = startableFrom(request, *source.value()); !startable.ok())
        return skip(startable.error().message);
    begin(request, source.value(), [this, name](const std::string& job) -> Launched {
        return [this, name, job](Result<void> launched) {
            if (launched.ok())
                log_.write("Lumivane import: job " + job + " imports " + name + " by itself.");
            else
                log_.write("Lumivane import: the automatic import from " + name +
                           " did not start: " + launched.error().message);
        };
    });
}

void ImportBridge::automaticEnded(const std::string& id, const ImportRequest& request, JobState state) {
    auto record = history_->job(id);
    if (!record) return;
    AutomaticEnd end{state, record->device, request.kind, record->reason, history_->counts(id), std::nullopt};
    // Told in the log, and on the desktop with a way to the photos. The
    // platform outlives the bridge: a notice picked later still opens them.
    auto tell = [&log = log_, &notifications = platform_.notifications, &workspace = platform_.workspace, id,
                 folder = request.destination](const AutomaticEnd& end) {
        auto line = end.line();
        log.write("Lumivane import: job " + id + ": " + line);
        notifications.show({line, "In " + folder, "Open folder"},
                           [&workspace, folder] { workspace.openURL(fileURL(folder)); });
    };
    auto rules = autoRules_.load();
    bool eject =
        state == JobState::done && std::any_of(rules.begin(), rules.end(), [&](const ImportAutoRules::Rule& rule) {
            return rule.identity() == record->identity && rule.eject;
        });
    if (!eject) return tell(end);
    auto source = sources_.open(request.kind, request.id);
    if (!source.ok()) {
        end.ejected = failure(source.error());
        return tell(end);
    }
    source.value()->eject([tell, end](Result<void> ejected) mutable {
        end.ejected = std::move(ejected);
        tell(end);
    });
}

bool ImportBridge::readOnlyVolume(const std::string& mountPoint) {
    struct statvfs info {};
    return ::statvfs(mountPoint.c_str(), &info) == 0 && (info.f_flag & ST_RDONLY);
}

Result<void> ImportBridge::usableFolder(const std::string& path, const char* what) {
    struct stat info {};
    if (path.empty() || path.front() != '/')
        return failure(Error{Error::Code::badInput, std::string("The ") + what + " must be a full path."});
    if (::stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        return failure(Error{Error::Code::notFound, std::string("The ") + what + " " + path + " does not exist."});
    if (::access(path.c_str(), W_OK | X_OK) != 0)
        return failure(
            Error{Error::Code::noPermission, std::string("The ") + what + " " + path + " cannot be written."});
    return {};
}

void ImportBridge::startJob(const Arguments& args, MethodResult& result) {
    auto request = ImportRequest::fromArguments(args, args.value("destination") ? EncodableMap{} : remembered());
    if (!request.ok()) return fail(result, request.error());
    auto& asked = request.value();
    if (auto checked = checkedFolders(asked); !checked.ok()) return fail(result, checked.error());
    auto source = sources_.open(asked.kind, asked.id);
    if (!source.ok()) return fail(result, source.error());
    if (auto startable = startableFrom(asked, *source.value()); !startable.ok()) return fail(result, startable.error());
    begin(asked, source.value(), [pending = PendingResult(std::move(result), loop_)](const std::string& id) {
        return answerWithId(pending, id);
    });
}

Result<void> ImportBridge::checkedFolders(ImportRequest& request) {
    // Trailing slashes would make a copy's path look outside its folder.
    while (request.destination.size() > 1 && request.destination.back() == '/') request.destination.pop_back();
    while (request.backup.size() > 1 && request.backup.back() == '/') request.backup.pop_back();
    if (auto usable = usableFolder(request.destination, "destination"); !usable.ok()) return usable;
    if (!request.backup.empty())
        if (auto usable = usableFolder(request.backup, "backup destination"); !usable.ok()) return usable;
    if (request.deleteAfter && request.kind == "iphone")
        return failure(Error{Error::Code::noPermission,
                             "Photos are never deleted from a phone: its photo library would keep pointing at them."});
    // Templates that read, and the shoot's name where they use {job}.
    if (auto planned = request.plan({}, {}); !planned.ok()) return failure(planned.error());
    return {};
}

Result<void> ImportBridge::startableFrom(const ImportRequest& request, ImportSource& source) {
    if (request.deleteAfter && !source.canDelete())
        return failure(Error{Error::Code::noPermission,
                             source.name() + " is not removable: files are deleted after import only from cards, "
                                             "removable disks and cameras."});
    return sensibleFolders(request);
}

void ImportBridge::begin(const ImportRequest& request, std::shared_ptr<ImportSource> source,
                         const std::function<Launched(const std::string& id)>& launched) {
    ImportHistory::Job record;
    record.id = newJobId();
    record.created = std::chrono::duration<double>(clock_.wallNow().time_since_epoch()).count();
    record.request = request.toJson();
    record.kind = request.kind;
    record.source = request.id;
    launch(record, request, std::move(source), true, launched(record.id));
}

Result<void> ImportBridge::sensibleFolders(const ImportRequest& request) {
    namespace fs = std::filesystem;
    std::error_code ignored;
    auto real = [&](const std::string& path) { return fs::weakly_canonical(path, ignored).string(); };
    // Whether `inner` is `outer` or lies below it.
    auto within = [](const std::string& inner, const std::string& outer) {
        return inner == outer || (inner.size() > outer.size() && inner.compare(0, outer.size(), outer) == 0 &&
                                  (outer == "/" || inner[outer.size()] == '/'));
    };
    auto destination = real(request.destination);
    auto refuse = [](std::string why) { return failure(Error{Error::Code::badInput, std::move(why)}); };
    // A folder on the volume imported from would be imported again by the
    // next "import all", and gone with the card.
    if (request.kind == "volume") {
        auto volume = real(request.id);
        if (within(destination, volume))
            return refuse("The destination " + request.destination +
                          " is on the volume being imported from; choose a folder on this computer.");
        if (!request.backup.empty() && within(real(request.backup), volume))
            return refuse("The backup destination " + request.backup +
                          " is on the volume being imported from; choose another disk.");
    }
    if (request.backup.empty()) return {};
    auto backup = real(request.backup);
    if (backup == destination)
        return refuse("The backup destination is the destination itself; choose another folder.");
    if (within(backup, destination))
        return refuse("The backup destination " + request.backup + " is inside the destination " + request.destination +
                      ".");
    if (within(destination, backup))
        return refuse("The destination " + request.destination + " is inside the backup destination " + request.backup +
                      ".");
    return {};
}

void ImportBridge::launch(ImportHistory::Job record, const ImportRequest& request, std::shared_ptr<ImportSource> source,
                          bool firstRun, Launched launched) {
    auto plan = request.plan(record.id, source->name());
    if (!plan.ok()) return launched(failure(plan.error()));
    record.identity = source->identity();
    record.device = source->name();
    record.state = JobState::running;
    record.reason.clear();
    auto job = std::make_shared<ImportJob>(
        ImportJob::Setup{*history_, {platform_.photoMetadata, platform_.videoFrames}, events_, clock_}, record, request,
        std::move(source), std::move(plan.value()));
    jobs_[record.id] = job;
    int readers = readersFor(request.kind);
    // Recorded off the main loop: the history's file may be slow or held by
    // another process. The job runs once it is recorded, and not otherwise.
    queue_.post(lifetime_.guard([this, job, record, firstRun, readers, launched = std::move(launched)]() mutable {
        auto recorded = firstRun ? history_->addJob(record) : history_->setJobState(record.id, JobState::running);
        loop_.post(lifetime_.guard([this, id = record.id, recorded, launched = std::move(launched)]() mutable {
            if (!recorded.ok()) unlaunched(id, recorded.error());
            launched(recorded);
        }));
        if (!recorded.ok()) return;
        job->run(
            firstRun, readers, [this](std::function<void()> work) { queue_.post(lifetime_.guard(std::move(work))); },
            [this, id = job->id()](JobState state) {
                loop_.post(lifetime_.guard([this, id, state] { retire(id, state); }));
            });
    }));
}

void ImportBridge::unlaunched(const std::string& id, const Error& why) {
    jobs_.erase(id);
    awayWhileRunning_.erase(id);
    backBeforeNoticed_.erase(id);
    auto waiting = resumeAfterEnd_.extract(id);
    if (waiting.empty()) return;
    for (auto& result : waiting.mapped()) fail(result, why);
}

void ImportBridge::status(const Arguments& args, MethodResult& result) {
    auto id = args.string("job");
    if (!id) return result.error(kBadRequest, "No job given.");
    auto record = history_->job(*id);
    if (!record) return result.error(channelCode(Error::Code::notFound, kError), "No import job " + *id + ".");
    auto request = ImportRequest::fromJson(record->request);
    auto map = jobMap(*record, history_->counts(*id), request.ok() ? &request.value() : nullptr);
    auto running = jobs_.find(*id);
    std::shared_ptr<ImportJob> job = running == jobs_.end() ? nullptr : running->second;
    PendingResult pending(std::move(result), loop_);
    // A running job's items are in memory; an ended job's are read from the
    // file, off the main loop.
    queue_.post(lifetime_.guard([this, pending, job, id = *id, map = std::move(map)]() mutable {
        auto kept = job ? job->items() : std::nullopt;
        EncodableList items;
        for (const auto& item : kept ? *kept : history_->items(id))
            items.push_back(EncodableMap{{"source", item.item.path},
                                         {"state", textOf(item.state)},
                                         {"path", item.path},
                                         {"backup", item.backup},
                                         {"reason", item.reason},
                                         {"size", item.item.size}});
        map.set("items", std::move(items));
        pending.success(EncodedAnswer::of(EncodableValue(std::move(map))));
    }));
}

void ImportBridge::list(const Arguments&, MethodResult& result) {
    EncodableList jobs;
    for (const auto& job : history_->jobs()) {
        auto request = ImportRequest::fromJson(job.request);
        jobs.push_back(jobMap(job, history_->counts(job.id), request.ok() ? &request.value() : nullptr));
    }
    result.success(EncodableValue(std::move(jobs)));
}

void ImportBridge::cancel(const Arguments& args, MethodResult& result) {
    auto id = args.string("job");
    if (!id) return result.error(kBadRequest, "No job given.");
    auto running = jobs_.find(*id);
    if (running == jobs_.end()) return result.error(kError, "The import job " + *id + " is not running.");
    if (auto item = args.string("item"))
        running->second->cancelItem(*item);
    else
        running->second->cancel();
    result.success();
}

void ImportBridge::resume(const Arguments& args, MethodResult& result) {
    auto id = args.string("job");
    if (!id) return result.error(kBadRequest, "No job given.");
    resumeJob(*id, std::move(result));
}

void ImportBridge::resumeJob(const std::string& id, MethodResult result) {
    auto record = history_->job(id);
    if (!record) return result.error(channelCode(Error::Code::notFound, kError), "No import job " + id + ".");
    if (auto here = jobs_.find(id); here != jobs_.end()) {
        // A client that saw the job's end may ask before the job has left:
        // it resumes as soon as it has.
        if (!here->second->running()) return resumeAfterEnd_[id].push_back(std::move(result));
        return result.error(kError, "The import job " + id + " is running.");
    }
    auto request = ImportRequest::fromJson(record->request);
    if (!request.ok()) return fail(result, request.error());
    if (auto usable = usableFolder(request.value().destination, "destination"); !usable.ok())
        return fail(result, usable.error());
    relaunch(*record, request.value(), answerWithId(PendingResult(std::move(result), loop_), id));
}

void ImportBridge::relaunch(const ImportHistory::Job& record, const ImportRequest& request, Launched launched) {
    auto source = sources_.open(request.kind, request.id);
    if (!source.ok()) return launched(failure(source.error()));
    launch(record, request, source.value(), false, std::move(launched));
}

void ImportBridge::relaunchBySelf(const ImportHistory::Job& record, const ImportRequest& request) {
    relaunch(record, request, [this, id = record.id](Result<void> resumed) {
        if (!resumed.ok()) log_.write("Lumivane import: job " + id + " did not resume: " + resumed.error().message);
    });
}

void ImportBridge::retire(const std::string& id, JobState state) {
    if (auto ended = jobs_.find(id); ended != jobs_.end() && ended->second->request().automatic)
        automaticEnded(id, ended->second->request(), state);
    jobs_.erase(id);
    awayWhileRunning_.erase(id);
    if (backBeforeNoticed_.erase(id) && state == JobState::interrupted) {
        auto record = history_->job(id);
        auto request = ImportRequest::fromJson(record ? record->request : "");
        if (request.ok()) relaunchBySelf(*record, request.value());
    }
    auto waiting = resumeAfterEnd_.extract(id);
    if (waiting.empty()) return;
    for (auto& result : waiting.mapped()) resumeJob(id, std::move(result));
}

namespace {

// What a client is told an item is, by its name.
const char* kindOf(const std::string& name) {
    if (isSidecar(name)) return "sidecar";
    if (isVideoFileName(name)) return "video";
    return cameraTypeIdentifier(name) == "com.adobe.raw-image" ? "raw" : "photo";
}

EncodableMap itemMap(const ImportItem& item) {
    return {{"path", item.path}, {"size", item.size}, {"modified", item.modified}};
}

}  // namespace

void ImportBridge::items(const Arguments& args, MethodResult& result) {
    const auto* source = args.map("source");
    if (!source)
        return result.error(kBadRequest,
                            "No source given: {\"kind\": \"iphone\" | \"camera\" | \"volume\", \"id\": ...}.");
    Arguments where(*args.value("source"));
    auto opened = sources_.open(where.string("kind").value_or(""), where.string("id").value_or(""));
    if (!opened.ok()) return fail(result, opened.error());
    PendingResult pending(std::move(result), loop_);
    queue_.post(lifetime_.guard([pending, device = opened.value()] {
        auto listed = device->list();
        if (!listed.ok()) return pending.error(channelCode(listed.error().code, kError), listed.error().message);
        auto& all = listed.value();
        std::sort(all.begin(), all.end(), [](const ImportItem& a, const ImportItem& b) { return a.path < b.path; });
        std::vector<std::string> paths;
        for (const auto& item : all) paths.push_back(item.path);
        EncodableList leaders;
        for (const auto& group : groupByStem(paths)) {
            const auto& lead = all[group.front()];
            auto map = itemMap(lead);
            map.set("kind", kindOf(ItemCopy::baseName(lead.path)));
            EncodableList companions;
            for (std::size_t i = 1; i < group.size(); ++i) {
                auto companion = itemMap(all[group[i]]);
                companion.set("kind", kindOf(ItemCopy::baseName(all[group[i]].path)));
                companions.push_back(std::move(companion));
            }
            map.set("companions", std::move(companions));
            leaders.push_back(std::move(map));
        }
        pending.success(EncodedAnswer::of(EncodableValue(std::move(leaders))));
    }));
}

std::string ImportBridge::scratchFolder() const {
    auto scratch = dataFolder_ + "/import-staging";
    std::error_code ignored;  // a folder that cannot be made gives no dates and no frames
    std::filesystem::create_directories(scratch, ignored);
    return scratch;
}

void ImportBridge::dates(const Arguments& args, MethodResult& result) {
    constexpr std::size_t kMaxItems = 500;
    const auto* source = args.map("source");
    const auto* asked = args.list("items");
    if (!source || !asked || asked->size() > kMaxItems)
        return result.error(kBadRequest, "A source and at most " + std::to_string(kMaxItems) + " items.");
    Arguments where(*args.value("source"));
    auto opened = sources_.open(where.string("kind").value_or(""), where.string("id").value_or(""));
    if (!opened.ok()) return fail(result, opened.error());
    std::vector<ImportItem> items;
    for (const auto& entry : *asked) {
        Arguments item(entry);
        auto path = item.string("path");
        if (!path) return result.error(kBadRequest, "Each item has a path.");
        items.push_back({*path, item.integer("size").value_or(0), item.real("modified").value_or(0)});
    }
    PendingResult pending(std::move(result), loop_);
    queue_.post(lifetime_.guard([this, pending, device = opened.value(), items = std::move(items)] {
        CaptureDates reader({platform_.photoMetadata, platform_.videoFrames}, scratchFolder());
        EncodableList times;
        for (const auto& item : items) {
            auto time = reader.of(*device, item);
            times.push_back(time ? EncodableValue(*time) : EncodableValue());
        }
        pending.success(EncodedAnswer::of(EncodableValue(std::move(times))));
    }));
}

void ImportBridge::deviceDates(const Arguments& args, MethodResult& result) {
    if (!args.map("source")) return result.error(kBadRequest, "A source.");
    Arguments where(*args.value("source"));
    auto kind = where.string("kind").value_or(""), id = where.string("id").value_or("");
    if (kind.empty() || id.empty()) return result.error(kBadRequest, "A source.");
    auto opened = sources_.open(kind, id);
    if (!opened.ok()) return fail(result, opened.error());
    result.success(EncodableValue(
        deviceDates_.ask(kind, id, opened.value(), history_.get(), args.boolean("fresh").value_or(false))));
}

void ImportBridge::withListing(const Arguments& args, MethodResult& result, Listed then) {
    if (!args.map("source")) return result.error(kBadRequest, "A source.");
    Arguments where(*args.value("source"));
    auto opened = sources_.open(where.string("kind").value_or(""), where.string("id").value_or(""));
    if (!opened.ok()) return fail(result, opened.error());
    queue_.post(lifetime_.guard(
        [pending = PendingResult(std::move(result), loop_), device = opened.value(), then = std::move(then)] {
            auto listed = device->list();
            if (!listed.ok()) return pending.error(channelCode(listed.error().code, kError), listed.error().message);
            then(*device, listed.value(), pending);
        }));
}

void ImportBridge::imported(const Arguments& args, MethodResult& result) {
    withListing(args, result,
                [this](ImportSource& device, const std::vector<ImportItem>& items, PendingResult pending) {
                    auto identity = device.identity();
                    EncodableMap copied;
                    for (const auto& item : items)
                        if (auto before = history_->previous(identity, item); before && before->whole)
                            copied.set(item.path, before->at);
                    pending.success(EncodedAnswer::of(EncodableValue(std::move(copied))));
                });
}

namespace {

bool sameFile(const ImportItem& kept, const ImportItem& listed) {
    return kept.size == listed.size && kept.modified == std::floor(listed.modified);
}

std::map<std::string, const ImportItem*> byPath(const std::vector<ImportItem>& items) {
    std::map<std::string, const ImportItem*> found;
    for (const auto& item : items) found[item.path] = &item;
    return found;
}

// The ratings kept for a device's items that still stand: items it lists now, of the same size and time.
std::map<std::string, PhotoRating> standing(ImportHistory& history, const std::string& identity,
                                            const std::map<std::string, const ImportItem*>& listed) {
    std::map<std::string, PhotoRating> ratings;
    for (const auto& rated : history.ratings(identity))
        if (auto found = listed.find(rated.item.path); found != listed.end() && sameFile(rated.item, *found->second))
            ratings[rated.item.path] = rated.rating;
    return ratings;
}

}  // namespace

void ImportBridge::flag(const Arguments& args, MethodResult& result) {
    constexpr std::size_t kMaxItems = 100000;
    const auto* asked = args.list("items");
    if (!args.map("source") || !asked || asked->empty() || asked->size() > kMaxItems)
        return result.error(kBadRequest, "A source and from 1 to " + std::to_string(kMaxItems) + " items.");
    std::vector<std::string> paths;
    for (const auto& entry : *asked) {
        const auto* path = entry.get<std::string>();
        if (!path) return result.error(kBadRequest, "Items are paths.");
        paths.push_back(*path);
    }
    std::optional<int> pick, stars;
    if (args.value("flag")) {
        auto flag = args.string("flag").value_or("");
        if (flag != "pick" && flag != "reject" && flag != "none")
            return result.error(kBadRequest, "\"flag\" is \"pick\", \"reject\" or \"none\".");
        pick = flag == "pick" ? 1 : flag == "reject" ? -1 : 0;
    }
    if (args.value("stars")) {
        auto given = args.integer("stars");
        if (!given || *given < 0 || *given > 5) return result.error(kBadRequest, "\"stars\" is from 0 to 5.");
        stars = static_cast<int>(*given);
    }
    if (!pick && !stars) return result.error(kBadRequest, "A \"flag\" or \"stars\".");
    if (!args.map("source")) return result.error(kBadRequest, "A source.");
    Arguments where(*args.value("source"));
    EncodableMap source{{"kind", where.string("kind").value_or("")}, {"id", where.string("id").value_or("")}};
    withListing(args, result,
                [this, paths = std::move(paths), pick, stars, source = std::move(source)](
                    ImportSource& device, const std::vector<ImportItem>& items, PendingResult pending) {
                    auto listed = byPath(items);
                    auto identity = device.identity();
                    auto kept = standing(*history_, identity, listed);
                    std::vector<ImportHistory::Rated> changes;
                    for (const auto& path : paths) {
                        auto found = listed.find(path);
                        if (found == listed.end())
                            return pending.error(kBadRequest, "The device holds no item " + path + ".");
                        PhotoRating rating = kept[path];
                        if (pick) rating.pick = *pick;
                        if (stars) rating.stars = *stars;
                        changes.push_back({*found->second, rating});
                    }
                    if (auto rated = history_->rate(identity, changes); !rated.ok())
                        return pending.error(channelCode(rated.error().code, kError), rated.error().message);
                    // Every client showing the device reads its flags again.
                    events_->post(EncodableMap{{"type", "flagged"}, {"source", source}});
                    pending.success(EncodableValue());
                });
}

void ImportBridge::flags(const Arguments& args, MethodResult& result) {
    withListing(args, result,
                [this](ImportSource& device, const std::vector<ImportItem>& items, PendingResult pending) {
                    EncodableMap flagged;
                    for (const auto& [path, rating] : standing(*history_, device.identity(), byPath(items))) {
                        EncodableMap shown;
                        if (rating.pick != 0) shown.set("flag", rating.pick > 0 ? "pick" : "reject");
                        if (rating.stars != 0) shown.set("stars", rating.stars);
                        flagged.set(path, std::move(shown));
                    }
                    pending.success(EncodedAnswer::of(EncodableValue(std::move(flagged))));
                });
}

void ImportBridge::preview(const Arguments& args, MethodResult& result) {
    auto path = args.string("path");
    if (!args.map("source") || !path) return result.error(kBadRequest, "A source and a path.");
    Arguments where(*args.value("source"));
    auto opened = sources_.open(where.string("kind").value_or(""), where.string("id").value_or(""));
    if (!opened.ok()) return fail(result, opened.error());
    ImportItem item{*path, args.integer("size").value_or(0), 0};
    int px = args.pixelSize("px", 1600);
    PendingResult pending(std::move(result), loop_);
    queue_.post(lifetime_.guard([this, pending, device = opened.value(), item, px] {
        auto rendered =
            ItemPreview(platform_.imaging, platform_.videoFrames, scratchFolder()).render(*device, item, px);
        if (!rendered.ok()) return pending.error(channelCode(rendered.error().code, kError), rendered.error());
        auto& jpeg = rendered.value();
        pending.success(EncodedAnswer::of(jpeg ? EncodableValue(std::move(*jpeg)) : EncodableValue()));
    }));
}

void ImportBridge::departed(const std::string& kind, const std::string& id) {
    deviceDates_.forget(kind, id);
    for (auto& [jobId, job] : jobs_) {
        if (job->request().kind != kind || job->request().id != id) continue;
        job->deviceLeft();
        awayWhileRunning_.insert(jobId);
    }
}

void ImportBridge::arrived(const std::string& kind, const std::string& id) {
    // Told even before the history is open: a client lists the device again,
    // now that it is ready (a phone's name and trust are known by now).
    events_->send(EncodableMap{{"type", "arrived"}, {"source", EncodableMap{{"kind", kind}, {"id", id}}}});
    if (opening_)
        arrivedWhileOpening_.emplace_back(kind, id);
    else
        resumeOrStartOnArrival(kind, id);
}

void ImportBridge::resumeOrStartOnArrival(const std::string& kind, const std::string& id) {
    if (!history_) return;
    for (auto& [jobId, job] : jobs_)
        if (job->request().kind == kind && job->request().id == id && job->request().autoResume &&
            awayWhileRunning_.count(jobId))
            backBeforeNoticed_.insert(jobId);
    for (const auto& job : history_->jobs()) {
        if (job.state != JobState::interrupted || job.kind != kind || job.source != id || jobs_.count(job.id)) continue;
        auto request = ImportRequest::fromJson(job.request);
        if (!request.ok() || !request.value().autoResume) continue;
        relaunchBySelf(job, request.value());
    }
    startAutomatic(kind, id);
}

}  // namespace lumivane
