#pragma once
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/common/journal.h"
#include "platform/user_defaults.h"
#include "platform/window_system.h"

namespace lumivane {

class HeadlessWindowSystem;

// The main window of a machine with no window server to show it (the
// simulated Mac, and Linux, where there is no interface engine). Its frame includes a 28-point title bar while the
// style mask is titled without a full-size content view. With an autosave
// name it stores its frame in the user defaults under
// "NSWindow Frame " + name as "x y width height". Main thread only.
class HeadlessWindow final : public AppWindow {
public:
    static constexpr double kTitleBarHeight = 28;

    HeadlessWindow(HeadlessWindowSystem& system, UserDefaults& defaults, Journal& journal);

    bool isMainFlutterWindow() const override { return true; }
    Rect frame() const override { return frame_; }
    void setFrame(const Rect& frame, bool display, bool animate) override;
    Size contentSize() const override;
    void setContentSize(const Size& size) override;
    Size contentMinSize() const override { return minSize_; }
    void setContentMinSize(const Size& size) override;
    std::uint64_t styleMask() const override { return styleMask_; }
    void setStyleMask(std::uint64_t mask) override;
    void setMovableByWindowBackground(bool movable) override;
    void setRestorable(bool restorable) override;
    void center() override;
    void makeKeyAndOrderFront() override;
    void setFrameAutosaveName(const std::string& name) override;
    void setContentViewController() override;
    std::optional<Rect> screenVisibleFrame() const override;

    bool movable() const { return movable_; }
    bool restorable() const { return restorable_; }
    const std::string& autosaveName() const { return autosaveName_; }

private:
    double titleBar() const;
    void changeFrame(const Rect& frame);

    HeadlessWindowSystem& system_;
    UserDefaults& defaults_;
    Journal& journal_;
    Rect frame_{200, 200, 800, 600 + kTitleBarHeight};  // as the interface file places it
    Size minSize_;
    std::uint64_t styleMask_ = kStyleTitled | kStyleClosable | kStyleMiniaturizable | kStyleResizable;
    bool movable_ = false;
    bool restorable_ = true;
    std::string autosaveName_;
};

// The window system of a headless machine: screens (visible frames; the first
// is the main screen) and the one main window, kept in memory. Starts with one
// 1440 x 900 screen at the origin. Main thread only.
class HeadlessWindowSystem final : public WindowSystem {
public:
    HeadlessWindowSystem(UserDefaults& defaults, Journal& journal);

    std::optional<Rect> mainScreenVisibleFrame() const override;
    std::vector<AppWindow*> windows() override;
    AppWindow* mainWindow() override { return window_.get(); }
    void setLastWindowClosedHandler(std::function<void()> handler) override { lastClosed_ = std::move(handler); }

    // Replaces the screens (an empty list: no screen). A window that no
    // longer lies on the main screen moves onto it.
    void setScreens(std::vector<Rect> visibleFrames);
    // The user closes the main window.
    void closeMainWindow();
    HeadlessWindow* window() { return window_.get(); }
    // The screen holding a point (the window's screen is the one holding its
    // centre); none when the point is off every screen.
    std::optional<Rect> screenAt(double x, double y) const;

private:
    std::vector<Rect> screens_{{0, 0, 1440, 900}};
    std::unique_ptr<HeadlessWindow> window_;
    std::function<void()> lastClosed_;
};

}  // namespace lumivane
