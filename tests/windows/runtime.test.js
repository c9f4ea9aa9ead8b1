'use strict';
// The module in a Windows Node.js, run by scripts/windows-runtime.sh under a copy of
// node.exe with another name, in a folder without node.exe: the production module
// (corvelle.node, real pauses) against the stand-in OstrelMessage5.dll, which the control
// addon scripts; the diagnostic lines' ends, however the process was started; and the
// same module linked without the delay-load hook, which such a host cannot run.
const test = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');

const buildDir = process.env.CORVELLE_BUILD_DIR;
const modulePath = path.join(buildDir, 'corvelle.node');
const controlPath = path.join(buildDir, 'ostrel-inproc-control.node');
const SELF = { id: ':1.1', appId: 'QOVR', appVersion: '2.0' };
const PEER = { id: ':2.7', appId: 'RSTN', appVersion: '26.1' };
const SERVER_INFO = 'ostrel.SuiteMessage.zem.devtools.server.info';
// What the delay-load helper raises when it cannot load a library.
const DELAY_LOAD_MODULE_NOT_FOUND = 0xc06d007e;

test('the host is a Windows Node under another name, with no node.exe beside it', () => {
  assert.equal(process.platform, 'win32');
  assert.notEqual(path.basename(process.execPath).toLowerCase(), 'node.exe');
  assert.ok(!fs.existsSync(path.join(path.dirname(process.execPath), 'node.exe')));
  assert.ok(!fs.existsSync(path.join(buildDir, 'node.exe')));
});

test('the production module: construct with pauses, the four methods, a delivered server-info', async () => {
  const control = require(controlPath);
  const { OstrelAdapter } = require(modulePath);
  // Two "not ready" answers: two real pauses of 50 ms before the adapter is on the bus.
  control.reset({ self: SELF, endPoints: [PEER], isReady: [false, false, true] });
  const started = process.hrtime.bigint();
  const adapter = new OstrelAdapter('QOVR', '2.0');
  const elapsedMs = Number(process.hrtime.bigint() - started) / 1e6;
  assert.ok(elapsedMs >= 90, `two pauses of 50 ms took ${elapsedMs} ms`);
  assert.ok(control.waitIdle(5000));

  assert.deepEqual(adapter.getAppsList(), ['RS,26.1,Quorlen Rasterine']);
  adapter.setServerDetails(true, '{"port":4242}');
  const received = new Promise((resolve) => adapter.getServicePort((...args) => resolve(args)));
  assert.ok(control.deliver({ type: SERVER_INFO, appId: 'QOVX', appVersion: '4.1', source: PEER,
    payload: '{"port":9}' }));
  assert.deepEqual(await received, [SERVER_INFO, '{"port":9}', 'QOVX', '4.1']);

  adapter.disconnect();
  assert.ok(control.waitIdle(5000));
  assert.equal(control.listenerCount(), 0);
});

function checkLines(output, how) {
  assert.doesNotMatch(output, /\r/, `${how}: no carriage return in ${JSON.stringify(output)}`);
  const lines = output.split('\n');
  assert.deepEqual(lines.map((l) => l.replace(/ \([^()]*\)$/, '')), [
    'Info:ostreladapter: WARNING Not on the bus: the messaging library refused the ' +
      'configuration (SetConfig answered 7); this adapter sends and receives nothing',
    'Info:ostreladapter: WARNING Likely fatal exception in construction ',
    '-- done',
    '',
  ], how);
}

// The output of tests/windows/lines.js. Started from Node, the child's standard handles
// come from libuv, which marks them binary for the C runtime; started directly (the
// script has cmd /c start it with its output sent to a file, CORVELLE_DIRECT_LINES), the
// C runtime opens standard output in text mode.
test('diagnostic lines end in a line feed, started from Node and started directly', () => {
  const fromNode = spawnSync(process.execPath, [path.join(__dirname, 'lines.js')],
    { encoding: 'latin1', timeout: 60000 });
  assert.equal(fromNode.status, 0, fromNode.stderr);
  checkLines(fromNode.stdout, 'started from Node');

  const direct = process.env.CORVELLE_DIRECT_LINES;
  assert.ok(direct && fs.existsSync(direct), `the output of the direct start: ${direct}`);
  checkLines(fs.readFileSync(direct, 'latin1'), 'started directly by cmd /c');
});

test('without the hook the module cannot bind Node under a host not named node.exe', () => {
  const load = (file) => spawnSync(process.execPath,
    ['-e', `require(${JSON.stringify(path.join(buildDir, file))}); console.log('loaded')`],
    { encoding: 'utf8', timeout: 60000 });
  const hooked = load('corvelle.node');
  assert.equal(hooked.status, 0, hooked.stderr);
  assert.equal(hooked.stdout, 'loaded\n');
  const unhooked = load('corvelle-nohook.node');
  assert.equal(unhooked.status, DELAY_LOAD_MODULE_NOT_FOUND,
    `exit code 0x${(unhooked.status >>> 0).toString(16)}; ${unhooked.stderr}`);
  assert.equal(unhooked.stdout, '');
});
