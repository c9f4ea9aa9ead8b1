'use strict';
// Incoming messages and script callbacks, and the four script methods, through the
// in-process test double. What the adapter does with a message
// shows in the call record (refresh requests, answers) and in calls of the callback
// given to getServicePort, which run on this thread once it yields to the event loop.
//
// Refreshes are completed by hand (completeRefreshes false) so that a requested refresh
// never rebuilds the cache behind a test's back. Whether a message left the cache stale
// (its sender was new) shows as the refresh request that the next message starts with.
const test = require('node:test');
const assert = require('node:assert/strict');
const { setTimeout: sleep } = require('node:timers/promises');

const { control, SELF, BUS_PREFIX, callsOf, sends, startAdapter } = require('./support/inproc');

const ERROR_TYPE = 'ostrel.ErrorMessage';
const HOST_READY = 'zem.devtools.host.ready';
const CLIENT_CONNECTED = 'zem.devtools.cli.client.connected';
const SERVER_INFO = 'zem.devtools.server.info';
const SERVER_READY = 'zem.devtools.server.ready';

// A peer that every scripted list holds, so that its messages are cache hits.
const PEER = { id: ':9.9', appId: 'PEER', appVersion: '1' };

const adapters = [];
const ep = (id, appId, appVersion = '1') => ({ id, appId, appVersion });
const text = (e) => `${e.id}/${e.appId}/${e.appVersion}`;
const texts = (list) => list.map(text);

function disconnectAll() {
  for (const adapter of adapters) adapter.disconnect();
  control.waitIdle(5000);
}
test.afterEach(disconnectAll);

// A started adapter whose first refresh has completed with `endPoints` (PEER added) and
// whose call record is empty. `listen`: 'details' registers it through
// setServerDetails(true, details), 'callback' through getServicePort, 'none' not at all.
function adapterWith(endPoints = [], { listen = 'details', details = 'details', target } = {}) {
  disconnectAll();
  const args = target === undefined ? ['QOVR', '2.0'] : ['QOVR', '2.0', target];
  const adapter = startAdapter({ endPoints: [...endPoints, PEER], completeRefreshes: false }, args);
  adapters.push(adapter);
  assert.ok(control.completeRefresh());
  control.waitIdle(5000);
  const received = [];
  if (listen === 'details' || listen === 'both') adapter.setServerDetails(true, details);
  if (listen === 'callback' || listen === 'both') {
    adapter.getServicePort(function callback(...args) {
      received.push({ args, self: this });
    });
  }
  control.waitIdle(5000);
  control.clearCalls();
  return { adapter, received };
}

// Delivers one message (full type text) and waits until the library's thread is idle.
function deliver({ type, source = PEER, appId = source.appId, appVersion = source.appVersion,
  payload = '' }) {
  assert.ok(control.deliver({ type, appId, appVersion, source, payload }));
  control.waitIdle(5000);
}
const app = (type) => BUS_PREFIX + type;

// What happened on the bus since the last clear: refreshes and sends, in order.
function busRecord() {
  return callsOf('Send', 'RefreshEndPoints').map((c) =>
    (c.op === 'Send' ? `Send ${c.type.slice(BUS_PREFIX.length)}` : 'Refresh'));
}

// Whether the cache is stale now: a message from PEER (a hit) starts with a refresh then.
function isStale() {
  control.clearCalls();
  deliver({ type: app('zem.devtools.unhandled') });
  const stale = callsOf('RefreshEndPoints').length === 1;
  control.clearCalls();
  return stale;
}

// Destinations that the cache answers for an application id, through a host
// announcement's answer (sent by PEER, so the probe changes nothing).
function destinationsFor(appId, appVersion = '') {
  control.clearCalls();
  deliver({ type: app(HOST_READY), appId, appVersion });
  const sent = sends();
  control.clearCalls();
  assert.equal(sent.length, 1);
  return texts(sent[0].destinations);
}

