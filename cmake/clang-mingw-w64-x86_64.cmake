# The second compiler: Debian's clang targeting 64-bit Windows, on the MinGW-w64
# headers and import libraries and the MinGW gcc's libstdc++, linked by lld.
# It exists to keep the sources honest (another front end's warnings, a
# compile database whose Windows headers resolve for clang-tidy), not to
# ship: the release comes from the gcc build.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${MINGW_PREFIX})
set(CMAKE_CXX_COMPILER_TARGET ${MINGW_PREFIX})
set(CMAKE_RC_COMPILER ${MINGW_PREFIX}-windres)
set(CMAKE_SYSROOT /usr/${MINGW_PREFIX})

# clang finds no gcc of its own here: Debian names the version directory
# "12-posix", which clang's version parser rejects. So the libstdc++ headers
# and the gcc runtime directory are named by hand. The posix thread model,
# as in the gcc build, for GoogleTest's std::thread.
file(GLOB _ostrival_gcc_dirs LIST_DIRECTORIES true /usr/lib/gcc/${MINGW_PREFIX}/*-posix)
list(SORT _ostrival_gcc_dirs COMPARE NATURAL ORDER DESCENDING)
if(_ostrival_gcc_dirs)
  list(GET _ostrival_gcc_dirs 0 OSTRIVAL_MINGW_GCC_DIR)
endif()
if(NOT EXISTS "${OSTRIVAL_MINGW_GCC_DIR}/include/c++")
  message(FATAL_ERROR "No MinGW-w64 posix libstdc++ found: run scripts/deps.sh")
endif()

set(_cxx_include ${OSTRIVAL_MINGW_GCC_DIR}/include/c++)
string(JOIN " " CMAKE_CXX_FLAGS_INIT
  -stdlib++-isystem ${_cxx_include}
  -stdlib++-isystem ${_cxx_include}/${MINGW_PREFIX}
  -stdlib++-isystem ${_cxx_include}/backward)
# -B finds crtbegin.o/crtend.o, -L libstdc++ and libgcc; -pthread pulls in
# winpthreads, which the posix libstdc++ and libgcc's emutls need.
set(_link_flags "-fuse-ld=lld -B${OSTRIVAL_MINGW_GCC_DIR} -L${OSTRIVAL_MINGW_GCC_DIR} -pthread")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${_link_flags}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_link_flags}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${_link_flags}")

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# As with gcc: test programs run under Wine in a prefix of their own.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run)
