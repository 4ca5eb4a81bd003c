#pragma once
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "bridges/common/bridge.h"
#include "bridges/common/event_handler.h"
#include "bridges/common/pending_result.h"
#include "bridges/import/device_dates.h"
#include "bridges/import/import_auto_rules.h"
#include "bridges/import/import_history.h"
#include "bridges/import/import_job.h"
#include "bridges/import/import_settings.h"
#include "channel/method_channel.h"
#include "runtime/concurrent_queue.h"
#include "runtime/lifetime.h"
#include "runtime/serial_queue.h"

namespace lumivane {

// The import engine: "lumivane/import" starts, follows, cancels and resumes
// import jobs from any device a bridge offers as an import source, into the
// folders a person chose; "lumivane/import/events" tells their progress.
// Jobs run in the background, outlive the client that started them, and are
// journaled in the history ("import-history.sqlite" in the data folder), so
// a job the host stopped in (even killed) resumes exactly where it was.
//
// Threads: the channel, job starts and job ends on the main loop, which
// never waits for the history's file: jobs and their counts are answered
// from the history's memory, and every write and item read happens on the
// "lumivane.import" concurrent queue, as do the jobs. The history is opened
// there too, after start(): calls that come before it is open wait for it.
// The remembered options and the automatic rules are read on the main loop
// (small files, replaced whole) and written on `saves_`, one at a time.
// Every member but the queues and `lifetime_` is main-loop only; queued work
// refers to the bridge through `lifetime_`, its last member.
class ImportBridge final : public Bridge {
public:
    static constexpr const char* kHistoryFile = "import-history.sqlite";

    explicit ImportBridge(const BridgeContext& context);
    ~ImportBridge() override;

    // Installs the channels, follows devices' arrivals for jobs that go on by
    // themselves, and opens the history in the background (every job it
    // finds running was interrupted).
    void start(BinaryMessenger& messenger) override;
    // Running jobs stop at their next chunk and stay "interrupted".
    void shutdown() override;

