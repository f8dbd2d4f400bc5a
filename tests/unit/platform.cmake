# Tests of the save folder, the profile store, the id generator and the device facts, with the
# library's code linked in. They write real profile files under the prefix's application-data
# folder, each run under application ids of its own.

# Prints ids (or the game version found) from a process of its own, so tests can compare
# processes started together and look at a program that has no version resource.
add_executable(id_process unit/id_process.cpp)
target_link_libraries(id_process PRIVATE mirto_core mirto_warnings)
target_link_options(id_process PRIVATE ${MIRTO_STATIC_RUNTIME} -municode)

# A resource-only DLL whose file version has parts of several digits.
add_library(version_parts MODULE unit/version_resource.rc)
target_compile_definitions(version_parts PRIVATE MIRTO_VERSION_PARTS_ABOVE_NINE)
set_target_properties(version_parts PROPERTIES
    LINKER_LANGUAGE C PREFIX "" LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
target_link_options(version_parts PRIVATE -nostdlib -Wl,-e,0)

mirto_windows_test(profile_store_test LINKS core SOURCES unit/profile_store_test.cpp)
mirto_windows_test(outbox_test LINKS core SOURCES unit/outbox_test.cpp)
add_dependencies(profile_store_test id_process)

# The program carries a version resource (file version 2.0.3.1) of its own.
mirto_windows_test(device_info_test LINKS core
                   SOURCES unit/device_info_test.cpp unit/version_resource.rc)
add_dependencies(device_info_test id_process version_parts)
