// The desktop backends against real peers on a private display: the tray icon
// in trayer (docking, docking again after a restart, the menu driven with
// xdotool), balloons through a private session bus to dunst, and a notice
// card under xcompmgr read back pixel by pixel.
// gtest first: Xlib's macros (None, Bool, Status) would break its headers.
#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <thread>

#include "../recording/recording_test_util.h"
#include "platform/notices.h"
#include "platform/tray.h"
#include "shell/notices.h"
#include "shell/tray.h"

namespace corvane {
namespace {

using namespace std::chrono_literals;

// A helper program started for one test and stopped by its pid.
class Child {
  public:
    Child(std::vector<std::string> args, std::vector<std::string> env_add,
          const std::string& stdout_path = "/dev/null") {
        std::vector<std::string> env_store;
        for (char** e = environ; *e; ++e) env_store.emplace_back(*e);
        for (auto& kv : env_add) env_store.push_back(kv);
        std::vector<char*> envp, argv;
        for (auto& e : env_store) envp.push_back(e.data());
        envp.push_back(nullptr);
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
        if (posix_spawnp(&pid_, argv[0], &fa, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
    }
    ~Child() { stop(); }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    void stop() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    bool running() const { return pid_ > 0; }

  private:
    pid_t pid_ = -1;
};

// The test's own connection to the display, to look at what others made.
class Observer {
  public:
    explicit Observer(const std::string& display) : dpy_(XOpenDisplay(display.c_str())) {}
    ~Observer() {
        if (dpy_) XCloseDisplay(dpy_);
    }
    Display* dpy() const { return dpy_; }
    Window root() const { return DefaultRootWindow(dpy_); }

    // The first window (depth first) whose WM_NAME is `name`; 0 when none.
    Window find(const std::string& name) { return find_under(root(), name); }

    Window parent_of(Window w) {
        Window r = 0, parent = 0, *children = nullptr;
        unsigned n = 0;
        if (!XQueryTree(dpy_, w, &r, &parent, &children, &n)) return 0;
        if (children) XFree(children);
        return parent;
    }
    bool viewable(Window w) {
        XWindowAttributes a{};
        return XGetWindowAttributes(dpy_, w, &a) && a.map_state == IsViewable;
    }
    bool tray_owned() {
        const Atom sel = XInternAtom(dpy_, "_NET_SYSTEM_TRAY_S0", False);
        return XGetSelectionOwner(dpy_, sel) != None;
    }
    std::uint32_t pixel(int x, int y) {
        XImage* img = XGetImage(dpy_, root(), x, y, 1, 1, AllPlanes, ZPixmap);
        if (!img) return 0xFFFFFFFF;
        const unsigned long p = XGetPixel(img, 0, 0);
        XDestroyImage(img);
        return static_cast<std::uint32_t>(p & 0xFFFFFF);
    }

  private:
    Window find_under(Window w, const std::string& name) {
        char* got = nullptr;
        if (XFetchName(dpy_, w, &got) && got) {
            const bool match = name == got;
            XFree(got);
            if (match) return w;
        }
        Window r = 0, parent = 0, *children = nullptr;
        unsigned n = 0;
        if (!XQueryTree(dpy_, w, &r, &parent, &children, &n)) return 0;
        Window found = 0;
        for (unsigned i = 0; i < n && !found; ++i) found = find_under(children[i], name);
        if (children) XFree(children);
        return found;
    }
    Display* dpy_;
};

Child start_trayer(const std::string& display) {
    return Child({"trayer", "--edge", "top", "--align", "right", "--widthtype", "request",
                  "--height", "24", "--SetDockType", "false", "--SetPartialStrut", "false"},
                 {"DISPLAY=" + display});
}

// Runs the icon's wait loop on its own thread, as the tray thread does.
class IconLoop {
  public:
    IconLoop(TrayIcon& icon, std::function<void(TrayEvent)> on_event)
        : thread_([this, &icon, on_event] {
              while (!stop_.load()) {
                  const TrayEvent e = icon.wait(50ms);
                  if (e == TrayEvent::lost) return;
                  if (e != TrayEvent::timeout && e != TrayEvent::woken) on_event(e);
              }
          }) {}
    ~IconLoop() {
        stop_ = true;
        thread_.join();
    }

  private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

int xdotool(const std::string& display, std::vector<std::string> args) {
    args.insert(args.begin(), {"env", "DISPLAY=" + display, "xdotool"});
    return test::run_command(args);
}

TEST(TrayXvfb, DocksAndDocksAgainAfterTheHostRestarts) {
    test::XvfbServer xvfb(640, 360);
    Observer x(xvfb.display());
    ASSERT_NE(x.dpy(), nullptr);
    {
        Child trayer = start_trayer(xvfb.display());
        ASSERT_TRUE(test::wait_for([&] { return x.tray_owned(); }, 30));
        TrayIconResult r = tray_icon_open(xvfb.display(), "Corvane v0.10.45");
        ASSERT_TRUE(r.icon) << r.error;
        IconLoop loop(*r.icon, [](TrayEvent) {});
        Window icon = 0;
        ASSERT_TRUE(test::wait_for([&] { return (icon = x.find("Corvane")) != 0; }, 10));
        ASSERT_TRUE(
            test::wait_for([&] { return x.parent_of(icon) != x.root() && x.viewable(icon); }, 30));

        trayer.stop();
        // Back on the root, and out of sight while no host runs.
        ASSERT_TRUE(
            test::wait_for([&] { return x.parent_of(icon) == x.root() && !x.viewable(icon); }, 30));

        Child again = start_trayer(xvfb.display());
        ASSERT_TRUE(
            test::wait_for([&] { return x.parent_of(icon) != x.root() && x.viewable(icon); }, 30));

        // Removed: the window is gone from the host.
        r.icon->request_remove();
        ASSERT_TRUE(test::wait_for([&] { return x.find("Corvane") == 0; }, 10));
    }
}

TEST(TrayXvfb, ClicksAndMenuRowsReachTheirCommands) {
    test::XvfbServer xvfb(640, 360);
    Observer x(xvfb.display());
    Child trayer = start_trayer(xvfb.display());
    ASSERT_TRUE(test::wait_for([&] { return x.tray_owned(); }, 30));
    const TrayContext ctx{"Ctrl+W", "Ctrl+Shift+E", "Ctrl+Shift+U", "/tmp"};
    tray_context_publish(ctx);

    std::mutex m;
    std::vector<std::string> calls;
    TrayActions actions;
    actions.open_window = [&](const std::string& tab) {
        std::lock_guard l(m);
        calls.push_back("open " + tab);
    };
    actions.quit = [&] {
        std::lock_guard l(m);
        calls.push_back("quit");
    };
    auto count = [&] {
        std::lock_guard l(m);
        return calls.size();
    };

    TrayIconResult r = tray_icon_open(xvfb.display(), "Corvane v0.10.45");
    ASSERT_TRUE(r.icon) << r.error;
    TrayIcon& icon = *r.icon;
    IconLoop loop(icon, [&](TrayEvent e) { tray_handle_event(icon, e, nullptr, actions); });
    Window win = 0;
    ASSERT_TRUE(test::wait_for([&] { return (win = x.find("Corvane")) != 0; }, 10));
    ASSERT_TRUE(test::wait_for([&] { return x.parent_of(win) != x.root(); }, 30));
    const std::string id = std::to_string(win);

    // Resting on the icon shows the tooltip; leaving it hides it.
    ASSERT_EQ(xdotool(xvfb.display(), {"mousemove", "--window", id, "5", "5"}), 0);
    ASSERT_TRUE(test::wait_for([&] { return x.find("Corvane info") != 0; }, 10));
    ASSERT_EQ(xdotool(xvfb.display(), {"mousemove", "100", "200"}), 0);
    ASSERT_TRUE(test::wait_for([&] { return x.find("Corvane info") == 0; }, 10));

    // Left click: the clip list.
    ASSERT_EQ(xdotool(xvfb.display(), {"mousemove", "--window", id, "5", "5", "click", "1"}), 0);
    ASSERT_TRUE(test::wait_for([&] { return count() == 1; }, 10));

    // Right click opens the menu; a row is chosen by clicking it. Rows have
    // fixed heights: 4 px of padding, 26 per row, 9 per dividing line.
    const auto rows = tray_menu_rows(ctx, std::nullopt, true);
    auto row_middle = [&](int wanted_id) {
        int y = 4;
        for (const auto& row : rows) {
            const int h = row.separator ? 9 : 26;
            if (row.id == wanted_id) return y + h / 2;
            y += h;
        }
        return -1;
    };
    for (int wanted : {tray_ids::kSettings, tray_ids::kQuit}) {
        const std::size_t before = count();
        ASSERT_EQ(xdotool(xvfb.display(), {"mousemove", "--window", id, "5", "5", "click", "3"}),
                  0);
        Window menu = 0;
        ASSERT_TRUE(test::wait_for([&] { return (menu = x.find("Corvane menu")) != 0; }, 10));
        ASSERT_TRUE(test::wait_for([&] { return x.viewable(menu); }, 10));
        ASSERT_EQ(xdotool(xvfb.display(), {"mousemove", "--window", std::to_string(menu), "60",
                                           std::to_string(row_middle(wanted)), "click", "1"}),
                  0);
        ASSERT_TRUE(test::wait_for([&] { return count() == before + 1; }, 10));
        ASSERT_TRUE(test::wait_for([&] { return x.find("Corvane menu") == 0; }, 10));
    }
    // Escape dismisses the menu without a command.
    ASSERT_EQ(xdotool(xvfb.display(), {"mousemove", "--window", id, "5", "5", "click", "3"}), 0);
    ASSERT_TRUE(test::wait_for([&] { return x.find("Corvane menu") != 0; }, 10));
    ASSERT_EQ(xdotool(xvfb.display(), {"key", "Escape"}), 0);
    ASSERT_TRUE(test::wait_for([&] { return x.find("Corvane menu") == 0; }, 10));

    std::lock_guard l(m);
    EXPECT_EQ(calls, (std::vector<std::string>{"open clips", "open ajustes", "quit"}));
}

TEST(NotifyDbus, BalloonsReachTheDaemonInOrder) {
    test::XvfbServer xvfb(640, 360);
    test::TempDir dir;
    const auto address_file = dir.path() / "address";
    Child bus({"dbus-daemon", "--session", "--nofork", "--print-address=1"}, {},
              address_file.string());
    std::string address;
    ASSERT_TRUE(test::wait_for(
        [&] {
            address = test::read_file(address_file);
            return address.find('\n') != std::string::npos;
        },
        30));
    address.resize(address.find('\n'));
    const auto monitor_file = dir.path() / "monitor.txt";
    Child dunst({"dunst"}, {"DISPLAY=" + xvfb.display(), "DBUS_SESSION_BUS_ADDRESS=" + address,
                            "HOME=" + dir.path().string()});
    Child monitor({"dbus-monitor", "--address", address,
                   "interface='org.freedesktop.Notifications',member='Notify'"},
                  {}, monitor_file.string());
    // The monitor has connected once it reports its own name.
    ASSERT_TRUE(test::wait_for(
        [&] { return test::read_file(monitor_file).find("NameAcquired") != std::string::npos; },
        30));
    const char* old = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    const std::string saved = old ? old : "";
    setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
    NotifierResult n = notifier_open();
    ASSERT_TRUE(n.error.empty()) << n.error;
    // dunst takes its bus name a moment after it starts.
    ASSERT_TRUE(
        test::wait_for([&] { return n.notifier->notify("uno", "primero", false).empty(); }, 30));
    EXPECT_EQ(n.notifier->notify("dos", "segundo", true), "");
    EXPECT_EQ(n.notifier->notify("tres", "tercero · ñ", false), "");
    if (old) {
        setenv("DBUS_SESSION_BUS_ADDRESS", saved.c_str(), 1);
    } else {
        unsetenv("DBUS_SESSION_BUS_ADDRESS");
    }
    ASSERT_TRUE(test::wait_for(
        [&] { return test::read_file(monitor_file).find("tercero") != std::string::npos; }, 10));
    const std::string seen = test::read_file(monitor_file);
    const auto p1 = seen.rfind("\"uno\""), p2 = seen.find("\"dos\""), p3 = seen.find("\"tres\"");
    ASSERT_NE(p1, std::string::npos);
    ASSERT_NE(p2, std::string::npos);
    ASSERT_NE(p3, std::string::npos);
    EXPECT_LT(p1, p2);
    EXPECT_LT(p2, p3);
    // The warning goes as critical (urgency 2) with the warning icon.
    const std::string second = seen.substr(p2, p3 - p2);
    EXPECT_NE(second.find("byte 2"), std::string::npos) << second;
    EXPECT_NE(seen.find("dialog-warning"), std::string::npos);
}

TEST(NoticesXvfb, CardDrawnAtItsPlaceWithItsAccentAndClickThrough) {
    test::XvfbServer xvfb(1280, 720);
    Observer x(xvfb.display());
    Child compositor({"xcompmgr"}, {"DISPLAY=" + xvfb.display()});
    // A white window below the card that records the clicks it gets.
    XSetWindowAttributes attrs{};
    attrs.background_pixel = WhitePixel(x.dpy(), 0);
    attrs.override_redirect = True;
    attrs.event_mask = ButtonPressMask;
    const Window below =
        XCreateWindow(x.dpy(), x.root(), 0, 0, 1280, 720, 0, CopyFromParent, InputOutput,
                      CopyFromParent, CWBackPixel | CWOverrideRedirect | CWEventMask, &attrs);
    XMapRaised(x.dpy(), below);
    XSync(x.dpy(), False);
    ASSERT_TRUE(test::wait_for([&] { return x.pixel(5, 5) == 0xFFFFFF; }, 10));

    NoticeWindowResult r = notice_window_open(xvfb.display());
    ASSERT_TRUE(r.window) << r.error;
    EXPECT_EQ(r.window->monitor(), (ScreenRect{0, 0, 1280, 720}));
    const NoticeGeometry g = notice_geometry(r.window->monitor(), 1.0f, 0);
    NoticeCard card{g.width, g.height, g.s, notice_accent(0), notice_second_colour(0),
                    "BAJA",  "Enemigo"};
    ASSERT_EQ(r.window->draw(card), "");
    const NoticePlace at = notice_place(g, 0);
    r.window->show_at(at.x, at.y, 255);

    // The accent bar's middle carries the accent exactly; the panel beside it
    // is (10, 12, 11) at 0.92 over the white below.
    const int bar_x = at.x + static_cast<int>(9 * g.s), mid_y = at.y + g.height / 2;
    const int panel_x = at.x + static_cast<int>(16 * g.s);
    auto near = [](std::uint32_t got, int r, int gr, int b) {
        return std::abs(static_cast<int>(got >> 16) - r) <= 3 &&
               std::abs(static_cast<int>((got >> 8) & 0xFF) - gr) <= 3 &&
               std::abs(static_cast<int>(got & 0xFF) - b) <= 3;
    };
    ASSERT_TRUE(test::wait_for([&] { return near(x.pixel(bar_x, mid_y), 107, 245, 154); }, 10))
        << std::hex << x.pixel(bar_x, mid_y);
    EXPECT_TRUE(near(x.pixel(panel_x, mid_y), 30, 31, 30)) << std::hex << x.pixel(panel_x, mid_y);
    // Outside the card the white stays.
    EXPECT_EQ(x.pixel(at.x - 3, mid_y), 0xFFFFFFu);

    // A click on the card reaches the window below.
    ASSERT_EQ(xdotool(xvfb.display(), {"mousemove", std::to_string(at.x + g.width / 2),
                                       std::to_string(mid_y), "click", "1"}),
              0);
    bool clicked = test::wait_for(
        [&] {
            XEvent e;
            while (XCheckWindowEvent(x.dpy(), below, ButtonPressMask, &e)) {
                if (e.xbutton.x == at.x + g.width / 2 && e.xbutton.y == mid_y) return true;
            }
            return false;
        },
        10);
    EXPECT_TRUE(clicked);

    r.window->hide();
    EXPECT_TRUE(test::wait_for([&] { return x.pixel(bar_x, mid_y) == 0xFFFFFF; }, 10));
}

// The whole notices thread: a pushed entry shows as a card at its computed
// place with its accent, and a quit during the card hides it and ends the
// thread.
TEST(NoticesXvfb, PushedNoticeShowsAndQuitHidesIt) {
    test::XvfbServer xvfb(1280, 720);
    Observer x(xvfb.display());
    Child compositor({"xcompmgr"}, {"DISPLAY=" + xvfb.display()});
    test::LogCapture log;
    notice_settings_set(NoticeSettings{1.0f, 10.0f, 1, true});  // arriba_derecha, long hold
    auto quit = std::make_shared<QuitFlag>();
    std::thread t([&] { notices_thread_main(NoticesContext{quit, xvfb.display()}); });
    ASSERT_TRUE(test::wait_for([] { return NoticesRunningFlag.load(); }, 10));
    avisos_push(4, "CLIP MANUAL", "20 s");

    const NoticeGeometry g = notice_geometry(ScreenRect{0, 0, 1280, 720}, 1.0f, 1);
    const NoticePlace at = notice_place(g, 0);
    const int bar_x = at.x + static_cast<int>(9 * g.s), mid_y = at.y + g.height / 2;
    const bool shown = test::wait_for(
        [&] {
            const std::uint32_t p = x.pixel(bar_x, mid_y);
            return std::abs(static_cast<int>(p >> 16) - 127) <= 3 &&
                   std::abs(static_cast<int>((p >> 8) & 0xFF) - 184) <= 3 &&
                   std::abs(static_cast<int>(p & 0xFF) - 255) <= 3;
        },
        10);
    const auto area = notice_card_area();
    quit->set = true;
    t.join();
    ASSERT_TRUE(shown) << std::hex << x.pixel(bar_x, mid_y);
    ASSERT_TRUE(area.has_value());
    EXPECT_EQ(*area, notice_card_area_of(g));
    EXPECT_FALSE(NoticesRunningFlag.load());
    EXPECT_FALSE(notice_card_area().has_value());
    EXPECT_TRUE(test::wait_for([&] { return x.find("Corvane aviso") == 0; }, 10));
    EXPECT_NE(log.text().find("[AVISO] Tu escritorio no permite ocultar los avisos de la "
                              "captura: pueden salir en los clips."),
              std::string::npos);
}

}  // namespace
}  // namespace corvane