// Lets the script thread run queued callbacks until `done()` or the time is up.
async function settle(done = () => false, ms = 2000) {
  const end = Date.now() + ms;
  while (!done() && Date.now() < end) await sleep(5);
}

// ---------------------------------------------------------------------------------------
// Receive: refreshes, ignored messages, caching

test('what each kind of incoming message does to refreshes, the cache and the bus', () => {
  const NEW = ep(':5.1', 'NEWA', '1');
  const cases = [
    // name, message, stale before it, expected bus record, stale after it
    ['DestinationUnreachable', { type: 'DestinationUnreachable' }, false, ['Refresh'], false],
    ['DestinationUnreachable while stale: one refresh', { type: 'DestinationUnreachable' }, true, ['Refresh'], false],
    ['DestinationUnreachable compares exactly', { type: 'destinationunreachable' }, false, [], false],
    ['DestinationUnreachable with a suffix', { type: 'DestinationUnreachable ' }, false, [], false],
    ['bus-prefixed DestinationUnreachable is an application message', { type: app('DestinationUnreachable'), source: NEW }, false, [], true],
    ['error message: ignored', { type: ERROR_TYPE }, false, [], false],
    ['error message while stale: only the refresh', { type: ERROR_TYPE }, true, ['Refresh'], false],
    ['foreign type: ignored', { type: `other.${HOST_READY}` }, false, [], false],
    ['prefix only further in: ignored', { type: `x${app(HOST_READY)}` }, false, [], false],
    ['prefix in another case: ignored', { type: `OSTREL.SUITEMESSAGE.${HOST_READY}` }, false, [], false],
    ['foreign type while stale: only the refresh', { type: `other.${HOST_READY}` }, true, ['Refresh'], false],
    ['unhandled type from a new sender: cached, nothing else', { type: app(SERVER_READY), source: NEW }, false, [], true],
    ['unhandled type from a known sender: nothing', { type: app(SERVER_READY) }, false, [], false],
    ['any message while stale starts with a refresh', { type: app(SERVER_READY) }, true, ['Refresh'], false],
    ['handled type from a new sender while stale: refresh first, answer, stale again',
      { type: app(HOST_READY), source: NEW }, true, ['Refresh', `Send ${SERVER_READY}`, 'Refresh'], false],
  ];
  for (const [name, message, staleBefore, expected, staleAfter] of cases) {
    adapterWith();
    if (staleBefore) {
      deliver({ type: app(SERVER_READY), source: ep(':5.9', 'OTHR') });
      control.clearCalls();
    }
    deliver(message);
    assert.deepEqual(busRecord(), expected, name);
    assert.equal(isStale(), staleAfter, `${name}: stale afterwards`);
  }
});

test('ignored messages leave the cache alone; an unhandled type caches its sender', () => {
  const NEW = ep(':5.2', 'NEWB', '3');
  for (const [name, type, cached] of [
    ['error message', ERROR_TYPE, false],
    ['foreign type', `other.${SERVER_READY}`, false],
    ['DestinationUnreachable', 'DestinationUnreachable', false],
    ['unhandled application type', app(SERVER_READY), true],
    ['terminated', app('zem.devtools.server.terminated'), true],
  ]) {
    adapterWith();
    deliver({ type, source: NEW });
    assert.deepEqual(destinationsFor('NEWB'), cached ? [text(NEW)] : [], name);
  }
});

// ---------------------------------------------------------------------------------------
// handleKnownMessage

