'use strict';
// The module between real processes on a private bus: a service adapter in a child
// process, host applications played by ostrel-peer, a client adapter in this process.
const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { startBus } = require('./support/privatebus');
const { root } = require('./support/child');
const { peerTool, skipWithoutBus: skip, launch: launchOn, nextLine, until } = require('./support/linechild');

const DETAILS = JSON.stringify({ port: 43123, pid: 1 });
let bus;
let service;

function launch(command, args, options = {}) {
  return launchOn(command, args, { address: bus.address, ...options });
}

function peer(args) {
  return launch(peerTool, args);
}

before(async () => {
  if (skip) return;
  bus = await startBus();
  process.env.OSTREL_BUS_ADDRESS = bus.address;
  service = launch(process.execPath, ['-e', `
    const { OstrelAdapter } = require('./index.js');
    const adapter = new OstrelAdapter('QOVR', '1.0');
    adapter.setServerDetails(true, ${JSON.stringify(DETAILS)});
    console.log('service ready');
    process.stdin.on('end', () => {
      adapter.setServerDetails(false, ${JSON.stringify(DETAILS)});
      adapter.disconnect();
    });
    process.stdin.resume();
  `], { stdin: 'pipe' });
  await nextLine(service, /^service ready$/);
});

after(async () => {
  if (skip) return;
  service.stdin.end();
  const { code } = await service.exited;
  assert.equal(code, 0, `the service exits by itself after disconnect: ${service.stderrText}`);
  await bus.stop();
  fs.rmSync(path.dirname(bus.socketPath), { recursive: true, force: true });
});

test('a host announcement is answered with the stored details', { skip }, async () => {
  const host = peer(['--app', 'RSTN', '--app-version', '1.0', '--send', 'zem.devtools.host.ready',
    '--to', 'QOVR', '--wait', '10', '--listen', '--count', '1', '--timeout', '15']);
  const line = await nextLine(host, /server\.ready/);
  assert.deepEqual(
    (({ type, appId, appVersion, payload }) => ({ type, appId, appVersion, payload }))(JSON.parse(line)),
    { type: 'ostrel.SuiteMessage.zem.devtools.server.ready', appId: 'QOVR', appVersion: '1.0', payload: DETAILS });
  assert.equal((await host.exited).code, 0, host.stderrText);
});

test('a client adapter gets the service details through its callback', { skip }, async () => {
  const { OstrelAdapter } = require(path.join(root, 'index.js'));
  const client = new OstrelAdapter('CLIX', '1.0');
  const answer = await new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error('no answer from the service')), 15000);
    client.getServicePort((...args) => {
      clearTimeout(timer);
      resolve(args);
    });
  });
  client.disconnect();
  assert.deepEqual(answer, ['ostrel.SuiteMessage.zem.devtools.server.info', DETAILS, 'QOVR', '1.0']);
});

test('getAppsList follows host applications joining and leaving', { skip }, async () => {
  const { OstrelAdapter } = require(path.join(root, 'index.js'));
  const watcher = new OstrelAdapter('WTCH', '1.0');
  const host = peer(['--app', 'RSTN', '--app-version', '1.0', '--self', '--listen', '--timeout', '30']);
  await nextLine(host, /"self"/);
  assert.ok(await until(() => watcher.getAppsList().includes('RS,1.0,Quorlen Rasterine')),
    `listed while it runs: ${watcher.getAppsList()}`);
  assert.ok(!watcher.getAppsList().some((entry) => entry.startsWith('QOVR')), 'the service is not a host');

  host.kill('SIGTERM');
  await host.exited;
  assert.ok(await until(() => !watcher.getAppsList().includes('RS,1.0,Quorlen Rasterine')),
    'dropped once it left');

  // A new host of the same application is answered after the old one left.
  const second = peer(['--app', 'RSTN', '--app-version', '1.1', '--send', 'zem.devtools.host.ready',
    '--to', 'QOVR', '--wait', '10', '--listen', '--count', '1', '--timeout', '15']);
  const line = JSON.parse(await nextLine(second, /server\.ready/));
  assert.equal(line.payload, DETAILS);
  await second.exited;
  watcher.disconnect();
});

