#include "updater/apply_update.h"

#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../support/temp_dir.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using corvane::ApplyUpdateArgs;
using corvane::InstallHooks;
using corvane::test::read_file;
using corvane::test::TempDir;
using corvane::test::write_file;

namespace {

// Every entry below `root` with what it holds (file bytes, link target, or
// "<dir>") and its permission bits; the update folder itself is left out, as
// the step writes its log and result there.
std::map<std::string, std::string> snapshot(const fs::path& root) {
    std::map<std::string, std::string> out;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        const auto rel = fs::relative(it->path(), root).string();
        if (it->path().filename() == "actualizacion" && it->path().parent_path().filename() == "data") {
            it.disable_recursion_pending();
            continue;
        }
        const auto st = it->symlink_status();
        std::string what;
        if (fs::is_symlink(st)) {
            what = "link:" + fs::read_symlink(it->path()).string();
        } else if (fs::is_directory(st)) {
            what = "<dir>";
        } else {
            what = "file:" + read_file(it->path());
        }
        what += " mode:" + std::to_string(static_cast<unsigned>(st.permissions()));
        out[rel] = what;
    }
    return out;
}

void put(const fs::path& p, std::string_view bytes) {
    fs::create_directories(p.parent_path());
    write_file(p, bytes);
}

// An installation and a downloaded new version beside it, as the download
// job leaves them.
struct Fixture {
    TempDir dir;
    fs::path install = dir.path() / "app";
    fs::path update = install / "data" / "actualizacion";
    fs::path nuevo = update / "nuevo";

    Fixture() {
        put(install / "corvane", "programa viejo");
        fs::permissions(install / "corvane", fs::perms(0755));
        put(install / "lib" / "viejo.so", "lib vieja");
        put(install / "manual" / "ayuda.html", "ayuda vieja");
        put(install / "solo_en_la_vieja.txt", "se va");
        put(install / "data" / "corvane.ini", "[general]\n");
        put(install / "Data" / "otra.txt", "mayúsculas");
        put(install / "TOOLS" / "herramienta", "h");
        put(install / "notas_personales.txt", "mis notas");
        put(nuevo / "corvane", "programa nuevo");
        put(nuevo / "lib" / "nuevo.so", "lib nueva");
        put(nuevo / "manual" / "ayuda.html", "ayuda nueva");
        put(nuevo / "data" / "evil.txt", "pisaría los datos");
        put(nuevo / "tools" / "otra", "no se instala");
        put(nuevo / "Notas_Personales.txt", "notas del paquete");
        fs::create_directories(update / "respaldo" / "de_antes");
    }

    ApplyUpdateArgs args() const {
        ApplyUpdateArgs a;
        a.package = nuevo;
        a.install_folder = install;
        a.version = "1.2.3";
        a.from_version = "0.10.45";
        return a;
    }
};

// Records what the step asks of the system; renames are real unless `fail`
// says otherwise for that call.
struct Recorder {
    std::vector<std::pair<fs::path, fs::path>> renames;
    std::vector<std::chrono::milliseconds> sleeps;
    std::vector<std::pair<std::uint32_t, std::chrono::milliseconds>> waits;
    struct Spawn {
        fs::path exe;
        std::vector<std::string> args;
        fs::path cwd;
    };
    std::vector<Spawn> spawns;
    std::function<std::error_code(const fs::path&, const fs::path&)> fail;
    std::chrono::system_clock::time_point now = std::chrono::system_clock::time_point(1767225600s) + 123456700ns;

    InstallHooks hooks() {
        InstallHooks h;
        h.rename = [this](const fs::path& from, const fs::path& to) {
            renames.emplace_back(from, to);
            if (fail) {
                if (auto ec = fail(from, to)) return ec;
            }
            std::error_code ec;
            fs::rename(from, to, ec);
            return ec;
        };
        h.sleep = [this](std::chrono::milliseconds d) { sleeps.push_back(d); };
        h.wait_pid = [this](std::uint32_t pid, std::chrono::milliseconds limit) { waits.emplace_back(pid, limit); };
        h.spawn = [this](const fs::path& exe, const std::vector<std::string>& args, const fs::path& cwd) {
            spawns.push_back({exe, args, cwd});
            return corvane::SpawnResult{true, 4242, {}};
        };
        h.now = [this] { return now; };
        return h;
    }
};