test('the first handled type found anywhere in the type text decides', async () => {
  const cases = [
    // type, with callback set, without callback
    [app(HOST_READY), `Send ${SERVER_READY}`, `Send ${SERVER_READY}`],
    [app(`x.${HOST_READY}.y`), `Send ${SERVER_READY}`, `Send ${SERVER_READY}`],
    [app(CLIENT_CONNECTED), `Send ${SERVER_INFO}`, `Send ${SERVER_INFO}`],
    [app(SERVER_INFO), 'callback', `Send ${SERVER_INFO}`],
    [app(`v2.${SERVER_INFO}`), 'callback', `Send ${SERVER_INFO}`],
    [app(`${SERVER_INFO}.${HOST_READY}`), 'callback', `Send ${SERVER_READY}`],
    [app(`${CLIENT_CONNECTED}.${HOST_READY}`), `Send ${SERVER_READY}`, `Send ${SERVER_READY}`],
    [app(`${SERVER_INFO}.${CLIENT_CONNECTED}`), 'callback', `Send ${SERVER_INFO}`],
    [app(SERVER_READY), 'nothing', 'nothing'],
    [app('zem.devtools.server.terminated'), 'nothing', 'nothing'],
    [app('ZEM.DEVTOOLS.HOST.READY'), 'nothing', 'nothing'],
    [app('zem.devtools.host'), 'nothing', 'nothing'],
    [app(''), 'nothing', 'nothing'],
  ];
  for (const [type, withCallback, withoutCallback] of cases) {
    for (const [listen, expected] of [['both', withCallback], ['details', withoutCallback]]) {
      const { received } = adapterWith([], { listen });
      control.clearCalls();
      deliver({ type });
      await settle(() => received.length > 0, expected === 'callback' ? 2000 : 30);
      const outcome = received.length > 0 ? 'callback' : (busRecord()[0] ?? 'nothing');
      assert.equal(outcome, expected, `${type} (${listen})`);
      assert.ok(received.length + busRecord().length <= 1, `${type}: one outcome only`);
    }
  }
});

test('host announcements are answered to the sender application and version with the stored details', () => {
  const r1 = ep(':6.1', 'RSTN', '1');
  const r2 = ep(':6.2', 'RSTN', '2');
  const v1 = ep(':6.3', 'VCTR', '1');
  const { adapter } = adapterWith([r1, r2, v1], { details: '{"port":1}' });

  deliver({ type: app(HOST_READY), source: r2 });
  let sent = sends();
  assert.equal(sent.length, 1);
  assert.equal(sent[0].type, app(SERVER_READY));
  assert.equal(sent[0].payload, '{"port":1}');
  assert.deepEqual(texts(sent[0].destinations), [text(r2)]);
  assert.deepEqual(sent[0].source, SELF);

  // The application id and version that the message carries decide, not its source's.
  control.clearCalls();
  deliver({ type: app(HOST_READY), source: r1, appId: 'VCTR', appVersion: '9' });
  assert.deepEqual(texts(sends()[0].destinations), [text(v1)]);

  // The stored details are the last ones given, also when empty.
  for (const [started, details] of [[false, 'stopped'], [true, ''], [true, 'Grüße']]) {
    adapter.setServerDetails(started, details);
    control.clearCalls();
    deliver({ type: app(HOST_READY), source: r1 });
    sent = sends();
    assert.deepEqual(sent.map((s) => [s.type, s.payload, texts(s.destinations)]),
      [[app(SERVER_READY), details, [text(r1)]]]);
  }
});

test('client requests, and server information with no callback, are answered with server information', () => {
  const q1 = ep(':6.5', 'QOVR', '1');
  const q2 = ep(':6.6', 'QOVR', '2');
  for (const type of [app(CLIENT_CONNECTED), app(SERVER_INFO)]) {
    adapterWith([q1, q2], { details: 'D' });
    deliver({ type, source: q2 });
    assert.deepEqual(sends().map((s) => [s.type, s.payload, texts(s.destinations)]),
      [[app(SERVER_INFO), 'D', [text(q2)]]], type);
  }
  // A client request is answered also while a callback is set; before any
  // setServerDetails the stored details are empty.
  adapterWith([q1], { listen: 'callback' });
  deliver({ type: app(CLIENT_CONNECTED), source: q1 });
  assert.deepEqual(sends().map((s) => [s.type, s.payload]), [[app(SERVER_INFO), '']]);
});

// ---------------------------------------------------------------------------------------
// Delivery to script

