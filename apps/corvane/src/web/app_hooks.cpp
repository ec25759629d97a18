#include "web/app_hooks.h"

#include <mutex>

namespace corvane {

namespace {

struct AppHookCell {
    std::mutex mutex;
    std::shared_ptr<const UiAppHooks> hooks = std::make_shared<const UiAppHooks>();
};
AppHookCell& cell() {
    static AppHookCell* c = new AppHookCell;  // leaked: detached threads read it at exit
    return *c;
}

}  // namespace

void ui_set_app_hooks(UiAppHooks hooks) {
    auto fresh = std::make_shared<const UiAppHooks>(std::move(hooks));
    auto& c = cell();
    std::lock_guard lock(c.mutex);
    c.hooks = std::move(fresh);
}

std::shared_ptr<const UiAppHooks> ui_app_hooks() {
    auto& c = cell();
    std::lock_guard lock(c.mutex);
    return c.hooks;
}

}  // namespace corvane