std::vector<std::string> log_messages(const fs::path& update) {
    std::vector<std::string> out;
    const std::string text = read_file(update / "actualizacion.log");
    const std::regex line(R"((\d{4}-\d{2}-\d{2} \d{2}-\d{2}-\d{2}) (.*))");
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::smatch m;
        const std::string l = text.substr(start, end - start);
        EXPECT_TRUE(std::regex_match(l, m, line)) << l;
        out.push_back(m.size() > 2 ? m[2].str() : l);
        start = end + 1;
    }
    return out;
}

std::error_code errc(std::errc e) { return std::make_error_code(e); }

}  // namespace

TEST(ApplyUpdate, SwapKeepsTheUsersDataToolsAndNotes) {
    Fixture f;
    const auto data_before = snapshot(f.install / "data");
    Recorder r;
    const auto result = corvane::apply_update_run(f.args(), r.hooks());

    EXPECT_EQ(result.dump(),
              R"({"ok":true,"version":"1.2.3","from":"0.10.45","time":1767225600.1234567,"files":6,"clean":true})");
    EXPECT_EQ(read_file(f.update / "resultado.json"), result.dump());

    EXPECT_EQ(read_file(f.install / "corvane"), "programa nuevo");
    EXPECT_EQ(read_file(f.install / "lib" / "nuevo.so"), "lib nueva");
    EXPECT_FALSE(fs::exists(f.install / "lib" / "viejo.so"));
    EXPECT_EQ(read_file(f.install / "manual" / "ayuda.html"), "ayuda nueva");
    EXPECT_FALSE(fs::exists(f.install / "solo_en_la_vieja.txt"));
    // The user's things stay, and the package's copies of them go nowhere.
    EXPECT_EQ(read_file(f.install / "notas_personales.txt"), "mis notas");
    EXPECT_FALSE(fs::exists(f.install / "Notas_Personales.txt"));
    EXPECT_EQ(read_file(f.install / "Data" / "otra.txt"), "mayúsculas");
    EXPECT_EQ(read_file(f.install / "TOOLS" / "herramienta"), "h");
    EXPECT_FALSE(fs::exists(f.install / "tools"));
    EXPECT_FALSE(fs::exists(f.install / "data" / "evil.txt"));
    auto data_after = snapshot(f.install / "data");
    EXPECT_EQ(data_after, data_before);
    // Nothing of the swap is left behind.
    EXPECT_FALSE(fs::exists(f.nuevo));
    EXPECT_FALSE(fs::exists(f.update / "respaldo"));

    ASSERT_EQ(r.spawns.size(), 1u);
    EXPECT_EQ(r.spawns[0].exe, f.install / "corvane");
    EXPECT_EQ(r.spawns[0].args, (std::vector<std::string>{"--no-elevate"}));
    EXPECT_EQ(r.spawns[0].cwd, f.install);

    EXPECT_EQ(log_messages(f.update),
              (std::vector<std::string>{
                  "Instalando v1.2.3 sobre v0.10.45 en " + f.install.string(),
                  "Listo: instalación limpia, 6 archivo(s); se quitaron 4 elemento(s) de la versión anterior.",
              }));
}

