# The browser build (FOLIOSET_WEB, configured with emcmake): the core compiled by emscripten
# into one module with its page, over zlib and ICU built by scripts/web-deps from Debian's
# sources; FOLIOSET_WEB_DEPS names the folder it printed.
if(NOT EMSCRIPTEN)
  message(FATAL_ERROR "FOLIOSET_WEB needs emscripten: emcmake cmake -DFOLIOSET_WEB=ON ...")
endif()
set(FOLIOSET_WEB_DEPS "" CACHE PATH "The folder scripts/web-deps prints")
file(GLOB zlib_dir "${FOLIOSET_WEB_DEPS}/zlib-*")
file(GLOB icu_dir "${FOLIOSET_WEB_DEPS}/icu-*[0-9]")
if(NOT EXISTS "${zlib_dir}/lib/libz.a" OR NOT EXISTS "${icu_dir}/lib/libicuuc.a")
  message(FATAL_ERROR "FOLIOSET_WEB_DEPS (${FOLIOSET_WEB_DEPS}) holds no zlib and ICU: run scripts/web-deps")
endif()
add_library(folioset_web_zlib INTERFACE)
target_include_directories(folioset_web_zlib SYSTEM INTERFACE ${zlib_dir}/include)
target_link_libraries(folioset_web_zlib INTERFACE ${zlib_dir}/lib/libz.a)
add_library(folioset_web_icu INTERFACE)
target_include_directories(folioset_web_icu SYSTEM INTERFACE ${icu_dir}/include)
target_compile_definitions(folioset_web_icu INTERFACE U_STATIC_IMPLEMENTATION)
target_link_libraries(folioset_web_icu INTERFACE ${icu_dir}/lib/libicui18n.a ${icu_dir}/lib/libicuuc.a)
set(FOLIOSET_WEB_ICU_DATA ${icu_dir}/share/full/icudt72l.dat) # the whole data, of the package

# Exceptions carry every refusal of the core.
add_compile_options(-fexceptions)
add_link_options(-fexceptions)
add_subdirectory(src)