test('server information reaches the callback once: type, payload, application id, version', async () => {
  const q = ep(':6.7', 'QOVR', '4');
  const { received } = adapterWith([q], { listen: 'callback' });
  deliver({ type: app(SERVER_INFO), source: q, appId: 'QOVX', appVersion: '4.1', payload: '{"port":9}' });
  await settle(() => received.length > 0);
  await sleep(20);
  assert.equal(received.length, 1);
  assert.deepEqual(received[0].args, [app(SERVER_INFO), '{"port":9}', 'QOVX', '4.1']);
  assert.equal(received[0].self, undefined, '`this` is undefined');
  assert.deepEqual(sends(), [], 'delivered, not answered');
});

test('payload and texts reach script byte-exact', async () => {
  const cases = [
    // name, payload delivered, expected second argument
    ['reported size 1 (empty payload)', '', ''],
    ['one byte', 'x', 'x'],
    ['zero bytes inside are kept', 'a\0b\0', 'a\0b\0'],
    ['only a zero byte', '\0', '\0'],
    ['UTF-8', 'Grüße 世界 🎉', 'Grüße 世界 🎉'],
    ['long', 'p'.repeat(100000), 'p'.repeat(100000)],
  ];
  const { received } = adapterWith([], { listen: 'callback' });
  for (const [name, payload, expected] of cases) {
    received.length = 0;
    deliver({ type: app(SERVER_INFO), payload: Buffer.from(payload, 'utf8') });
    await settle(() => received.length > 0);
    assert.equal(received.length, 1, name);
    assert.equal(received[0].args[1], expected, name);
  }
  // Empty application id and version arrive as empty strings.
  received.length = 0;
  deliver({ type: app(SERVER_INFO), source: ep(':6.8', '', ''), appId: '', appVersion: '' });
  await settle(() => received.length > 0);
  assert.deepEqual(received[0].args, [app(SERVER_INFO), '', '', '']);
});

test('messages reach the callback in arrival order, one call each', async () => {
  const { received } = adapterWith([], { listen: 'callback' });
  for (const count of [2, 200]) {
    received.length = 0;
    for (let i = 0; i < count; ++i) {
      assert.ok(control.deliver({ type: app(SERVER_INFO), appId: 'QOVR', appVersion: '1', source: PEER, payload: `m${i}` }));
    }
    control.waitIdle(5000);
    await settle(() => received.length >= count);
    await sleep(20);
    assert.deepEqual(received.map((r) => r.args[1]), Array.from({ length: count }, (_, i) => `m${i}`));
  }
});

test('a second getServicePort replaces the callback', async () => {
  const { adapter, received: first } = adapterWith([], { listen: 'callback' });
  const second = [];
  adapter.getServicePort((...args) => second.push(args));
  deliver({ type: app(SERVER_INFO), payload: 'after' });
  await settle(() => second.length > 0);
  await sleep(20);
  assert.deepEqual(second.map((a) => a[1]), ['after']);
  assert.equal(first.length, 0);
});

test('messages already queued to a replaced callback still reach it, in order', async () => {
  // Queued on the library's thread while this thread does not yield, then the callback
  // is replaced: the queued ones belong to the first callback, later ones to the second.
  const { adapter, received: first } = adapterWith([], { listen: 'callback' });
  for (let i = 0; i < 300; ++i) {
    assert.ok(control.deliver({ type: app(SERVER_INFO), appId: 'QOVR', appVersion: '1', source: PEER, payload: `q${i}` }));
  }
  control.waitIdle(5000);
  const second = [];
  adapter.getServicePort((...args) => second.push(args));
  deliver({ type: app(SERVER_INFO), payload: 'after' });
  await settle(() => first.length >= 300 && second.length >= 1);
  await sleep(20);
  assert.deepEqual(first.map((r) => r.args[1]), Array.from({ length: 300 }, (_, i) => `q${i}`));
  assert.deepEqual(second.map((a) => a[1]), ['after']);
});

