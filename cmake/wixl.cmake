# cmake -P cmake/wixl.cmake with WIXL, PYTHON, WXS, VERSION, ARCH (x64 or x86), EPOCH, STAGE and
# OUT defined: builds the MSI OUT for ARCH from WXS with the files in STAGE, and writes its
# SHA-256 beside it in sha256sum's format. Any word from wixl fails the build: it passes over
# what it does not understand with a warning at most.
#
# The same stage gives the same bytes. The product code is named by the version and the
# architecture, so a new version is a new product that upgrades the old in place; the package
# code is named by the content (msi_fix.py). The cabinet keeps each file's time, so the files
# take EPOCH's first.
if(ARCH STREQUAL x64)
  set(platform -a x64)
endif()
string(UUID product NAMESPACE 92F12B63-8AF2-4C2C-9E85-BDCD6F101EDF NAME "${VERSION} ${ARCH}"
       TYPE SHA1 UPPER)
# A copy to touch: the stage's own times tell the build what is up to date.
set(files ${OUT}.files)
file(REMOVE_RECURSE ${files})
file(COPY ${STAGE}/ DESTINATION ${files})
file(GLOB staged ${files}/*)
execute_process(COMMAND touch -d @${EPOCH} ${staged} COMMAND_ERROR_IS_FATAL ANY)
# wixl takes sources relative to where it runs.
execute_process(COMMAND ${WIXL} ${platform} -D Version=${VERSION} -D Arch=${ARCH}
                        -D ProductCode=${product} -o ${OUT} ${WXS}
                WORKING_DIRECTORY ${files} RESULT_VARIABLE failed OUTPUT_VARIABLE said
                ERROR_VARIABLE said)
if(NOT failed AND NOT said)
  execute_process(COMMAND ${PYTHON} ${CMAKE_CURRENT_LIST_DIR}/msi_fix.py ${OUT} ${EPOCH}
                  RESULT_VARIABLE failed OUTPUT_VARIABLE said ERROR_VARIABLE said)
endif()
if(failed OR said)
  file(REMOVE ${OUT})
  message(FATAL_ERROR "wixl ${WXS}: ${said}")
endif()
file(SHA256 ${OUT} sum)
get_filename_component(name ${OUT} NAME)
file(WRITE ${OUT}.sha256 "${sum}  ${name}\n")
