# Embeds every file under assets/ into the program. First a build step
# (scripts/pages/build_pages.py) copies assets/ into the build folder and
# makes each page self-contained: the shared style and script, the font
# (subset and compressed to WOFF2 here) and the logo (drawn here) go inline as
# data addresses. Then a CMake script turns the files into byte arrays in a
# generated source, compiled into the static library corvane_assets. Lookup by
# the file's path relative to assets/ (web/assets.h).
file(GLOB_RECURSE CORVANE_ASSET_FILES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/assets/*)
set(CORVANE_PAGES_DIR ${CMAKE_CURRENT_BINARY_DIR}/generated/assets)
set(CORVANE_PAGES_STAMP ${CMAKE_CURRENT_BINARY_DIR}/generated/assets.stamp)
set(CORVANE_ASSETS_CPP ${CMAKE_CURRENT_BINARY_DIR}/generated/corvane_assets.cpp)
add_custom_command(
  OUTPUT ${CORVANE_PAGES_STAMP}
  COMMAND /usr/bin/python3 ${PROJECT_SOURCE_DIR}/scripts/pages/build_pages.py
          ${PROJECT_SOURCE_DIR}/assets ${CORVANE_PAGES_DIR} ${CMAKE_CURRENT_BINARY_DIR}/generated/page_work
  COMMAND ${CMAKE_COMMAND} -E touch ${CORVANE_PAGES_STAMP}
  DEPENDS ${CORVANE_ASSET_FILES} ${PROJECT_SOURCE_DIR}/scripts/pages/build_pages.py
          ${PROJECT_SOURCE_DIR}/scripts/pages/draw_logo.py
  COMMENT "Building the pages (font, logo, shared look)"
  VERBATIM)
add_custom_command(
  OUTPUT ${CORVANE_ASSETS_CPP}
  COMMAND ${CMAKE_COMMAND} -DROOT=${CORVANE_PAGES_DIR} -DOUT=${CORVANE_ASSETS_CPP}
          -P ${PROJECT_SOURCE_DIR}/cmake/embed_assets.cmake
  DEPENDS ${CORVANE_PAGES_STAMP} ${PROJECT_SOURCE_DIR}/cmake/embed_assets.cmake
  COMMENT "Embedding assets/"
  VERBATIM)
add_library(corvane_assets STATIC ${CORVANE_ASSETS_CPP})
target_link_libraries(corvane_assets PUBLIC corvane_headers)
