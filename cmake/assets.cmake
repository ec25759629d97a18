# Embeds every file under assets/ into the program: a CMake script turns the
# files into byte arrays in a generated source in the build folder, compiled
# into the static library corvane_assets. Lookup by the file's path relative
# to assets/ (web/assets.h). A new or changed asset re-runs the step.
file(GLOB_RECURSE CORVANE_ASSET_FILES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/assets/*)
set(CORVANE_ASSETS_CPP ${CMAKE_CURRENT_BINARY_DIR}/generated/corvane_assets.cpp)
add_custom_command(
  OUTPUT ${CORVANE_ASSETS_CPP}
  COMMAND ${CMAKE_COMMAND} -DROOT=${PROJECT_SOURCE_DIR}/assets -DOUT=${CORVANE_ASSETS_CPP}
          -P ${PROJECT_SOURCE_DIR}/cmake/embed_assets.cmake
  DEPENDS ${CORVANE_ASSET_FILES} ${PROJECT_SOURCE_DIR}/cmake/embed_assets.cmake
  COMMENT "Embedding assets/"
  VERBATIM)
add_library(corvane_assets STATIC ${CORVANE_ASSETS_CPP})
target_link_libraries(corvane_assets PUBLIC corvane_headers)
