# cmake -DVXSIM=... -DIMAGE=... -DWORKDIR=... -DOUTDIR=... -DNAME=...
#       "-DARGS=--seed|5|run|file.vxs" -P CompareRuns.cmake
#
# Runs vxsim ARGS (separated by |) twice, with the driver built into it and
# with --image IMAGE, in WORKDIR. Both must pass (the verifier armed, no report), and
# their outputs must be the same once what differs by nature is taken out:
# the image run's first line, which names the image, the virtual time stamps
# (threads reach a step at times that vary from run to run) and wall times.
foreach(var VXSIM IMAGE WORKDIR OUTDIR ARGS NAME)
    if(NOT DEFINED ${var})
        message(FATAL_ERROR "CompareRuns.cmake needs -D${var}=...")
    endif()
endforeach()
string(REPLACE "|" ";" ARGS "${ARGS}")

function(run label out)
    execute_process(COMMAND ${VXSIM} ${ARGN} ${ARGS}
        WORKING_DIRECTORY ${WORKDIR}
        OUTPUT_VARIABLE text ERROR_VARIABLE errors RESULT_VARIABLE code)
    if(NOT code EQUAL 0)
        message(FATAL_ERROR "vxsim ${ARGN} ${ARGS} (${label}) exited with ${code}:\n${text}\n${errors}")
    endif()
    set(${out} "${text}" PARENT_SCOPE)
endfunction()

run("built-in driver" builtin)
run("image" image --image ${IMAGE})

string(FIND "${image}" "\n" first)
string(SUBSTRING "${image}" 0 ${first} banner)
if(NOT banner MATCHES "^vxsim: running the kernel image .* \\(x64\\)")
    message(FATAL_ERROR "the image run does not say so in its first line: ${banner}")
endif()
math(EXPR first "${first} + 1")
string(SUBSTRING "${image}" ${first} -1 image)

foreach(which builtin image)
    string(REGEX REPLACE "\\[ *[0-9]+\\.[0-9]+ s\\] " "" ${which} "${${which}}")
    string(REGEX REPLACE "run\\(s\\), [0-9.]+ s\\)" "run(s))" ${which} "${${which}}")
    file(WRITE ${OUTDIR}/${NAME}.${which}.txt "${${which}}")
endforeach()
if(NOT builtin STREQUAL image)
    execute_process(COMMAND diff -u ${NAME}.builtin.txt ${NAME}.image.txt WORKING_DIRECTORY ${OUTDIR}
        OUTPUT_VARIABLE difference)
    message(FATAL_ERROR "the image and the built-in driver differ:\n${difference}")
endif()
file(REMOVE ${OUTDIR}/${NAME}.builtin.txt ${OUTDIR}/${NAME}.image.txt)
message(STATUS "same output on the image and the built-in driver")
