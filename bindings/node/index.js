// plugin-sign-verify: verifies a signed plugin package with the verification library and hands
// back the verified bytes, so that a host loads exactly what was checked.
'use strict';

const addon = require('./build/Release/plugin_sign_verify.node');

// Async functions, so that a refused argument rejects the promise as a refused package does.
async function verify(path, options) {
  return addon.verify(path, options);
}

async function verifyBytes(bytes, options) {
  return addon.verifyBytes(bytes, options);
}

module.exports = {
  verify,
  verifyBytes,
  Keys: addon.Keys,
  Revocations: addon.Revocations,
  libraryVersion: addon.libraryVersion,
};
