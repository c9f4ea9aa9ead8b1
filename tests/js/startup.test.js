'use strict';
// The module's entry, the adapter's construction, its start-up on the bus and its
// shutdown, seen from script through the in-process messaging library.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const v8 = require('node:v8');
const vm = require('node:vm');
const { control, OstrelAdapter, modulePath, callsOf, SELF } = require('./support/inproc');
const { runChild } = require('./support/child');

v8.setFlagsFromString('--expose-gc');
const gc = vm.runInNewContext('gc');

// Collects garbage until the finalisers of dropped adapters have run.
async function collect() {
  for (let i = 0; i < 3; i++) {
    gc();
    await new Promise((resolve) => setImmediate(resolve));
  }
}

function ops() {
  return control.calls().map((c) => (c.op === 'Pause' ? `Pause ${c.args[0]}` : c.op));
}

test('the module exports the class with its four methods in order, and setBusAddress', () => {
  const exported = require(modulePath);
  assert.deepEqual(Object.keys(exported), ['OstrelAdapter', 'setBusAddress']);
  assert.equal(typeof OstrelAdapter, 'function');
  assert.equal(OstrelAdapter.name, 'OstrelAdapter');
  const methods = Object.getOwnPropertyNames(OstrelAdapter.prototype).filter((n) => n !== 'constructor');
  assert.deepEqual(methods, ['getAppsList', 'setServerDetails', 'getServicePort', 'disconnect']);
});

test('setBusAddress writes the library\'s variable and tells whether the next connection takes it', async () => {
  const { setBusAddress } = require(modulePath);
  const saved = process.env.OSTREL_BUS_ADDRESS;
  try {
    for (const bad of [undefined, 42, '', 'unix:path=/a\0b']) {
      assert.throws(() => setBusAddress(bad), TypeError, String(bad));
    }
    control.reset({});
    assert.equal(setBusAddress('unix:path=/tmp/one'), true, 'no adapter holds the library');
    // Node reads its environment from the C environment, where the call wrote.
    assert.equal(process.env.OSTREL_BUS_ADDRESS, 'unix:path=/tmp/one');
    let adapter = new OstrelAdapter('QOVR', '1.0');
    assert.equal(setBusAddress('unix:path=/tmp/two'), false, 'a live adapter holds it');
    assert.equal(process.env.OSTREL_BUS_ADDRESS, 'unix:path=/tmp/two');
    adapter = null;
    await collect();
    assert.equal(setBusAddress('unix:path=/tmp/three'), true, 'the adapter has gone');
    void adapter;
  } finally {
    if (saved === undefined) delete process.env.OSTREL_BUS_ADDRESS;
    else process.env.OSTREL_BUS_ADDRESS = saved;
  }
});

test('construction refuses bad arguments before touching the library', () => {
  const cases = [
    { call: () => OstrelAdapter('a', 'b'), message: "Class constructors cannot be invoked without 'new'" },
    { call: () => new OstrelAdapter(), message: 'Wrong number of arguments' },
    { call: () => new OstrelAdapter('a'), message: 'Wrong number of arguments' },
    { call: () => new OstrelAdapter('a', 5), message: /string/i },
    { call: () => new OstrelAdapter(5, 'b'), message: /string/i },
    { call: () => new OstrelAdapter('a', 'b', null), message: /string/i },
    // The library takes texts up to their first zero byte: refused, not cut.
    { call: () => new OstrelAdapter('QO\0VR', 'b'), message: 'Expected appId to be a string without zero bytes' },
    { call: () => new OstrelAdapter('a', '\0'), message: 'Expected appVersion to be a string without zero bytes' },
    { call: () => new OstrelAdapter('a', 'b', 'RS\0TN'), message: 'Expected targetAppId to be a string without zero bytes' },
  ];
  for (const { call, message } of cases) {
    control.reset({});
    assert.throws(call, (e) => {
      assert.ok(e instanceof TypeError, `${e} is a TypeError`);
      if (typeof message === 'string') assert.equal(e.message, message);
      else assert.match(e.message, message);
      return true;
    });
    assert.deepEqual(control.calls(), [], `no library call for ${call}`);
  }
});

