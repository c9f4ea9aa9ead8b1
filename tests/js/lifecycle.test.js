'use strict';
// Process and environment lifetime around the script callback: when the process may
// exit, what happens when it ends while messages are still arriving, and how a throwing
// callback is reported. Each case runs in a child process with a time limit.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const { runChild } = require('./support/child');

const PRELUDE = `
  const { control, OstrelAdapter, SELF, deliverFrom, BUS_PREFIX } = require('./tests/js/support/inproc');
  const service = { id: ':1.9', appId: 'QOVR', appVersion: '2.0' };
  const info = (payload) => ({ type: BUS_PREFIX + 'zem.devtools.server.info', appId: 'QOVR',
    appVersion: '2.0', source: service, payload });
  control.reset({ self: SELF });
`;

test('the process exits by itself once the listener is gone', async () => {
  const cases = [
    { name: 'disconnect after getServicePort', body: `a.getServicePort(() => {}); a.disconnect();` },
    { name: 'a second getServicePort replaces the first', body: `a.getServicePort(() => {}); a.getServicePort(() => {}); a.disconnect();` },
    { name: 'disconnect twice', body: `a.getServicePort(() => {}); a.disconnect(); a.disconnect();` },
    { name: 'no listener at all', body: `a.setServerDetails(true, 'x');` },
    {
      name: 'disconnect from inside the callback',
      body: `a.getServicePort(() => { a.disconnect(); console.log('called'); });
             control.deliver(info('p'));`,
      stdout: /called/,
    },
  ];
  for (const { name, body, stdout } of cases) {
    const result = await runChild(`${PRELUDE} const a = new OstrelAdapter('QOVR', '2.0'); ${body}`,
      { timeout: 15000 });
    assert.equal(result.timedOut, false, `${name}: exits by itself`);
    assert.equal(result.code, 0, `${name}: ${result.stderr}`);
    if (stdout) assert.match(result.stdout, stdout, name);
  }
});

test('a set listener keeps the process alive', async () => {
  const result = await runChild(`${PRELUDE}
    const a = new OstrelAdapter('QOVR', '2.0');
    a.getServicePort(() => {});
    setTimeout(() => { console.log('still alive'); process.exit(3); }, 1500).unref();
  `);
  assert.equal(result.timedOut, false);
  assert.equal(result.code, 3, result.stderr);
  assert.match(result.stdout, /still alive/);
});

test('process.exit() while the library is delivering a stream of messages', async () => {
  const result = await runChild(`${PRELUDE}
    const a = new OstrelAdapter('QOVR', '2.0');
    let calls = 0;
    a.getServicePort(() => { if (++calls === 50) process.exit(0); });
    for (let i = 0; i < 20000; i++) control.deliver(info('p' + i));
  `);
  assert.equal(result.timedOut, false);
  assert.equal(result.signal, null, result.stderr);
  assert.equal(result.code, 0, result.stderr);
});

test('a worker that ends while messages stream into it', async () => {
  const result = await runChild(`
    const { Worker } = require('node:worker_threads');
    const { control, OstrelAdapter, SELF } = require('./tests/js/support/inproc');
    control.reset({ self: SELF });
    const main = new OstrelAdapter('QOVR', '2.0');
    const worker = new Worker(\`
      const { parentPort } = require('node:worker_threads');
      const { control, OstrelAdapter, BUS_PREFIX } = require('./tests/js/support/inproc');
      const a = new OstrelAdapter('QOVR', '2.0');
      let calls = 0;
      a.getServicePort((type, payload) => { if (++calls === 20) parentPort.postMessage(payload); });
      const service = { id: ':1.9', appId: 'QOVR', appVersion: '2.0' };
      for (let i = 0; i < 5000; i++) {
        control.deliver({ type: BUS_PREFIX + 'zem.devtools.server.info', appId: 'QOVR', appVersion: '2.0',
          source: service, payload: 'p' + i });
      }
    \`, { eval: true });
    worker.once('message', async (payload) => {
      console.log('worker got', payload);
      await worker.terminate();
      // What the library still had queued for the worker is delivered (to nobody) first.
      control.waitIdle(10000);
      // The main thread's adapter still works after the worker's environment ended.
      main.getServicePort((type, p) => { console.log('main got', p); main.disconnect(); });
      control.deliver({ type: 'ostrel.SuiteMessage.zem.devtools.server.info', appId: 'QOVR', appVersion: '2.0',
        source: { id: ':1.9', appId: 'QOVR', appVersion: '2.0' }, payload: 'after' });
    });
  `);
  assert.equal(result.timedOut, false);
  assert.equal(result.code, 0, result.stderr);
  assert.match(result.stdout, /worker got p19/);
  assert.match(result.stdout, /main got after/);
});