// Clips the settings keep inside the program folder are the user's data too:
// an update carries them over, wherever in the folder they are.
TEST(ApplyUpdate, ClipsInsideTheProgramFolderSurvive) {
    struct Case {
        std::string setting;  // "carpeta_clips", "{}" standing for the program folder
        std::string clip;     // a clip below the program folder
    };
    for (const Case& c : std::vector<Case>{{"Clips", "Clips/2026-12-11/Bajas/a.mp4"},
                                           {"./Clips/../Clips/", "Clips/estadisticas.jsonl"},
                                           {"{}/Videos/Corvane", "Videos/Corvane/2026-12-11/Manual/b.mp4"},
                                           {"{}", "2026-12-11/Muertes/c.mp4"},
                                           {"{}", "estadisticas.jsonl"}}) {
        Fixture f;
        std::string setting = c.setting;
        if (auto at = setting.find("{}"); at != std::string::npos) setting.replace(at, 2, f.install.string());
        put(f.install / "data" / "corvane.ini", "[general]\ncarpeta_clips = " + setting + "\n");
        put(f.install / c.clip, "clip del usuario");
        Recorder r;
        const auto result = corvane::apply_update_run(f.args(), r.hooks());
        EXPECT_TRUE(result.value("ok", false)) << c.setting << " " << result.dump();
        EXPECT_EQ(read_file(f.install / c.clip), "clip del usuario") << c.setting;
        EXPECT_EQ(read_file(f.install / "corvane"), "programa nuevo") << c.setting;
        EXPECT_EQ(read_file(f.install / "lib" / "nuevo.so"), "lib nueva") << c.setting;
        EXPECT_FALSE(fs::exists(f.install / "lib" / "viejo.so")) << c.setting;
    }

    // Clips kept elsewhere change nothing: a stray folder of that name goes.
    Fixture f;
    put(f.install / "data" / "corvane.ini", "[general]\ncarpeta_clips = " + (f.dir.path() / "Clips").string() + "\n");
    put(f.install / "Clips" / "x.mp4", "no es de los clips");
    Recorder r;
    EXPECT_TRUE(corvane::apply_update_run(f.args(), r.hooks()).value("ok", false));
    EXPECT_FALSE(fs::exists(f.install / "Clips"));
}

TEST(ApplyUpdate, FailureAtTheThirdPlacedEntryRestoresTheOldVersion) {
    Fixture f;
    const auto before = snapshot(f.install);
    Recorder r;
    int placed = 0;
    r.fail = [&](const fs::path& from, const fs::path&) -> std::error_code {
        if (from.parent_path() == f.nuevo && ++placed == 3) return errc(std::errc::io_error);
        return {};
    };
    const auto result = corvane::apply_update_run(f.args(), r.hooks());

    EXPECT_FALSE(result["ok"].get<bool>());
    EXPECT_EQ(result["error"], errc(std::errc::io_error).message());
    EXPECT_FALSE(result.contains("files"));
    EXPECT_EQ(snapshot(f.install), before);
    // The backup stays for the user: here, emptied by the restore.
    EXPECT_TRUE(fs::is_directory(f.update / "respaldo"));
    EXPECT_FALSE(fs::exists(f.nuevo));
    // The old program is opened again.
    ASSERT_EQ(r.spawns.size(), 1u);
    EXPECT_EQ(r.spawns[0].exe, f.install / "corvane");
    const auto log = log_messages(f.update);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[1], "ERROR: " + errc(std::errc::io_error).message() + ". Restaurando la versión anterior…");
    EXPECT_EQ(read_file(f.update / "resultado.json"), result.dump());
}

TEST(ApplyUpdate, RollbackGoesOnPastEntriesItCannotRestore) {
    Fixture f;
    Recorder r;
    r.fail = [&](const fs::path& from, const fs::path& to) -> std::error_code {
        if (from.parent_path() == f.nuevo && from.filename() == "manual") return errc(std::errc::io_error);
        // The way back of "lib" is refused; the others are restored.
        if (to == f.install / "lib" && from.parent_path() == f.update / "respaldo")
            return errc(std::errc::invalid_argument);
        return {};
    };
    corvane::apply_update_run(f.args(), r.hooks());
    EXPECT_EQ(read_file(f.install / "corvane"), "programa viejo");
    EXPECT_EQ(read_file(f.install / "manual" / "ayuda.html"), "ayuda vieja");
    EXPECT_FALSE(fs::exists(f.install / "lib"));
    EXPECT_EQ(read_file(f.update / "respaldo" / "lib" / "viejo.so"), "lib vieja");
    const auto log = log_messages(f.update);
    EXPECT_EQ(log.back(), "  no se pudo restaurar lib: " + errc(std::errc::invalid_argument).message());
}

