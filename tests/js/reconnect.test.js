'use strict';
// A service adapter on a real private bus whose daemon is killed and started again at the
// same address: the messaging library reconnects under the adapter, which answers hosts
// on the new bus and lists only them, and the process stays quiet while the bus is away.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const { tempDir, startBus } = require('./support/privatebus');
const { peerTool, skipWithoutBus: skip, launch, nextLine, until } = require('./support/linechild');

const DETAILS = JSON.stringify({ port: 43123, pid: 2 });
const CLOCK_TICKS_PER_SECOND = 100;

// Asks the service for its getAppsList.
async function appsOf(service) {
  const from = service.lines.length;
  service.stdin.write('apps\n');
  return JSON.parse((await nextLine(service, /^apps /, { from })).slice(5));
}

// User and system processor time of a process, in seconds.
function cpuSeconds(pid) {
  const stat = fs.readFileSync(`/proc/${pid}/stat`, 'utf8');
  const fields = stat.slice(stat.lastIndexOf(')') + 2).split(' ');
  return (Number(fields[11]) + Number(fields[12])) / CLOCK_TICKS_PER_SECOND;
}

test('a service adapter comes back on a bus restarted at the same address', { skip, timeout: 120000 }, async (t) => {
  const dir = tempDir('corvelle-reconnect-');
  let bus = await startBus(dir);
  const address = bus.address;
  const service = launch(process.execPath, ['-e', `
    const { OstrelAdapter } = require('./index.js');
    const adapter = new OstrelAdapter('QOVR', '1.0');
    adapter.setServerDetails(true, ${JSON.stringify(DETAILS)});
    console.log('service ready');
    require('node:readline').createInterface({ input: process.stdin }).on('line', (line) => {
      if (line === 'apps') console.log('apps ' + JSON.stringify(adapter.getAppsList()));
    }).on('close', () => adapter.disconnect());
  `], { address, stdin: 'pipe' });
  const hosts = [];
  try {
    await nextLine(service, /^service ready$/);
    for (const [signal, version] of [['SIGKILL', '2.0'], ['SIGTERM', '3.0']]) {
      const old = launch(peerTool, ['--app', 'RSTN', '--app-version', '1.0', '--self', '--listen', '--timeout', '60'], { address });
      hosts.push(old);
      await nextLine(old, /"self"/);
      assert.ok(await until(async () => (await appsOf(service)).includes('RS,1.0,Quorlen Rasterine')),
        `${signal}: the host on the first bus is listed`);

      process.kill(bus.pid, signal);
      await new Promise((resolve) => setTimeout(resolve, 200));
      assert.ok(await until(async () => (await appsOf(service)).length === 0),
        `${signal}: the lost bus's hosts leave the list`);
      // While the bus is away the service waits without spinning and without dying.
      const cpuBefore = cpuSeconds(service.pid);
      await new Promise((resolve) => setTimeout(resolve, 3000));
      const cpuUsed = cpuSeconds(service.pid) - cpuBefore;
      assert.ok(cpuUsed < 0.3, `${signal}: ${cpuUsed} s of processor time in 3 s without a bus`);
      assert.equal(service.exitCode, null, `${signal}: the service is still running: ${service.stderrText}`);

      await bus.stop();
      bus = await startBus(dir);
      const busUp = Date.now();
      const host = launch(peerTool, ['--app', 'RSTN', '--app-version', version, '--send', 'zem.devtools.host.ready',
        '--to', 'QOVR', '--wait', '5', '--listen', '--timeout', '60'], { address });
      hosts.push(host);
      const answer = JSON.parse(await nextLine(host, /server\.ready/));
      const elapsed = Date.now() - busUp;
      t.diagnostic(`${signal}: answered ${elapsed} ms after the new bus was up; ${cpuUsed} s processor time in 3 s without a bus`);
      assert.ok(elapsed < 2000, `${signal}: answered ${elapsed} ms after the new bus was up`);
      assert.equal(answer.payload, DETAILS);
      assert.equal(answer.appId, 'QOVR');
      assert.ok(await until(async () => {
        const apps = await appsOf(service);
        return apps.length === 1 && apps[0] === `RS,${version},Quorlen Rasterine`;
      }), `${signal}: only the new bus's host is listed: ${JSON.stringify(await appsOf(service))}`);
      host.kill('SIGTERM');
      await host.exited;
    }
  } finally {
    for (const h of hosts) if (h.exitCode === null && h.signalCode === null) h.kill('SIGKILL');
    service.stdin.end();
    const { code } = await service.exited;
    await bus.stop();
    fs.rmSync(dir, { recursive: true, force: true });
    assert.equal(code, 0, `the service exits by itself after disconnect: ${service.stderrText}`);
  }
});
