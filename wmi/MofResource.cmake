# The WMI schema of the kernel image: wmi/Vextora.mof compiled by vxbmof into
# a binary MOF and linked in as resource MOFDATA "MOFRESOURCENAME".
#
# The kernel presets are cross builds, so vxbmof is built here with the host's
# C++ compiler straight from its sources.
enable_language(RC)

find_program(VEXTORA_HOST_CXX NAMES c++ g++ clang++ REQUIRED
    DOC "Host C++20 compiler for the build tools of the kernel image")

set(vxbmof_dir ${CMAKE_SOURCE_DIR}/tools/bmof)
set(vxbmof_sources ${vxbmof_dir}/Mof.cpp ${vxbmof_dir}/Lz.cpp ${vxbmof_dir}/Layout.cpp ${vxbmof_dir}/main.cpp)
set(vxbmof_headers ${vxbmof_dir}/Mof.h ${vxbmof_dir}/Lz.h ${vxbmof_dir}/Layout.h)
set(vxbmof_host ${CMAKE_BINARY_DIR}/host/vxbmof)
add_custom_command(OUTPUT ${vxbmof_host}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/host
    COMMAND ${VEXTORA_HOST_CXX} -std=c++20 -O2 -Wall -Wextra -Werror -o ${vxbmof_host} ${vxbmof_sources}
    DEPENDS ${vxbmof_sources} ${vxbmof_headers}
    COMMENT "Building vxbmof for the host"
    VERBATIM)

set(mof_output_dir ${CMAKE_BINARY_DIR}/wmi)
set(mof_binary ${mof_output_dir}/Vextora.bmf)
add_custom_command(OUTPUT ${mof_binary}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${mof_output_dir}
    COMMAND ${vxbmof_host} ${CMAKE_SOURCE_DIR}/wmi/Vextora.mof ${mof_binary}
    DEPENDS ${vxbmof_host} ${CMAKE_SOURCE_DIR}/wmi/Vextora.mof
    COMMENT "Compiling the binary MOF"
    VERBATIM)
add_custom_target(vextora_mof DEPENDS ${mof_binary})

set(mof_script ${CMAKE_SOURCE_DIR}/wmi/Vextora.rc)
target_sources(vextora PRIVATE ${mof_script})
set_source_files_properties(${mof_script} PROPERTIES
    INCLUDE_DIRECTORIES ${mof_output_dir}
    OBJECT_DEPENDS ${mof_binary})
add_dependencies(vextora vextora_mof)
