# The release packages of this build's architecture, made by the build itself, each with its
# SHA-256 beside it in sha256sum's format:
#   ostrival-<version>-win64.zip or -win32.zip: the two programs, stripped, and the README;
#   ostrival-<version>-x64.msi or -x86.msi: the Windows Installer package, where Debian's wixl
#   is found.
# Both are packed from one folder of the files as shipped (the stage), so that a release can
# sign the programs there and pack again.
find_package(Python3 COMPONENTS Interpreter)
find_program(WIXL wixl)
if(OSTRIVAL_ARCH STREQUAL x64)
  set(OSTRIVAL_ZIP_ARCH win64)
else()
  set(OSTRIVAL_ZIP_ARCH win32)
endif()

# STAGE/ostrival.exe and STAGE/tracecap.exe, stripped copies of PROGRAM and tracecap, and the
# README.
function(ostrival_stage target program stage)
  set(files ${stage}/ostrival.exe ${stage}/tracecap.exe ${stage}/README.md)
  add_custom_command(OUTPUT ${files}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${stage}
    COMMAND ${CMAKE_STRIP} -o ${stage}/ostrival.exe $<TARGET_FILE:${program}>
    COMMAND ${CMAKE_STRIP} -o ${stage}/tracecap.exe $<TARGET_FILE:tracecap>
    COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/README.md ${stage}/README.md
    DEPENDS ${program} tracecap ${PROJECT_SOURCE_DIR}/README.md VERBATIM)
  add_custom_target(${target} DEPENDS ${files})
endfunction()

function(ostrival_zip target stage out)
  add_custom_command(OUTPUT ${out} ${out}.sha256
    COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/cmake/zip.py ${out} ${stage}/ostrival.exe
            ${stage}/tracecap.exe ${stage}/README.md
    DEPENDS ${stage}/ostrival.exe ${stage}/tracecap.exe ${stage}/README.md
            ${PROJECT_SOURCE_DIR}/cmake/zip.py VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${out})
endfunction()

function(ostrival_msi target version stage out)
  add_custom_command(OUTPUT ${out} ${out}.sha256
    COMMAND ${CMAKE_COMMAND} -DWIXL=${WIXL} -DWXS=${PROJECT_SOURCE_DIR}/res/ostrival.wxs
            -DVERSION=${version} -DARCH=${OSTRIVAL_ARCH} -DSTAGE=${stage} -DOUT=${out}
            -P ${PROJECT_SOURCE_DIR}/cmake/wixl.cmake
    DEPENDS ${PROJECT_SOURCE_DIR}/res/ostrival.wxs ${PROJECT_SOURCE_DIR}/cmake/wixl.cmake
            ${stage}/ostrival.exe ${stage}/tracecap.exe VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${out})
endfunction()

set(OSTRIVAL_STAGE ${CMAKE_BINARY_DIR}/stage)
ostrival_stage(stage ostrival ${OSTRIVAL_STAGE})
if(Python3_FOUND)
  ostrival_zip(zip ${OSTRIVAL_STAGE}
               ${CMAKE_BINARY_DIR}/ostrival-${PROJECT_VERSION}-${OSTRIVAL_ZIP_ARCH}.zip)
else()
  message(STATUS "python3 not found: no zip")
endif()
if(WIXL)
  ostrival_msi(msi ${PROJECT_VERSION} ${OSTRIVAL_STAGE}
               ${CMAKE_BINARY_DIR}/ostrival-${PROJECT_VERSION}-${OSTRIVAL_ARCH}.msi)
else()
  message(STATUS "wixl not found: no MSI")
endif()
