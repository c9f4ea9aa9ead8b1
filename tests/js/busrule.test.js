'use strict';
// The bus rule, once in script (lib/busrule.js) and once in the D-Bus library (asked
// through `ostrel-peer --which-bus`): in every environment of the table both pick the
// same address for the same reason. The buses are real dbus-daemons in temporary
// folders; XDG_RUNTIME_DIR and TMPDIR always point into those folders.
const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const net = require('node:net');
const path = require('node:path');
const { spawnSync } = require('node:child_process');
const { startBus, tempDir } = require('./support/privatebus');
const { buildDir, dbusSkipReason } = require('./support/cli-harness');
const { chooseBus } = require('../../lib/busrule');

const skip = dbusSkipReason() ?? false;
const peer = path.join(buildDir, 'ostrel-peer');

// Only what the row names: no variable of the machine's own session leaks in.
function rowEnv(extra) {
  const env = { PATH: process.env.PATH, LD_PRELOAD: process.env.LD_PRELOAD ?? '' };
  for (const name of ['ASAN_OPTIONS', 'UBSAN_OPTIONS', 'LSAN_OPTIONS']) {
    if (process.env[name] !== undefined) env[name] = process.env[name];
  }
  return { ...env, ...extra };
}

function libraryChoice(env) {
  const result = spawnSync(peer, ['--which-bus'], { env, encoding: 'utf8', timeout: 20000 });
  assert.equal(result.status, 0, result.stderr);
  return JSON.parse(result.stdout);
}

let dir;
let runtime; // XDG_RUNTIME_DIR whose "bus" is a live session bus
let live;
let silent; // accepts connections and never answers
let silentServer;

before(async () => {
  if (skip) return;
  dir = tempDir('corvelle-busrule-');
  runtime = path.join(dir, 'run');
  fs.mkdirSync(runtime, { mode: 0o700 });
  live = await startBus(runtime);
  silent = path.join(dir, 'silent');
  silentServer = net.createServer(() => {});
  await new Promise((resolve) => silentServer.listen(silent, resolve));
});

after(async () => {
  silentServer?.close();
  await live?.stop();
  if (dir) fs.rmSync(dir, { recursive: true, force: true });
});

test('script and library pick the same bus in every environment', { skip }, async () => {
  const uid = process.getuid();
  const empty = path.join(dir, 'empty');
  fs.mkdirSync(empty, { recursive: true });
  const missing = `unix:path=${path.join(dir, 'no-bus-here')}`;
  const odd = path.join(dir, 'tmp with space, comma;');
  const rows = [
    { name: 'nothing set', env: { TMPDIR: dir },
      address: `unix:path=${dir}/corvelle-${uid}/bus`, source: 'private bus' },
    { name: 'TMPDIR with trailing slashes', env: { TMPDIR: `${dir}///` },
      address: `unix:path=${dir}/corvelle-${uid}/bus`, source: 'private bus' },
    { name: 'TMPDIR that needs escapes', env: { TMPDIR: odd },
      address: `unix:path=${dir}/tmp%20with%20space%2c%20comma%3b/corvelle-${uid}/bus`,
      source: 'private bus' },
    { name: 'XDG_RUNTIME_DIR without a session bus', env: { XDG_RUNTIME_DIR: empty, TMPDIR: dir },
      address: `unix:path=${empty}/corvelle/bus`, source: 'private bus' },
    { name: 'XDG_RUNTIME_DIR with a session bus', env: { XDG_RUNTIME_DIR: runtime },
      address: `unix:path=${runtime}/bus`, source: 'session bus' },
    { name: 'DBUS_SESSION_BUS_ADDRESS that answers', env: { DBUS_SESSION_BUS_ADDRESS: live.address },
      address: live.address, source: 'session bus' },
    { name: 'DBUS_SESSION_BUS_ADDRESS, second transport answers',
      env: { DBUS_SESSION_BUS_ADDRESS: `${missing};unix:path=${live.socketPath}` },
      address: `${missing};unix:path=${live.socketPath}`, source: 'session bus' },
    { name: 'DBUS_SESSION_BUS_ADDRESS gone: not the socket in XDG_RUNTIME_DIR either',
      env: { DBUS_SESSION_BUS_ADDRESS: missing, XDG_RUNTIME_DIR: runtime },
      address: `unix:path=${runtime}/corvelle/bus`, source: 'private bus' },
    { name: 'a session socket that accepts and stays silent',
      env: { DBUS_SESSION_BUS_ADDRESS: `unix:path=${silent}`, TMPDIR: dir },
      address: `unix:path=${dir}/corvelle-${uid}/bus`, source: 'private bus' },
    { name: 'a session address that is not one', env: { DBUS_SESSION_BUS_ADDRESS: 'garbage', TMPDIR: dir },
      address: `unix:path=${dir}/corvelle-${uid}/bus`, source: 'private bus' },
    { name: 'a session transport that cannot be tried',
      env: { DBUS_SESSION_BUS_ADDRESS: 'unixexec:path=/bin/true' },
      address: 'unixexec:path=/bin/true', source: 'session bus' },
    { name: 'OSTREL_BUS_ADDRESS before a live session bus',
      env: { OSTREL_BUS_ADDRESS: missing, DBUS_SESSION_BUS_ADDRESS: live.address },
      address: missing, source: 'OSTREL_BUS_ADDRESS' },
    { name: 'an empty OSTREL_BUS_ADDRESS counts as unset',
      env: { OSTREL_BUS_ADDRESS: '', XDG_RUNTIME_DIR: runtime },
      address: `unix:path=${runtime}/bus`, source: 'session bus' },
  ];
  for (const row of rows) {
    const env = rowEnv(row.env);
    const script = await chooseBus({}, env);
    const library = libraryChoice(env);
    assert.deepEqual({ address: script.address, source: script.source },
      { address: row.address, source: row.source }, `script, ${row.name}`);
    assert.deepEqual(library, { address: script.address, source: script.source, reason: script.reason },
      `library, ${row.name}`);
  }
});

test('an address given by the caller comes before everything', { skip }, async () => {
  const choice = await chooseBus({ address: 'unix:path=/given', optionName: '--bus' },
    rowEnv({ OSTREL_BUS_ADDRESS: live.address }));
  assert.deepEqual(choice, { address: 'unix:path=/given', source: 'option', reason: 'given with --bus' });
});
