# Hardening of the shipped programs, the way Debian builds its own: stack
# protector, _FORTIFY_SOURCE, full RELRO with immediate binding, and
# position-independent executables. tesselo-host serves a socket to every
# process of its user and parses what they send, so none of this is optional
# where the toolchain offers it. The sanitizer builds leave it out: they are
# never shipped, and their runtimes check memory more closely than this.
#
# Everything reaches the programs through tesselo_hardening, which
# tesselo_support links publicly: every library and program of the project
# gets it, the benchmarks' C floors do not.
include(CheckCSourceCompiles)
include(CheckCXXCompilerFlag)
include(CheckLinkerFlag)
include(CheckPIESupported)

add_library(tesselo_hardening INTERFACE)
if(TESSELO_SANITIZE OR TESSELO_TSAN OR TESSELO_FUZZ)
  return()
endif()

check_cxx_compiler_flag(-fstack-protector-strong TESSELO_HAS_STACK_PROTECTOR_STRONG)
if(TESSELO_HAS_STACK_PROTECTOR_STRONG)
  target_compile_options(tesselo_hardening INTERFACE -fstack-protector-strong)
endif()

# _FORTIFY_SOURCE works only when optimizing, and must not be defined twice
# with different values: flags that already name it (dpkg-buildflags puts it
# in CPPFLAGS) and compilers that define it themselves are left alone.
string(TOUPPER "${CMAKE_BUILD_TYPE}" tesselo_build_type)
set(tesselo_cxx_flags "${CMAKE_CXX_FLAGS} ${CMAKE_CXX_FLAGS_${tesselo_build_type}}")
set(CMAKE_REQUIRED_FLAGS -O2)
check_c_source_compiles("#ifdef _FORTIFY_SOURCE\n#error defined\n#endif\nint main(void) { return 0; }"
                        TESSELO_FORTIFY_UNDEFINED)
unset(CMAKE_REQUIRED_FLAGS)
if(NOT tesselo_cxx_flags MATCHES "_FORTIFY_SOURCE" AND TESSELO_FORTIFY_UNDEFINED
   AND tesselo_cxx_flags MATCHES "(^| )-O([1-3sgz]|fast)?( |$)")
  target_compile_definitions(tesselo_hardening INTERFACE _FORTIFY_SOURCE=2)
endif()

check_linker_flag(CXX "-Wl,-z,relro,-z,now" TESSELO_HAS_BIND_NOW)
if(TESSELO_HAS_BIND_NOW)
  target_link_options(tesselo_hardening INTERFACE "LINKER:-z,relro,-z,now")
endif()

# Every object is compiled for a position-independent executable, not as
# shared-library code (-fPIC assumes public functions may be interposed and
# so keeps from inlining them); tesselo_link_program links the programs as
# PIE or static-pie.
check_pie_supported(LANGUAGES CXX)
if(CMAKE_CXX_LINK_PIE_SUPPORTED)
  target_compile_options(tesselo_hardening INTERFACE ${CMAKE_CXX_COMPILE_OPTIONS_PIE})
  set(TESSELO_PIE ON)
endif()
if(TESSELO_PIE AND TESSELO_STATIC)
  check_linker_flag(CXX -static-pie TESSELO_HAS_STATIC_PIE)
endif()
