# vkprop.dll: 32-bit or 64-bit, its one export undecorated, nothing but
# system DLLs.
# Boost is header-only here; the folder holds just the boost directory, so the
# rest of /usr/include stays out of the cross build.
set(VKPROP_BOOST_DIR ${CMAKE_CURRENT_BINARY_DIR}/boost-include)
file(MAKE_DIRECTORY ${VKPROP_BOOST_DIR})
file(CREATE_LINK /usr/include/boost ${VKPROP_BOOST_DIR}/boost SYMBOLIC)

# An x86 __stdcall name carries its argument bytes (EnumPropPages@12) and the
# .def exports it undecorated; x64 has one calling convention and plain names.
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
    set(VKPROP_DEF ${CMAKE_CURRENT_BINARY_DIR}/vkprop64.def)
    file(WRITE ${VKPROP_DEF} "LIBRARY vkprop.dll\nEXPORTS\n    EnumPropPages\n")
else()
    set(VKPROP_DEF ${CMAKE_CURRENT_SOURCE_DIR}/vkprop.def)
endif()

add_library(vkprop SHARED
    ${VKPROP_LOGIC_SOURCES}
    Controls.cpp
    EnumPropPages.cpp
    PortPageProc.cpp
    Win32Calls.cpp
    vkprop.rc
    ${VKPROP_DEF}
)
set_target_properties(vkprop PROPERTIES PREFIX "" OUTPUT_NAME vkprop)
target_include_directories(vkprop PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_include_directories(vkprop SYSTEM PRIVATE ${VKPROP_BOOST_DIR})
target_compile_definitions(vkprop PRIVATE WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0501
                                          _WIN32_IE=0x0600 STRICT)
target_compile_options(vkprop PRIVATE -Wall -Wextra)
target_link_options(vkprop PRIVATE -static-libgcc -static-libstdc++ -s)
target_link_libraries(vkprop PRIVATE setupapi comctl32 shell32 advapi32 user32)
vk_version_resource(vkprop vkprop.dll "Velkor keying port settings page" VFT_DLL VFT2_UNKNOWN)
# The rc file includes the committed icon and the cp932 Japanese template.
set_property(SOURCE vkprop.rc APPEND PROPERTY OBJECT_DEPENDS
    ${CMAKE_CURRENT_SOURCE_DIR}/vkprop.ico ${CMAKE_CURRENT_SOURCE_DIR}/vkprop_ja.rc
    ${CMAKE_CURRENT_SOURCE_DIR}/resource.h)

install(TARGETS vkprop RUNTIME DESTINATION .)
