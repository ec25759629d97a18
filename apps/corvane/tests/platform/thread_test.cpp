#include "platform/thread.h"

#include <gtest/gtest.h>

#include <future>
#include <set>

namespace corvane {
namespace {

TEST(ThreadNames, ProgramThreadsGetDistinctShortNames) {
    const std::vector<std::string> names{"crvn-config",
                                         "crvn-config-con",
                                         "crvn-bandeja",
                                         "crvn-codificador-video",
                                         "crvn-audio-juego",
                                         "crvn-audio-mic",
                                         "crvn-codificador-audio",
                                         "crvn-reloj",
                                         "crvn-tecla",
                                         "crvn-actualizar",
                                         "crvn-visor",
                                         "crvn-juego",
                                         "crvn-avisos",
                                         "crvn-detector-lento",
                                         "crvn-detector",
                                         "crvn-guardador",
                                         "crvn-estado",
                                         "crvn-captura",
                                         "crvn-sonido",
                                         "crvn-ia"};
    std::set<std::string> shown;
    for (const auto& n : names) {
        const auto s = thread_os_name(n);
        EXPECT_LE(s.size(), 15u) << n;
        EXPECT_EQ(s.rfind("crvn-", 0), 0u) << n;
        shown.insert(s);
    }
    EXPECT_EQ(shown.size(), names.size());
    EXPECT_EQ(thread_os_name("crvn-tecla"), "crvn-tecla");
    EXPECT_EQ(thread_os_name("un-nombre-muy-largo-de-hilo"), "un-nombre-muy-l");
}

TEST(ThreadNames, StartedThreadKeepsItsFullName) {
    std::promise<std::pair<std::string, std::string>> seen;
    auto got = seen.get_future();
    const auto error = thread_start_detached("crvn-codificador-video", [&] {
        char buf[32] = {};
        pthread_getname_np(pthread_self(), buf, sizeof buf);
        seen.set_value({thread_current_name(), buf});
    });
    ASSERT_EQ(error, "");
    ASSERT_EQ(got.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    const auto [full, os] = got.get();
    EXPECT_EQ(full, "crvn-codificador-video");
    EXPECT_EQ(os, "crvn-cod-video");
}

}  // namespace
}  // namespace corvane