test('while messages stream in, the tail and a replaced callback\'s queue still arrive', async () => {
  // A delivery of several messages at once makes the script thread pick up the next
  // ones on a timer. Messages queued under that timer must still reach their callback
  // when the callback is replaced before the timer runs, and when the stream just stops.
  const { adapter } = adapterWith([], { listen: 'none' });
  const burst = (prefix, n) => {
    for (let i = 0; i < n; ++i) {
      assert.ok(control.deliver({ type: app(SERVER_INFO), appId: 'QOVR', appVersion: '1', source: PEER,
        payload: `${prefix}${i}` }));
    }
    control.waitIdle(5000);
  };
  const first = [];
  const second = [];
  const replaced = new Promise((resolve) => {
    adapter.getServicePort((type, payload) => {
      first.push(payload);
      // The timer is set once this delivery ends; a check-phase callback runs before the
      // event loop reaches its timers again.
      if (payload === 'a2') {
        setImmediate(() => {
          burst('b', 5);
          adapter.getServicePort((t, p) => {
            second.push(p);
            // Queued under the new callback's timer, and nothing after them.
            if (p === 'c3') setImmediate(() => burst('d', 2));
          });
          resolve();
        });
      }
    });
  });
  burst('a', 3);
  await replaced;
  burst('c', 4);
  await settle(() => first.length === 8 && second.length === 6);
  await sleep(20);
  assert.deepEqual(first, ['a0', 'a1', 'a2', 'b0', 'b1', 'b2', 'b3', 'b4']);
  assert.deepEqual(second, ['c0', 'c1', 'c2', 'c3', 'd0', 'd1'], 'the tail of the stream');
});

test('a released callback is never called by a late message', async () => {
  // Released and the adapter listening again without a callback: the late message is
  // answered, not delivered.
  const { adapter, received } = adapterWith([], { listen: 'callback' });
  adapter.disconnect();
  adapter.setServerDetails(true, 'D');
  control.clearCalls();
  deliver({ type: app(SERVER_INFO), payload: 'late' });
  await sleep(50);
  assert.equal(received.length, 0);
  assert.deepEqual(sends().map((s) => [s.type, s.payload]), [[app(SERVER_INFO), 'D']]);

  // Released while the library's thread is still delivering a stream of messages: what
  // was queued before the release may still arrive, nothing after it.
  const stream = adapterWith([], { listen: 'callback' });
  for (let i = 0; i < 500; ++i) {
    control.deliver({ type: app(SERVER_INFO), appId: 'QOVR', appVersion: '1', source: PEER, payload: `s${i}` });
  }
  stream.adapter.disconnect();
  control.waitIdle(5000);
  await sleep(100);
  const seen = stream.received.length;
  assert.ok(seen <= 500);
  assert.deepEqual(stream.received.map((r) => r.args[1]), Array.from({ length: seen }, (_, i) => `s${i}`),
    'a prefix of the stream, in order');
  stream.adapter.setServerDetails(true, 'D');
  deliver({ type: app(SERVER_INFO), payload: 'later' });
  await sleep(50);
  assert.equal(stream.received.length, seen);
});

// ---------------------------------------------------------------------------------------
// Script methods

