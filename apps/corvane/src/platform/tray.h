// The tray icon: a docked icon with our own tooltip and popup menu, on the
// desktop's system tray. One object per tray thread; only wake() and
// request_remove() may be called from other threads.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace corvane {

struct TrayMenuItem {
    int id = 0;        // 0: cannot be chosen
    std::string text;  // the row's text
    std::string key;   // the key hint shown right-aligned ("" for none)
    bool separator = false;
    bool enabled = true;  // false: greyed
    bool bold = false;    // the default row
    bool checked = false;
};

enum class TrayEvent {
    timeout,      // nothing happened within the wait
    woken,        // wake() was called
    left_click,   // on the icon
    right_click,  // on the icon
    lost,         // the display connection is gone: the tray cannot go on
};

class TrayIcon {
  public:
    virtual ~TrayIcon() = default;
    // Waits at most `limit` for an event. Docking again after the tray host
    // restarts and showing the tooltip while the pointer rests on the icon
    // happen inside the wait.
    virtual TrayEvent wait(std::chrono::milliseconds limit) = 0;
    virtual void set_tooltip(const std::string& text) = 0;
    // Shows the menu at the pointer until a row is chosen or it is dismissed
    // (Escape, a click elsewhere); the chosen id, 0 when dismissed.
    virtual int run_menu(const std::vector<TrayMenuItem>& items) = 0;
    // Takes the icon off the tray; it does not come back.
    virtual void remove() = 0;
    // From any thread: ends the current wait with `woken`.
    virtual void wake() = 0;
    // From any thread: the icon is removed at the next wait.
    virtual void request_remove() = 0;
    // Whether a tray host runs (the icon is docked in it or being docked).
    virtual bool has_host() const = 0;
};

struct TrayIconResult {
    std::unique_ptr<TrayIcon> icon;  // null on failure
    std::string error;               // why, when null
};

// Makes the icon window on `display` ("" = the session's own) and docks it
// when a tray host runs (else later, as soon as one appears).
TrayIconResult tray_icon_open(const std::string& display, const std::string& tooltip);

// A desktop notification ("balloon").
class Notifier {
  public:
    virtual ~Notifier() = default;
    // Shows one notification; "" on success, else why not.
    virtual std::string notify(const std::string& title, const std::string& body, bool warning) = 0;
};

struct NotifierResult {
    std::unique_ptr<Notifier> notifier;  // never null
    std::string error;                   // why the first connection failed, "" when it worked
};

// A connection to the session's notification service. A notifier whose bus
// was unreachable tries again at each notify.
NotifierResult notifier_open();

}  // namespace corvane
