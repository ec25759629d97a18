// The user manuals in manual/ stay true to the program: every setting, key
// combination, command-line flag, file name and quoted screen text they cite
// exists, both languages cite the same and are laid out alike, and they use
// only the Markdown the help page draws. They are read as "/api/manual" serves
// them, from a program folder that is the source tree.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "base/config_file.h"
#include "base/paths.h"
#include "web/help.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;

std::string read_text(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::vector<std::string> all_matches(const std::string& text, const std::regex& re, int group = 1) {
    std::vector<std::string> out;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), re); it != std::sregex_iterator(); ++it)
        out.push_back((*it)[group].str());
    return out;
}

std::vector<std::string> split(const std::string& text, char sep) {
    std::vector<std::string> out;
    std::string piece;
    std::istringstream in(text);
    while (std::getline(in, piece, sep)) out.push_back(piece);
    return out;
}

// The pattern of a literal piece holding "{}", which stands for any text.
std::regex piece_pattern(const std::string& piece) {
    std::string re;
    for (std::size_t i = 0; i < piece.size(); ++i) {
        if (piece.compare(i, 2, "{}") == 0) {
            re += ".+";
            ++i;
            continue;
        }
        if (std::string_view("\\^$.|?*+()[]{}").find(piece[i]) != std::string_view::npos) re += '\\';
        re += piece[i];
    }
    return std::regex(re);
}

// What the program holds: the settings table (the INI template), the key
// combinations it names, the texts of its sources and pages, and the pieces of
// their string literals between slashes, where "{}" stands for any text.
struct ProgramFacts {
    std::map<std::string, std::set<std::string>> ini;  // section -> keys
    std::set<std::string> hotkeys;
    std::string texts;
    std::vector<std::string> literal_pieces;
    std::vector<std::regex> patterns;  // of the pieces that hold "{}"
};

const std::regex kHotkey(R"((?:^|[^\w+])((?:(?:Ctrl|Alt|Shift|Win|Super)\+)+(?:F\d{1,2}|Num\d|\w+)|F\d{1,2}|Num\d)(?![\w+]))");

