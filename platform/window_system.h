#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/geometry.h"

namespace lumivane {

// Window style mask bits the host uses.
enum WindowStyle : std::uint64_t {
    kStyleTitled = 1 << 0,
    kStyleClosable = 1 << 1,
    kStyleMiniaturizable = 1 << 2,
    kStyleResizable = 1 << 3,
    kStyleFullSizeContentView = 1 << 15,
};

// One application window. Main thread only.
class AppWindow {
public:
    virtual ~AppWindow() = default;
    // True for the main interface window (MainFlutterWindow).
    virtual bool isMainFlutterWindow() const = 0;
    virtual Rect frame() const = 0;
    virtual void setFrame(const Rect& frame, bool display, bool animate) = 0;
    virtual Size contentSize() const = 0;
    virtual void setContentSize(const Size& size) = 0;
    virtual Size contentMinSize() const = 0;
    virtual void setContentMinSize(const Size& size) = 0;
    virtual std::uint64_t styleMask() const = 0;
    virtual void setStyleMask(std::uint64_t mask) = 0;
    virtual void setMovableByWindowBackground(bool movable) = 0;
    virtual void setRestorable(bool restorable) = 0;
    virtual void center() = 0;
    virtual void makeKeyAndOrderFront() = 0;
    // Restores a frame saved under the name by an earlier run, then keeps
    // saving the frame under it whenever it changes.
    virtual void setFrameAutosaveName(const std::string& name) = 0;
    // Installs the interface engine's view controller as the content.
    virtual void setContentViewController() = 0;
    // The visible frame of the screen the window is on, if any.
    virtual std::optional<Rect> screenVisibleFrame() const = 0;
};

// Screens and the application's windows. Main thread only.
class WindowSystem {
public:
    virtual ~WindowSystem() = default;
    // The main screen's visible frame; none when no screen is known.
    virtual std::optional<Rect> mainScreenVisibleFrame() const = 0;
    virtual std::vector<AppWindow*> windows() = 0;
    virtual AppWindow* mainWindow() = 0;
    // Called when the last window closes (the application then quits).
    virtual void setLastWindowClosedHandler(std::function<void()> handler) = 0;
};

}  // namespace lumivane
