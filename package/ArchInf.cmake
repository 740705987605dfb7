# Writes the INF of one architecture's package from package/vextora.inf:
#
#   cmake -DSOURCE=package/vextora.inf -DOUTPUT=<dir>/vextora.inf -DARCH=x86|x64
#         -DHARDWARE_ID=<id> -DVERSION=<a.b.c.d> -P package/ArchInf.cmake
#
# It keeps the blocks between ";; begin ARCH" and ";; end ARCH" of its own
# architecture and drops the other's and the "source" block, lists only its
# own decoration in [Manufacturer], puts HARDWARE_ID in place of the
# placeholder, stamps DriverVer with today's date (UTC, or SOURCE_DATE_EPOCH's)
# and VERSION, and writes CRLF line endings. The file is rewritten only when
# its text changes. Run at every build by Package.cmake, so the date is the
# build's.
cmake_minimum_required(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/HardwareId.cmake)

foreach(name SOURCE OUTPUT ARCH HARDWARE_ID VERSION)
    if(NOT DEFINED ${name})
        message(FATAL_ERROR "ArchInf.cmake: -D${name}=... is missing")
    endif()
endforeach()
if(ARCH STREQUAL "x86")
    set(other x64)
    set(decoration NTx86)
    set(described "x86 (32-bit Windows: Windows 2000 reads the undecorated sections, XP and later the .NTx86 ones)")
elseif(ARCH STREQUAL "x64")
    set(other x86)
    set(decoration NTamd64)
    set(described "x64 (64-bit Windows)")
else()
    message(FATAL_ERROR "ArchInf.cmake: ARCH is x86 or x64, not '${ARCH}'")
endif()
if(NOT VERSION MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+$")
    message(FATAL_ERROR "ArchInf.cmake: VERSION '${VERSION}' is not four numbers a.b.c.d")
endif()

file(READ "${SOURCE}" text)

# Replaces `from` by `to` exactly once, or stops: a source INF that no longer
# has what this script edits must not yield a package silently.
function(replace_once from to)
    string(FIND "${text}" "${from}" at)
    if(at EQUAL -1)
        message(FATAL_ERROR "${SOURCE} lacks '${from}'")
    endif()
    string(REPLACE "${from}" "${to}" replaced "${text}")
    set(text "${replaced}" PARENT_SCOPE)
endfunction()

# Drops a marked block with its marks, or only the marks.
function(cut_block name keep_body)
    set(begin ";; begin ${name}\n")
    set(end ";; end ${name}\n")
    string(FIND "${text}" "${begin}" from)
    string(FIND "${text}" "${end}" to)
    if(from EQUAL -1 OR to LESS from)
        message(FATAL_ERROR "${SOURCE} lacks the block ';; begin ${name}' ... ';; end ${name}'")
    endif()
    string(LENGTH "${begin}" begin_length)
    string(LENGTH "${end}" end_length)
    math(EXPR body_at "${from} + ${begin_length}")
    math(EXPR body_length "${to} - ${body_at}")
    math(EXPR after "${to} + ${end_length}")
    string(SUBSTRING "${text}" 0 ${from} head)
    string(SUBSTRING "${text}" ${body_at} ${body_length} body)
    string(SUBSTRING "${text}" ${after} -1 tail)
    if(keep_body)
        set(text "${head}${body}${tail}" PARENT_SCOPE)
    else()
        set(text "${head}${tail}" PARENT_SCOPE)
    endif()
endfunction()

cut_block(source FALSE)
cut_block(${other} FALSE)
cut_block(${ARCH} TRUE)
replace_once("Vextora.Models, NTx86, NTamd64" "Vextora.Models, ${decoration}")
replace_once("; Architecture: x86 and x64" "; Architecture: ${described}")

vextora_check_hardware_id("${HARDWARE_ID}")
string(FIND "${text}" "${VEXTORA_HARDWARE_ID_PLACEHOLDER}" at)
if(at EQUAL -1)
    message(FATAL_ERROR "${SOURCE} lacks the hardware ID placeholder ${VEXTORA_HARDWARE_ID_PLACEHOLDER}")
endif()
string(REPLACE "${VEXTORA_HARDWARE_ID_PLACEHOLDER}" "${HARDWARE_ID}" text "${text}")

# DriverVer = mm/dd/yyyy,a.b.c.d: Windows ranks the drivers that match a
# device by this date, then by this version.
string(TIMESTAMP today "%m/%d/%Y" UTC)
string(REGEX MATCHALL "\nDriverVer *= *[0-9/]+,[0-9.]+" found "${text}")
list(LENGTH found count)
if(NOT count EQUAL 1)
    message(FATAL_ERROR "${SOURCE}: expected one 'DriverVer = mm/dd/yyyy,a.b.c.d' line, found ${count}")
endif()
string(REGEX REPLACE "\n(DriverVer *= *)[0-9/]+,[0-9.]+" "\n\\1${today},${VERSION}" text "${text}")

file(CONFIGURE OUTPUT "${OUTPUT}" CONTENT "${text}" @ONLY NEWLINE_STYLE CRLF)
