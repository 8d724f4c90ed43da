# client_launch.dll for CMake clients, from the distribution folder:
#   find_package(client_launch REQUIRED)   (CMAKE_PREFIX_PATH at the folder)
#   target_link_libraries(app PRIVATE client_launch::client_launch)
# The x86 or x64 DLL, as the client builds; Visual C++'s import library or
# mingw's. Copy the DLL ($<TARGET_FILE:client_launch::client_launch>) beside the exe.
get_filename_component(_client_launch_root "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(_client_launch_arch x64)
else()
  set(_client_launch_arch x86)
endif()
if(MSVC)
  set(_client_launch_implib client_launch.lib)
else()
  set(_client_launch_implib libclient_launch.dll.a)
endif()
if(NOT TARGET client_launch::client_launch)
  add_library(client_launch::client_launch SHARED IMPORTED)
  set_target_properties(client_launch::client_launch PROPERTIES
    IMPORTED_LOCATION "${_client_launch_root}/${_client_launch_arch}/client_launch.dll"
    IMPORTED_IMPLIB "${_client_launch_root}/${_client_launch_arch}/${_client_launch_implib}"
    INTERFACE_INCLUDE_DIRECTORIES "${_client_launch_root}/include")
endif()
set(client_launch_FOUND TRUE)
unset(_client_launch_root)
unset(_client_launch_arch)
unset(_client_launch_implib)