TEST(ApplyUpdate, RenameRetriesOnlyRefusedAccess) {
    struct Case {
        const char* what;
        std::vector<std::errc> failures;  // the first attempts fail with these
        bool moved;
        size_t sleeps;
    };
    const Case cases[] = {
        {"denied three times", {3, std::errc::permission_denied}, true, 3},
        {"not permitted twice", {2, std::errc::operation_not_permitted}, true, 2},
        {"denied ten times", {10, std::errc::permission_denied}, false, 9},
        {"another error", {std::errc::cross_device_link}, false, 0},
    };
    for (const auto& c : cases) {
        TempDir dir;
        put(dir.path() / "a", "x");
        Recorder r;
        size_t calls = 0;
        r.fail = [&](const fs::path&, const fs::path&) -> std::error_code {
            return calls < c.failures.size() ? errc(c.failures[calls++]) : std::error_code();
        };
        const auto ec = corvane::fs_rename_retry(dir.path() / "a", dir.path() / "b" / "c" / "a", r.hooks());
        EXPECT_EQ(!ec, c.moved) << c.what;
        EXPECT_EQ(fs::exists(dir.path() / "b" / "c" / "a"), c.moved) << c.what;
        EXPECT_EQ(r.sleeps, std::vector<std::chrono::milliseconds>(c.sleeps, 1000ms)) << c.what;
        if (!c.moved) {
            EXPECT_EQ(ec, errc(c.failures.back())) << c.what;
        }
    }
    // A parent that cannot be made ends it at once, before any rename.
    TempDir dir;
    put(dir.path() / "a", "x");
    put(dir.path() / "archivo", "y");
    Recorder r;
    EXPECT_TRUE(corvane::fs_rename_retry(dir.path() / "a", dir.path() / "archivo" / "a", r.hooks()));
    EXPECT_TRUE(r.renames.empty());
}

TEST(ApplyUpdate, FileLockedTooLongRollsBackTheWholeSwap) {
    Fixture f;
    const auto before = snapshot(f.install);
    Recorder r;
    r.fail = [&](const fs::path& from, const fs::path&) -> std::error_code {
        if (from == f.install / "manual") return errc(std::errc::permission_denied);
        return {};
    };
    const auto result = corvane::apply_update_run(f.args(), r.hooks());
    EXPECT_FALSE(result["ok"].get<bool>());
    EXPECT_EQ(snapshot(f.install), before);
    EXPECT_EQ(r.sleeps.size(), 9u);
    // The new version was not used up: only the copy the download made is removed.
    EXPECT_FALSE(fs::exists(f.nuevo));
}

TEST(ApplyUpdate, WaitAndRelaunchFollowTheArguments) {
    struct Case {
        std::uint32_t pid;
        bool quiet, no_relaunch;
        std::vector<std::pair<std::uint32_t, std::chrono::milliseconds>> waits;
        std::vector<std::chrono::milliseconds> sleeps;
        std::vector<std::vector<std::string>> spawned;
    };
    const Case cases[] = {
        {0, false, false, {}, {}, {{"--no-elevate"}}},
        {4321, false, false, {{4321, 60000ms}}, {1500ms}, {{"--no-elevate"}}},
        {7, true, false, {{7, 60000ms}}, {1500ms}, {{"--no-elevate", "--no-window"}}},
        {0, true, true, {}, {}, {}},
    };
    for (const auto& c : cases) {
        Fixture f;
        Recorder r;
        auto a = f.args();
        a.pid = c.pid;
        a.quiet = c.quiet;
        a.no_relaunch = c.no_relaunch;
        corvane::apply_update_run(a, r.hooks());
        EXPECT_EQ(r.waits, c.waits) << c.pid;
        EXPECT_EQ(r.sleeps, c.sleeps) << c.pid;
        std::vector<std::vector<std::string>> spawned;
        for (const auto& s : r.spawns) spawned.push_back(s.args);
        EXPECT_EQ(spawned, c.spawned) << c.pid;
    }
}

TEST(ApplyUpdate, TheNewProgramIsLeftRunnable) {
    Fixture f;
    fs::permissions(f.nuevo / "corvane", fs::perms(0644));
    fs::permissions(f.nuevo / "lib" / "nuevo.so", fs::perms(0644));
    Recorder r;
    EXPECT_TRUE(corvane::apply_update_run(f.args(), r.hooks())["ok"].get<bool>());
    EXPECT_EQ(fs::status(f.install / "corvane").permissions(), fs::perms(0755));
    EXPECT_EQ(fs::status(f.install / "lib" / "nuevo.so").permissions(), fs::perms(0644));
}

