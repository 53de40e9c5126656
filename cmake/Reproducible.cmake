# The same commit builds to the same bytes in any folder: the debug information the build id is
# computed over names the folders relative to the top (the build folder's map comes last, so it
# is tried first, as that folder may lie inside the source folder), and a time of building in
# the code is an error. Installed files that are compressed carry no name or time
# (folioset_install_gzipped), and scripts/package takes the package's times from the last
# commit.
add_compile_options(-fdebug-prefix-map=${PROJECT_SOURCE_DIR}=.
                    -fdebug-prefix-map=${PROJECT_BINARY_DIR}=.
                    -Wdate-time)

# folioset_install_gzipped(FILE DESTINATION): installs FILE (relative to the current source
# folder) as FILE.gz in DESTINATION, compressed as Debian wants it: best compression, and no
# name or time in the gzip header.
function(folioset_install_gzipped file destination)
  get_filename_component(name ${file} NAME)
  set(compressed ${CMAKE_CURRENT_BINARY_DIR}/${name}.gz)
  add_custom_command(OUTPUT ${compressed}
                     COMMAND sh -c "gzip -9n -c \"$1\" > \"$2\"" gzip
                             ${CMAKE_CURRENT_SOURCE_DIR}/${file} ${compressed}
                     DEPENDS ${file}
                     VERBATIM)
  string(MAKE_C_IDENTIFIER ${name} target)
  add_custom_target(gzip_${target} ALL DEPENDS ${compressed})
  install(FILES ${compressed} DESTINATION ${destination})
endfunction()
