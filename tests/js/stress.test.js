'use strict';
// Concurrency stress of the bridge: the script thread sends, lists, disconnects and
// reconnects while the library's thread delivers thousands of messages (host
// announcements and client requests from ever new senders, so that the cache keeps
// growing and being rebuilt; DestinationUnreachable; server information for the
// callback; error and foreign messages) and completes refreshes that rebuild the cache
// from a changing list, with some sends failing. Meant to run clean under the sanitizer
// build (`node scripts/test-sanitize.js`).
//
// The work runs in a child process (this same file, with CORVELLE_STRESS_CHILD set): its
// cache warnings stay out of the test output, a crash shows as a signal, and the child
// must exit by itself once everything is disconnected.
const path = require('node:path');

const ITERATIONS = Number(process.env.CORVELLE_STRESS_ITERATIONS || 3000);

if (process.env.CORVELLE_STRESS_CHILD) {
  runChild().catch((error) => {
    console.error(error);
    process.exitCode = 1;
  });
} else {
  defineTest();
}

function defineTest() {
  const test = require('node:test');
  const assert = require('node:assert/strict');
  const { spawnSync } = require('node:child_process');

  test(`${ITERATIONS} iterations of script calls against library-thread deliveries and refreshes`, (t) => {
    const started = Date.now();
    const result = spawnSync(process.execPath, [__filename], {
      env: { ...process.env, CORVELLE_STRESS_CHILD: '1' },
      encoding: 'utf8',
      timeout: 240000,
      maxBuffer: 256 * 1024 * 1024,
    });
    const elapsed = Date.now() - started;
    t.diagnostic(`child ran ${elapsed} ms`);
    assert.equal(result.error, undefined, `child did not finish: ${result.error}`);
    assert.equal(result.signal, null, `child killed by ${result.signal}: ${result.stderr}`);
    assert.equal(result.status, 0, `child failed: ${result.stderr}`);
    const line = result.stdout.split('\n').find((l) => l.startsWith('@@summary '));
    assert.ok(line, `no summary; stderr: ${result.stderr}`);
    const summary = JSON.parse(line.slice('@@summary '.length));
    t.diagnostic(JSON.stringify(summary));
    const warnings = result.stdout.split('\n').filter((l) => l.includes('WARNING Cache stale')).length;
    t.diagnostic(`cache-full warnings: ${warnings}`);

    assert.equal(summary.iterations, ITERATIONS);
    assert.ok(summary.delivered >= ITERATIONS * 8, 'every message was queued');
    assert.ok(summary.callbacks > 0, 'some server information reached script');
    assert.ok(summary.callbacks <= 2 * summary.serverInfos, 'at most once per listening adapter');
    assert.equal(summary.badCallbacks, 0, 'every callback had the four texts of a server-information message');
    assert.equal(summary.outOfOrder, 0, 'callbacks in arrival order');
    assert.ok(summary.refreshes > 0 && summary.failedSends > 0 && summary.sends > 0);
    assert.deepEqual(summary.finalDestinations, [':7.1/RSTN/1', ':7.2/RSTN/2'],
      'the cache answers correctly after the storm');
    assert.equal(summary.listenersAtEnd, 0);
  });
}