test('argument errors: TypeError with the first failing check, and nothing done', () => {
  const fn = () => {};
  const cases = [
    ['setServerDetails', [], 'Wrong number of arguments'],
    ['setServerDetails', [true], 'Wrong number of arguments'],
    ['setServerDetails', ['x'], 'Wrong number of arguments'],
    ['setServerDetails', [1, 'x'], 'Expected isServerStarted to be a Boolean'],
    ['setServerDetails', [1, 2], 'Expected isServerStarted to be a Boolean'],
    ['setServerDetails', ['true', 'x'], 'Expected isServerStarted to be a Boolean'],
    ['setServerDetails', [undefined, 'x'], 'Expected isServerStarted to be a Boolean'],
    ['setServerDetails', [new Boolean(true), 'x'], 'Expected isServerStarted to be a Boolean'], // eslint-disable-line no-new-wrappers
    ['setServerDetails', [true, 1], 'Expected payload to be a string'],
    ['setServerDetails', [false, null], 'Expected payload to be a string'],
    ['setServerDetails', [true, undefined], 'Expected payload to be a string'],
    ['setServerDetails', [true, new String('x')], 'Expected payload to be a string'], // eslint-disable-line no-new-wrappers
    ['setServerDetails', [true, Buffer.from('x')], 'Expected payload to be a string'],
    ['getServicePort', [], 'Wrong number of arguments'],
    ['getServicePort', ['f'], 'Expected callback to be a function'],
    ['getServicePort', [undefined], 'Expected callback to be a function'],
    ['getServicePort', [{}], 'Expected callback to be a function'],
    ['getServicePort', [null, fn], 'Expected callback to be a function'],
  ];
  const { adapter } = adapterWith([ep(':7.1', 'QOVR')], { listen: 'details', details: 'kept' });
  for (const [method, args, message] of cases) {
    control.clearCalls();
    assert.throws(() => adapter[method](...args), (error) => {
      assert.ok(error instanceof TypeError, `${method}(${args.length} args): a TypeError`);
      assert.equal(error.message, message, `${method} with ${JSON.stringify(args)}`);
      return true;
    });
    assert.deepEqual(control.calls(), [], `${method}: nothing sent or registered`);
  }
  // The stored details are untouched by a refused call.
  deliver({ type: app(HOST_READY) });
  assert.equal(sends()[0].payload, 'kept');
});

test('setServerDetails and getServicePort: what is sent and when the listener is added', () => {
  const q = ep(':7.2', 'QOVR');
  const cases = [
    ['setServerDetails(true, "x")', (a) => a.setServerDetails(true, 'x'), [`Send ${SERVER_READY} "x"`, 'AddListener']],
    ['setServerDetails(false, "")', (a) => a.setServerDetails(false, ''), ['Send zem.devtools.server.terminated ""', 'AddListener']],
    ['setServerDetails(false, "abc")', (a) => a.setServerDetails(false, 'abc'), ['Send zem.devtools.server.terminated "abc"', 'AddListener']],
    ['further arguments ignored', (a) => a.setServerDetails(true, 'y', 3, {}), [`Send ${SERVER_READY} "y"`, 'AddListener']],
    ['getServicePort(fn)', (a) => a.getServicePort(() => {}), ['AddListener', `Send ${CLIENT_CONNECTED} ""`]],
    ['getServicePort(fn, extra)', (a) => a.getServicePort(() => {}, 'extra'), ['AddListener', `Send ${CLIENT_CONNECTED} ""`]],
    ['disconnect()', (a) => a.disconnect(), ['RemoveListener', 'RemoveErrorListener']],
    ['disconnect(extra)', (a) => a.disconnect(1, 2), ['RemoveListener', 'RemoveErrorListener']],
  ];
  for (const [name, call, expected] of cases) {
    const { adapter } = adapterWith([q], { listen: 'none' });
    assert.equal(call(adapter), undefined, `${name} returns undefined`);
    const record = control.calls()
      .filter((c) => ['Send', 'AddListener', 'RemoveListener', 'RemoveErrorListener'].includes(c.op))
      .map((c) => (c.op === 'Send' ? `Send ${c.type.slice(BUS_PREFIX.length)} ${JSON.stringify(c.payload)}` : c.op));
    assert.deepEqual(record, expected, name);
  }
});

test('setServerDetails(false, "") stores the empty text', () => {
  const { adapter } = adapterWith([], { details: 'before' });
  adapter.setServerDetails(false, '');
  control.clearCalls();
  deliver({ type: app(HOST_READY) });
  assert.deepEqual(sends().map((s) => s.payload), ['']);
});

