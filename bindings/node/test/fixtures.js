// Real packages for the tests, signed by the repository's tools: plugin_sign and plugin_key
// from PLUGIN_SIGN_TOOLS (a build directory) or else from PATH.
'use strict';

const { execFileSync } = require('node:child_process');
const crypto = require('node:crypto');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

// Two fixed signing keys: the first is the repository's demo key.
const KEY_A = 'wlzTOxY1BXW4vjAi0Hw5zkUbTHrq78owtIiI53D+16I=';
const KEY_B = 'AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=';

// (module (func (export "add") (param i32 i32) (result i32) local.get 0 local.get 1 i32.add))
const ADD_WASM = Buffer.from(
  '0061736d0100000001070160027f7f017f030201000707010361646400000a09010700200020016a0b', 'hex');
// The same module computing a - b: one byte of the code changed, i32.add (6a) to i32.sub (6b).
const SUB_WASM = Buffer.from(ADD_WASM.toString('hex').replace(/6a0b$/, '6b0b'), 'hex');

const PLUGIN_TOML = '[package]\nname = "hello"\nversion = "0.1.0"\n';

function tool(name) {
  const dirs = process.env.PLUGIN_SIGN_TOOLS
    ? [process.env.PLUGIN_SIGN_TOOLS]
    : (process.env.PATH || '').split(path.delimiter);
  for (const dir of dirs) {
    const candidate = path.join(dir, name);
    if (fs.existsSync(candidate)) return candidate;
  }
  throw new Error(`${name} not found: the tests sign their packages with it; set ` +
    'PLUGIN_SIGN_TOOLS to a build directory, or install the tools (make install)');
}

function run(name, args, key) {
  return execFileSync(tool(name), args, {
    env: { ...process.env, KAVENTA_PLUGIN_SIGNING_KEY: key },
    encoding: 'utf8',
  }).trim();
}

// The signed ZIP of a plugin directory made of `toml` and `wasm`.
function sign(dir, key, toml, wasm) {
  fs.mkdirSync(dir);
  fs.writeFileSync(path.join(dir, 'plugin.toml'), toml);
  fs.writeFileSync(path.join(dir, 'main.wasm'), wasm);
  const zip = `${dir}.zip`;
  run('plugin_sign', [dir, zip], key);
  return zip;
}

// The entries of a ZIP as its central directory lists them, with the offsets of their local
// headers, data and CRC fields (no ZIP64, no comment: what plugin_sign writes).
function entries(zip) {
  const end = zip.length - 22;
  if (zip.readUInt32LE(end) !== 0x06054b50) throw new Error('no end of central directory');
  const list = [];
  let at = zip.readUInt32LE(end + 16);
  for (let i = zip.readUInt16LE(end + 10); i > 0; --i) {
    const nameLength = zip.readUInt16LE(at + 28);
    const local = zip.readUInt32LE(at + 42);
    const localName = zip.readUInt16LE(local + 26);
    const localExtra = zip.readUInt16LE(local + 28);
    list.push({
      name: zip.toString('utf8', at + 46, at + 46 + nameLength),
      method: zip.readUInt16LE(at + 10),
      centralCrc: at + 16,
      localCrc: local + 14,
      data: local + 30 + localName + localExtra,
      compressedSize: zip.readUInt32LE(at + 20),
    });
    at += 46 + nameLength + zip.readUInt16LE(at + 30) + zip.readUInt16LE(at + 32);
  }
  return list;
}

function entry(zip, name) {
  return entries(zip).find((e) => e.name === name);
}

// `signed` with the module of `other` in place of its own, CRC and all, so that the archive
// is intact and only the signature no longer matches: a module changed after signing.
function withModuleOf(signed, other) {
  const target = entry(signed, 'main.wasm');
  const source = entry(other, 'main.wasm');
  if (target.compressedSize !== source.compressedSize) {
    throw new Error('the two modules compress to different sizes');
  }
  const changed = Buffer.from(signed);
  other.copy(changed, target.data, source.data, source.data + source.compressedSize);
  other.copy(changed, target.localCrc, source.centralCrc, source.centralCrc + 4);
  other.copy(changed, target.centralCrc, source.centralCrc, source.centralCrc + 4);
  return changed;
}

