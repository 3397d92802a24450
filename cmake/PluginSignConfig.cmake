# find_package(PluginSign CONFIG): the imported target PluginSign::verify, the plugin package
# verification library with its C++ (plugin_sign/verify.hpp) and C (plugin_sign/verify.h)
# headers.
include("${CMAKE_CURRENT_LIST_DIR}/PluginSignTargets.cmake")