test('configuration texts reach the library unchanged; a fourth argument is ignored', () => {
  const cases = [
    { args: ['a', 'b'], config: ['a', 'b'] },
    { args: ['', ''], config: ['', ''] },
    { args: [' QOVR ', 'ünï €'], config: [' QOVR ', 'ünï €'] },
    { args: ['a', 'b', 'c', 'd'], config: ['a', 'b'] },
  ];
  for (const { args, config } of cases) {
    control.reset({});
    const adapter = new OstrelAdapter(...args);
    assert.deepEqual(callsOf('SetConfig').map((c) => c.args), [config]);
    adapter.disconnect();
  }
});

test('the third argument is the default destination of sends that name no application', () => {
  const endPoints = [
    { id: ':1.5', appId: 'RSTN', appVersion: '1.0' },
    { id: ':1.6', appId: 'c', appVersion: '1' },
  ];
  for (const { args, expected } of [
    { args: ['QOVR', '2.0', 'c'], expected: [':1.6'] },
    { args: ['QOVR', '2.0', 'c', 'RSTN'], expected: [':1.6'] },
    { args: ['QOVR', '2.0'], expected: [] },
    { args: ['QOVR', '2.0', undefined], expected: [] },
    { args: ['QOVR', '2.0', undefined, 'c'], expected: [] },
  ]) {
    control.reset({ self: SELF, endPoints });
    const adapter = new OstrelAdapter(...args);
    control.waitIdle(5000);
    control.clearCalls();
    adapter.setServerDetails(true, 'x');
    const [send] = callsOf('Send');
    assert.deepEqual(send.destinations.map((d) => d.id), expected, args.join(','));
    adapter.disconnect();
  }
});

test('start-up obtains the dispatcher with a bounded retry', () => {
  const ready = ['IsReady', 'AddEndPointsRefreshCallback', 'IsReady', 'RefreshEndPoints', 'IsRefreshPending'];
  const hundredBusy = Array(100).fill(4);
  const cases = [
    { name: 'at once', script: {}, expected: ['SetConfig', 'GetInstance', ...ready] },
    {
      name: 'after three busy answers',
      script: { getInstanceCodes: [4, 4, 4, 0] },
      expected: ['SetConfig', ...Array(3).fill(['GetInstance', 'Pause 6000']).flat(), 'GetInstance', ...ready],
    },
    { name: 'final error', script: { getInstanceCodes: [7] }, expected: ['SetConfig', 'GetInstance'] },
    { name: 'configuration refused', script: { setConfigResult: 2 }, expected: ['SetConfig'] },
    {
      name: 'busy on every attempt',
      script: { getInstanceCodes: [...hundredBusy, 0] },
      expected: ['SetConfig', ...Array(100).fill(['GetInstance', 'Pause 6000']).flat()],
    },
  ];
  for (const { name, script, expected } of cases) {
    control.reset(script);
    const adapter = new OstrelAdapter('QOVR', '2.0');
    control.waitIdle(5000);
    assert.deepEqual(ops().filter((op) => op !== 'GetSelf' && op !== 'GetEndPoints' && op !== 'FreeEndPoints'),
      expected, name);
    adapter.disconnect();
  }
});