test('a throwing callback reaches uncaughtException and later deliveries still work', async () => {
  const result = await runChild(`${PRELUDE}
    const a = new OstrelAdapter('QOVR', '2.0');
    const seen = [];
    process.on('uncaughtException', (e) => seen.push('caught ' + e.message));
    a.getServicePort((type, payload) => {
      seen.push('called ' + payload);
      if (payload === 'one') throw new Error('boom');
      a.disconnect();
      console.log(seen.join('|'));
    });
    control.deliver(info('one'));
    control.deliver(info('two'));
  `);
  assert.equal(result.timedOut, false);
  assert.equal(result.code, 0, result.stderr);
  assert.equal(result.stdout.trim(), 'called one|caught boom|called two');
  assert.doesNotMatch(result.stderr, /DEP0168/);
});

test('a throwing callback without a handler ends the process as an uncaught error', async () => {
  const result = await runChild(`${PRELUDE}
    const a = new OstrelAdapter('QOVR', '2.0');
    a.getServicePort(() => { throw new Error('unhandled boom'); });
    control.deliver(info('one'));
  `);
  assert.equal(result.timedOut, false);
  assert.notEqual(result.code, 0);
  assert.match(result.stderr, /unhandled boom/);
});

test('a message arriving after disconnect is answered, not delivered', async () => {
  const result = await runChild(`${PRELUDE}
    const a = new OstrelAdapter('QOVR', '2.0');
    a.setServerDetails(true, 'details');
    a.getServicePort(() => console.log('called'));
    a.disconnect();
    a.setServerDetails(true, 'details'); // listening again, without a callback
    control.clearCalls();
    deliverFrom(service, 'zem.devtools.server.info', 'late');
    const answers = control.calls().filter((c) => c.op === 'Send').map((c) => c.type + ' ' + c.payload);
    console.log(JSON.stringify(answers));
    a.disconnect();
  `);
  assert.equal(result.timedOut, false);
  assert.equal(result.code, 0, result.stderr);
  assert.doesNotMatch(result.stdout, /called/);
  assert.match(result.stdout, /\["ostrel\.SuiteMessage\.zem\.devtools\.server\.info details"\]/);
});

test('disconnect stops deliveries at once; a replaced callback still gets what was queued to it', async () => {
  const cases = [
    {
      name: 'a burst queued behind a slow callback that disconnects',
      body: `let calls = 0;
             a.getServicePort(() => {
               if (++calls === 1) { const end = Date.now() + 200; while (Date.now() < end); a.disconnect(); }
             });
             for (let i = 0; i < 500; i++) control.deliver(info('p' + i));
             setTimeout(() => console.log('calls ' + calls), 300);`,
      stdout: 'calls 1',
    },
    {
      name: 'disconnect from outside while a burst is queued',
      body: `let calls = 0;
             a.getServicePort(() => { calls++; });
             for (let i = 0; i < 500; i++) control.deliver(info('p' + i));
             control.waitIdle(10000); // all of them queued, none delivered yet
             a.disconnect();
             setTimeout(() => console.log('calls ' + calls), 300);`,
      stdout: 'calls 0',
    },
    {
      name: 'a replaced callback gets its queue, then disconnect stops both',
      body: `const seen = [];
             a.getServicePort((t, p) => seen.push('old ' + p));
             control.deliver(info('one'));
             control.waitIdle(10000);
             a.getServicePort((t, p) => { seen.push('new ' + p); a.disconnect(); });
             control.deliver(info('two'));
             control.deliver(info('three'));
             setTimeout(() => console.log(seen.join('|')), 300);`,
      stdout: 'old one|new two',
    },
  ];
  for (const { name, body, stdout } of cases) {
    const result = await runChild(`${PRELUDE} const a = new OstrelAdapter('QOVR', '2.0'); ${body}`,
      { timeout: 15000 });
    assert.equal(result.timedOut, false, `${name}: exits by itself`);
    assert.equal(result.code, 0, `${name}: ${result.stderr}`);
    assert.equal(result.stdout.trim(), stdout, name);
  }
});
