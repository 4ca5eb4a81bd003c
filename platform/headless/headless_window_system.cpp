#include "platform/headless/headless_window_system.h"

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

HeadlessWindow::HeadlessWindow(HeadlessWindowSystem& system, UserDefaults& defaults, Journal& journal)
    : system_(system), defaults_(defaults), journal_(journal) {}

double HeadlessWindow::titleBar() const {
    return (styleMask_ & kStyleTitled) && !(styleMask_ & kStyleFullSizeContentView) ? kTitleBarHeight : 0;
}

void HeadlessWindow::changeFrame(const Rect& frame) {
    frame_ = frame;
    if (!autosaveName_.empty()) defaults_.set("NSWindow Frame " + autosaveName_, describe(frame_));
}

void HeadlessWindow::setFrame(const Rect& frame, bool display, bool animate) {
    journal_.add("window.setFrame " + describe(frame));
    changeFrame(frame);
}

Size HeadlessWindow::contentSize() const { return {frame_.width, frame_.height - titleBar()}; }

void HeadlessWindow::setContentSize(const Size& size) {
    journal_.add("window.setContentSize " + describe({0, 0, size.width, size.height}).substr(4));
    // The top edge stays where it is, as on the Mac.
    double top = frame_.y + frame_.height;
    double height = size.height + titleBar();
    changeFrame({frame_.x, top - height, size.width, height});
}

void HeadlessWindow::setContentMinSize(const Size& size) {
    journal_.add("window.setContentMinSize");
    minSize_ = size;
}

void HeadlessWindow::setStyleMask(std::uint64_t mask) { styleMask_ = mask; }
void HeadlessWindow::setMovableByWindowBackground(bool movable) { movable_ = movable; }

void HeadlessWindow::setRestorable(bool restorable) {
    journal_.add(std::string("window.setRestorable ") + (restorable ? "YES" : "NO"));
    restorable_ = restorable;
}

void HeadlessWindow::center() {
    journal_.add("window.center");
    auto screen = screenVisibleFrame();
    if (!screen) return;
    changeFrame({screen->midX() - frame_.width / 2, screen->midY() - frame_.height / 2, frame_.width, frame_.height});
}

void HeadlessWindow::makeKeyAndOrderFront() { journal_.add("window.makeKeyAndOrderFront"); }

void HeadlessWindow::setFrameAutosaveName(const std::string& name) {
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

void HeadlessWindow::setContentViewController() { journal_.add("window.setContentViewController"); }

std::optional<Rect> HeadlessWindow::screenVisibleFrame() const {
    return system_.screenAt(frame_.midX(), frame_.midY());
}

HeadlessWindowSystem::HeadlessWindowSystem(UserDefaults& defaults, Journal& journal)
    : window_(std::make_unique<HeadlessWindow>(*this, defaults, journal)) {}

std::optional<Rect> HeadlessWindowSystem::mainScreenVisibleFrame() const {
    if (screens_.empty()) return std::nullopt;
    return screens_.front();
}

std::optional<Rect> HeadlessWindowSystem::screenAt(double x, double y) const {
    for (const auto& screen : screens_)
        if (x >= screen.x && x < screen.x + screen.width && y >= screen.y && y < screen.y + screen.height)
            return screen;
    return std::nullopt;
}

std::vector<AppWindow*> HeadlessWindowSystem::windows() {
    if (!window_) return {};
    return {window_.get()};
}

void HeadlessWindowSystem::setScreens(std::vector<Rect> visibleFrames) {
    screens_ = std::move(visibleFrames);
    if (window_ && !screens_.empty() && !contains(screens_.front(), window_->frame())) window_->center();
}

void HeadlessWindowSystem::closeMainWindow() {
    if (!window_) return;
    window_.reset();
    if (lastClosed_) lastClosed_();
}

}  // namespace lumivane
