# Debian packages of what cmake --install puts in place, one package per install component,
# made by CPack from the same build (scripts/package.sh runs it): the tools, the shared
# verification library and its development files.
set(PLUGIN_SIGN_PACKAGES tools runtime development)
set(PLUGIN_SIGN_PACKAGE_tools plugin-sign)
set(PLUGIN_SIGN_PACKAGE_runtime libplugin-sign-verify${PROJECT_VERSION_MAJOR})
set(PLUGIN_SIGN_PACKAGE_development libplugin-sign-verify-dev)

# What Debian asks of every package and make install has no use for: the copyright file and
# the changelog in /usr/share/doc/<package>. Only a component's own installation (CPack's)
# takes them.
set(PLUGIN_SIGN_CHANGELOG ${PROJECT_BINARY_DIR}/packaging/changelog.gz)
add_custom_command(OUTPUT ${PLUGIN_SIGN_CHANGELOG}
  COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/packaging/debian/changelog > ${PLUGIN_SIGN_CHANGELOG}
  DEPENDS packaging/debian/changelog VERBATIM)
file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/packaging)
add_custom_target(plugin_sign_package_changelog ALL DEPENDS ${PLUGIN_SIGN_CHANGELOG})
foreach(component ${PLUGIN_SIGN_PACKAGES})
  set(doc_dir ${CMAKE_INSTALL_DATAROOTDIR}/doc/${PLUGIN_SIGN_PACKAGE_${component}})
  install(FILES packaging/debian/copyright ${PLUGIN_SIGN_CHANGELOG} DESTINATION ${doc_dir}
    COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()

# The tools' link is static on purpose (see the file); lintian is told so in their package only.
install(FILES packaging/debian/plugin-sign.lintian-overrides
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME ${PLUGIN_SIGN_PACKAGE_tools}
  COMPONENT tools EXCLUDE_FROM_ALL)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME plugin-sign)
set(CPACK_PACKAGE_VENDOR "plugin_sign maintainers")
set(CPACK_PACKAGE_CONTACT
  "plugin_sign maintainers <maintainers@users.noreply.c-seed-1d16736f.example>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
# Only these: a file installed without a component would otherwise make a package of its own.
set(CPACK_COMPONENTS_ALL ${PLUGIN_SIGN_PACKAGES})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SOURCE plugin-sign)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# dpkg-shlibdeps computes each package's library dependencies from its ELF files: the tools
# load only the C library, the shared library its runtime libraries.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# A shlibs file, so that packages built against the library depend on this version or later.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME ${PLUGIN_SIGN_PACKAGE_tools})
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "sign and verify WebAssembly plugin packages
plugin_sign turns a plugin directory (plugin.toml and main.wasm) into a
byte-for-byte reproducible ZIP package signed with Ed25519. plugin_verify
checks a package against trusted public keys and accepts only the exact
layout that plugin_sign writes. plugin_key makes signing keys and shows
public keys and key IDs.")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${PLUGIN_SIGN_PACKAGE_runtime})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# The dynamic linker's cache is rebuilt by dpkg's ldconfig trigger. CPack adds postinst and
# postrm scripts that run ldconfig too, which the trigger makes redundant but not wrong.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/debian/triggers)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "verification library for signed WebAssembly plugin packages
Lets a plugin host verify a package signed by plugin_sign in its own process,
before it loads the plugin: the exact package layout and an Ed25519 signature
by a trusted key. It hands back the verified bytes of plugin.toml and
main.wasm. C++ and C interfaces.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME ${PLUGIN_SIGN_PACKAGE_development})
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "${PLUGIN_SIGN_PACKAGE_runtime} (= ${PROJECT_VERSION})")
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION "verification library for signed WebAssembly plugin packages (development)
Lets a plugin host verify a package signed by plugin_sign in its own process,
before it loads the plugin.
.
This package holds the C++ header plugin_sign/verify.hpp, the C header
plugin_sign/verify.h, the CMake package PluginSign (target PluginSign::verify)
and the pkg-config file plugin_sign_verify.")

include(CPack)
