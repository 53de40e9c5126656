# The same commit builds to the same bytes in any folder: the debug information the build id is
# computed over, and the file names that macros of the libraries we use keep in the programs
# (__FILE__), name the folders relative to the top. A source file reaches the compiler by its
# full name or, with the build folder inside the source folder, relative to the build folder,
# so both are mapped; the build folder's map comes last, so it is tried first, as that folder
# may lie inside the source folder. A time of building in the code is an error. Installed files
# that are compressed carry no name or time (folioset_install_gzipped), and scripts/package
# takes the package's times from the last commit.
file(RELATIVE_PATH folioset_source_from_build ${PROJECT_BINARY_DIR} ${PROJECT_SOURCE_DIR})
if(folioset_source_from_build)
  add_compile_options(-ffile-prefix-map=${folioset_source_from_build}=.)
endif()
add_compile_options(-ffile-prefix-map=${PROJECT_SOURCE_DIR}=.
                    -ffile-prefix-map=${PROJECT_BINARY_DIR}=.
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
