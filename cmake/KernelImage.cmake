# vextora.sys: the driver sources, freestanding, linked as a native-subsystem
# image against the kernel's import libraries. No C or C++ runtime, no
# exceptions or RTTI, base relocations kept, and no IMAGE_FILE_DLL flag (the
# image is linked as an executable whose entry point is DriverEntry).
set(CMAKE_CXX_STANDARD 17)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
# The platform's default Win32 libraries (kernel32, user32, ...) have no place
# in a kernel image.
set(CMAKE_CXX_STANDARD_LIBRARIES "")
set(CMAKE_C_STANDARD_LIBRARIES "")

add_executable(vextora ${VEXTORA_DRIVER_SOURCES})
set_target_properties(vextora PROPERTIES SUFFIX ".sys" PREFIX "")
target_include_directories(vextora PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_definitions(vextora PRIVATE VEXTORA_KERNEL=1)
# -g: the DWARF goes to vextora.sys.debug (vextora_split_debug_info below),
# not into the shipped image.
target_compile_options(vextora PRIVATE ${VEXTORA_WARNINGS} -g
    -ffreestanding -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables
    -fno-threadsafe-statics -fno-stack-protector -fno-builtin)

set(usbd_library usbd)
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
    set(entry "_DriverEntry@8")
    # USBD.SYS exports its stdcall routines undecorated, but mingw-w64's
    # libusbd.a imports them as "_Name@N", which the loader would not find.
    # Our own import library for the two routines the driver calls keeps the
    # decorated link symbol and imports the plain name (dlltool --kill-at).
    set(usbd_def ${CMAKE_BINARY_DIR}/vextora-usbd.def)
    file(WRITE ${usbd_def}
        "LIBRARY USBD.SYS\n"
        "EXPORTS\n"
        "USBD_ParseConfigurationDescriptorEx@28\n"
        "USBD_CreateConfigurationRequestEx@8\n")
    find_program(VEXTORA_DLLTOOL NAMES i686-w64-mingw32-dlltool REQUIRED)
    set(usbd_library ${CMAKE_BINARY_DIR}/libvextora-usbd.a)
    add_custom_command(OUTPUT ${usbd_library}
        COMMAND ${VEXTORA_DLLTOOL} --kill-at -d ${usbd_def} -l ${usbd_library}
        DEPENDS ${usbd_def}
        COMMENT "Import library for USBD.SYS")
    add_custom_target(vextora_usbd_imports DEPENDS ${usbd_library})
    add_dependencies(vextora vextora_usbd_imports)
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
target_link_libraries(vextora PRIVATE ${usbd_library} ntoskrnl hal wmilib gcc)

# Ships an image without its DWARF: after the link, the debug information
# moves to <image>.debug beside it, and the image keeps a .gnu_debuglink
# naming that file (gdb and objdump follow it). The symbol table goes too.
function(vextora_split_debug_info target)
    if(NOT CMAKE_OBJCOPY)
        message(FATAL_ERROR "objcopy of the cross toolchain not found (binutils-mingw-w64)")
    endif()
    add_custom_command(TARGET ${target} POST_BUILD
        COMMAND ${CMAKE_OBJCOPY} --only-keep-debug $<TARGET_FILE_NAME:${target}> $<TARGET_FILE_NAME:${target}>.debug
        COMMAND ${CMAKE_OBJCOPY} --strip-all --add-gnu-debuglink=$<TARGET_FILE_NAME:${target}>.debug
                $<TARGET_FILE_NAME:${target}>
        WORKING_DIRECTORY $<TARGET_FILE_DIR:${target}>
        COMMENT "Moving the debug information of $<TARGET_FILE_NAME:${target}> to $<TARGET_FILE_NAME:${target}>.debug"
        VERBATIM)
endfunction()

# The WMI schema resource (wmi/) and the installable package directory (package/).
include(${CMAKE_SOURCE_DIR}/wmi/MofResource.cmake)
include(${CMAKE_SOURCE_DIR}/package/Package.cmake)

# vxctl.exe, the Windows command-line tool, and the Wine harness's own kernel
# images (a root-enumerated USB bus driver and a WMI library stand-in).
include(${CMAKE_SOURCE_DIR}/tools/vxctl/Vxctl.cmake)
include(${CMAKE_SOURCE_DIR}/tests/wine/WineImages.cmake OPTIONAL)