async function runChild() {
  const { control, OstrelAdapter, SELF, BUS_PREFIX } = require(path.join(__dirname, 'support', 'inproc'));
  const tick = () => new Promise((resolve) => setImmediate(resolve));

  const apps = ['RSTN', 'WRLM', 'VCTR', 'FOLM', 'ZEMD', 'QOVR', ''];
  const listOf = (size, seed) => Array.from({ length: size }, (_, i) => ({
    id: `:L${seed}.${i}`, appId: apps[(i + seed) % apps.length], appVersion: String(i % 3),
  }));
  // List sizes the refreshes cycle through; 199 brings the learning up to the limit.
  const sizes = [0, 3, 40, 199, 7, 120];

  // Send results: mostly success, every seventh fails.
  const sendCodes = Array.from({ length: 200000 }, (_, i) => (i % 7 === 3 ? 1 : 0));
  control.reset({ self: SELF, endPoints: listOf(10, 0), completeRefreshes: true, sendCodes });
  const main = new OstrelAdapter('QOVR', '2.0', 'RSTN');
  const other = new OstrelAdapter('QOVR', '2.0');
  control.waitIdle(5000);

  const summary = {
    iterations: 0, delivered: 0, serverInfos: 0, callbacks: 0, badCallbacks: 0, outOfOrder: 0,
    sends: 0, failedSends: 0, refreshes: 0, handles: 0,
  };
  // One callback per getServicePort: the order of arrival holds within one handle. (Items
  // still queued on a released handle may reach script after those of its successor.)
  // Both adapters listen and the listener is process-wide, so while both are registered
  // one message reaches the callback twice, one after the other.
  let generation = 0;
  const makeCallback = () => {
    generation += 1;
    let lastSeq = -1;
    return (type, payload, appId, appVersion, ...rest) => {
      summary.callbacks += 1;
      const ok = typeof type === 'string' && type === `${BUS_PREFIX}zem.devtools.server.info` &&
        typeof payload === 'string' && payload.startsWith('info ') && appId === 'QOVR' &&
        appVersion === '2' && rest.length === 0;
      if (!ok) {
        summary.badCallbacks += 1;
        return;
      }
      const seq = Number(payload.slice(5));
      if (seq < lastSeq) summary.outOfOrder += 1;
      lastSeq = seq;
    };
  };
  main.getServicePort(makeCallback());
  other.setServerDetails(true, 'other');

  const queue = (message) => {
    if (control.deliver({ payload: '', ...message })) summary.delivered += 1;
  };
  let sender = 0;
  let infoSeq = 0;
  const newSender = () => {
    sender += 1;
    return { id: `:N.${sender}`, appId: apps[sender % apps.length], appVersion: String(sender % 4) };
  };

  const account = () => {
    for (const call of control.calls()) {
      if (call.op === 'Send') {
        summary.sends += 1;
        if (call.result !== 0) summary.failedSends += 1;
      } else if (call.op === 'RefreshEndPoints') {
        summary.refreshes += 1;
      }
    }
    control.clearCalls();
  };

  for (let i = 0; i < ITERATIONS; ++i) {
    // Work for the library's thread; none of it is waited for.
    for (let k = 0; k < 8; ++k) {
      const source = newSender();
      switch ((i + k) % 8) {
        case 0:
        case 1:
          queue({ type: `${BUS_PREFIX}zem.devtools.host.ready`, appId: source.appId, appVersion: source.appVersion, source });
          break;
        case 2:
          queue({ type: 'DestinationUnreachable' });
          break;
        case 3:
        case 4:
          summary.serverInfos += 1;
          queue({ type: `${BUS_PREFIX}zem.devtools.server.info`, appId: 'QOVR', appVersion: '2', source,
            payload: `info ${infoSeq++}` });
          break;
        case 5:
          queue({ type: `${BUS_PREFIX}zem.devtools.cli.client.connected`, appId: source.appId, appVersion: '', source });
          break;
        case 6:
          queue({ type: 'ostrel.ErrorMessage' });
          break;
        default:
          queue({ type: `${BUS_PREFIX}zem.devtools.unhandled`, appId: source.appId, appVersion: source.appVersion, source });
          break;
      }
    }
    if (i % 5 === 0) {
      control.setEndPoints(listOf(sizes[(i / 5) % sizes.length], i));
      control.setSelf({ ...SELF, appVersion: `2.${i}` });
      control.completeRefresh();
    }

    // Meanwhile, on the script thread.
    main.setServerDetails(i % 2 === 0, `details ${i}`);
    main.getAppsList();
    other.getAppsList();
    if (i % 3 === 0) other.setServerDetails(true, `other ${i}`);
    if (i % 10 === 3) main.disconnect();
    if (i % 10 === 6) main.getServicePort(makeCallback());
    if (i % 25 === 7) main.getServicePort(makeCallback()); // replaces a live handle
    if (i % 40 === 11) other.disconnect();

    account();
    if (i % 8 === 0) await tick(); // let queued callbacks run
    summary.iterations += 1;
  }

  control.waitIdle(30000);
  for (let i = 0; i < 20; ++i) await tick();
  account();

  // After the storm the cache still answers exactly.
  main.disconnect();
  other.disconnect();
  control.waitIdle(5000);
  control.reset({ self: SELF, endPoints: [{ id: ':7.1', appId: 'RSTN', appVersion: '1' },
    { id: ':7.3', appId: 'VCTR', appVersion: '1' }, { id: ':7.2', appId: 'RSTN', appVersion: '2' }] });
  control.completeRefresh();
  control.waitIdle(5000);
  main.setServerDetails(true, 'final');
  const sent = control.calls().filter((c) => c.op === 'Send');
  summary.finalDestinations = sent[0].destinations.map((d) => `${d.id}/${d.appId}/${d.appVersion}`);
  main.disconnect();
  control.waitIdle(5000);
  summary.listenersAtEnd = control.listenerCount();

  summary.handles = generation;
  process.stdout.write(`@@summary ${JSON.stringify(summary)}\n`);
  // Nothing is left to keep the process alive: it exits by itself.
}
