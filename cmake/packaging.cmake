# The release: `cpack` in a MinGW build tree makes ostrival-<version>-win64.zip
# (the service, the trace capture tool, the README, all at the top of the
# archive) and ostrival-<version>-win64.zip.sha256 beside it, in sha256sum's
# format. Executables are stripped as they are packed; the build tree keeps
# them whole for debugging.
install(TARGETS ostrival RUNTIME DESTINATION .)
if(TARGET tracecap)
  install(TARGETS tracecap RUNTIME DESTINATION .)
endif()
install(FILES README.md DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME ostrival)
set(CPACK_PACKAGE_VENDOR Ostrival)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME ostrival-${PROJECT_VERSION}-win64)
# Unpacking "here" then gives the files themselves, not a folder in a folder.
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CHECKSUM SHA256)
include(CPack)

# The Windows Installer package beside the zip, built with everything else where wixl is
# found (Debian's wixl): ostrival-<version>-x64.msi and its .sha256.
find_program(WIXL wixl)
function(ostrival_msi target version program out)
  add_custom_command(OUTPUT ${out} ${out}.sha256
    COMMAND ${CMAKE_COMMAND} -DWIXL=${WIXL} -DSTRIP=${CMAKE_STRIP}
            -DWXS=${PROJECT_SOURCE_DIR}/res/ostrival.wxs -DVERSION=${version}
            -DEXE=$<TARGET_FILE:${program}> -DTRACECAP=$<TARGET_FILE:tracecap> -DOUT=${out}
            -P ${PROJECT_SOURCE_DIR}/cmake/wixl.cmake
    DEPENDS ${PROJECT_SOURCE_DIR}/res/ostrival.wxs ${PROJECT_SOURCE_DIR}/cmake/wixl.cmake
            ${program} tracecap
    VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${out})
endfunction()
if(WIXL)
  ostrival_msi(msi ${PROJECT_VERSION} ostrival
               ${CMAKE_BINARY_DIR}/ostrival-${PROJECT_VERSION}-x64.msi)
else()
  message(STATUS "wixl not found: no MSI")
endif()
