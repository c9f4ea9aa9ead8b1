'use strict';
// waitForBus and findService against private buses that the tests start, stop, pause
// (SIGSTOP) and resume. findService runs in child processes, which must end by themselves
// once it has settled: a lookup that stayed connected would keep them alive.
const { test, describe, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const net = require('node:net');
const path = require('node:path');
const { startBus, tempDir } = require('./support/privatebus');
const { root } = require('./support/child');
const { Running, dbusSkipReason } = require('./support/cli-harness');
const { waitForBus } = require('../..');

const skip = dbusSkipReason() ?? false;

// The environment of a process that knows no bus but `extra`.
function busEnv(extra = {}) {
  const env = { ...process.env };
  delete env.OSTREL_BUS_ADDRESS;
  delete env.DBUS_SESSION_BUS_ADDRESS;
  delete env.XDG_RUNTIME_DIR;
  return { ...env, ...extra };
}

// Runs `fn` with process.env replaced by `env`, restoring it afterwards.
async function withEnv(env, fn) {
  const saved = process.env;
  process.env = env;
  try {
    return await fn();
  } finally {
    process.env = saved;
  }
}

async function settle(promise) {
  try {
    return { value: await promise };
  } catch (error) {
    return { error };
  }
}

describe('waitForBus', { skip }, () => {
  let dir;
  let bus;
  before(async () => {
    dir = tempDir('corvelle-helpers-');
    bus = await startBus(dir);
  });
  after(async () => {
    await bus?.stop();
    fs.rmSync(dir, { recursive: true, force: true });
  });

  test('finds the bus the module would join, by the package\'s rule', async () => {
    const missing = `unix:path=${path.join(dir, 'no-bus-here')}`;
    const cases = [
      { env: { OSTREL_BUS_ADDRESS: bus.address, DBUS_SESSION_BUS_ADDRESS: missing }, ok: true },
      { env: { DBUS_SESSION_BUS_ADDRESS: bus.address }, ok: true },
      { env: { XDG_RUNTIME_DIR: dir }, ok: true },
      { env: { DBUS_SESSION_BUS_ADDRESS: missing, XDG_RUNTIME_DIR: dir }, ok: false },
      { env: { OSTREL_BUS_ADDRESS: missing, DBUS_SESSION_BUS_ADDRESS: bus.address }, ok: false },
      // Nothing known: the per-user private bus, here in a TMPDIR where none runs.
      { env: { TMPDIR: dir }, ok: false },
    ];
    for (const { env, ok } of cases) {
      const result = await withEnv(busEnv(env), () => settle(waitForBus({ timeoutMs: 300 })));
      const what = JSON.stringify(env);
      if (ok) assert.equal(result.error, undefined, `${what}: ${result.error?.message}`);
      else assert.equal(result.error?.code, 'ERR_CORVELLE_BUS_TIMEOUT', what);
    }
  });

  test('refuses what it cannot wait for, with a coded error', async () => {
    const cases = [
      { env: {}, options: { address: 'no address at all' }, code: 'ERR_CORVELLE_BAD_BUS_ADDRESS' },
      { env: {}, options: { address: 'launchd:env=X' }, code: 'ERR_CORVELLE_BAD_BUS_ADDRESS' },
      { env: {}, options: { address: 42 }, code: 'ERR_INVALID_ARG_VALUE' },
      { env: {}, options: { address: bus.address, timeoutMs: -1 }, code: 'ERR_INVALID_ARG_VALUE' },
      { env: {}, options: { address: bus.address, signal: {} }, code: 'ERR_INVALID_ARG_VALUE' },
      { env: {}, options: 'fast', code: 'ERR_INVALID_ARG_VALUE' },
    ];
    for (const { env, options, code } of cases) {
      const result = await withEnv(busEnv(env), () => settle(waitForBus(options)));
      assert.equal(result.error?.code, code, JSON.stringify(options));
    }
  });

  test('waits for a bus that comes later without blocking the script thread', async () => {
    const lateDir = tempDir('corvelle-late-');
    const address = `unix:path=${path.join(lateDir, 'bus')}`;
    let ticks = 0;
    const ticker = setInterval(() => { ticks += 1; }, 10);
    let late;
    try {
      const waiting = waitForBus({ address, timeoutMs: 10000 });
      await new Promise((resolve) => setTimeout(resolve, 400));
      const ticksBefore = ticks;
      late = await startBus(lateDir);
      const started = Date.now();
      assert.equal(await waiting, address);
      assert.ok(Date.now() - started < 1000, 'answered soon after the bus came');
      assert.ok(ticksBefore >= 10, `timers ran while waiting (${ticksBefore} ticks in 400 ms)`);
    } finally {
      clearInterval(ticker);
      await late?.stop();
      fs.rmSync(lateDir, { recursive: true, force: true });
    }
  });

  test('a bus that accepts but does not answer is no bus; it counts once it answers', async () => {
    process.kill(bus.pid, 'SIGSTOP');
    let stopped = true;
    try {
      const started = Date.now();
      const result = await settle(waitForBus({ address: bus.address, timeoutMs: 500 }));
      const took = Date.now() - started;
      assert.equal(result.error?.code, 'ERR_CORVELLE_BUS_TIMEOUT');
      assert.ok(took >= 450 && took < 1500, `gave up after the time limit (${took} ms)`);

      const waiting = waitForBus({ address: bus.address, timeoutMs: 5000 });
      setTimeout(() => {
        process.kill(bus.pid, 'SIGCONT');
        stopped = false;
      }, 300);
      assert.equal(await waiting, bus.address);
    } finally {
      if (stopped) process.kill(bus.pid, 'SIGCONT');
    }
  });

  test('a socket that speaks something else is no bus', async () => {
    const other = net.createServer((socket) => socket.end('HTTP/1.1 400 Bad Request\r\n\r\n'));
    const socketPath = path.join(dir, 'other');
    await new Promise((resolve) => other.listen(socketPath, resolve));
    try {
      const result = await settle(waitForBus({ address: `unix:path=${socketPath}`, timeoutMs: 1500 }));
      assert.equal(result.error?.code, 'ERR_CORVELLE_BUS_TIMEOUT');
      assert.match(result.error.message, /not a D-Bus server/);
    } finally {
      other.close();
    }
  });

  test('an abort ends the wait at once', async () => {
    const address = `unix:path=${path.join(dir, 'never')}`;
    const aborted = await settle(waitForBus({ address, signal: AbortSignal.abort('early') }));
    assert.equal(aborted.error?.code, 'ABORT_ERR');
    assert.equal(aborted.error.name, 'AbortError');
    assert.equal(aborted.error.cause, 'early');

    const controller = new AbortController();
    const waiting = settle(waitForBus({ address, timeoutMs: 10000, signal: controller.signal }));
    await new Promise((resolve) => setTimeout(resolve, 250));
    const abortedAt = Date.now();
    controller.abort();
    const result = await waiting;
    assert.equal(result.error?.code, 'ABORT_ERR');
    assert.ok(Date.now() - abortedAt < 300, 'settled right after the abort');
  });
});

// A child process that calls findService with `options` (the signal as `abortAfterMs`)
// and prints how it settled and how long it took.
const FIND = `
  const { findService } = require(${JSON.stringify(root)});
  const { calls = 1, abortAfterMs, ...options } = JSON.parse(process.argv[1]);
  if (abortAfterMs !== undefined) options.signal = AbortSignal.timeout(abortAfterMs);
  const started = Date.now();
  Promise.allSettled(Array.from({ length: calls }, () => findService(options))).then((all) => {
    console.log(JSON.stringify({ took: Date.now() - started, results: all.map((r) =>
      r.status === 'fulfilled' ? { answer: r.value } : { code: r.reason.code }) }));
  });`;

describe('findService', { skip }, () => {
  let dir;
  let bus;
  before(async () => {
    dir = tempDir('corvelle-find-');
    bus = await startBus(dir);
  });
  after(async () => {
    await bus?.stop();
    fs.rmSync(dir, { recursive: true, force: true });
  });

  function findIn(env, options) {
    const child = new Running(process.execPath, ['-e', FIND, JSON.stringify(options)], { env });
    return child.exit(20000).then((result) => {
      assert.equal(result.timedOut, false, `the process ended by itself:\n${result.stderr}`);
      assert.equal(result.code, 0, result.stderr);
      const line = result.stdout.trim().split('\n').pop();
      return JSON.parse(line);
    });
  }

  test('without a service: a coded time-out, after the limit, and the process ends', async () => {
    const env = busEnv({ OSTREL_BUS_ADDRESS: bus.address });
    const { took, results } = await findIn(env, { timeoutMs: 700 });
    assert.deepEqual(results, [{ code: 'ERR_CORVELLE_SERVICE_TIMEOUT' }]);
    assert.ok(took >= 650 && took < 3000, `settled at the limit (${took} ms)`);

    const aborted = await findIn(env, { timeoutMs: 10000, abortAfterMs: 300 });
    assert.deepEqual(aborted.results, [{ code: 'ABORT_ERR' }]);
    assert.ok(aborted.took < 2500, `settled at the abort (${aborted.took} ms)`);
  });

  test('without a bus: a coded error within the limit, not the constructor\'s long wait',
    async () => {
      const cases = [
        { env: busEnv({ OSTREL_BUS_ADDRESS: `unix:path=${path.join(dir, 'gone')}` }),
          code: 'ERR_CORVELLE_BUS_TIMEOUT' },
        { env: busEnv({ TMPDIR: dir }), code: 'ERR_CORVELLE_BUS_TIMEOUT' },
      ];
      for (const { env, code } of cases) {
        const { took, results } = await findIn(env, { timeoutMs: 600 });
        assert.deepEqual(results, [{ code }]);
        assert.ok(took < 2000, `${code} within the limit (${took} ms)`);
      }
    });

  test('with a service: the first answer, to every caller, and the process ends', async () => {
    const env = busEnv({ OSTREL_BUS_ADDRESS: bus.address });
    const service = new Running(process.execPath, ['-e', `
      const { OstrelAdapter } = require(${JSON.stringify(root)});
      globalThis.adapter = new OstrelAdapter('QOVR', '3.1');
      globalThis.adapter.setServerDetails(true, '{"port":5150}');
      console.log('announced');
      setTimeout(() => {}, 60000);`], { env });
    try {
      await service.waitFor(/announced/);
      const answer = {
        type: 'ostrel.SuiteMessage.zem.devtools.server.info',
        payload: '{"port":5150}', appId: 'QOVR', appVersion: '3.1',
      };
      const one = await findIn(env, { timeoutMs: 5000 });
      assert.deepEqual(one.results, [{ answer }]);
      const three = await findIn(env, { timeoutMs: 5000, calls: 3 });
      assert.deepEqual(three.results, [{ answer }, { answer }, { answer }]);
    } finally {
      service.kill('SIGKILL');
      await service.exit();
    }
  });
});