const CRC_TABLE = Array.from({ length: 256 }, (_, n) => {
  let c = n;
  for (let k = 0; k < 8; ++k) c = c & 1 ? 0xedb88320 ^ (c >>> 1) : c >>> 1;
  return c >>> 0;
});

function crc32(bytes) {
  let c = 0xffffffff;
  for (const b of bytes) c = CRC_TABLE[(c ^ b) & 0xff] ^ (c >>> 8);
  return (c ^ 0xffffffff) >>> 0;
}

// The files of a package stored again, uncompressed, as another ZIP tool would write them:
// same names, same bytes, same signature.
function rezipped(files) {
  const locals = [];
  const centrals = [];
  let offset = 0;
  for (const [name, data] of files) {
    const nameBytes = Buffer.from(name);
    const local = Buffer.alloc(30);
    local.writeUInt32LE(0x04034b50, 0);
    local.writeUInt16LE(10, 4);
    local.writeUInt32LE(crc32(data), 14);
    local.writeUInt32LE(data.length, 18);
    local.writeUInt32LE(data.length, 22);
    local.writeUInt16LE(nameBytes.length, 26);
    const central = Buffer.alloc(46);
    central.writeUInt32LE(0x02014b50, 0);
    central.writeUInt16LE(20, 4);
    central.writeUInt16LE(10, 6);
    central.writeUInt32LE(crc32(data), 16);
    central.writeUInt32LE(data.length, 20);
    central.writeUInt32LE(data.length, 24);
    central.writeUInt16LE(nameBytes.length, 28);
    central.writeUInt32LE(offset, 42);
    locals.push(local, nameBytes, data);
    centrals.push(central, nameBytes);
    offset += local.length + nameBytes.length + data.length;
  }
  const directory = Buffer.concat(centrals);
  const end = Buffer.alloc(22);
  end.writeUInt32LE(0x06054b50, 0);
  end.writeUInt16LE(files.length, 8);
  end.writeUInt16LE(files.length, 10);
  end.writeUInt32LE(directory.length, 12);
  end.writeUInt32LE(offset, 16);
  return Buffer.concat([...locals, directory, end]);
}

function sha256(bytes) {
  return crypto.createHash('sha256').update(bytes).digest('hex');
}

// Everything the tests use, made once per test file in a new directory.
function makeFixtures() {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'plugin-sign-verify-'));
  const publicA = run('plugin_key', ['public'], KEY_A);
  const publicB = run('plugin_key', ['public'], KEY_B);
  const good = sign(path.join(dir, 'hello'), KEY_A, PLUGIN_TOML, ADD_WASM);
  const sub = sign(path.join(dir, 'sub'), KEY_A, PLUGIN_TOML, SUB_WASM);
  const goodBytes = fs.readFileSync(good);
  const signature = fs.readFileSync(path.join(dir, 'hello', 'signature.sig'));
  const keyFile = path.join(dir, 'a.pub');
  fs.writeFileSync(keyFile, `# trusted\n${publicA}\n`, { mode: 0o644 });
  return {
    dir,
    publicA,
    publicB,
    keyFile,
    keyIdA: run('plugin_key', ['id', publicA]),
    revokeA: run('plugin_key', ['revoke'], KEY_A),
    good,
    goodBytes,
    changedModule: withModuleOf(goodBytes, fs.readFileSync(sub)),
    rezipped: rezipped([['plugin.toml', Buffer.from(PLUGIN_TOML)], ['main.wasm', ADD_WASM],
      ['signature.sig', signature]]),
    manifest: `{"plugin.toml":"${sha256(PLUGIN_TOML)}","main.wasm":"${sha256(ADD_WASM)}"}`,
    newer: sign(path.join(dir, 'newer'), KEY_A, PLUGIN_TOML.replace('0.1.0', '0.2.0'), ADD_WASM),
  };
}

module.exports = { ADD_WASM, PLUGIN_TOML, makeFixtures, sha256 };
