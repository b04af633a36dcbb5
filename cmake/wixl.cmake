# cmake -P cmake/wixl.cmake with WIXL, STRIP, WXS, VERSION, EXE, TRACECAP and OUT defined:
# builds the MSI OUT from WXS with stripped copies of the two programs, and writes its SHA-256
# beside it in sha256sum's format. Any word from wixl fails the build: it passes over what it
# does not understand with a warning at most.
set(stage ${OUT}.files)
file(REMOVE_RECURSE ${stage})
file(MAKE_DIRECTORY ${stage})
foreach(program ${EXE} ${TRACECAP})
  get_filename_component(name ${program} NAME)
  execute_process(COMMAND ${STRIP} -o ${stage}/${name} ${program} RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "could not strip ${program}")
  endif()
endforeach()
# wixl takes sources relative to where it runs.
execute_process(COMMAND ${WIXL} -a x64 -D Version=${VERSION} -D Exe=ostrival.exe
                        -D Tracecap=tracecap.exe -o ${OUT} ${WXS}
                WORKING_DIRECTORY ${stage} RESULT_VARIABLE failed OUTPUT_VARIABLE said
                ERROR_VARIABLE said)
if(failed OR said)
  file(REMOVE ${OUT})
  message(FATAL_ERROR "wixl ${WXS}: ${said}")
endif()
file(SHA256 ${OUT} sum)
get_filename_component(name ${OUT} NAME)
file(WRITE ${OUT}.sha256 "${sum}  ${name}\n")
