# The addon, built by node-gyp through scripts/build.js, which sets the library's directories.
{
  'variables': {
    'plugin_sign_include_dir%': '',
    'plugin_sign_library_dir%': '',
    'werror%': 0,
  },
  'targets': [
    {
      'target_name': 'plugin_sign_verify',
      'sources': ['src/addon.cpp'],
      'include_dirs': ['<(plugin_sign_include_dir)'],
      # Node-API 8 is in every Node from 18 on: one build serves them all.
      'defines': ['NAPI_VERSION=8'],
      'cflags_cc': ['-Wall', '-Wextra', '-fstack-protector-strong'],
      'ldflags': ['-Wl,-z,relro,-z,now'],
      # The shared library, found at run time where it was found at build time.
      'libraries': [
        '-L<(plugin_sign_library_dir)',
        '-Wl,-rpath,<(plugin_sign_library_dir)',
        '-lplugin_sign_verify',
      ],
      'conditions': [['werror==1', {'cflags_cc': ['-Werror']}]],
    },
  ],
}