TEST(ApplyUpdate, NoProgramAfterTheSwapIsLoggedNotStarted) {
    Fixture f;
    fs::remove(f.nuevo / "corvane");
    Recorder r;
    r.now = std::chrono::system_clock::time_point(-5s);
    auto a = f.args();
    a.version.clear();
    const auto result = corvane::apply_update_run(a, r.hooks());
    EXPECT_TRUE(result["ok"].get<bool>());
    EXPECT_EQ(result["version"], "");
    EXPECT_EQ(result["time"], 0.0);
    EXPECT_TRUE(r.spawns.empty());
    EXPECT_EQ(log_messages(f.update).back(), "No se pudo volver a abrir Corvane: no se encontró corvane");
}

TEST(ApplyUpdate, AFolderThatIsNotAnInstallationIsLeftAlone) {
    TempDir dir;
    put(dir.path() / "documentos" / "tesis.odt", "años de trabajo");
    put(dir.path() / "documentos" / "data" / "actualizacion" / "nuevo" / "corvane", "x");
    const auto before = snapshot(dir.path() / "documentos");
    Recorder r;
    ApplyUpdateArgs a;
    a.package = dir.path() / "documentos" / "data" / "actualizacion" / "nuevo";
    a.install_folder = dir.path() / "documentos";
    a.pid = 55;
    const auto result = corvane::apply_update_run(a, r.hooks());
    EXPECT_FALSE(result["ok"].get<bool>());
    EXPECT_EQ(result["error"], "la carpeta " + (dir.path() / "documentos").string() +
                                   " no tiene una instalación de Corvane");
    EXPECT_EQ(snapshot(dir.path() / "documentos"), before);
    EXPECT_TRUE(fs::exists(a.package));
    EXPECT_FALSE(fs::exists(dir.path() / "documentos" / "data" / "actualizacion" / "actualizacion.log"));
    EXPECT_TRUE(r.renames.empty());
    EXPECT_TRUE(r.waits.empty());
    EXPECT_TRUE(r.spawns.empty());

    // An empty folder argument is no folder, even where the working folder
    // holds a program file.
    const fs::path cwd = fs::current_path();
    put(dir.path() / "corvane", "x");
    fs::current_path(dir.path());
    a.install_folder.clear();
    const auto empty = corvane::apply_update_run(a, r.hooks());
    fs::current_path(cwd);
    EXPECT_FALSE(empty["ok"].get<bool>());
    EXPECT_FALSE(fs::exists(dir.path() / "data"));
    EXPECT_TRUE(r.spawns.empty());
}