test('the listener: added by each setServerDetails and getServicePort, removed by disconnect', () => {
  const { adapter } = adapterWith([], { listen: 'none' });
  const listening = () => {
    control.clearCalls();
    deliver({ type: app(CLIENT_CONNECTED) });
    return sends().length === 1;
  };
  assert.equal(listening(), false, 'start-up does not register the listener');
  adapter.setServerDetails(true, 'x');
  adapter.setServerDetails(true, 'x');
  assert.equal(control.listenerCount(), 1);
  assert.equal(listening(), true);
  assert.equal(listening(), true, 'answered once, not once per registration');
  adapter.disconnect();
  assert.equal(listening(), false);
  adapter.getServicePort(() => {});
  assert.equal(listening(), true);
  adapter.disconnect();
  assert.equal(listening(), false);
});

test('disconnect twice, and before any getServicePort, removes the listener each time', async () => {
  const { adapter } = adapterWith([], { listen: 'details' });
  for (let i = 0; i < 2; ++i) {
    control.clearCalls();
    assert.equal(adapter.disconnect(), undefined);
    assert.deepEqual(control.calls().map((c) => c.op), ['RemoveListener', 'RemoveErrorListener']);
  }
  assert.equal(control.listenerCount(), 0);
  // After a callback: released once, and a second disconnect has nothing left to release.
  const received = [];
  adapter.getServicePort((...args) => received.push(args));
  adapter.disconnect();
  adapter.disconnect();
  adapter.setServerDetails(true, 'x');
  deliver({ type: app(SERVER_INFO) });
  await sleep(50);
  assert.equal(received.length, 0);
  // And the adapter still works afterwards.
  adapter.getServicePort((...args) => received.push(args));
  deliver({ type: app(SERVER_INFO), payload: 'again' });
  await settle(() => received.length > 0);
  assert.equal(received[0][1], 'again');
});

test('getAppsList: the known host applications in the dispatcher order', () => {
  const cases = [
    ['nothing on the bus', [], []],
    ['only the service and unknown applications', [ep(':8.1', 'QOVR'), ep(':8.2', 'XXXX'), ep(':8.3', '')], []],
    ['two endpoints of one application', [ep(':8.4', 'VCTR', '1.0'), ep(':8.5', 'QOVR'), ep(':8.6', 'VCTR', '2.0')],
      ['VC,1.0,Quorlen Vectrine', 'VC,2.0,Quorlen Vectrine']],
    ['ZEMD uses its id as short code', [ep(':8.7', 'ZEMD', '3')], ['ZEMD,3,ZEM Demo App']],
    ['all five, dispatcher order (not key order)',
      [ep(':9.1', 'ZEMD', '5'), ep(':9.2', 'FOLM', '4'), ep(':9.3', 'VCTR', '3'), ep(':9.4', 'WRLM', '2'), ep(':9.5', 'RSTN', '1')],
      ['ZEMD,5,ZEM Demo App', 'FO,4,Quorlen Folium', 'VC,3,Quorlen Vectrine', 'WL,2,Quorlen WL', 'RS,1,Quorlen Rasterine']],
    ['empty version: two adjacent commas', [ep(':9.6', 'RSTN', '')], ['RS,,Quorlen Rasterine']],
    ['no quoting or escaping', [ep(':9.7', 'FOLM', '1,2 "x"')], ['FO,1,2 "x",Quorlen Folium']],
    ['ids compare exactly', [ep(':9.8', 'rstn'), ep(':9.9', 'RSTN '), ep(':9.10', 'RST')], []],
    ['duplicates both listed', [ep(':9.11', 'WRLM', '1.0'), ep(':9.11', 'WRLM', '1.0')], ['WL,1.0,Quorlen WL', 'WL,1.0,Quorlen WL']],
  ];
  const { adapter } = adapterWith([], { listen: 'none' });
  for (const [name, endPoints, expected] of cases) {
    // The dispatcher's current list, not the cache: no refresh in between.
    control.setEndPoints(endPoints);
    const list = adapter.getAppsList('ignored', 1);
    assert.ok(Array.isArray(list), name);
    assert.deepEqual(list, expected, name);
  }
});
