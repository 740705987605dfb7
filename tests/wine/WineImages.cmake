# The Wine harness's kernel images and installer, x64 only: vxbus.sys (a
# root-enumerated USB bus with the loopback device on it), wmilib.sys (the
# WMI library Wine lacks) and vxwine.exe (device installation and the bus
# remote). Included by the kernel build.
if(NOT CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
    return()
endif()
set(wine_dir ${CMAKE_SOURCE_DIR}/tests/wine)
set(wine_out ${CMAKE_BINARY_DIR}/wine)

# The loopback device's descriptors, from the description file vxsim plugs
# for the same comparison.
set(description ${wine_dir}/loopback-wine.json)
set_property(DIRECTORY ${CMAKE_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${description})
file(READ ${description} description_text)
function(vxbus_bytes name hex out)
    string(REGEX REPLACE "([0-9A-Fa-f][0-9A-Fa-f])" "0x\\1, " bytes "${hex}")
    set(${out} "const uint8_t ${name}[] = {${bytes}};\n" PARENT_SCOPE)
endfunction()
string(JSON device_hex GET "${description_text}" device)
string(JSON config_hex GET "${description_text}" configuration)
vxbus_bytes(kDevice "${device_hex}" inc)
vxbus_bytes(kConfiguration "${config_hex}" line)
string(APPEND inc "${line}")
set(slots "")
foreach(index RANGE 0 7)
    string(JSON string_hex ERROR_VARIABLE missing GET "${description_text}" strings ${index})
    if(missing)
        string(APPEND slots "nullptr, ")
    else()
        vxbus_bytes(kString${index} "${string_hex}" line)
        string(APPEND inc "${line}")
        string(APPEND slots "kString${index}, ")
    endif()
endforeach()
string(APPEND inc "const vxbus::Descriptors kDescriptors = {kDevice, kConfiguration, {${slots}}};\n")
file(CONFIGURE OUTPUT ${wine_out}/generated/LoopbackDescriptors.inc
     CONTENT "// Generated from tests/wine/loopback-wine.json by tests/wine/WineImages.cmake.\n${inc}" @ONLY)

set(kernel_flags ${VEXTORA_WARNINGS} -ffreestanding -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables
    -fno-threadsafe-statics -fno-stack-protector -fno-builtin)
set(kernel_link -nostdlib -nostartfiles -Wl,--subsystem,native -Wl,--dynamicbase -Wl,--nxcompat
    -Wl,--file-alignment,0x200 -Wl,--section-alignment,0x1000)

add_executable(vxbus ${wine_dir}/busdriver/VxBus.cpp ${wine_dir}/busdriver/UrbServer.cpp
    ${wine_dir}/busdriver/FunctionDriverWatch.cpp
    ${wine_dir}/busdriver/LoopbackDevice.cpp)
set_target_properties(vxbus PROPERTIES SUFFIX ".sys" PREFIX "" RUNTIME_OUTPUT_DIRECTORY ${wine_out})
target_include_directories(vxbus PRIVATE ${CMAKE_SOURCE_DIR} ${wine_out}/generated)
target_compile_definitions(vxbus PRIVATE VEXTORA_KERNEL=1)
target_compile_options(vxbus PRIVATE ${kernel_flags})
target_link_options(vxbus PRIVATE ${kernel_link} -Wl,--entry,DriverEntry -Wl,--image-base,0x10000)
target_link_libraries(vxbus PRIVATE ntoskrnl hal gcc)

# A kernel-mode DLL: exports, no IMAGE_FILE_DLL trouble for the loader since
# it is only ever loaded as an import of vextora.sys.
add_library(wmilib_standin SHARED ${wine_dir}/wmilib/WmiLib.cpp)
set_target_properties(wmilib_standin PROPERTIES OUTPUT_NAME wmilib SUFFIX ".sys" PREFIX ""
    RUNTIME_OUTPUT_DIRECTORY ${wine_out})
target_include_directories(wmilib_standin PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_options(wmilib_standin PRIVATE ${kernel_flags})
target_link_options(wmilib_standin PRIVATE ${kernel_link} -Wl,--entry,DriverEntry -Wl,--image-base,0x20000)
target_link_libraries(wmilib_standin PRIVATE ntoskrnl hal gcc)

add_executable(vxwine ${wine_dir}/tool/VxWine.cpp)
set_target_properties(vxwine PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${wine_out})
target_include_directories(vxwine PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_definitions(vxwine PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0601)
target_compile_options(vxwine PRIVATE ${VEXTORA_WARNINGS})
target_link_options(vxwine PRIVATE -static)
target_link_libraries(vxwine PRIVATE setupapi newdev advapi32 kernel32)

configure_file(${wine_dir}/busdriver/vxbus.inf ${wine_out}/vxbus.inf COPYONLY)
add_custom_target(wine_harness_images ALL DEPENDS vxbus wmilib_standin vxwine)
