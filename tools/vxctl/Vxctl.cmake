# vxctl.exe: a Win32 console program, built by the kernel presets beside
# vextora.sys. It is user-mode code: C++20, the normal C and C++ runtime,
# linked statically so that it runs on a bare system (and under Wine) without
# extra DLLs. It is built for Windows 2000, the oldest system the driver is
# for: tests/package checks that it imports nothing newer
# (tools/vxctl/win2000-imports.txt).
set(vxctl_dir ${CMAKE_SOURCE_DIR}/tools/vxctl)
set(common_dir ${CMAKE_SOURCE_DIR}/tools/common)

# CLI11 is header-only and installed on the build host. Expose it, and only
# it, to the cross compiler: the host's /usr/include must never be searched.
find_path(VEXTORA_CLI11_DIR CLI/CLI.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH NO_DEFAULT_PATH)
if(NOT VEXTORA_CLI11_DIR)
    message(FATAL_ERROR "CLI11 (Debian package libcli11-dev) is needed to build vxctl.exe")
endif()
set(cli11_only ${CMAKE_BINARY_DIR}/cli11-include)
file(MAKE_DIRECTORY ${cli11_only})
file(CREATE_LINK ${VEXTORA_CLI11_DIR}/CLI ${cli11_only}/CLI SYMBOLIC)

add_executable(vxctl
    ${vxctl_dir}/main.cpp ${vxctl_dir}/Commands.cpp ${vxctl_dir}/Win32Io.cpp ${vxctl_dir}/Win32Status.cpp
    ${vxctl_dir}/WmiCom.cpp ${vxctl_dir}/Console.cpp ${vxctl_dir}/Utf16Text.cpp ${vxctl_dir}/vxctl.rc
    ${common_dir}/Requests.cpp ${common_dir}/DescriptorText.cpp ${common_dir}/StatusNames.cpp ${common_dir}/Scenario.cpp
    ${common_dir}/Numbers.cpp ${common_dir}/AppSteps.cpp)
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
    target_sources(vxctl PRIVATE ${vxctl_dir}/Win2000Crt.cpp)
endif()
set_source_files_properties(${vxctl_dir}/vxctl.rc PROPERTIES
    INCLUDE_DIRECTORIES "${CMAKE_SOURCE_DIR};${VEXTORA_GENERATED_DIR}"
    OBJECT_DEPENDS "${CMAKE_SOURCE_DIR}/package/VersionInfo.rc.inc;${VEXTORA_GENERATED_DIR}/vextora_version.h")
set_target_properties(vxctl PROPERTIES CXX_STANDARD 20 CXX_STANDARD_REQUIRED ON CXX_EXTENSIONS OFF)
target_include_directories(vxctl PRIVATE ${CMAKE_SOURCE_DIR})
target_include_directories(vxctl SYSTEM PRIVATE ${cli11_only})
target_compile_definitions(vxctl PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0500 WINVER=0x0500)
# -Wno-restrict: GCC 12 reports a false overlap inside libstdc++'s
# std::string at -O3 (GCC bug 105329).
target_compile_options(vxctl PRIVATE ${VEXTORA_WARNINGS} -Wno-restrict)
target_link_options(vxctl PRIVATE -static)
# The kernel build clears the default Win32 libraries; name what vxctl uses.
target_link_libraries(vxctl PRIVATE vextora_version setupapi ole32 oleaut32 wbemuuid uuid advapi32 kernel32)
vextora_split_debug_info(vxctl)
