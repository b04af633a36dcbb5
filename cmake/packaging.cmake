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
