// The package as an ES module: the same functions and classes as through require, and a
// package verified through them.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import { createRequire } from 'node:module';
import { after, test } from 'node:test';
import api, { verify, verifyBytes, Keys, Revocations, libraryVersion } from 'plugin-sign-verify';

const require = createRequire(import.meta.url);
const { makeFixtures } = require('./fixtures.js');
const f = makeFixtures();
after(() => fs.rmSync(f.dir, { recursive: true, force: true }));

test('import gives what require gives', () => {
  const cjs = require('plugin-sign-verify');
  assert.equal(verify, cjs.verify);
  assert.equal(verifyBytes, cjs.verifyBytes);
  assert.equal(Keys, cjs.Keys);
  assert.equal(Revocations, cjs.Revocations);
  assert.equal(libraryVersion, cjs.libraryVersion);
  assert.equal(api, cjs);
});

test('a package verifies through the ES module', async () => {
  const pkg = await verify(f.good, { keys: Keys.fromFile(f.keyFile), name: 'hello' });
  const { instance } = await WebAssembly.instantiate(pkg.mainWasm);
  assert.equal(`${pkg.name} ${pkg.version} ${instance.exports.add(2, 3)}`, 'hello 0.1.0 5');
  await assert.rejects(verifyBytes(f.changedModule, { keys: Keys.fromText(f.publicA) }),
    { code: 'BAD_SIGNATURE' });
});
