# find_package(mirto) for games built with mingw-w64 or an MSVC-compatible toolchain:
# defines the imported target mirto::mirto for the architecture being built (x64 or x86),
# with the header folder and the right import library (mirto.lib for MSVC-style linkers,
# libmirto.dll.a for GNU ld). Copy $<TARGET_FILE:mirto::mirto> next to the game's executable.
get_filename_component(_mirto_prefix "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(_mirto_arch x64)
else()
    set(_mirto_arch x86)
endif()

if(MSVC OR CMAKE_CXX_SIMULATE_ID STREQUAL "MSVC" OR CMAKE_C_SIMULATE_ID STREQUAL "MSVC")
    set(_mirto_implib "${_mirto_prefix}/lib/${_mirto_arch}/mirto.lib")
else()
    set(_mirto_implib "${_mirto_prefix}/lib/${_mirto_arch}/libmirto.dll.a")
endif()

if(NOT EXISTS "${_mirto_prefix}/bin/${_mirto_arch}/mirto.dll" OR NOT EXISTS "${_mirto_implib}")
    set(mirto_FOUND FALSE)
    set(mirto_NOT_FOUND_MESSAGE
        "this mirto package has no ${_mirto_arch} build (${_mirto_prefix}/bin/${_mirto_arch})")
    return()
endif()

if(NOT TARGET mirto::mirto)
    add_library(mirto::mirto SHARED IMPORTED)
    set_target_properties(mirto::mirto PROPERTIES
        IMPORTED_LOCATION "${_mirto_prefix}/bin/${_mirto_arch}/mirto.dll"
        IMPORTED_IMPLIB "${_mirto_implib}"
        INTERFACE_INCLUDE_DIRECTORIES "${_mirto_prefix}/include")
endif()

unset(_mirto_arch)
unset(_mirto_implib)
unset(_mirto_prefix)
