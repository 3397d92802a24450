// Each refusal with its code and the library's reason: real packages that fail each check,
// trust files that are refused, garbage, and arguments the binding refuses itself.
'use strict';

const assert = require('node:assert/strict');
const crypto = require('node:crypto');
const fs = require('node:fs');
const path = require('node:path');
const { after, test } = require('node:test');
const { verify, verifyBytes, Keys, Revocations } = require('plugin-sign-verify');
const { makeFixtures } = require('./fixtures.js');

const f = makeFixtures();
after(() => fs.rmSync(f.dir, { recursive: true, force: true }));

// Checks a rejection: an Error (not a subclass a host would have to know) with the code, and
// the library's message.
function refusal(code, message) {
  return (error) => {
    assert.ok(error instanceof Error);
    assert.equal(error.code, code);
    if (message instanceof RegExp) assert.match(error.message, message);
    else assert.equal(error.message, message);
    return true;
  };
}

test('each failed check of a real package has its own code', async () => {
  const keysA = Keys.fromText(f.publicA);
  const flipped = Buffer.from(f.goodBytes);
  flipped[Math.floor(flipped.length / 2)] ^= 0xff;
  const cases = [
    ['another key', f.goodBytes, { keys: Keys.fromText(f.publicB) },
      'BAD_SIGNATURE', 'signature does not match any trusted key'],
    ['a module changed after signing', f.changedModule, { keys: keysA },
      'BAD_SIGNATURE', 'signature does not match any trusted key'],
    ['a re-zipped archive', f.rezipped, { keys: keysA },
      'MALFORMED', /^plugin\.toml: .*was it re-zipped or edited\?\)$/],
    ['a byte of the archive changed', flipped, { keys: keysA }, 'MALFORMED', /./],
    ['a revoked key', f.goodBytes, { keys: keysA, revocations: Revocations.fromText(f.revokeA) },
      'REVOKED', `key ${f.keyIdA} is revoked`],
    ['a revoked package', f.goodBytes,
      { keys: keysA, revocations: Revocations.fromText(`package ${crypto.createHash('sha256').update(f.manifest).digest('hex')}\n`) },
      'REVOKED', /revoked/],
    ['another name than asked for', f.goodBytes, { keys: keysA, name: 'other' },
      'NAME_MISMATCH', 'package name hello, expected other'],
    ['a key not trusted for the name', f.goodBytes, { keys: Keys.fromText(`${f.publicA} names=other`) },
      'NAME_NOT_ALLOWED', `key ${f.keyIdA} verifies the signature but is not trusted for package name hello`],
    ['a module over the limit', f.goodBytes, { keys: keysA, limits: { mainWasm: 8 } },
      'TOO_LARGE', /main\.wasm/],
    ['a plugin.toml over the limit', f.goodBytes, { keys: keysA, limits: { pluginToml: 8n } },
      'TOO_LARGE', /plugin\.toml/],
  ];
  for (const [what, bytes, options, code, message] of cases) {
    await assert.rejects(verifyBytes(bytes, options), refusal(code, message), what);
    const file = path.join(f.dir, 'case.zip');
    fs.writeFileSync(file, bytes);
    await assert.rejects(verify(file, options), refusal(code, message), `${what}, from a file`);
  }
});

test('with a record, an older release than one accepted before is a ROLLBACK', async () => {
  const keys = Keys.fromText(f.publicA);
  const record = path.join(f.dir, 'versions.record');
  const newer = await verify(f.newer, { keys, record });
  assert.equal(newer.version, '0.2.0');
  await assert.rejects(verifyBytes(f.goodBytes, { keys, record }), (error) => {
    refusal('ROLLBACK', 'hello 0.1.0 is older than 0.2.0, accepted before')(error);
    assert.equal(error.packageVersion, '0.1.0');
    assert.equal(error.keyId, f.keyIdA);
    return true;
  });
  // Without the record, the same package verifies: the refusal is the record's alone.
  assert.equal((await verifyBytes(f.goodBytes, { keys })).version, '0.1.0');
});

test('a file that cannot be read is UNREADABLE', async () => {
  const keys = Keys.fromText(f.publicA);
  await assert.rejects(verify(path.join(f.dir, 'missing.zip'), { keys }),
    refusal('UNREADABLE', 'failed to read: No such file or directory (os error 2)'));
  await assert.rejects(verify(f.dir, { keys }), refusal('UNREADABLE', /./));
});

