# cmake -DINPUT=file.bin -DOUTPUT=file.h -DNAME=kBytes -P EmbedBytes.cmake
# Writes the bytes of INPUT as a C++ array named NAME.
file(READ ${INPUT} hex HEX)
string(LENGTH "${hex}" length)
if(length EQUAL 0)
    message(FATAL_ERROR "${INPUT} is empty")
endif()
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
file(WRITE ${OUTPUT} "// Generated from ${INPUT}.\n#pragma once\ninline constexpr unsigned char ${NAME}[] = {${bytes}};\n")
