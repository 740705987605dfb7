# vextora.sys: the driver sources, freestanding, linked as a native-subsystem
# image against the DDK import libraries.
set(CMAKE_CXX_STANDARD 17)
set(CMAKE_CXX_STANDARD_REQUIRED ON)

add_executable(vextora ${VEXTORA_DRIVER_SOURCES})
set_target_properties(vextora PROPERTIES SUFFIX ".sys" PREFIX "")
target_include_directories(vextora PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_definitions(vextora PRIVATE VEXTORA_KERNEL=1)
target_compile_options(vextora PRIVATE ${VEXTORA_WARNINGS}
    -ffreestanding -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables
    -fno-threadsafe-statics -fno-stack-protector -fno-builtin)

if(CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
    set(entry "_DriverEntry@8")
else()
    set(entry "DriverEntry")
endif()
target_link_options(vextora PRIVATE
    -nostdlib -nostartfiles
    -Wl,--subsystem,native
    -Wl,--entry,${entry}
    -Wl,--dynamicbase -Wl,--nxcompat
    -Wl,--image-base,0x10000
    -Wl,--file-alignment,0x200 -Wl,--section-alignment,0x1000
    -Wl,--stack,0x40000)
target_link_libraries(vextora PRIVATE ntoskrnl hal usbd wmilib gcc)