test('a host that leaves is dropped from the service cache after the refresh', { skip }, async () => {
  // A service whose default destination is RSTN: its announcements go to the cached RSTN
  // endpoints, or to everybody when none is cached, so a watcher on the bus sees which.
  const announcer = launch(process.execPath, ['-e', `
    const { OstrelAdapter } = require('./index.js');
    const adapter = new OstrelAdapter('SVC2', '1.0', 'RSTN');
    adapter.setServerDetails(true, 'start');
    require('node:readline').createInterface({ input: process.stdin }).on('line', (text) => {
      adapter.setServerDetails(true, text);
      console.log('sent ' + text);
    }).on('close', () => adapter.disconnect());
    console.log('service ready');
  `], { stdin: 'pipe' });
  await nextLine(announcer, /^service ready$/);
  const watcher = peer(['--app', 'WTCH', '--app-version', '1.0', '--self', '--listen', '--timeout', '30']);
  await nextLine(watcher, /"self"/);
  const host = peer(['--app', 'RSTN', '--app-version', '1.0', '--send', 'zem.devtools.host.ready',
    '--to', 'SVC2', '--wait', '10', '--listen', '--timeout', '30']);
  // The answer to the announcement means the service has the host in its cache.
  await nextLine(host, /server\.ready.*"payload":"start"/);

  announcer.stdin.write('to-the-host\n');
  await nextLine(host, /"payload":"to-the-host"/);
  await new Promise((resolve) => setTimeout(resolve, 500));
  assert.ok(!watcher.lines.some((l) => l.includes('to-the-host')), 'addressed to the cached host only');

  host.kill('SIGTERM');
  await host.exited;
  // Once the service's cache has been rebuilt without the host, announcements are broadcast.
  let attempt = 0;
  const reached = await until(() => {
    if (watcher.lines.some((l) => l.includes('"payload":"after-'))) return true;
    announcer.stdin.write(`after-${attempt++}\n`);
    return false;
  }, 10000, 100);
  assert.ok(reached, `the watcher gets a broadcast once the host is gone: ${watcher.lines.join('\n')}`);

  announcer.stdin.end();
  assert.equal((await announcer.exited).code, 0, announcer.stderrText);
  watcher.kill('SIGTERM');
  await watcher.exited;
});

test('no callback after disconnect, with two services answering', { skip }, async () => {
  const second = launch(process.execPath, ['-e', `
    const { OstrelAdapter } = require('./index.js');
    const adapter = new OstrelAdapter('QOVR', '1.0');
    adapter.setServerDetails(true, 'second');
    console.log('service ready');
    process.stdin.on('end', () => adapter.disconnect());
    process.stdin.resume();
  `], { stdin: 'pipe' });
  await nextLine(second, /^service ready$/);
  const client = launch(process.execPath, ['-e', `
    const { OstrelAdapter } = require('./index.js');
    const client = new OstrelAdapter('CLIX', '1.0');
    let calls = 0;
    client.getServicePort(() => { calls++; client.disconnect(); });
    setTimeout(() => console.log('calls ' + calls), 1500);
  `], { timeoutMs: 15000 });
  const line = await nextLine(client, /^calls /);
  assert.equal(line, 'calls 1', client.stderrText);
  assert.equal((await client.exited).code, 0, client.stderrText);
  second.stdin.end();
  assert.equal((await second.exited).code, 0, second.stderrText);
});

test('server details at the bus message limit are sent, one byte more is refused', { skip }, async () => {
  // The longest type the details travel with, and the service's application id and version.
  const fixed = 'ostrel.SuiteMessage.zem.devtools.server.terminated'.length + 'BIGD'.length + '1.0'.length;
  const service = launch(process.execPath, ['-e', `
    const { OstrelAdapter } = require('./index.js');
    const adapter = new OstrelAdapter('BIGD', '1.0');
    const limit = OstrelAdapter.MAX_MESSAGE_BYTES - ${fixed};
    adapter.setServerDetails(true, 'a'.repeat(limit));
    try {
      adapter.setServerDetails(true, 'b'.repeat(limit + 1));
      console.log('accepted');
    } catch (error) {
      console.log(error.constructor.name + ': ' + error.message);
    }
    console.log('service ready');
    process.stdin.on('end', () => adapter.disconnect());
    process.stdin.resume();
  `], { stdin: 'pipe' });
  try {
    await nextLine(service, /^service ready$/);
    const limit = 1000000 - fixed;
    assert.deepEqual(service.lines.slice(0, 1), [`RangeError: Expected payload to be at most ${limit} bytes: ` +
      'a bus message carries at most 1000000 bytes of type, application id, application version and payload']);
    // The details at the limit stay, and reach a host that announces itself.
    const host = peer(['--app', 'RSTN', '--app-version', '1.0', '--send', 'zem.devtools.host.ready',
      '--to', 'BIGD', '--wait', '10', '--listen', '--count', '1', '--timeout', '15']);
    const answer = JSON.parse(await nextLine(host, /server\.ready/));
    assert.equal(answer.payload, 'a'.repeat(limit));
    assert.equal((await host.exited).code, 0, host.stderrText);
  } finally {
    service.stdin.end();
    await service.exited;
  }
});
