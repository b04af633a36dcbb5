# The release packages of this build's architecture, made by the build itself, each with its
# SHA-256 beside it in sha256sum's format:
#   ostrival-<version>-win64.zip or -win32.zip: the two programs, stripped, the administrator's
#   guide (README.txt), the release notes, the licence and the third-party notices;
#   ostrival-<version>-x64.msi or -x86.msi: the Windows Installer package of the same files,
#   where Debian's wixl is found.
# Both are packed from one folder of the files as shipped (the stage), so that a release can
# sign the programs there and pack again; the same stage gives the same bytes.
# Debian's own Python first: it has the Debian modules (olefile) that the steps import.
find_program(PYTHON3 python3 PATHS /usr/bin NO_DEFAULT_PATH)
find_program(PYTHON3 python3)
find_program(WIXL wixl)
if(OSTRIVAL_ARCH STREQUAL x64)
  set(OSTRIVAL_ZIP_ARCH win64)
else()
  set(OSTRIVAL_ZIP_ARCH win32)
endif()
set(OSTRIVAL_SHIPPED ostrival.exe tracecap.exe README.txt CHANGELOG.txt LICENSE.txt
    THIRD-PARTY-NOTICES.txt)

# The texts beside the program, with the line ends a Windows user's editor expects: the
# administrator's guide (with this version's package names), the release notes and the licence.
set(OSTRIVAL_TEXTS ${CMAKE_CURRENT_BINARY_DIR}/texts)
configure_file(${PROJECT_SOURCE_DIR}/doc/README.txt.in ${OSTRIVAL_TEXTS}/README.txt @ONLY
               NEWLINE_STYLE CRLF)
foreach(text CHANGELOG.md LICENSE)
  file(READ ${PROJECT_SOURCE_DIR}/${text} content)
  string(REPLACE "\n" "\r\n" content "${content}")
  get_filename_component(name ${text} NAME_WE)
  file(WRITE ${OSTRIVAL_TEXTS}/${name}.txt "${content}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${text})
endforeach()

# The stage STAGE, in the folder of that name in this build directory, holds stripped copies of
# PROGRAM (as ostrival.exe) and tracecap, the texts, and the notices of the runtime linked
# into them (the MinGW-w64 gcc's, which the clang build links too). What is packed from it
# depends on STAGE as a target, so that parallel builds stage once.
function(ostrival_stage stage program)
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/${stage})
  list(TRANSFORM OSTRIVAL_SHIPPED PREPEND ${dir}/ OUTPUT_VARIABLE files)
  set(texts README.txt CHANGELOG.txt LICENSE.txt)
  list(TRANSFORM texts PREPEND ${OSTRIVAL_TEXTS}/)
  add_custom_command(OUTPUT ${files}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
    COMMAND ${CMAKE_STRIP} -o ${dir}/ostrival.exe $<TARGET_FILE:${program}>
    COMMAND ${CMAKE_STRIP} -o ${dir}/tracecap.exe $<TARGET_FILE:tracecap>
    COMMAND ${CMAKE_COMMAND} -E copy ${texts} ${dir}
    COMMAND ${PYTHON3} ${PROJECT_SOURCE_DIR}/cmake/notices.py
            ${dir}/THIRD-PARTY-NOTICES.txt ${MINGW_PREFIX}-g++-posix
    DEPENDS ${program} tracecap ${texts} ${PROJECT_SOURCE_DIR}/cmake/notices.py VERBATIM)
  add_custom_target(${stage} DEPENDS ${files})
endfunction()

function(ostrival_zip target stage out)
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/${stage})
  list(TRANSFORM OSTRIVAL_SHIPPED PREPEND ${dir}/ OUTPUT_VARIABLE files)
  add_custom_command(OUTPUT ${out} ${out}.sha256
    COMMAND ${PYTHON3} ${PROJECT_SOURCE_DIR}/cmake/zip.py ${out} ${OSTRIVAL_EPOCH} ${files}
    DEPENDS ${files} ${PROJECT_SOURCE_DIR}/cmake/zip.py VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${out})
  add_dependencies(${target} ${stage})
endfunction()

function(ostrival_msi target version stage out)
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/${stage})
  list(TRANSFORM OSTRIVAL_SHIPPED PREPEND ${dir}/ OUTPUT_VARIABLE files)
  add_custom_command(OUTPUT ${out} ${out}.sha256
    COMMAND ${CMAKE_COMMAND} -DWIXL=${WIXL} -DPYTHON=${PYTHON3}
            -DWXS=${PROJECT_SOURCE_DIR}/res/ostrival.wxs -DVERSION=${version}
            -DARCH=${OSTRIVAL_ARCH} -DEPOCH=${OSTRIVAL_EPOCH} -DSTAGE=${dir} -DOUT=${out}
            -P ${PROJECT_SOURCE_DIR}/cmake/wixl.cmake
    DEPENDS ${files} ${PROJECT_SOURCE_DIR}/res/ostrival.wxs ${PROJECT_SOURCE_DIR}/cmake/wixl.cmake
            ${PROJECT_SOURCE_DIR}/cmake/msi_fix.py VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${out})
  add_dependencies(${target} ${stage})
endfunction()

# Packages come from MinGW builds only, where Debian's tools are at hand; the tests ask for
# the MSI by its target.
if(MINGW AND PYTHON3)
  ostrival_stage(stage ostrival)
  ostrival_zip(zip stage ${CMAKE_BINARY_DIR}/ostrival-${PROJECT_VERSION}-${OSTRIVAL_ZIP_ARCH}.zip)
  if(WIXL)
    ostrival_msi(msi ${PROJECT_VERSION} stage
                 ${CMAKE_BINARY_DIR}/ostrival-${PROJECT_VERSION}-${OSTRIVAL_ARCH}.msi)
  else()
    message(STATUS "wixl not found: no MSI")
  endif()
else()
  message(STATUS "no packages: they need a MinGW build and python3")
endif()
