#!/usr/bin/env node
// Builds the addon with node-gyp against the headers of the Node that runs this script, never
// downloading any, and links it to the shared verification library, libplugin_sign_verify.so.1:
// the one pkg-config finds (an installed library), or the one in --library-dir with the headers
// in --include-dir (a build tree). npm runs it on install; the repository's build runs it with
// both directories.
// Usage: node scripts/build.js [--include-dir=DIR --library-dir=DIR] [--werror]
'use strict';

const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');

function fail(message) {
  console.error(`plugin-sign-verify: ${message}`);
  process.exit(1);
}

function parseArguments(argv) {
  const options = { werror: false };
  for (const argument of argv) {
    const [name, value] = argument.split(/=(.*)/s);
    if (name === '--include-dir' && value) options.includeDir = path.resolve(value);
    else if (name === '--library-dir' && value) options.libraryDir = path.resolve(value);
    else if (argument === '--werror') options.werror = true;
    else fail(`unknown argument ${argument}\nusage: node scripts/build.js [--include-dir=DIR --library-dir=DIR] [--werror]`);
  }
  if (Boolean(options.includeDir) !== Boolean(options.libraryDir)) {
    fail('--include-dir and --library-dir go together');
  }
  return options;
}

// Every Node installs its headers under its own prefix: Debian's (with libnode-dev), the
// official and the distributors' builds alike.
function nodePrefix() {
  const prefix = path.resolve(path.dirname(process.execPath), '..');
  if (!fs.existsSync(path.join(prefix, 'include', 'node', 'node_api.h'))) {
    fail(`the headers of this Node (${process.execPath}) are not in ${prefix}/include/node; ` +
      'on Debian, apt-get install libnode-dev');
  }
  return prefix;
}

function onPath(command) {
  for (const dir of (process.env.PATH || '').split(path.delimiter)) {
    const candidate = path.join(dir || '.', command);
    try {
      fs.accessSync(candidate, fs.constants.X_OK);
      return candidate;
    } catch {
      // not in this directory
    }
  }
  return undefined;
}

// node-gyp as a command line: npm's own when npm runs this script, else the system's (Debian's
// node-gyp package), else the one npm ships.
function nodeGyp(prefix) {
  const bundled = path.join(prefix, 'lib', 'node_modules', 'npm', 'node_modules', 'node-gyp',
    'bin', 'node-gyp.js');
  const found = [process.env.npm_config_node_gyp, onPath('node-gyp'), bundled]
    .find((candidate) => candidate && fs.existsSync(candidate));
  if (!found) fail('node-gyp not found: on Debian, apt-get install node-gyp');
  return found.endsWith('.js') ? [process.execPath, found] : [found];
}

function pkgConfig(variable) {
  const run = spawnSync('pkg-config', [`--variable=${variable}`, 'plugin_sign_verify'],
    { encoding: 'utf8' });
  const value = run.status === 0 ? run.stdout.trim() : '';
  if (!value) {
    fail('the verification library is not installed where pkg-config looks ' +
      '(plugin_sign_verify.pc): install it (make install, or the Debian packages ' +
      'libplugin-sign-verify1 and libplugin-sign-verify-dev), or set PKG_CONFIG_PATH to its ' +
      'lib/pkgconfig directory');
  }
  // A relocatable .pc file gives paths through its own directory: ${pcfiledir}/../../lib.
  return path.resolve(value);
}

function main() {
  const options = parseArguments(process.argv.slice(2));
  const prefix = nodePrefix();
  const includeDir = options.includeDir || pkgConfig('includedir');
  const libraryDir = options.libraryDir || pkgConfig('libdir');
  const [command, ...start] = nodeGyp(prefix);
  const args = [...start, 'rebuild', `--nodedir=${prefix}`, '--loglevel=warn', '--',
    `-Dplugin_sign_include_dir=${includeDir}`, `-Dplugin_sign_library_dir=${libraryDir}`,
    `-Dwerror=${options.werror ? 1 : 0}`];
  const run = spawnSync(command, args, { stdio: 'inherit', cwd: path.resolve(__dirname, '..') });
  if (run.error) fail(`${command}: ${run.error.message}`);
  process.exit(run.status === null ? 1 : run.status);
}

main();
