# Reads a Windows binary's headers with objdump and fails when it is not a 64-bit PE image of
# the expected kind, exports anything but the expected names and ordinals, or imports a DLL that
# is neither a Windows system DLL nor one of ours.
#   OBJDUMP   the PE objdump of the cross toolchain
#   FILE      the binary
#   KIND      DLL or EXE
#   EXPORTS   expected exports as name@ordinal, in name order; unset: exports are not checked
#   OURS      DLL names of our own that the binary may import
#   REQUIRED  DLL names that it must import
cmake_minimum_required(VERSION 3.25)

execute_process(COMMAND ${OBJDUMP} -p ${FILE} OUTPUT_VARIABLE dump RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "${OBJDUMP} -p ${FILE} failed")
endif()
string(REPLACE "\n" ";" lines "${dump}")
get_filename_component(file_name ${FILE} NAME)
set(errors "")

if(NOT dump MATCHES "Magic[\t ]+020b[\t ]+\\(PE32\\+\\)")
    list(APPEND errors "not a PE32+ image")
endif()
string(REGEX MATCH "Characteristics 0x[0-9a-f]+\n(\t[^\n]*\n)*" characteristics "${dump}")
if(KIND STREQUAL "DLL" AND NOT characteristics MATCHES "\tDLL\n")
    list(APPEND errors "not a DLL")
elseif(KIND STREQUAL "EXE" AND characteristics MATCHES "\tDLL\n")
    list(APPEND errors "a DLL, not a program")
endif()

# Exports: the address table gives every ordinal, the name table the names with theirs.
set(base 0)
set(section "")
set(ordinals "")
set(named "")
set(named_ordinals "")
set(export_name "")
foreach(line IN LISTS lines)
    if(line MATCHES "^Name[\t ]+[0-9a-f]+ (.+)$" AND section STREQUAL "")
        set(export_name ${CMAKE_MATCH_1})
    elseif(line MATCHES "^Ordinal Base[\t ]+([0-9]+)")
        set(base ${CMAKE_MATCH_1})
    elseif(line MATCHES "^Export Address Table -- ")
        set(section addresses)
    elseif(line MATCHES "^\\[Ordinal/Name Pointer\\] Table")
        set(section names)
    elseif(line STREQUAL "")
        set(section "")
    elseif(section STREQUAL "addresses" AND line MATCHES "\\+base\\[ *([0-9]+)\\]")
        list(APPEND ordinals ${CMAKE_MATCH_1})
    elseif(section STREQUAL "names" AND line MATCHES "^\t\\[ *([0-9]+)\\] (.+)$")
        math(EXPR ordinal "${CMAKE_MATCH_1} + ${base}")
        list(APPEND named "${CMAKE_MATCH_2}@${ordinal}")
        list(APPEND named_ordinals ${ordinal})
    endif()
endforeach()

if(DEFINED EXPORTS)
    if(NOT named STREQUAL EXPORTS)
        list(APPEND errors "exports by name [${named}], expected [${EXPORTS}]")
    endif()
    set(unnamed ${ordinals})
    if(named_ordinals)
        list(REMOVE_ITEM unnamed ${named_ordinals})
    endif()
    if(unnamed)
        list(APPEND errors "exports by ordinal only: [${unnamed}]")
    endif()
    if(NOT export_name STREQUAL file_name)
        list(APPEND errors "its export table names it '${export_name}', not '${file_name}'")
    endif()
endif()

# Imports: what Windows itself provides, and our own DLLs. The compiler's runtime DLLs
# (libstdc++, libgcc, winpthread) must not appear: they are linked in.
set(system_dlls
    kernel32.dll user32.dll gdi32.dll advapi32.dll shell32.dll shlwapi.dll ole32.dll
    oleaut32.dll msvcrt.dll ucrtbase.dll ntdll.dll ws2_32.dll bcrypt.dll)
string(TOLOWER "${OURS}" ours)
string(TOLOWER "${REQUIRED}" required)
set(imports "")
foreach(line IN LISTS lines)
    if(line MATCHES "^\tDLL Name: (.+)$")
        set(name ${CMAKE_MATCH_1})
        string(TOLOWER ${name} dll)
        list(APPEND imports ${dll})
        if(NOT dll IN_LIST system_dlls AND NOT dll IN_LIST ours AND NOT dll MATCHES "^api-ms-win-")
            list(APPEND errors "imports ${name}, which is neither Windows' nor ours")
        endif()
    endif()
endforeach()
foreach(dll IN LISTS required)
    if(NOT dll IN_LIST imports)
        list(APPEND errors "does not import ${dll}")
    endif()
endforeach()

if(errors)
    list(JOIN errors "\n  " text)
    message(FATAL_ERROR "${file_name}:\n  ${text}")
endif()
list(JOIN named ", " named_text)
list(JOIN imports ", " imports_text)
message(STATUS "${file_name}: exports [${named_text}], imports [${imports_text}]")
