#!/usr/bin/env node
// A plugin host: verifies a package, then instantiates exactly the module that was verified,
// never the file again.
// Usage: node host.js KEY_FILE PACKAGE NAME
//   e.g. node host.js signing-key.pub hello-v0.1.0.zip hello
'use strict';

const { verify, Keys } = require('plugin-sign-verify');

async function main(args) {
  if (args.length !== 3) {
    console.error('usage: host.js KEY_FILE PACKAGE NAME');
    return 64;
  }
  const [keyFile, packageFile, name] = args;
  const keys = Keys.fromFile(keyFile);
  const pkg = await verify(packageFile, { keys, name });
  const { instance } = await WebAssembly.instantiate(pkg.mainWasm);
  console.log(`${pkg.name} ${pkg.version} verified, key ${pkg.keyId}; ` +
    `add(2, 3) = ${instance.exports.add(2, 3)}`);
  return 0;
}

main(process.argv.slice(2)).then((status) => {
  process.exitCode = status;
}, (error) => {
  console.error(`host.js: ${error.code || error.name}: ${error.message}`);
  process.exitCode = 1;
});
