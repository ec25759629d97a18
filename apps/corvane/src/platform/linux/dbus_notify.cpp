// Balloons as freedesktop notifications (org.freedesktop.Notifications.Notify)
// on the session bus, through libdbus on a private connection.
#include <dbus/dbus.h>

#include <cstdlib>
#include <mutex>

#include <fmt/format.h>

#include "platform/tray.h"

namespace corvane {

namespace {

constexpr int kReplyTimeoutMs = 3000;

std::string take_error(DBusError& err, const char* fallback) {
    std::string text = dbus_error_is_set(&err) && err.message ? err.message : fallback;
    dbus_error_free(&err);
    return text;
}

class DbusNotifier final : public Notifier {
  public:
    ~DbusNotifier() override { drop(); }

    std::string connect() {
        // Without a session bus address libdbus would try to start a bus of
        // its own for the display: never do that behind the user's back.
        const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
        if (!address || !*address) return "no hay bus de sesión de D-Bus";
        DBusError err;
        dbus_error_init(&err);
        conn_ = dbus_bus_get_private(DBUS_BUS_SESSION, &err);
        if (!conn_) return take_error(err, "no se pudo conectar con el bus de sesión");
        // The default for a bus connection is to end the process when the bus goes.
        dbus_connection_set_exit_on_disconnect(conn_, FALSE);
        return {};
    }

    std::string notify(const std::string& title, const std::string& body, bool warning) override {
        if (!conn_ || !dbus_connection_get_is_connected(conn_)) {
            drop();
            if (std::string error = connect(); !error.empty()) return error;
        }
        DBusMessage* msg = dbus_message_new_method_call("org.freedesktop.Notifications",
                                                        "/org/freedesktop/Notifications",
                                                        "org.freedesktop.Notifications", "Notify");
        if (!msg) return "sin memoria";
        const char* app = "Corvane";
        const char* icon = warning ? "dialog-warning" : "dialog-information";
        const char* summary = title.c_str();
        const char* text = body.c_str();
        dbus_uint32_t replaces = 0;
        dbus_int32_t expire = -1;
        DBusMessageIter it, array, dict, entry, variant;
        dbus_message_iter_init_append(msg, &it);
        bool ok = dbus_message_iter_append_basic(&it, DBUS_TYPE_STRING, &app) &&
                  dbus_message_iter_append_basic(&it, DBUS_TYPE_UINT32, &replaces) &&
                  dbus_message_iter_append_basic(&it, DBUS_TYPE_STRING, &icon) &&
                  dbus_message_iter_append_basic(&it, DBUS_TYPE_STRING, &summary) &&
                  dbus_message_iter_append_basic(&it, DBUS_TYPE_STRING, &text);
        ok = ok && dbus_message_iter_open_container(&it, DBUS_TYPE_ARRAY, "s", &array) &&
             dbus_message_iter_close_container(&it, &array);
        ok = ok && dbus_message_iter_open_container(&it, DBUS_TYPE_ARRAY, "{sv}", &dict);
        if (ok) {
            // Warnings are critical, so that they stay until seen.
            const char* key = "urgency";
            unsigned char urgency = warning ? 2 : 1;
            ok = dbus_message_iter_open_container(&dict, DBUS_TYPE_DICT_ENTRY, nullptr, &entry) &&
                 dbus_message_iter_append_basic(&entry, DBUS_TYPE_STRING, &key) &&
                 dbus_message_iter_open_container(&entry, DBUS_TYPE_VARIANT, "y", &variant) &&
                 dbus_message_iter_append_basic(&variant, DBUS_TYPE_BYTE, &urgency) &&
                 dbus_message_iter_close_container(&entry, &variant) &&
                 dbus_message_iter_close_container(&dict, &entry) &&
                 dbus_message_iter_close_container(&it, &dict);
        }
        ok = ok && dbus_message_iter_append_basic(&it, DBUS_TYPE_INT32, &expire);
        if (!ok) {
            dbus_message_unref(msg);
            return "sin memoria";
        }
        DBusError err;
        dbus_error_init(&err);
        // Waiting for the reply keeps the balloons in order on the daemon.
        DBusMessage* reply =
            dbus_connection_send_with_reply_and_block(conn_, msg, kReplyTimeoutMs, &err);
        dbus_message_unref(msg);
        if (!reply) return take_error(err, "sin respuesta del servicio de notificaciones");
        dbus_message_unref(reply);
        return {};
    }

  private:
    void drop() {
        if (!conn_) return;
        dbus_connection_close(conn_);
        dbus_connection_unref(conn_);
        conn_ = nullptr;
    }

    DBusConnection* conn_ = nullptr;
};

}  // namespace

NotifierResult notifier_open() {
    static std::once_flag once;
    std::call_once(once, [] { dbus_threads_init_default(); });
    auto n = std::make_unique<DbusNotifier>();
    std::string error = n->connect();
    return {std::move(n), std::move(error)};
}

}  // namespace corvane
