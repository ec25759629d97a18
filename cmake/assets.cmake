# Embeds the files under assets/ into the program. (Filled in with the web server.)
add_library(corvane_assets INTERFACE)
