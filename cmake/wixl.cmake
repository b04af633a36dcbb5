# cmake -P cmake/wixl.cmake with WIXL, WXS, VERSION, ARCH (x64 or x86), STAGE and OUT defined:
# builds the MSI OUT for ARCH from WXS with the programs in STAGE, and writes its SHA-256 beside
# it in sha256sum's format. Any word from wixl fails the build: it passes over what it does not
# understand with a warning at most.
if(ARCH STREQUAL x64)
  set(platform -a x64)
endif()
# wixl takes sources relative to where it runs.
execute_process(COMMAND ${WIXL} ${platform} -D Version=${VERSION} -D Arch=${ARCH}
                        -D Exe=ostrival.exe -D Tracecap=tracecap.exe -o ${OUT} ${WXS}
                WORKING_DIRECTORY ${STAGE} RESULT_VARIABLE failed OUTPUT_VARIABLE said
                ERROR_VARIABLE said)
if(failed OR said)
  file(REMOVE ${OUT})
  message(FATAL_ERROR "wixl ${WXS}: ${said}")
endif()
file(SHA256 ${OUT} sum)
get_filename_component(name ${OUT} NAME)
file(WRITE ${OUT}.sha256 "${sum}  ${name}\n")
