// The settings page's view of the program: "/api/estado".
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include <sys/stat.h>

#include <nlohmann/json.hpp>

namespace corvane {

// One setting the interface may show and change. `live`: a change takes
// effect without a restart.
struct UiSettingKey {
    std::string_view section;
    std::string_view key;
    bool live;
};

// The settings the interface shows and changes, in the order the page lists them.
inline constexpr std::array<UiSettingKey, 39> UiSettingsKeys{{
    {"grabacion", "perfil", false},
    {"grabacion", "resolucion", false},
    {"avanzado", "codec", false},
    {"avanzado", "fps", false},
    {"avanzado", "bitrate_mbps", false},
    {"avanzado", "buffer_segundos", false},
    {"avanzado", "buffer_max_mb", false},
    {"teclas", "guardar", false},
    {"audio", "juego", false},
    {"audio", "volumen_juego", false},
    {"audio", "microfono", false},
    {"audio", "volumen_microfono", false},
    {"audio", "microfono_en_video", false},
    {"audio", "nivelar_microfono", false},
    {"audio", "salida_nombre", false},
    {"audio", "salida_id", false},
    {"audio", "microfono_nombre", false},
    {"audio", "microfono_id", false},
    {"aviso", "sonido", false},
    {"aviso", "volumen", false},
    {"detector", "activo", true},
    {"clips", "automaticos", false},
    {"clips", "segundos_antes", false},
    {"clips", "segundos_despues", false},
    {"clips", "limite_disco_gb", true},
    {"hdr", "corregir", false},
    {"hdr", "blanco_sdr", false},
    {"avisos", "activo", true},
    {"avisos", "posicion", true},
    {"avisos", "tamano", true},
    {"avisos", "duracion", true},
    {"visor", "tecla", false},
    {"ia", "clave_gemini", true},
    {"ia", "modelo", true},
    {"ia", "fps", true},
    {"actualizaciones", "buscar_al_abrir", false},
    {"actualizaciones", "tecla", false},
    {"general", "gamertag", false},
    {"general", "carpeta_clips", false},
}};

// The row of (section, key), compared exactly; null when the interface may not touch it.
const UiSettingKey* ui_settings_key_find(std::string_view section, std::string_view key);

// Set once a saved change needs a restart; never cleared while the program runs.
inline std::atomic<bool> UiRestartPending{false};

// The reply of "/api/estado": raw setting values as the file holds them, the
// configuration's warnings, devices, flags, paths, game, disk use and monitor.
nlohmann::ordered_json ui_state_json();

// The folders of the clips tree as one request saw them: the disk-use check
// looks at every folder, and the clips page, which reads some of them right
// after, takes their metadata from here instead of asking again. Keyed by the
// path below `root`; only folders seen as folders (not links) are held.
struct UiFolderLooks {
    using Folders = std::unordered_map<std::string, struct stat>;
    dev_t root_dev = 0;
    ino_t root_ino = 0;
    bool have_root = false;
    // Shared with the disk-use cache while the tree is unchanged: not built
    // again for every request.
    std::shared_ptr<const Folders> folders;
};

// clips_disk_usage_json, answered again from memory while no folder of the
// clips tree has changed since it was last worked out (the status and the
// clips page share it). `looks`, when given, gets what the check saw.
nlohmann::ordered_json ui_disk_use_cached(const std::filesystem::path& folder, std::uint64_t limit_gb,
                                          UiFolderLooks* looks = nullptr);

}  // namespace corvane