test('refused trust files throw with the library\'s code and reason', () => {
  assert.throws(() => Keys.fromText(''), refusal('INVALID_KEY', 'no public key in the file'));
  assert.throws(() => Keys.fromText('not a key\n'), refusal('INVALID_KEY', /./));
  assert.throws(() => Revocations.fromText('withdraw everything\n'), refusal('INVALID_KEY', /line 1/));
  assert.throws(() => Keys.fromFile(path.join(f.dir, 'none.pub')), refusal('UNREADABLE', /none\.pub/));
  assert.throws(() => Revocations.fromFile(path.join(f.dir, 'none.revoke')), refusal('UNREADABLE', /none\.revoke/));
  const open = path.join(f.dir, 'open.pub');
  fs.writeFileSync(open, `${f.publicA}\n`);
  fs.chmodSync(open, 0o666);
  assert.throws(() => Keys.fromFile(open), refusal('UNREADABLE', /chmod o-w/));
});

test('garbage is refused, never taken for a package', async () => {
  const keys = Keys.fromText(f.publicA);
  const random = crypto.randomBytes(4096);
  const inputs = [
    Buffer.alloc(0),
    random,
    Buffer.concat([Buffer.from('PK\x03\x04'), random]),
    Buffer.concat([random, f.goodBytes.subarray(-22)]),
    f.goodBytes.subarray(0, f.goodBytes.length - 1),
    Buffer.concat([f.goodBytes, Buffer.from([0])]),
  ];
  for (const input of inputs) {
    await assert.rejects(verifyBytes(input, { keys }), refusal('MALFORMED', /./));
  }
  const file = path.join(f.dir, 'garbage.zip');
  fs.writeFileSync(file, random);
  await assert.rejects(verify(file, { keys }), refusal('MALFORMED', /./));
});

test('arguments the binding cannot take are TypeErrors with code INVALID_ARGUMENT', async () => {
  const keys = Keys.fromText(f.publicA);
  const revocations = Revocations.fromText(f.revokeA);
  const invalid = (pattern) => ({ name: 'TypeError', code: 'INVALID_ARGUMENT', message: pattern });
  const cases = [
    [() => verify(f.good), /^options must be an object$/],
    [() => verify(f.good, {}), /^options\.keys is required/],
    [() => verify(f.good, { keys: revocations }), /^options\.keys must be a Keys object/],
    [() => verify(f.good, { keys: { count: 1 } }), /^options\.keys must be a Keys object/],
    [() => verify(f.good, { keys, revocations: keys }), /^options\.revocations must be a Revocations/],
    // A misspelt option would otherwise leave its check out.
    [() => verify(f.good, { keys, nmae: 'hello' }), /^unknown option nmae/],
    [() => verify(f.good, { keys, limits: { wasm: 1 } }), /^unknown option limits\.wasm/],
    [() => verify(f.good, { keys, name: '' }), /^options\.name must not be empty$/],
    [() => verify(f.good, { keys, name: 7 }), /^options\.name must be a string$/],
    [() => verify(f.good, { keys, limits: { mainWasm: -1 } }), /non-negative integer/],
    [() => verify(f.good, { keys, limits: { mainWasm: 1.5 } }), /non-negative integer/],
    [() => verify(f.good, { keys, limits: { mainWasm: '9' } }), /non-negative integer/],
    [() => verify(f.good, { keys, limits: { mainWasm: -1n } }), /must not be negative/],
    [() => verify(f.good, { keys, limits: { mainWasm: 2n ** 64n } }), /fit in 64 bits/],
    [() => verify(42, { keys }), /^path must be a string$/],
    [() => verify('', { keys }), /^path must not be empty$/],
    // The C library ends a name at NUL: this one would name the good package.
    [() => verify(`${f.good}\0.txt`, { keys }), /^path must not contain NUL/],
    [() => verify(f.good, { keys, record: `${f.dir}/r\0x` }), /^options\.record must not contain NUL/],
    [() => verifyBytes('PK', { keys }), /^bytes must be a Buffer/],
  ];
  for (const [call, message] of cases) await assert.rejects(call(), invalid(message));
  assert.throws(() => new Keys(), invalid(/^use Keys\.fromFile or Keys\.fromText$/));
  assert.throws(() => new Revocations(), invalid(/^use Revocations\.fromFile/));
  assert.throws(() => Keys.fromFile(`${f.keyFile}\0`), invalid(/^path must not contain NUL/));
  assert.throws(() => Keys.fromText(Buffer.from(f.publicA)), invalid(/^text must be a string$/));
  // Absent and undefined options are the same; the defaults verify.
  await verify(f.good, { keys, name: undefined, revocations: undefined, limits: undefined });
});

test('a name holding NUL is compared whole, not up to the NUL', async () => {
  await assert.rejects(verify(f.good, { keys: Keys.fromText(f.publicA), name: 'hello\0evil' }),
    refusal('NAME_MISMATCH', 'package name hello, expected hello\\x00evil'));
});
