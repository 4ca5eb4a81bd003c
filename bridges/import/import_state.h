#pragma once
#include <optional>
#include <string_view>

namespace lumivane {

// Where an item of an import job stands. Every item starts pending and ends
// once: imported (its copy in place, every copy verified), skipped (nothing
// to copy: already imported, the same bytes already there, cancelled) or
// failed (why is its reason). An imported item goes back to pending only
// when its copy was lost with its folder, so that a resume copies it again.
enum class ItemState { pending, imported, skipped, failed };

// Where a job stands: running until it ends; then done (every item ended),
// interrupted (its device went, its destination filled up or went, the host
// stopped: the pending items wait for a resume), cancelled (asked), or
// failed (it could not run at all: its device refused its listing).
enum class JobState { running, done, interrupted, cancelled, failed };

// Whether an item may move from `from` to `to`.
constexpr bool allowed(ItemState from, ItemState to) {
    return from == ItemState::pending ? to != ItemState::pending
                                      : from == ItemState::imported && to == ItemState::pending;
}

// The states as the history and the channel spell them, and back (none for
// a word that is no state). Any thread.
constexpr const char* textOf(ItemState state) {
    switch (state) {
        case ItemState::pending: return "pending";
        case ItemState::imported: return "imported";
        case ItemState::skipped: return "skipped";
        case ItemState::failed: return "failed";
    }
    return "pending";
}
constexpr const char* textOf(JobState state) {
    switch (state) {
        case JobState::running: return "running";
        case JobState::done: return "done";
        case JobState::interrupted: return "interrupted";
        case JobState::cancelled: return "cancelled";
        case JobState::failed: return "failed";
    }
    return "running";
}
inline std::optional<ItemState> itemStateFrom(std::string_view text) {
    for (auto state : {ItemState::pending, ItemState::imported, ItemState::skipped, ItemState::failed})
        if (text == textOf(state)) return state;
    return std::nullopt;
}
inline std::optional<JobState> jobStateFrom(std::string_view text) {
    for (auto state : {JobState::running, JobState::done, JobState::interrupted, JobState::cancelled, JobState::failed})
        if (text == textOf(state)) return state;
    return std::nullopt;
}

}  // namespace lumivane
