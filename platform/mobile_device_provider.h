#pragma once
// What every MobileDevice provider library builds its entry points from: the
// AFC listing objects, the notice thread, and reading text nodes. Included by
// the providers only.
#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/mobile_device.h"

// A directory's names, read one at a time.
struct LVAFCDirectory {
    std::vector<std::string> names;
    std::size_t next = 0;
};

// A file's information, read one key and value at a time.
struct LVAFCKeyValues {
    std::vector<std::pair<std::string, std::string>> pairs;
    std::size_t next = 0;
};

struct LVNotification {
    am_device_notification_callback callback;
    void* context;
};

namespace lumivane::provider {

// A string node's text; empty for anything else.
inline std::string text(plist_t node) {
    if (!node || plist_get_node_type(node) != PLIST_STRING) return "";
    char* value = nullptr;
    plist_get_string_val(node, &value);
    std::string out = value ? value : "";
    std::free(value);
    return out;
}

// The next name of a directory; null after the last.
inline std::int32_t readName(AFCDirectoryRef directory, char** name) {
    if (!directory || !name) return kAFCInvalidArgument;
    *name = directory->next < directory->names.size() ? directory->names[directory->next++].data() : nullptr;
    return kAFCSuccess;
}

// The next key and value of a file's information; both null after the last.
inline std::int32_t readKeyValue(AFCDictionaryRef info, char** key, char** value) {
    if (!info || !key || !value) return kAFCInvalidArgument;
    if (info->next >= info->pairs.size()) {
        *key = *value = nullptr;
        return kAFCSuccess;
    }
    auto& pair = info->pairs[info->next++];
    *key = pair.first.data();
    *value = pair.second.data();
    return kAFCSuccess;
}

// Device notices, handed to each subscriber's callback in order from one
// thread of the provider's own, named `threadName`. A device (with an atomic
// `references` count) is retained while its notice waits and released after
// with `Release`. post() from any thread; `mutex_` guards `notices_`.
template <typename Device, void (*Release)(Device*)>
class NoticeQueue {
public:
    explicit NoticeQueue(const char* threadName) : name_(threadName), thread_([this] { deliver(); }) {
        thread_.detach();  // the provider is process-wide: its thread lives as long
    }
    void post(LVNotification* subscription, Device* device, std::uint32_t kind) {
        ++device->references;
        {
            std::lock_guard lock(mutex_);
            notices_.push_back({subscription, device, kind});
        }
        wake_.notify_one();
    }

private:
    struct Notice {
        LVNotification* subscription;
        Device* device;
        std::uint32_t kind;
    };
    void deliver() {
        pthread_setname_np(pthread_self(), name_);
        for (;;) {
            Notice notice;
            {
                std::unique_lock lock(mutex_);
                wake_.wait(lock, [this] { return !notices_.empty(); });
                notice = notices_.front();
                notices_.pop_front();
            }
            am_device_notification_callback_info info{notice.device, notice.kind, notice.subscription};
            notice.subscription->callback(&info, notice.subscription->context);
            Release(notice.device);
        }
    }

    const char* name_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Notice> notices_;
    std::thread thread_;
};

}  // namespace lumivane::provider
