#include "base/config_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "base/paths.h"
#include "base/text.h"
#include "base_test_util.h"

namespace corvane {
namespace {

using test::golden;
using test::read_file;
using test::TempAppDir;
using test::write_file;

std::string crlf(std::string_view lf) {
    std::string out;
    for (char c : lf) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

size_t count(std::string_view hay, std::string_view needle) {
    size_t n = 0;
    for (size_t p = hay.find(needle); p != std::string_view::npos; p = hay.find(needle, p + 1)) ++n;
    return n;
}

// ---- reader ----------------------------------------------------------------

TEST(IniReader, EdgeCases) {
    using Pairs = std::vector<std::tuple<std::string, std::string, std::string>>;
    struct Case {
        const char* name;
        std::string text;
        Pairs expect;       // (section, key, value) present
        Pairs absent = {};  // (section, key, "") that must be absent
    };
    const Case cases[] = {
        {"lf", "[a]\nx = 1\ny = 2\n", {{"a", "x", "1"}, {"a", "y", "2"}}},
        {"crlf", "[a]\r\nx = 1\r\ny = 2\r\n", {{"a", "x", "1"}, {"a", "y", "2"}}},
        {"no final line end", "[a]\nx = 1\ny = 2", {{"a", "x", "1"}, {"a", "y", "2"}}},
        {"case of names, not of values",
         "[Grabacion]\nPERFIL = Calidad\n",
         {{"grabacion", "perfil", "Calidad"}}},
        {"full Unicode lower case", "[GRABACIÓN]\nTAMAÑO = Sí\n", {{"grabación", "tamaño", "Sí"}}},
        {"semicolon cut before quotes",
         "[general]\ngamertag = \"A;B\"\n",
         {{"general", "gamertag", "A"}}},
        {"first equals splits",
         "[x]\nclave = a=b\n= vacia\n",
         {{"x", "clave", "a=b"}, {"x", "", "vacia"}}},
        {"last occurrence wins",
         "[x]\nk = 1\nK = 2\n[y]\nk = 3\n[X]\nk = 4\n",
         {{"x", "k", "4"}, {"y", "k", "3"}}},
        {"comments and blanks",
         "# c\n; c = 1\n\n  \t\n[x]\n  ; k = 9\nk = 1 ; inline\n",
         {{"x", "k", "1"}},
         {{"x", "; k", ""}, {"", "; c", ""}}},
        {"all outer quotes go, inner blanks stay",
         "[x]\na = \"\"  b  \"\"\nb = \"c\"d\"\n",
         {{"x", "a", "  b  "}, {"x", "b", "c\"d"}}},
        {"unicode white space trimmed",
         "\xC2\xA0[x]\xE3\x80\x80\nk\xC2\xA0=\xC2\xA0v\xC2\xA0\n",
         {{"x", "k", "v"}}},
        {"keys before any header", "k = 1\n[x]\n", {{"", "k", "1"}}},
        {"header with blanks inside", "[ Audio ]\njuego = no\n", {{"audio", "juego", "no"}}},
        {"empty header", "[]\nk = 1\n", {{"", "k", "1"}}},
        {"header with trailing comment is not a header",
         "[x]\n[y] ; c\nk = 1\n",
         {{"x", "k", "1"}}},
        {"byte-order mark",
         "\xEF\xBB\xBF[grabacion]\nperfil = ligero\n",
         {{"grabacion", "perfil", "ligero"}}},
        {"line without equals ignored",
         "[x]\nsuelto\nk=v\n",
         {{"x", "k", "v"}},
         {{"x", "suelto", ""}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        IniTable t = config_parse_ini(c.text);
        for (const auto& [s, k, v] : c.expect) {
            auto got = config_ini_get(t, s, k);
            ASSERT_TRUE(got.has_value()) << "[" << s << "] " << k;
            EXPECT_EQ(*got, v) << "[" << s << "] " << k;
        }
        for (const auto& [s, k, v] : c.absent) EXPECT_FALSE(config_ini_get(t, s, k)) << k;
        EXPECT_EQ(t.size(), c.expect.size());
    }
}

TEST(IniReader, UnsignedClipsValues) {
    struct Case {
        const char* value;
        std::uint64_t expect;
        bool warns;
    };
    const Case cases[] = {
        {"", 7, false},
        {"+5", 5, false},
        {"0", 0, false},
        {"100", 100, false},
        {"101", 7, true},
        {"+", 7, true},
        {"-", 7, true},
        {"-1", 7, true},
        {"12a", 7, true},
        {" 12", 12, false},
        {"99999999999999999999", 7, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        std::vector<std::string> warnings;
        IniTable t = config_parse_ini(fmt::format("[clips]\nlimite_disco_gb = {}\n", c.value));
        EXPECT_EQ(config_ini_get_uint(t, "limite_disco_gb", 7, 100, warnings), c.expect);
        ASSERT_EQ(warnings.size(), c.warns ? 1u : 0u);
        if (c.warns) {
            EXPECT_EQ(warnings[0],
                      fmt::format("limite_disco_gb '{}' no válido (0 a 100)", c.value));
        }
    }
    std::vector<std::string> warnings;
    EXPECT_EQ(config_ini_get_uint(IniTable{}, "segundos_antes", 5, 100, warnings), 5u);
    EXPECT_TRUE(warnings.empty());
}

TEST(IniReader, SectionLinesAreRecognisedLikeTheReader) {
    EXPECT_EQ(config_find_section_lines("\xEF\xBB\xBF[Audio]\r\nx=1\n  [ GRABACIÓN ]  \n; [no]\n"
                                        "[y] ; no\n[]\n"),
              (std::vector<std::string>{"[audio]", "[grabación]", "[]"}));
}

// ---- template --------------------------------------------------------------

TEST(IniTemplate, LayoutAndDefaults) {
    const std::string_view t = config_default_template();
    ASSERT_FALSE(t.empty());
    EXPECT_EQ(t.back(), '\n');
    EXPECT_EQ(t.find('\r'), std::string_view::npos);
    const std::string rule = "; " + std::string(62, '=');
    EXPECT_EQ(t.substr(0, rule.size() + 1), rule + "\n");
    EXPECT_NE(t.find("\n;  Corvane - configuración\n"), std::string_view::npos);
    EXPECT_NE(t.find("\n;  Lo más fácil: clic en el ícono de Corvane (junto al reloj) -> "
                     "Configuración.\n"),
              std::string_view::npos);
    EXPECT_NE(t.find("\n;  Si lo editas a mano: guarda y reinicia Corvane (menú del ícono -> "
                     "Reiniciar).\n" +
                     rule + "\n\n[grabacion]\n"),
              std::string_view::npos);

    const std::vector<std::string> sections = {
        "[grabacion]",       "[avanzado]", "[teclas]", "[audio]",  "[aviso]",
        "[detector]",        "[clips]",    "[hdr]",    "[avisos]", "[visor]",
        "[actualizaciones]", "[ia]",       "[general]"};
    EXPECT_EQ(config_find_section_lines(t), sections);
    // One blank line before every header but the first section's, none at the end.
    for (size_t i = 1; i < sections.size(); ++i) {
        EXPECT_NE(t.find("\n\n" + sections[i] + "\n"), std::string_view::npos) << sections[i];
        EXPECT_EQ(t.find("\n\n\n" + sections[i]), std::string_view::npos) << sections[i];
    }
    EXPECT_EQ(t.substr(t.size() - 2), "=\n");

    // Every key line, in order, with its default; empty defaults end at "=".
    const std::vector<std::string> key_lines = {"perfil = equilibrado",
                                                "resolucion = nativa",
                                                "codec =",
                                                "fps =",
                                                "bitrate_mbps =",
                                                "buffer_segundos =",
                                                "buffer_max_mb =",
                                                "guardar = Ctrl+W",
                                                "juego = si",
                                                "volumen_juego = 100",
                                                "microfono = no",
                                                "volumen_microfono = 100",
                                                "microfono_en_video = si",
                                                "nivelar_microfono = si",
                                                "salida_nombre =",
                                                "salida_id =",
                                                "microfono_nombre =",
                                                "microfono_id =",
                                                "sonido = si",
                                                "volumen = 25",
                                                "activo = si",
                                                "automaticos = todo",
                                                "segundos_antes = 5",
                                                "segundos_despues = 5",
                                                "limite_disco_gb = 50",
                                                "corregir = si",
                                                "blanco_sdr = auto",
                                                "activo = si",
                                                "posicion = arriba_centro",
                                                "tamano = 100",
                                                "duracion = 3",
                                                "tecla = Ctrl+Shift+E",
                                                "buscar_al_abrir = si",
                                                "tecla = Ctrl+Shift+U",
                                                "clave_gemini =",
                                                "modelo =",
                                                "fps = 3",
                                                "gamertag =",
                                                "carpeta_clips ="};
    std::vector<std::string> got;
    size_t start = 0;
    while (start < t.size()) {
        size_t lf = t.find('\n', start);
        std::string line(t.substr(start, lf - start));
        start = lf + 1;
        if (line.empty() || line[0] == ';' || line[0] == '[') continue;
        got.push_back(line);
    }
    EXPECT_EQ(got, key_lines);

    IniTable table = config_parse_ini(t);
    EXPECT_EQ(table.size(), key_lines.size());
    EXPECT_EQ(config_ini_get(table, "avanzado", "fps"), "");
    EXPECT_EQ(config_ini_get(table, "ia", "fps"), "3");
    EXPECT_EQ(config_ini_get(table, "avisos", "activo"), "si");
}

// ---- writer ----------------------------------------------------------------

TEST(IniWriter, GoldenFiles) {
    struct Case {
        const char* golden;
        const char* section;
        const char* key;
        const char* value;
    };
    const Case cases[] = {
        {"write_replace.ini", "grabacion", "PERFIL", "equilibrado"},  // first of two, comment lost
        {"write_insert.ini", "AUDIO", "microfono", "no"},  // after the section's last line
        {"write_absent.ini", "General", "gamertag", "Zorro"},
        {"write_header_after_header.ini", "vacia", "x", "1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.golden);
        TempAppDir app;
        std::filesystem::create_directories(app.data());
        write_file(app.ini(), golden("write_base.ini"));
        ConfigStatus st = config_write_key(c.section, c.key, c.value);
        ASSERT_TRUE(st.ok()) << st.error;
        EXPECT_EQ(read_file(app.ini()), golden(c.golden));
        EXPECT_EQ(test::file_mode(app.ini()), 0600u);
    }
}

TEST(IniWriter, MissingFileStartsFromTemplate) {
    TempAppDir app;  // no data folder either
    ASSERT_TRUE(config_write_key("detector", "activo", "no").ok());
    std::string expect = crlf(config_default_template());
    const std::string from = "activo = si\r\n\r\n[clips]";
    ASSERT_NE(expect.find(from), std::string::npos);
    expect.replace(expect.find(from), 11, "activo = no");
    EXPECT_EQ(read_file(app.ini()), expect);
    EXPECT_EQ(test::file_mode(app.ini()), 0600u);
}

// A line break would add keys of its own ("x\n[ia]\nclave_gemini = robada");
// other control characters would reach every log and terminal that shows the
// value; broken UTF-8 would make the whole file unreadable.
TEST(IniWriter, RefusesLineBreaksControlsAndBrokenText) {
    TempAppDir app;
    std::filesystem::create_directories(app.data());
    write_file(app.ini(), "[general]\ngamertag = a\n");
    for (std::string bad : {std::string("x\r\n[ia]\r\nclave_gemini = robada"), std::string("x\ny"),
                            std::string("x\ry"), std::string("x\0y", 3), std::string("\x1b]0;t\x07x"),
                            std::string("x\ty"), std::string("x\x7f"), std::string("x\u2028y"),
                            std::string("x\u2029y"), std::string("x\u0085y"), std::string("x\xffy")}) {
        ConfigStatus st = config_write_key("general", "gamertag", bad);
        EXPECT_FALSE(st.ok()) << text_escape_controls(bad);
        EXPECT_NE(st.error.find("carácter de control"), std::string::npos) << st.error;
    }
    EXPECT_FALSE(config_write_key("general\n[ia]", "gamertag", "x").ok());
    EXPECT_EQ(read_file(app.ini()), "[general]\ngamertag = a\n");
    // What a gamertag may hold beyond ASCII is written as it is.
    ASSERT_TRUE(config_write_key("general", "gamertag", "Zoë·ñ «x» 🎮").ok());
    EXPECT_EQ(config_ini_get(config_parse_ini(read_file(app.ini())), "general", "gamertag"), "Zoë·ñ «x» 🎮");
}

TEST(IniWriter, ByteOrderMarkAndBlankHeaders) {
    TempAppDir app;
    std::filesystem::create_directories(app.data());
    write_file(app.ini(), "\xEF\xBB\xBF[ Grabacion ]\nperfil = ligero\n");
    ASSERT_TRUE(config_write_key("grabacion", "perfil", "calidad").ok());
    EXPECT_EQ(read_file(app.ini()), "[ Grabacion ]\r\nperfil = calidad\r\n");
}

TEST(IniWriter, FollowsSymbolicLinkAndKeepsIt) {
    TempAppDir app;
    std::filesystem::create_directories(app.data());
    write_file(app.dir() / "real.ini", "[general]\ngamertag = a\n");
    std::filesystem::create_symlink("../real.ini", app.ini());
    ASSERT_TRUE(config_write_key("general", "gamertag", "b").ok());
    EXPECT_TRUE(std::filesystem::is_symlink(app.ini()));
    EXPECT_EQ(read_file(app.dir() / "real.ini"), "[general]\r\ngamertag = b\r\n");
    // No temporary file is left behind in either folder.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(app.data()), {}), 1);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(app.dir()), {}), 2);
}

// ---- unusable files --------------------------------------------------------

TEST(IniFile, UnreadableOrGarbledFileIsNeverReplaced) {
    // A folder where the file should be (EISDIR, also for root) and a Latin-1 file.
    for (bool folder : {true, false}) {
        SCOPED_TRACE(folder ? "folder" : "latin-1");
        TempAppDir app;
        std::filesystem::create_directories(app.data());
        const std::string latin1 =
            "[general]\ngamertag = Pe\xF1"
            "a\n";
        if (folder) {
            std::filesystem::create_directories(app.ini());
        } else {
            write_file(app.ini(), latin1);
        }
        std::vector<std::string> warnings;
        bool parsed = false;
        config_load_file([&](const IniTable&) { parsed = true; }, warnings);
        EXPECT_FALSE(parsed);
        ASSERT_EQ(warnings.size(), 1u);
        EXPECT_EQ(warnings[0].rfind("No se pudo leer corvane.ini: ", 0), 0u) << warnings[0];

        ConfigStatus st = config_write_key("general", "gamertag", "x");
        EXPECT_FALSE(st.ok());
        EXPECT_EQ(st.error.rfind("No se pudo leer corvane.ini: ", 0), 0u) << st.error;
        if (folder) {
            EXPECT_TRUE(std::filesystem::is_directory(app.ini()));
        } else {
            EXPECT_EQ(read_file(app.ini()), latin1);
        }
    }
}

// ---- loading ---------------------------------------------------------------

TEST(IniLoad, CreatesFolderAndTemplate) {
    TempAppDir app;
    ASSERT_FALSE(std::filesystem::exists(app.data()));
    std::vector<std::string> warnings;
    bool parsed = false;
    config_load_file([&](const IniTable&) { parsed = true; }, warnings);
    EXPECT_FALSE(parsed);
    EXPECT_TRUE(warnings.empty());
    EXPECT_EQ(read_file(app.ini()), config_default_template());
    EXPECT_EQ(test::file_mode(app.ini()), 0600u);
    EXPECT_EQ(test::file_mode(app.data()), 0700u);
}

TEST(IniLoad, CreationFailureIsAWarning) {
    // A dangling link into a folder that does not exist, and a file named
    // "data" where the data folder should be: the INI cannot be made.
    for (bool data_is_file : {false, true}) {
        SCOPED_TRACE(data_is_file ? "data is a file" : "dangling link");
        TempAppDir app;
        if (data_is_file) {
            write_file(app.data(), "");
        } else {
            std::filesystem::create_directories(app.data());
            std::filesystem::create_symlink(app.dir() / "no" / "existe.ini", app.ini());
        }
        std::vector<std::string> warnings;
        bool parsed = false;
        config_load_file([&](const IniTable&) { parsed = true; }, warnings);
        EXPECT_FALSE(parsed);
        ASSERT_EQ(warnings.size(), 1u);
        const std::string prefix = "No se pudo crear corvane.ini: ";
        EXPECT_EQ(warnings[0].rfind(prefix, 0), 0u) << warnings[0];
        EXPECT_GT(warnings[0].size(), prefix.size());

        ConfigStatus st = config_write_key("general", "gamertag", "x");
        EXPECT_EQ(st.error.rfind("No se pudo escribir corvane.ini: ", 0), 0u) << st.error;
    }
}

TEST(IniLoad, CompleteFileStaysByteIdentical) {
    TempAppDir app;
    std::filesystem::create_directories(app.data());
    // Every header in another letter case or with blanks, LF ends, a BOM, keys
    // missing from a section, no final line end.
    const std::string text =
        "\xEF\xBB\xBF[GRABACION]\nperfil = Calidad\n[ Avanzado ]\n[Teclas]\n[Audio]\n[aviso]\n"
        "[Detector]\n[clips]\n[HDR]\n[Avisos]\n[visor]\n[Actualizaciones]\n[IA]\n[general]\n"
        "gamertag = \"Zorro Gris\"";
    write_file(app.ini(), text);
    std::vector<std::string> warnings;
    std::optional<IniTable> seen;
    config_load_file([&](const IniTable& t) { seen = t; }, warnings);
    ASSERT_TRUE(seen);
    EXPECT_EQ(config_ini_get(*seen, "grabacion", "perfil"), "Calidad");
    EXPECT_EQ(config_ini_get(*seen, "general", "gamertag"), "Zorro Gris");
    EXPECT_FALSE(config_ini_get(*seen, "grabacion", "resolucion"));
    EXPECT_TRUE(warnings.empty());
    EXPECT_EQ(read_file(app.ini()), text);
}

TEST(IniLoad, AppendsMissingSectionsOnly) {
    TempAppDir app;
    std::filesystem::create_directories(app.data());
    // The template without [visor] and [general], BOM first, LF ends.
    std::string text(config_default_template());
    const std::string visor =
        "[visor]\n; Abre la lista de Clips (con los detalles de cada evento) "
        "en su propia ventana\ntecla = Ctrl+Shift+E\n\n";
    ASSERT_NE(text.find(visor), std::string::npos);
    text.erase(text.find(visor), visor.size());
    const size_t general = text.find("\n[general]\n");
    ASSERT_NE(general, std::string::npos);
    const std::string general_block = text.substr(general + 1);
    text.erase(general + 1);
    write_file(app.ini(), "\xEF\xBB\xBF" + text);

    std::vector<std::string> warnings;
    int parses = 0;
    config_load_file([&](const IniTable&) { ++parses; }, warnings);
    EXPECT_EQ(parses, 1);
    // The text as read (no BOM), two line ends, then each missing block in
    // template order followed by two line ends, all CRLF.
    const std::string expect =
        text + "\r\n\r\n" + crlf(visor) + "\r\n\r\n" + crlf(general_block) + "\r\n\r\n";
    EXPECT_EQ(read_file(app.ini()), expect);

    // Now complete: a second load leaves it alone.
    config_load_file([](const IniTable&) {}, warnings);
    EXPECT_EQ(read_file(app.ini()), expect);
    EXPECT_TRUE(warnings.empty());
}

TEST(IniPath, LegacyFileMovedOnlyWhenNewIsMissing) {
    {
        TempAppDir app;
        write_file(app.dir() / "corvane.ini", "[general]\ngamertag = viejo\n");
        ::chmod((app.dir() / "corvane.ini").c_str(), 0644);
        EXPECT_EQ(config_ini_path(), app.ini());
        EXPECT_FALSE(std::filesystem::exists(app.dir() / "corvane.ini"));
        EXPECT_EQ(read_file(app.ini()), "[general]\ngamertag = viejo\n");
        EXPECT_EQ(test::file_mode(app.ini()), 0600u);
    }
    {
        TempAppDir app;
        std::filesystem::create_directories(app.data());
        write_file(app.dir() / "corvane.ini", "viejo");
        write_file(app.ini(), "nuevo");
        EXPECT_EQ(config_ini_path(), app.ini());
        EXPECT_EQ(read_file(app.ini()), "nuevo");
        EXPECT_EQ(read_file(app.dir() / "corvane.ini"), "viejo");
    }
}

// ---- concurrency -----------------------------------------------------------

TEST(IniConcurrency, LoadsAndWritesLoseNothing) {
    TempAppDir app;
    constexpr int kThreads = 8, kRounds = 20;
    std::atomic<int> bad_loads{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([i, &bad_loads] {
            for (int j = 0; j < kRounds; ++j) {
                if ((i + j) % 2 == 0) {
                    std::vector<std::string> warnings;
                    config_load_file(
                        [&](const IniTable& t) {
                            if (!config_ini_get(t, "grabacion", "perfil")) ++bad_loads;
                        },
                        warnings);
                    if (!warnings.empty()) ++bad_loads;
                }
                ConfigStatus st =
                    config_write_key("prueba", fmt::format("hilo{}_{}", i, j), std::to_string(j));
                if (!st.ok()) ++bad_loads;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(bad_loads.load(), 0);

    const std::string text = read_file(app.ini());
    IniTable table = config_parse_ini(text);
    for (int i = 0; i < kThreads; ++i)
        for (int j = 0; j < kRounds; ++j)
            EXPECT_EQ(config_ini_get(table, "prueba", fmt::format("hilo{}_{}", i, j)),
                      std::to_string(j));
    // Every template header once, the test's own section once.
    for (const auto& h : config_find_section_lines(config_default_template()))
        EXPECT_EQ(count(text, h + "\r\n"), 1u) << h;
    EXPECT_EQ(count(text, "[prueba]"), 1u);
}

}  // namespace
}  // namespace corvane
