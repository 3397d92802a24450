// A verified package and its bytes, from a file and from memory, and what the bytes stay.
'use strict';

const assert = require('node:assert/strict');
const { execFileSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const { after, test } = require('node:test');
const { Worker } = require('node:worker_threads');
const { verify, verifyBytes, Keys, Revocations, libraryVersion } = require('plugin-sign-verify');
const { ADD_WASM, PLUGIN_TOML, makeFixtures, sha256 } = require('./fixtures.js');

const f = makeFixtures();
after(() => fs.rmSync(f.dir, { recursive: true, force: true }));

function assertVerifiedHello(pkg) {
  assert.equal(pkg.name, 'hello');
  assert.equal(pkg.version, '0.1.0');
  assert.equal(pkg.keyId, f.keyIdA);
  assert.deepEqual(Buffer.from(pkg.publicKey), Buffer.from(f.publicA, 'base64'));
  assert.ok(pkg.pluginToml instanceof Uint8Array && pkg.mainWasm instanceof Uint8Array);
  assert.deepEqual(Buffer.from(pkg.pluginToml), Buffer.from(PLUGIN_TOML));
  assert.deepEqual(Buffer.from(pkg.mainWasm), ADD_WASM);
  assert.equal(pkg.pluginTomlSha256, sha256(PLUGIN_TOML));
  assert.equal(pkg.mainWasmSha256, sha256(ADD_WASM));
  assert.equal(pkg.manifestSha256, sha256(f.manifest));
}

test('verify reads a package file and gives its facts and verified bytes', async () => {
  const pkg = await verify(f.good, { keys: Keys.fromFile(f.keyFile), name: 'hello' });
  assertVerifiedHello(pkg);
  const { instance } = await WebAssembly.instantiate(pkg.mainWasm);
  assert.equal(instance.exports.add(2, 3), 5);
});

test('verifyBytes takes every kind of byte view, at its offset', async () => {
  const keys = Keys.fromText(f.publicA);
  const padded = Buffer.concat([Buffer.from('junk'), f.goodBytes, Buffer.from('more junk')]);
  const view = padded.subarray(4, 4 + f.goodBytes.length);
  const copy = new Uint8Array(f.goodBytes);
  assert.equal(copy.length % 2, 0, 'a package of an even size, for the 16-bit view');
  const inputs = [
    new Uint16Array(copy.buffer),
    f.goodBytes,
    view,
    new Uint8Array(view.buffer, view.byteOffset, view.length),
    new DataView(view.buffer, view.byteOffset, view.length),
    copy.buffer,
  ];
  for (const input of inputs) assertVerifiedHello(await verifyBytes(input, { keys }));
});

test('verifyBytes verifies the bytes as they were when it was called', async () => {
  const bytes = Buffer.from(f.goodBytes);
  const pending = verifyBytes(bytes, { keys: Keys.fromText(f.publicA) });
  bytes.fill(0);
  assertVerifiedHello(await pending);
});

test('the verified bytes stay as verified when the file changes afterwards', async () => {
  const file = path.join(f.dir, 'replaced.zip');
  fs.writeFileSync(file, f.goodBytes);
  const keys = Keys.fromText(f.publicA);
  const pkg = await verify(file, { keys });
  fs.writeFileSync(file, f.changedModule);
  fs.truncateSync(file, 10);
  assert.deepEqual(Buffer.from(pkg.mainWasm), ADD_WASM);
  await assert.rejects(verify(file, { keys }), { code: 'MALFORMED' });
  assert.deepEqual(Buffer.from(pkg.mainWasm), ADD_WASM);
  // Each result owns its bytes: changing one changes no other.
  const again = await verify(f.good, { keys });
  pkg.mainWasm.fill(0);
  assert.deepEqual(Buffer.from(again.mainWasm), ADD_WASM);
});

test('many verifications at once share one key set, which may be collected meanwhile', async () => {
  const v8 = require('node:v8');
  const vm = require('node:vm');
  v8.setFlagsFromString('--expose-gc');
  const gc = vm.runInNewContext('gc');
  let keys = Keys.fromText(f.publicA);
  let revocations = Revocations.fromText(`key-id ${'0'.repeat(16)}\n`);
  const calls = [];
  for (let i = 0; i < 64; ++i) {
    const options = { keys, revocations, name: 'hello' };
    if (i % 3 === 0) calls.push(verify(f.good, options));
    else if (i % 3 === 1) calls.push(verifyBytes(f.goodBytes, options));
    else calls.push(verifyBytes(f.changedModule, options));
  }
  keys = null;
  revocations = null;
  gc();
  const outcomes = await Promise.allSettled(calls);
  outcomes.forEach((outcome, i) => {
    if (i % 3 === 2) {
      assert.equal(outcome.status, 'rejected');
      assert.equal(outcome.reason.code, 'BAD_SIGNATURE');
    } else {
      assert.equal(outcome.status, 'fulfilled', outcome.reason && outcome.reason.message);
      assertVerifiedHello(outcome.value);
    }
  });
});

test('a revocation of something else leaves the package verified', async () => {
  const revocations = Revocations.fromText(`# others\npackage ${'ab'.repeat(32)}\n`);
  assertVerifiedHello(await verify(f.good, { keys: Keys.fromText(f.publicA), revocations }));
});

test('limits at or above the sizes leave the package verified', async () => {
  const keys = Keys.fromText(f.publicA);
  const exact = { pluginToml: PLUGIN_TOML.length, mainWasm: BigInt(ADD_WASM.length) };
  assertVerifiedHello(await verify(f.good, { keys, limits: exact }));
  assertVerifiedHello(await verify(f.good, { keys, limits: { pluginToml: 0, mainWasm: 0 } }));
});

test('Keys counts what its text holds', () => {
  assert.equal(Keys.fromText(`# two keys\n${f.publicA}\n\n${f.publicB} names=hello\n`).count, 2);
  assert.equal(Keys.fromFile(f.keyFile).count, 1);
});

test('the library version is the one the package was made for', () => {
  assert.match(libraryVersion, /^1\.\d+\.\d+$/);
});

test('the addon loads and verifies in a worker thread too', async () => {
  const source = `
    const { parentPort, workerData } = require('node:worker_threads');
    const { verify, Keys } = require(workerData.module);
    verify(workerData.file, { keys: Keys.fromText(workerData.key) })
      .then((pkg) => parentPort.postMessage(pkg.name + ' ' + pkg.mainWasm.length));`;
  const worker = new Worker(source, {
    eval: true,
    workerData: { module: require.resolve('plugin-sign-verify'), file: f.good, key: f.publicA },
  });
  const [message] = await require('node:events').once(worker, 'message');
  assert.equal(message, `hello ${ADD_WASM.length}`);
  await worker.terminate();
});

test('the host example runs exactly the verified module', () => {
  const host = path.join(__dirname, '..', 'examples', 'host.js');
  const out = execFileSync(process.execPath, [host, f.keyFile, f.good, 'hello'], { encoding: 'utf8' });
  assert.equal(out, `hello 0.1.0 verified, key ${f.keyIdA}; add(2, 3) = 5\n`);
  const changed = path.join(f.dir, 'changed.zip');
  fs.writeFileSync(changed, f.changedModule);
  assert.throws(() => execFileSync(process.execPath, [host, f.keyFile, changed, 'hello'],
    { stdio: 'pipe' }), (error) => error.status === 1 &&
    error.stderr.toString() === 'host.js: BAD_SIGNATURE: signature does not match any trusted key\n');
});