TEST(ApplyUpdate, PackagesOutsideTheUpdateFolderAndBadVersionsAreRefused) {
    struct Case {
        const char* what;
        std::function<fs::path(const Fixture&)> package;
        std::string version;
        std::string error;  // start of the error text
    };
    const Case cases[] = {
        {"a folder elsewhere", [](const Fixture& f) { return f.dir.path() / "fuera"; }, "1.2.3",
         "el paquete no está en la carpeta de actualización: "},
        {"climbing out with ..", [](const Fixture& f) { return f.update / ".." / ".." / ".." / "fuera"; }, "1.2.3",
         "el paquete no está en la carpeta de actualización: "},
        {"the update folder itself", [](const Fixture& f) { return f.update; }, "1.2.3",
         "el paquete no está en la carpeta de actualización: "},
        {"the install folder", [](const Fixture& f) { return f.install; }, "1.2.3",
         "el paquete no está en la carpeta de actualización: "},
        {"a link to a folder elsewhere", [](const Fixture& f) { return f.update / "enlace"; }, "1.2.3",
         "no existe la carpeta de la versión nueva: "},
        {"a missing folder", [](const Fixture& f) { return f.update / "no_existe"; }, "1.2.3",
         "no existe la carpeta de la versión nueva: "},
        {"a version with a line break", [](const Fixture& f) { return f.nuevo; }, "1.2.3\nfalso",
         "la versión no es válida"},
        {"a version with a slash", [](const Fixture& f) { return f.nuevo; }, "../1", "la versión no es válida"},
    };
    for (const auto& c : cases) {
        Fixture f;
        put(f.dir.path() / "fuera" / "corvane", "de otro");
        put(f.dir.path() / "fuera" / "importante.txt", "no se borra");
        fs::create_directory_symlink(f.dir.path() / "fuera", f.update / "enlace");
        const auto before = snapshot(f.install);
        const auto outside = snapshot(f.dir.path() / "fuera");
        Recorder r;
        auto a = f.args();
        a.package = c.package(f);
        a.version = c.version;
        const auto result = corvane::apply_update_run(a, r.hooks());
        EXPECT_FALSE(result["ok"].get<bool>()) << c.what;
        EXPECT_EQ(result["error"].get<std::string>().rfind(c.error, 0), 0u) << c.what << ": " << result["error"];
        EXPECT_EQ(snapshot(f.install), before) << c.what;
        EXPECT_EQ(snapshot(f.dir.path() / "fuera"), outside) << c.what;
        EXPECT_TRUE(fs::is_symlink(f.update / "enlace")) << c.what;
        EXPECT_EQ(r.spawns.size(), 1u) << c.what;  // the old version is opened again
        if (c.version != "1.2.3") {
            // A bad version reaches neither the log nor the result.
            EXPECT_EQ(result["version"], "") << c.what;
            EXPECT_EQ(read_file(f.update / "actualizacion.log").find("falso"), std::string::npos);
        }
    }
}

TEST(ApplyUpdate, VersionTextCharacters) {
    for (const char* ok : {"", "1.2.3", "2.0.0-beta_1+build.5", "V10"}) {
        EXPECT_TRUE(corvane::install_version_text_valid(ok)) << ok;
    }
    for (const char* bad : {"1 2", "1/2", "1\\2", "1;2", "1\r", "v1.0\xc3\xa9", "$(x)"}) {
        EXPECT_FALSE(corvane::install_version_text_valid(bad)) << bad;
    }
}

TEST(InstallFiles, ListingIsByteOrderedAndCountingFollowsNoLinks) {
    TempDir dir;
    const auto root = dir.path() / "r";
    for (const char* name : {"b", "B", "a", "\xc3\xa9", "\xff", "_"}) put(root / name, "x");
    EXPECT_EQ(corvane::fs_list_dir_sorted(root).names,
              (std::vector<std::string>{"B", "_", "a", "b", "\xc3\xa9", "\xff"}));
    EXPECT_TRUE(corvane::fs_list_dir_sorted(root / "nada").error);

    put(root / "sub" / "deep" / "f", "x");
    fs::create_directory(root / "vacia");
    fs::create_directory_symlink(root / "sub", root / "enlace");  // one entry, not its content
    EXPECT_EQ(corvane::fs_count_files(root), 6u + 1u + 1u);
    EXPECT_EQ(corvane::fs_count_files(root / "nada"), 0u);
}

TEST(InstallFiles, LogLinesAreAppendedWithDashedTime) {
    TempDir dir;
    const auto log = dir.path() / "actualizacion.log";
    corvane::install_log_append(log, "uno");
    corvane::install_log_append(log, "dos ñ");
    // A file name holding a line break or an escape sequence stays on its line.
    corvane::install_log_append(log, "  no se pudo quitar a\n[ERROR] b\x1b[2J: x");
    const std::string text = read_file(log);
    EXPECT_TRUE(std::regex_match(text, std::regex(R"(\d{4}-\d{2}-\d{2} \d{2}-\d{2}-\d{2} uno\n)"
                                                  R"(\d{4}-\d{2}-\d{2} \d{2}-\d{2}-\d{2} dos ñ\n)"
                                                  R"(\d{4}-\d{2}-\d{2} \d{2}-\d{2}-\d{2}   no se pudo quitar )"
                                                  R"(a\\x0a\[ERROR\] b\\x1b\[2J: x\n)")))
        << text;
    // A log that cannot be opened is no failure.
    corvane::install_log_append(dir.path() / "no" / "existe.log", "x");
}