    void handle(const MethodCall& call, MethodResult result);

private:
    // On the main loop once the history is open, or could not be: answers
    // the calls and arrivals that waited for it.
    void historyOpened(Result<std::unique_ptr<ImportHistory>> opened);
    void startJob(const Arguments& args, MethodResult& result);
    // A device's automatic import: kept, listed, forgotten.
    void autoSet(const Arguments& args, MethodResult& result);
    void autoList(const Arguments& args, MethodResult& result);
    void autoRemove(const Arguments& args, MethodResult& result);
    // Starts the device's automatic import, if it has a rule and none of its
    // jobs runs; a device that cannot be imported from now gets a log line.
    void startAutomatic(const std::string& kind, const std::string& id);
    // A job that started by itself has ended: the device is ejected when
    // its rule asks and the job is done, then the person is told.
    void automaticEnded(const std::string& id, const ImportRequest& request, JobState state);
    static bool readOnlyVolume(const std::string& mountPoint);
    // What a request needs before its source is opened: usable folders (its
    // trailing slashes dropped), templates that read, no deletes from a phone.
    static Result<void> checkedFolders(ImportRequest& request);
    // What it needs of its source: deletes only from what is removable, and
    // folders apart from it and from each other.
    static Result<void> startableFrom(const ImportRequest& request, ImportSource& source);
    // Records a new job for `request` and runs it; `launched` makes the
    // answer for the job's id.
    void begin(const ImportRequest& request, std::shared_ptr<ImportSource> source,
               const std::function<std::function<void(Result<void>)>(const std::string& id)>& launched);
    void status(const Arguments& args, MethodResult& result);
    void list(const Arguments& args, MethodResult& result);
    void settings(const Arguments& args, MethodResult& result);
    // The options a request leaves out: the remembered ones, and until a
    // destination is remembered, the user's pictures folder where it exists.
    EncodableMap remembered() const;
    void remember(const Arguments& args, MethodResult& result);
    // Opens the source `args` names and, on `queue_`, calls `then` with its
    // key for the settings ("kind:identity") and the answer to give.
    void withDeviceKey(const Arguments& args, MethodResult& result,
                       std::function<void(const std::string& device, PendingResult pending)> then);
    // Runs `write` on `saves_` and answers with its outcome.
    void save(MethodResult& result, std::function<Result<void>()> write);
    void cancel(const Arguments& args, MethodResult& result);
    void resume(const Arguments& args, MethodResult& result);
    // A device's items as the engine sees them: leaders with their companions.
    void items(const Arguments& args, MethodResult& result);
    // Where parts of a device's items are put to be read (made if need be).
    std::string scratchFolder() const;
    // The capture times of a device's items, read from their heads.
    void dates(const Arguments& args, MethodResult& result);
    // Every capture time of a device, read in the background (DeviceDates).
    void deviceDates(const Arguments& args, MethodResult& result);
    // Opens the source `args` names and lists it on `queue_`: `then` gets the
    // device, its items and the answer to give; a device that cannot be
    // listed is the answer's error.
    using Listed =
        std::function<void(ImportSource& device, const std::vector<ImportItem>& items, PendingResult pending)>;
    void withListing(const Arguments& args, MethodResult& result, Listed then);
    // Which of a device's items an import copied before, and when: the rule
    // "only new" skips by.
    void imported(const Arguments& args, MethodResult& result);
    // How a person flagged a device's items while choosing what to import
    // (pick, reject, stars), kept by the host until each is imported.
    void flag(const Arguments& args, MethodResult& result);
    void flags(const Arguments& args, MethodResult& result);
    // A large JPEG of one item, rendered from the item itself (ItemPreview).
    void preview(const Arguments& args, MethodResult& result);
    // Called on the main loop once a launch is recorded and running, or with why not.
    using Launched = std::function<void(Result<void>)>;
    void resumeJob(const std::string& id, MethodResult result);
    // The job's end (`state`) is recorded; it is no longer running here either.
    void retire(const std::string& id, JobState state);
    // Records the job (its first run adds it, a later run marks it running)
    // off the main loop, then runs it from its opened source.
    void launch(ImportHistory::Job record, const ImportRequest& request, std::shared_ptr<ImportSource> source,
                bool firstRun, Launched launched);
    // A launch that could not be recorded never ran: it is no longer here.
    void unlaunched(const std::string& id, const Error& why);
    // Opens the recorded job's source again and runs the job on.
    void relaunch(const ImportHistory::Job& record, const ImportRequest& request, Launched launched);
    // The same, for a job that goes on by itself: a failure is logged.
    void relaunchBySelf(const ImportHistory::Job& record, const ImportRequest& request);
    // Refuses folder choices that defeat an import: a destination or backup
    // on the volume imported from, a backup that is the destination, inside
    // it, or holding it.
    static Result<void> sensibleFolders(const ImportRequest& request);
    // A device came (or came back): told to clients as "arrived", then
    // its interrupted jobs resume and its rule starts, once the history is open.
    void arrived(const std::string& kind, const std::string& id);
    void resumeOrStartOnArrival(const std::string& kind, const std::string& id);
    void departed(const std::string& kind, const std::string& id);
    // Checks that the folder exists and can be written.
    static Result<void> usableFolder(const std::string& path, const char* what);

    Platform platform_;
    MainLoop& loop_;
    Log& log_;
    const Clock& clock_;
    ImportSources& sources_;
    std::string dataFolder_;
    std::unique_ptr<ImportHistory> history_;  // set once opened; null while opening or if it cannot be
    bool opening_ = true;
    std::vector<std::pair<MethodCall, MethodResult>> waitingForHistory_;
    std::vector<std::pair<std::string, std::string>> arrivedWhileOpening_;  // kind and id
    ImportSettings settings_;
    ImportAutoRules autoRules_;
    std::shared_ptr<EventHandler> events_;
    std::unique_ptr<MethodChannel> channel_;
    std::unique_ptr<EventChannel> eventChannel_;
    std::map<std::string, std::shared_ptr<ImportJob>> jobs_;  // the running ones
    // Resumes asked for between a job's recorded end and its retirement here.
    std::map<std::string, std::vector<MethodResult>> resumeAfterEnd_;
    // Running jobs whose device left; of those that go on by themselves, the
    // ones whose device came back before they ended: resumed once they end
    // interrupted.
    std::set<std::string> awayWhileRunning_, backBeforeNoticed_;
    ConcurrentQueue queue_{"lumivane.import"};
    DeviceDates deviceDates_;                            // its work runs on queue_, guarded by lifetime_
    SerialQueue saves_{"lumivane.saves"};                // its destructor makes the saves still queued
    ImportSources::Registration arrivals_, departures_;  // devices coming and going, while this bridge lives
    Lifetime lifetime_;                                  // queued work asks it; the last member
};

}  // namespace lumivane