test('start-up waits for readiness and for the first refresh, 20 pauses at most each', () => {
  const never = Array(30).fill(false);
  const always = Array(30).fill(true);
  const cases = [
    {
      name: 'ready after two pauses',
      script: { isReady: [false, false, true, true] },
      expected: ['IsReady', 'Pause 50', 'IsReady', 'Pause 50', 'IsReady', 'AddEndPointsRefreshCallback',
        'IsReady', 'RefreshEndPoints', 'IsRefreshPending'],
    },
    {
      name: 'never ready: callback registered, no refresh',
      script: { isReady: never },
      expected: [...Array(20).fill(['IsReady', 'Pause 50']).flat(), 'IsReady', 'AddEndPointsRefreshCallback',
        'IsReady'],
    },
    {
      name: 'refresh stays pending',
      script: { isRefreshPending: always, completeRefreshes: false },
      expected: ['IsReady', 'AddEndPointsRefreshCallback', 'IsReady', 'RefreshEndPoints',
        ...Array(20).fill(['IsRefreshPending', 'Pause 50']).flat(), 'IsRefreshPending'],
    },
  ];
  for (const { name, script, expected } of cases) {
    control.reset(script);
    const adapter = new OstrelAdapter('QOVR', '2.0');
    control.waitIdle(5000);
    const startUp = ops().filter((op) => !['SetConfig', 'GetInstance', 'GetSelf', 'GetEndPoints', 'FreeEndPoints'].includes(op));
    assert.deepEqual(startUp, expected, name);
    adapter.disconnect();
  }
});

test('destruction leaves the bus: listener, refresh callback, then the dispatcher', async () => {
  await collect(); // adapters of earlier tests go first
  control.reset({ self: SELF });
  let adapter = new OstrelAdapter('QOVR', '2.0');
  const [added] = callsOf('AddEndPointsRefreshCallback');
  adapter.setServerDetails(true, 'x');
  assert.equal(control.listenerCount(), 1);
  control.waitIdle(5000);
  control.clearCalls();
  adapter = null;
  await collect();
  const shutdown = control.calls();
  assert.deepEqual(shutdown.map((c) => c.op),
    ['RemoveListener', 'RemoveErrorListener', 'RemoveEndPointsRefreshCallback', 'ReleaseInstance']);
  assert.deepEqual(shutdown[2].args, added.args, 'the registered function and context');
  assert.equal(control.listenerCount(), 0);
  assert.equal(control.refreshCallbackCount(), 0);
  assert.equal(control.instanceCount(), 0);
});

test('an adapter whose start-up failed makes no library call, ever', async () => {
  for (const script of [{ setConfigResult: 1 }, { getInstanceCodes: [9] }]) {
    await collect();
    control.reset(script);
    let adapter = new OstrelAdapter('QOVR', '2.0');
    control.clearCalls();
    assert.deepEqual(adapter.getAppsList(), []);
    adapter.setServerDetails(true, 'x');
    adapter.getServicePort(() => {});
    adapter.disconnect();
    adapter = null;
    await collect();
    assert.deepEqual(control.calls(), []);
  }
});

test('adapters refused by their arguments are collected without harm', async () => {
  await collect();
  control.reset({});
  for (let i = 0; i < 200; i++) {
    assert.throws(() => new OstrelAdapter('a', i));
    assert.throws(() => new OstrelAdapter('a'));
  }
  await collect();
  assert.deepEqual(control.calls(), []);
  // The module still works afterwards.
  const adapter = new OstrelAdapter('QOVR', '2.0');
  assert.deepEqual(adapter.getAppsList(), []);
  adapter.disconnect();
});

test('a failure inside start-up is logged and the constructor still returns', async () => {
  const { stdout, code } = await runChild(`
    const { control, OstrelAdapter } = require('./tests/js/support/inproc');
    control.reset({ throwIn: 'IsReady' });
    const adapter = new OstrelAdapter('QOVR', '2.0');
    console.log('constructed', adapter instanceof OstrelAdapter);
    adapter.disconnect();
  `);
  assert.equal(code, 0);
  const lines = stdout.trim().split('\n');
  assert.match(lines[0],
    /^Info:ostreladapter: WARNING Likely fatal exception in construction  \(ostreladapter\.cpp\.OstrelAdapter::initSelf\.\d+\)$/);
  assert.equal(lines[1], 'constructed true');
});

