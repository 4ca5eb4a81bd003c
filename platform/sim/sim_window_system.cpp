#include "platform/sim/sim_window_system.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

namespace lumivane {

namespace {
std::string describe(const Rect& r) {
    char text[96];
    std::snprintf(text, sizeof text, "%g %g %g %g", r.x, r.y, r.width, r.height);
    return text;
}

bool contains(const Rect& outer, const Rect& inner) {
    return inner.x >= outer.x && inner.y >= outer.y && inner.x + inner.width <= outer.x + outer.width &&
           inner.y + inner.height <= outer.y + outer.height;
}
}  // namespace

SimWindow::SimWindow(SimWindowSystem& system, UserDefaults& defaults, SimJournal& journal)
    : system_(system), defaults_(defaults), journal_(journal) {}

double SimWindow::titleBar() const {
    return (styleMask_ & kStyleTitled) && !(styleMask_ & kStyleFullSizeContentView) ? kTitleBarHeight : 0;
}

void SimWindow::changeFrame(const Rect& frame) {
    frame_ = frame;
    if (!autosaveName_.empty()) defaults_.set("NSWindow Frame " + autosaveName_, describe(frame_));
}

void SimWindow::setFrame(const Rect& frame, bool display, bool animate) {
    journal_.add("window.setFrame " + describe(frame));
    changeFrame(frame);
}

Size SimWindow::contentSize() const { return {frame_.width, frame_.height - titleBar()}; }

void SimWindow::setContentSize(const Size& size) {
    journal_.add("window.setContentSize " + describe({0, 0, size.width, size.height}).substr(4));
    // The top edge stays where it is, as on the Mac.
    double top = frame_.y + frame_.height;
    double height = size.height + titleBar();
    changeFrame({frame_.x, top - height, size.width, height});
}

void SimWindow::setContentMinSize(const Size& size) {
    journal_.add("window.setContentMinSize");
    minSize_ = size;
}

void SimWindow::setStyleMask(std::uint64_t mask) { styleMask_ = mask; }
void SimWindow::setMovableByWindowBackground(bool movable) { movable_ = movable; }

void SimWindow::setRestorable(bool restorable) {
    journal_.add(std::string("window.setRestorable ") + (restorable ? "YES" : "NO"));
    restorable_ = restorable;
}

void SimWindow::center() {
    journal_.add("window.center");
    auto screen = screenVisibleFrame();
    if (!screen) return;
    changeFrame({screen->midX() - frame_.width / 2, screen->midY() - frame_.height / 2, frame_.width, frame_.height});
}

void SimWindow::makeKeyAndOrderFront() { journal_.add("window.makeKeyAndOrderFront"); }

void SimWindow::setFrameAutosaveName(const std::string& name) {
    journal_.add("window.setFrameAutosaveName " + name);
    autosaveName_ = name;
    auto saved = defaults_.value("NSWindow Frame " + name);
    if (saved && saved->is_string()) {
        std::istringstream in(saved->get<std::string>());
        Rect r;
        if (in >> r.x >> r.y >> r.width >> r.height && r.width > 0 && r.height > 0) {
            // A saved frame never shrinks the content below the minimum size.
            r.width = std::max(r.width, minSize_.width);
            r.height = std::max(r.height, minSize_.height + titleBar());
            frame_ = r;
        }
    }
    changeFrame(frame_);
}

void SimWindow::setContentViewController() { journal_.add("window.setContentViewController"); }

std::optional<Rect> SimWindow::screenVisibleFrame() const { return system_.mainScreenVisibleFrame(); }

SimWindowSystem::SimWindowSystem(UserDefaults& defaults, SimJournal& journal)
    : window_(std::make_unique<SimWindow>(*this, defaults, journal)) {}

std::optional<Rect> SimWindowSystem::mainScreenVisibleFrame() const {
    if (screens_.empty()) return std::nullopt;
    return screens_.front();
}

std::vector<AppWindow*> SimWindowSystem::windows() {
    if (!window_) return {};
    return {window_.get()};
}

void SimWindowSystem::simulateScreens(std::vector<Rect> visibleFrames) {
    screens_ = std::move(visibleFrames);
    if (window_ && !screens_.empty() && !contains(screens_.front(), window_->frame())) window_->center();
}

void SimWindowSystem::simulateCloseWindow() {
    if (!window_) return;
    window_.reset();
    if (lastClosed_) lastClosed_();
}

}  // namespace lumivane
