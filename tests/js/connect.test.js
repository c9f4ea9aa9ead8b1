'use strict';
// connect(), and helpers that leave the script's adapters as they are. Each scenario runs
// in a child process on a private bus; a host played by `corvelle host` tells which
// application answers it.
const { test, describe, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { startBus, tempDir } = require('./support/privatebus');
const { root, Running, runCli, userEnv, dbusSkipReason } = require('./support/cli-harness');
const { connect } = require('../..');

const skip = dbusSkipReason() ?? false;

// Runs `body` (an async function's text, with `corvelle` in scope) in a child, waits for
// its line "ready <json>" and returns the running child and that value.
async function scriptChild(body, env) {
  const child = new Running(process.execPath, ['-e', `
    const corvelle = require(${JSON.stringify(root)});
    (async () => { ${body} })().then((value) => {
      console.log('ready ' + JSON.stringify(value ?? null));
      setInterval(() => {}, 1000);
    }, (err) => { console.log('failed ' + err.code + ' ' + err.message); process.exit(1); });`],
  { env });
  await child.waitFor(/^(ready|failed) /m, 20000);
  const line = child.stdout.split('\n').find((l) => /^(ready|failed) /.test(l));
  assert.match(line, /^ready /, child.stderr);
  return { child, value: JSON.parse(line.slice(6)) };
}

async function hostSees(env) {
  const result = await runCli(['host', 'RSTN', '1.0', '--json', '--timeout', '5000'], env);
  assert.equal(result.code, 0, `${result.stdout}${result.stderr}`);
  return JSON.parse(result.stdout.trim().split('\n')[0]);
}

describe('helpers keep the identity and bus of the script\'s adapters', { skip }, () => {
  let dir;
  let bus;
  before(async () => {
    dir = tempDir('corvelle-identity-');
    bus = await startBus(dir);
  });
  after(async () => {
    await bus?.stop();
    fs.rmSync(dir, { recursive: true, force: true });
  });

  const make = `const a = new corvelle.OstrelAdapter('QOVR', '1.0');
    a.setServerDetails(true, '{"port":5151}'); globalThis.keep = a;`;
  const look = `globalThis.found = await corvelle.findService({ timeoutMs: TIMEOUT })
    .then((x) => x.appId, (e) => e.code);`;
  // `found`: what findService gave; the script's own service answers it when it came first.
  const timeout = 'ERR_CORVELLE_SERVICE_TIMEOUT';
  for (const { name, body, found } of [
    { name: 'helper first, adapter after', body: `const TIMEOUT = 800; ${look} ${make} return found;`,
      found: timeout },
    // The script's own service answers: a time limit that a slow (sanitizer) start meets.
    { name: 'adapter first, helper after', body: `const TIMEOUT = 10000; ${make} ${look} return found;`,
      found: 'QOVR' },
    { name: 'a helper on another bus, adapter after', found: timeout,
      body: `globalThis.found = await corvelle.findService({ timeoutMs: 800, address: OTHER })
        .then((x) => x.appId, (e) => e.code); ${make} return found;` },
  ]) {
    test(name, async () => {
      const other = tempDir('corvelle-other-');
      const otherBus = await startBus(other);
      const env = userEnv(dir, { OSTREL_BUS_ADDRESS: bus.address });
      const { child, value } = await scriptChild(
        `const OTHER = ${JSON.stringify(otherBus.address)}; ${body}`, env);
      try {
        assert.equal(value, found);
        const answer = await hostSees(env);
        assert.deepEqual([answer.appId, answer.appVersion, answer.payload],
          ['QOVR', '1.0', '{"port":5151}']);
      } finally {
        child.kill('SIGKILL');
        await child.exit();
        await otherBus.stop();
        fs.rmSync(other, { recursive: true, force: true });
      }
    });
  }
});

describe('connect', { skip }, () => {
  let dir;
  before(() => {
    dir = tempDir('corvelle-connect-');
  });
  after(() => fs.rmSync(dir, { recursive: true, force: true }));

  test('with nothing exported: waits for the private bus, then resolves with an adapter',
    async () => {
      const privateDir = path.join(dir, `corvelle-${process.getuid()}`);
      fs.mkdirSync(privateDir, { mode: 0o700 });
      const env = userEnv(dir);
      const script = `
        const started = Date.now();
        const ticks = setInterval(() => { globalThis.ticks = (globalThis.ticks ?? 0) + 1; }, 20);
        const a = await corvelle.connect('QOVR', '1.0', { timeoutMs: 15000 });
        clearInterval(ticks);
        a.setServerDetails(true, '{"port":5152}'); globalThis.keep = a;
        return { waited: Date.now() - started, ticks: globalThis.ticks,
          adapter: a instanceof corvelle.OstrelAdapter };`;
      const waiting = scriptChild(script, env);
      await new Promise((resolve) => setTimeout(resolve, 700));
      const bus = await startBus(privateDir);
      try {
        const { child, value } = await waiting;
        try {
          assert.equal(value.adapter, true);
          assert.ok(value.ticks >= 5, `timers ran while it waited (${value.ticks}, ${value.waited} ms)`);
          const answer = await hostSees(env);
          assert.deepEqual([answer.appId, answer.payload], ['QOVR', '{"port":5152}']);
        } finally {
          child.kill('SIGKILL');
          await child.exit();
        }
      } finally {
        await bus.stop();
      }
    });

  test('rejects with coded errors, and an abort or time-out leaves nothing behind',
    async () => {
      const gone = `unix:path=${path.join(dir, 'gone')}`;
      const before = process.env.OSTREL_BUS_ADDRESS;
      const cases = [
        { options: { address: gone, timeoutMs: 300 }, code: 'ERR_CORVELLE_BUS_TIMEOUT' },
        { options: { address: gone, timeoutMs: 10000, abortAfterMs: 200 }, code: 'ABORT_ERR' },
        { options: { address: gone, signal: AbortSignal.abort() }, code: 'ABORT_ERR' },
        { options: { address: 'no address' }, code: 'ERR_CORVELLE_BAD_BUS_ADDRESS' },
        { options: { address: 7 }, code: 'ERR_INVALID_ARG_VALUE' },
        { options: { timeoutMs: -5 }, code: 'ERR_INVALID_ARG_VALUE' },
      ];
      for (const { options, code } of cases) {
        const { abortAfterMs, ...given } = options;
        if (abortAfterMs) {
          const controller = new AbortController();
          setTimeout(() => controller.abort(), abortAfterMs);
          given.signal = controller.signal;
        }
        const started = Date.now();
        const error = await connect('QOVR', '1.0', given).then(() => null, (e) => e);
        assert.equal(error?.code, code, `${JSON.stringify(options)}: ${error?.message}`);
        assert.ok(Date.now() - started < 2000, `${code} settles at once`);
        assert.equal(process.env.OSTREL_BUS_ADDRESS, before, 'no address handed over');
      }
    });

  test('the application id to answer and the bus of live adapters', async () => {
    const one = await startBus(tempDir('corvelle-one-'));
    const two = await startBus(tempDir('corvelle-two-'));
    const env = userEnv(dir, { OSTREL_BUS_ADDRESS: one.address });
    // The first adapter joins bus one through connect, or through the constructor (the
    // library then chose the bus by the rule itself); either way a connect that names
    // bus two is refused, one that names bus one is made, and the first stays as it was.
    const firsts = {
      connect: `await corvelle.connect('QOVR', '1.0', 'RSTN', { address: ${JSON.stringify(one.address)} })`,
      constructor: `new corvelle.OstrelAdapter('QOVR', '1.0', 'RSTN')`,
    };
    try {
      for (const [name, first] of Object.entries(firsts)) {
        const { child, value } = await scriptChild(`
          const a = ${first};
          a.setServerDetails(true, '{"port":5153}'); globalThis.keep = a;
          const other = await corvelle.connect('QOVR', '1.0', { address: ${JSON.stringify(two.address)} })
            .then(() => 'made', (e) => e.code + ' ' + e.current);
          const same = await corvelle.connect('QOVR', '1.0', { address: ${JSON.stringify(one.address)} })
            .then((b) => { globalThis.keepToo = b; return 'made'; }, (e) => e.code);
          return [other, same, process.env.OSTREL_BUS_ADDRESS];`, env);
        try {
          assert.deepEqual(value, [`ERR_CORVELLE_BUS_IN_USE ${one.address}`, 'made', one.address], name);
          const answer = await hostSees(env);
          assert.deepEqual([answer.appId, answer.payload], ['QOVR', '{"port":5153}'], name);
        } finally {
          child.kill('SIGKILL');
          await child.exit();
        }
      }
    } finally {
      await one.stop();
      await two.stop();
    }
  });
});
