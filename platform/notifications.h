#pragma once
#include <functional>
#include <string>

namespace lumivane {

// Desktop notifications: a short message for the person at the screen, with
// one action. Where the desktop offers none, nothing shows and nothing fails.
//
// Main thread only; show() never waits for the desktop, and `activated`
// runs on the main loop (at most once, if the person picks the action).
class Notifications {
public:
    struct Notice {
        std::string title;   // one line: what happened
        std::string body;    // more, or empty
        std::string action;  // the action's label, or empty for none
    };

    virtual ~Notifications() = default;
    virtual void show(const Notice& notice, std::function<void()> activated) = 0;
};

}  // namespace lumivane
