# Hardening and reproducibility flags for every target of the tree, set here once.
# zevupdate runs as root on input it does not control; these are the flags Debian's
# dpkg-buildflags gives with hardening=+all, plus the two its older releases leave out
# (stack-clash and control-flow protection). A packager's own CFLAGS/CXXFLAGS come first
# and are kept.
include(CheckCCompilerFlag)
include(CheckCXXCompilerFlag)
include(CheckPIESupported)

# zev_harden_flag(<flag>): added when both compilers take it (-fcf-protection is x86 only).
function(zev_harden_flag flag)
  string(MAKE_C_IDENTIFIER "ZEV_HAS${flag}" _var)
  check_c_compiler_flag("${flag}" ${_var}_C)
  check_cxx_compiler_flag("${flag}" ${_var}_CXX)
  if(${_var}_C AND ${_var}_CXX)
    add_compile_options("${flag}")
  endif()
endfunction()

zev_harden_flag(-fstack-protector-strong)
zev_harden_flag(-fstack-clash-protection)
zev_harden_flag(-fcf-protection)
add_compile_options(-Wformat -Werror=format-security)

set(CMAKE_POSITION_INDEPENDENT_CODE ON)
check_pie_supported(LANGUAGES C CXX)
add_link_options(-Wl,-z,relro,-z,now)

# Fortified functions need optimisation (glibc warns without it), and AddressSanitizer must see
# the plain calls to check them. A packager's own setting (CPPFLAGS folded into CXXFLAGS) wins.
# ZEV_HARDENED tells the tests whether this build should pass hardening-check in full.
set(_zev_opt_types Release RelWithDebInfo MinSizeRel)
if(ZEV_SANITIZE)
  set(ZEV_HARDENED OFF)
elseif(CMAKE_C_FLAGS MATCHES "_FORTIFY_SOURCE" OR CMAKE_CXX_FLAGS MATCHES "_FORTIFY_SOURCE")
  set(ZEV_HARDENED ON)
elseif(CMAKE_CXX_FLAGS MATCHES "(^| )-O[1-9gsz]")
  add_compile_definitions(_FORTIFY_SOURCE=2)
  set(ZEV_HARDENED ON)
else()
  string(JOIN "," _zev_opt_configs ${_zev_opt_types})
  add_compile_definitions($<$<CONFIG:${_zev_opt_configs}>:_FORTIFY_SOURCE=2>)
  if(CMAKE_BUILD_TYPE IN_LIST _zev_opt_types)
    set(ZEV_HARDENED ON)
  else()
    set(ZEV_HARDENED OFF)
  endif()
endif()

# No build path in what is built: the same commit gives the same bytes in any folder. The
# logger prints only the base name of a source file, so nothing readable changes.
add_compile_options("-ffile-prefix-map=${PROJECT_SOURCE_DIR}=.")