test('the log stays silent once the last adapter is gone', async () => {
  // A failing refresh makes Receive log; after the first adapter's destruction the shared
  // logger is removed, so the second adapter's failure writes nothing.
  const { stdout, code } = await runChild(`
    const v8 = require('node:v8'); v8.setFlagsFromString('--expose-gc');
    const gc = require('node:vm').runInNewContext('gc');
    const { control, OstrelAdapter, deliverFrom } = require('./tests/js/support/inproc');
    control.reset({ throwIn: 'RefreshEndPoints', isReady: [true, false, true, false] });
    let first = new OstrelAdapter('QOVR', '2.0');
    const second = new OstrelAdapter('QOVR', '2.0');
    second.setServerDetails(true, 'x');
    const unreachable = () => { control.deliver({ type: 'DestinationUnreachable' }); control.waitIdle(5000); };
    unreachable();
    console.log('-- first gone');
    first = null;
    setImmediate(() => { gc(); setImmediate(() => { unreachable(); second.disconnect(); }); });
  `);
  assert.equal(code, 0);
  const [before, after] = stdout.split('-- first gone');
  assert.match(before, /^Info:ostreladapter: EXCEPTION in OstrelAdapter::Receive \(ostreladapter\.cpp\.OstrelAdapter::Receive\.\d+\)$/m);
  assert.equal(after.trim(), '');
});

test('loading the module again in the same environment gives a working class', () => {
  const again = { exports: {} };
  process.dlopen(again, modulePath);
  assert.notEqual(again.exports.OstrelAdapter, OstrelAdapter);
  control.reset({ self: SELF });
  const adapter = new again.exports.OstrelAdapter('QOVR', '2.0');
  assert.deepEqual(callsOf('SetConfig').map((c) => c.args), [['QOVR', '2.0']]);
  adapter.disconnect();
});

test('a library failure inside a script method reaches script as an Error', () => {
  for (const { throwIn, call } of [
    { throwIn: 'Send', call: (a) => a.setServerDetails(true, 'x') },
    { throwIn: 'AddListener', call: (a) => a.getServicePort(() => {}) },
    { throwIn: 'GetEndPoints', call: (a) => a.getAppsList() },
  ]) {
    control.reset({ self: SELF });
    const adapter = new OstrelAdapter('QOVR', '2.0');
    control.reset({ self: SELF, throwIn });
    assert.throws(() => call(adapter), { name: 'Error', message: `scripted failure in ${throwIn}` });
    control.reset({ self: SELF });
    adapter.disconnect();
  }
});

test('a start-up that ends without a dispatcher says why in one line', async () => {
  const { stdout, code } = await runChild(`
    const { control, OstrelAdapter } = require('./tests/js/support/inproc');
    for (const script of [{ setConfigResult: 2 }, { getInstanceCodes: [7] },
      { getInstanceCodes: Array(100).fill(4) }, {}]) {
      control.reset(script);
      const adapter = new OstrelAdapter('QOVR', '2.0');
      adapter.disconnect();
      console.log('--');
    }
  `);
  assert.equal(code, 0);
  const parts = stdout.split('--\n').slice(0, 4).map((p) => p.trim());
  const line = (why) => new RegExp(`^Info:ostreladapter: WARNING Not on the bus: ${why}; this adapter ` +
    'sends and receives nothing \\(ostreladapter\\.cpp\\.OstrelAdapter::initSelf\\.\\d+\\)$');
  assert.match(parts[0], line('the messaging library refused the configuration \\(SetConfig answered 2\\)'));
  assert.match(parts[1], line('the messaging library gave no dispatcher \\(GetInstance answered 7\\)'));
  assert.match(parts[2], line('the messaging library was still not available after 100 attempts'));
  assert.equal(parts[3], '', 'a start-up that gets its dispatcher is silent');
});

