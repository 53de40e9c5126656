# Both programs parse files from strangers, so optimised builds get the hardening a Debian
# package gets (dpkg-buildflags with hardening=+all is the reference), plus the stack clash
# and control-flow protection newer Debian releases add. Sanitizer and fuzzer builds go
# without: AddressSanitizer replaces the checked functions itself and reports what fortify
# would turn into an abort, and a Debug build has no optimiser for fortify to work with.
option(FOLIOSET_HARDEN "Build optimised programs with fortified functions, stack protection and full RELRO" ON)

include(CheckCXXCompilerFlag)
include(CheckCXXSourceCompiles)

# _FORTIFY_SOURCE=3 also checks sizes known only at run time; it needs the compiler's
# __builtin_dynamic_object_size, else level 2.
function(folioset_fortify_level result)
  check_cxx_source_compiles("
    #if !__has_builtin(__builtin_dynamic_object_size)
    #error no dynamic object size
    #endif
    int main() { return 0; }" FOLIOSET_HAS_DYNAMIC_OBJECT_SIZE)
  if(FOLIOSET_HAS_DYNAMIC_OBJECT_SIZE)
    set(${result} 3 PARENT_SCOPE)
  else()
    set(${result} 2 PARENT_SCOPE)
  endif()
endfunction()

if(FOLIOSET_HARDEN AND NOT FOLIOSET_SANITIZE AND NOT FOLIOSET_FUZZ)
  folioset_fortify_level(fortify_level)
  set(optimised "$<CONFIG:Release,RelWithDebInfo,MinSizeRel>")
  # A compiler that fortifies by default would warn of the redefinition.
  add_compile_options("$<${optimised}:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=${fortify_level}>")
  add_compile_options("$<${optimised}:-fstack-protector-strong;-fstack-clash-protection;-Wformat;-Werror=format-security>")
  # Control-flow protection is an x86 feature.
  check_cxx_compiler_flag(-fcf-protection FOLIOSET_HAS_CF_PROTECTION)
  if(FOLIOSET_HAS_CF_PROTECTION)
    add_compile_options("$<${optimised}:-fcf-protection>")
  endif()
  add_link_options("$<${optimised}:LINKER:-z,relro,-z,now>")
  message(STATUS "Hardening optimised builds (_FORTIFY_SOURCE=${fortify_level}, full RELRO)")
endif()