ProgramFacts program_facts() {
    ProgramFacts f;
    const std::string tpl(config_default_template());
    for (const auto& [k, v] : config_parse_ini(tpl)) f.ini[k.section].insert(k.key);
    for (const auto& line : config_find_section_lines(tpl)) f.ini[line.substr(1, line.size() - 2)];
    for (const auto& h : all_matches(tpl, kHotkey)) f.hotkeys.insert(h);

    const fs::path root = CORVANE_SOURCE_DIR;
    const std::regex literal(R"x("((?:[^"\\\n]|\\.)*)")x");
    for (const fs::path& dir : {root / "apps/corvane/src", root / "assets/pages"}) {
        for (const auto& e : fs::recursive_directory_iterator(dir)) {
            const std::string ext = e.path().extension().string();
            if (!e.is_regular_file() || (ext != ".cpp" && ext != ".h" && ext != ".html" && ext != ".mjs"))
                continue;
            const std::string text = read_text(e.path());
            f.texts += text;
            if (ext == ".cpp" || ext == ".h")
                for (const auto& lit : all_matches(text, literal))
                    for (const auto& piece : split(lit, '/'))
                        if (!piece.empty()) f.literal_pieces.push_back(piece);
        }
    }
    for (const auto& piece : f.literal_pieces)
        // Only pieces with a word of their own: "{}.{}" would match any name.
        if (piece.find("{}") != std::string::npos && std::regex_search(piece, std::regex("[A-Za-z]{3}")))
            f.patterns.push_back(piece_pattern(piece));
    return f;
}

const ProgramFacts& facts() {
    static const ProgramFacts f = program_facts();
    return f;
}

// A file or folder name the program uses: a piece of one of its literals
// ("{}" matching any text), the end of one when the name begins with "." or
// "_" (a suffix such as "_mic.m4a"), its start when the name ends with "_".
bool known_name(const ProgramFacts& f, const std::string& name) {
    for (const auto& piece : f.literal_pieces) {
        if (piece == name) return true;
        if ((name[0] == '.' || name[0] == '_') && piece.ends_with(name)) return true;
        if (name.back() == '_' && piece.starts_with(name)) return true;
    }
    return std::any_of(f.patterns.begin(), f.patterns.end(),
                       [&](const std::regex& re) { return std::regex_match(name, re); });
}

// The faults of one manual as served, each as a readable line.
std::vector<std::string> manual_faults(const std::string& md, const ProgramFacts& f) {
    std::vector<std::string> faults;
    auto fault = [&](std::string what, const std::string& item) { faults.push_back(what + ": " + item); };

    for (const auto& span : all_matches(md, std::regex("`([^`]+)`"))) {
        std::smatch m;
        if (std::regex_match(span, m, std::regex(R"(\[([a-z_]+)\](?: ([a-z_]+))?)"))) {
            auto sec = f.ini.find(m[1].str());
            if (sec == f.ini.end()) fault("sección que el programa no tiene", span);
            else if (m[2].matched && !sec->second.contains(m[2].str())) fault("clave que el programa no tiene", span);
            continue;
        }
        if (std::regex_match(span, kHotkey) || std::regex_search(span, std::regex(R"(^(?:Ctrl|Alt|Shift|Win|Super)\+)"))) {
            continue;  // with every other combination in the text, below
        }
        bool command = false;
        for (const auto& word : split(span, ' ')) {
            if (word.starts_with("--")) {
                if (f.texts.find('"' + word + '"') == std::string::npos) fault("opción que el programa no tiene", word);
                command = true;
            }
        }
        if (span.find(' ') != std::string::npos) {
            // A command line: the program itself when it is run from its folder.
            if (span.starts_with("./") && !known_name(f, split(span.substr(2), ' ')[0]))
                fault("programa que no existe", span);
            continue;
        }
        if (command) continue;
        const std::string last = split(span, '/').back();
        if (!known_name(f, last)) fault("archivo o carpeta que el programa no usa", span);
    }
    for (const auto& text : all_matches(md, std::regex("«([^»]+)»")))
        if (f.texts.find(text) == std::string::npos) fault("texto que el programa no muestra", text);
    for (const auto& key : all_matches(md, kHotkey))
        if (!f.hotkeys.contains(key)) fault("tecla que los ajustes no nombran", key);

    // Only what the help page draws.
    int line_no = 0;
    for (const auto& line : split(md, '\n')) {
        ++line_no;
        const std::string where = std::to_string(line_no) + ": " + line;
        if (line.starts_with("```") || line.starts_with("~~~")) fault("bloque de código (no se dibuja)", where);
        if (line.starts_with("####")) fault("título de nivel 4 (no se dibuja)", where);
        if (line.starts_with("    ") && line.find_first_not_of(' ') != std::string::npos &&
            !std::regex_search(line, std::regex(R"(^\s*(?:-|\*|\d+\.)\s)")))
            fault("código sangrado (no se dibuja)", where);
        if (line.find("![") != std::string::npos) fault("imagen (no se dibuja)", where);
        if (std::regex_search(line, std::regex(R"(<[A-Za-z/!])"))) fault("HTML (se muestra como texto)", where);
        if (line.find("{{") != std::string::npos) fault("marcador sin llenar", where);
        for (const auto& href : all_matches(line, std::regex(R"(\]\(([^)\s]*)\))")))
            if (!std::regex_search(href, std::regex("^(https?:|mailto:|#)"))) fault("enlace que la página no abre", href);
    }
    return faults;
}

// The kind of each non-blank line: the layout both languages share.
std::string shape(const std::string& md) {
    std::string out;
    for (const auto& line : split(md, '\n')) {
        std::smatch m;
        if (line.find_first_not_of(" \t") == std::string::npos) continue;
        if (std::regex_search(line, m, std::regex(R"(^(#{1,3})\s)"))) out += "h" + std::to_string(m[1].length());
        else if (std::regex_search(line, m, std::regex(R"(^(\s*)(-|\*|\d+\.)\s)")))
            out += std::string(m[1].length(), '>') + (std::isdigit(static_cast<unsigned char>(m[2].str()[0])) ? "ol" : "ul");
        else if (line[0] == '>') out += "q";
        else if (std::regex_search(line, std::regex(R"(^\s*\|)"))) out += "t" + std::to_string(std::count(line.begin(), line.end(), '|'));
        else if (std::regex_match(line, std::regex(R"(\s*-{3,}\s*)"))) out += "hr";
        else out += "p";
        out += ' ';
    }
    return out;
}

std::set<std::string> cited(const std::string& md, const char* re) {
    std::set<std::string> out;
    for (auto& s : all_matches(md, std::regex(re))) {
        if (!s.starts_with("#")) out.insert(s);
    }
    return out;
}

class ManualFile : public ::testing::Test {
protected:
    void SetUp() override { paths_set_app_dir_for_tests(CORVANE_SOURCE_DIR); }
    void TearDown() override { paths_set_app_dir_for_tests({}); }

    static std::string served(const char* lang) {
        const auto reply = ui_help_page(lang);
        EXPECT_EQ(reply.value("ok", false), true) << reply.dump();
        EXPECT_EQ(reply.value("lang", ""), lang);
        return reply.value("md", "");
    }
};

TEST_F(ManualFile, EveryNameItCitesExistsInTheProgram) {
    for (const char* lang : {"es", "en"}) {
        const std::string md = served(lang);
        ASSERT_GT(md.size(), 10000u) << lang;
        const auto faults = manual_faults(md, facts());
        EXPECT_TRUE(faults.empty()) << lang << ":\n" << ::testing::PrintToString(faults);
    }
}

TEST_F(ManualFile, BothLanguagesSayTheSame) {
    const std::string es = served("es"), en = served("en");
    EXPECT_EQ(shape(es), shape(en));
    EXPECT_EQ(cited(es, "`([^`]+)`"), cited(en, "`([^`]+)`"));
    EXPECT_EQ(cited(es, "«([^»]+)»"), cited(en, "«([^»]+)»"));
    EXPECT_EQ(cited(es, R"(\]\(([^)\s]+)\))"), cited(en, R"(\]\(([^)\s]+)\))"));
}

TEST_F(ManualFile, CoversEverySettingAndEveryKey) {
    // A section or key a user may meet in the file is explained in the manual.
    const std::string es = served("es");
    for (const auto& [section, keys] : facts().ini) {
        for (const auto& key : keys) {
            if (key.ends_with("_id") || key.ends_with("_nombre")) continue;  // written by the device lists
            EXPECT_NE(es.find("`[" + section + "] " + key + "`"), std::string::npos) << section << " " << key;
        }
    }
    for (const auto& key : {"Ctrl+W", "Ctrl+Shift+E", "Ctrl+Shift+U"}) EXPECT_NE(es.find(key), std::string::npos) << key;
}

TEST(ManualCheck, FindsWhatTheProgramDoesNotHave) {
    const std::vector<std::pair<std::string, std::string>> invented{
        {"`[grabacion] calidad_extra`", "clave que el programa no tiene"},
        {"`[sonido] volumen`", "sección que el programa no tiene"},
        {"`Ctrl+Shift+Q`", "tecla que los ajustes no nombran"},
        {"Pulsa Alt+F4 para guardar.", "tecla que los ajustes no nombran"},
        {"`--silencio`", "opción que el programa no tiene"},
        {"`./corvane --minimizado`", "opción que el programa no tiene"},
        {"`data/preferencias.ini`", "archivo o carpeta que el programa no usa"},
        {"`Capturas`", "archivo o carpeta que el programa no usa"},
        {"`_voz.m4a`", "archivo o carpeta que el programa no usa"},
        {"«Guardar todo ahora»", "texto que el programa no muestra"},
        {"```", "bloque de código"},
        {"#### Cuatro", "título de nivel 4"},
        {"    codigo()", "código sangrado"},
        {"<b>negrita</b>", "HTML"},
        {"Versión {{VERSION}}", "marcador sin llenar"},
        {"[foto](file:///tmp/x.png)", "enlace que la página no abre"},
    };
    for (const auto& [line, why] : invented) {
        const auto faults = manual_faults("# Manual\n\n" + line + "\n", facts());
        ASSERT_EQ(faults.size(), 1u) << line << "\n" << ::testing::PrintToString(faults);
        EXPECT_TRUE(faults[0].starts_with(why)) << faults[0];
    }
    // The real names in the same places pass.
    const std::string real =
        "`[grabacion] perfil` `[clips]` `Ctrl+Shift+E` `F9` `--consola` `./corvane --no-window` "
        "`data/corvane.ini` `Manual` `_mic.m4a` `.analisis.json` `manual_en.md` `CRVN_` «Guardar clip ahora»\n";
    EXPECT_EQ(manual_faults(real, facts()), std::vector<std::string>{});
}

}  // namespace
}  // namespace corvane