test('a construction refused by its arguments installs no logger', async () => {
  // The first adapter's destruction removes the shared logger. Refused constructions must
  // not put it back: the listening adapter's failing refresh then stays silent. A good
  // construction afterwards does put it back, and the same failure is logged.
  const { stdout, code } = await runChild(`
    const v8 = require('node:v8'); v8.setFlagsFromString('--expose-gc');
    const gc = require('node:vm').runInNewContext('gc');
    const { control, OstrelAdapter } = require('./tests/js/support/inproc');
    control.reset({});
    const listening = new OstrelAdapter('QOVR', '2.0');
    listening.setServerDetails(true, 'x');
    let dropped = new OstrelAdapter('QOVR', '2.0');
    const unreachable = () => {
      control.reset({ throwIn: 'RefreshEndPoints' });
      control.deliver({ type: 'DestinationUnreachable' });
      control.waitIdle(5000);
      control.reset({});
    };
    dropped = null;
    setImmediate(() => { gc(); setImmediate(() => {
      for (const args of [['a'], ['a', 5], [5, 'b'], ['a', 'b', null], ['QO\\0VR', 'b'], ['a', 'b', 'R\\0']]) {
        try { new OstrelAdapter(...args); console.log('constructed', args); } catch {}
      }
      unreachable();
      console.log('-- good construction');
      const good = new OstrelAdapter('QOVR', '2.0');
      unreachable();
      good.disconnect();
      listening.disconnect();
    }); });
  `);
  assert.equal(code, 0);
  const [refused, good] = stdout.split('-- good construction');
  assert.equal(refused.trim(), '');
  assert.match(good, /^Info:ostreladapter: EXCEPTION in OstrelAdapter::Receive /m);
});

test('destruction finishes every removal when one of them fails', async () => {
  // The library throws in RemoveListener: the refresh callback must still be removed, or
  // the library would later call the freed adapter.
  const { stdout, stderr, code } = await runChild(`
    const v8 = require('node:v8'); v8.setFlagsFromString('--expose-gc');
    const gc = require('node:vm').runInNewContext('gc');
    const { control, OstrelAdapter, SELF } = require('./tests/js/support/inproc');
    control.reset({ self: SELF });
    const kept = new OstrelAdapter('QOVR', '2.0');
    let dropped = new OstrelAdapter('QOVR', '2.0');
    control.waitIdle(5000);
    console.log('callbacks', control.refreshCallbackCount());
    control.reset({ self: SELF, throwIn: 'RemoveListener' });
    dropped = null;
    setImmediate(() => { gc(); setImmediate(() => {
      console.log('removals', control.calls().map((c) => c.op).join(' '));
      console.log('callbacks', control.refreshCallbackCount());
      control.reset({ self: SELF });
      control.completeRefresh();
      control.waitIdle(5000);
      kept.disconnect();
    }); });
  `);
  assert.equal(code, 0, stderr);
  assert.deepEqual(stdout.trim().split('\n'), [
    'callbacks 2',
    'removals RemoveListener RemoveErrorListener RemoveEndPointsRefreshCallback ReleaseInstance',
    'callbacks 1',
  ]);
});

test('a failure inside the endpoint refresh callback stays inside it and is logged', async () => {
  const { stdout, stderr, code } = await runChild(`
    const { control, OstrelAdapter, SELF } = require('./tests/js/support/inproc');
    control.reset({ self: SELF });
    const adapter = new OstrelAdapter('QOVR', '2.0');
    control.waitIdle(5000);
    for (const throwIn of ['GetSelf', 'GetEndPoints']) {
      control.reset({ self: SELF, throwIn });
      control.completeRefresh();
      control.waitIdle(5000);
    }
    control.reset({ self: SELF, endPoints: [{ id: ':1.7', appId: 'RSTN', appVersion: '1.0' }] });
    control.completeRefresh();
    control.waitIdle(5000);
    console.log(JSON.stringify(adapter.getAppsList()));
    adapter.disconnect();
  `);
  assert.equal(code, 0, stderr);
  const line = /^Info:ostreladapter: EXCEPTION in OstrelAdapter::refreshEndPointsOstrelWillCallback \(ostreladapter\.cpp\.OstrelAdapter::refreshEndPointsOstrelWillCallback\.\d+\)$/;
  const lines = stdout.trim().split('\n');
  assert.equal(lines.length, 3, stdout);
  assert.match(lines[0], line);
  assert.match(lines[1], line);
  assert.equal(lines[2], '["RS,1.0,Quorlen Rasterine"]', 'later refreshes still work');
});
