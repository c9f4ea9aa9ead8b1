'use strict';
// The endpoint cache and outgoing messages, seen from the script
// surface: every send names its destinations, source, type and payload in the test
// double's call record.
//
// How the cache is read from outside: an incoming "zem.devtools.host.ready" is answered
// with a send addressed through selectDestinations(appId, appVersion) of the message, so
// `destinationsFor(appId, appVersion)` shows exactly what the cache answers for any key
// and version. The probing message comes from PROBE, an endpoint that every scripted
// list holds, so the probe itself is a cache hit and changes nothing. Whether a message
// was a cache miss (insertIfNotAlreadyCached answered true) shows as the refresh request
// that the next message starts with; refreshes are completed by hand (completeRefreshes
// false), so a requested refresh never rebuilds the cache behind a test's back.
const test = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');

const {
  control, OstrelAdapter, SELF, BUS_PREFIX, callsOf, sends, startAdapter, deliverFrom,
} = require('./support/inproc');

const PROBE = { id: ':9.9', appId: 'PRBE', appVersion: '1' };
const EMPTY_END_POINT = { id: '', appId: '', appVersion: '' };

// Adapters stay referenced for the whole run: a collected adapter gives the dispatcher
// back at an unpredictable moment, which would show up in another test's call record.
const adapters = [];

const ep = (id, appId, appVersion = '1') => ({ id, appId, appVersion });
const text = (e) => `${e.id}/${e.appId}/${e.appVersion}`;
const texts = (list) => list.map(text);

// An adapter whose first refresh has completed with `endPoints` (PROBE added), which
// listens to the bus (setServerDetails registers it), with an empty call record.
function cachedAdapter(endPoints, { target, details = 'details', self = SELF } = {}) {
  disconnectAll();
  const args = target === undefined ? ['QOVR', '2.0'] : ['QOVR', '2.0', target];
  const adapter = startAdapter(
    { self, endPoints: [...endPoints, PROBE], completeRefreshes: false }, args);
  adapters.push(adapter);
  assert.ok(control.completeRefresh());
  control.waitIdle(5000);
  adapter.setServerDetails(true, details);
  control.waitIdle(5000);
  control.clearCalls();
  return adapter;
}

function deliver(message) {
  assert.ok(control.deliver({ source: PROBE, payload: '', ...message }));
  control.waitIdle(5000);
}

// What the cache answers for (appId, appVersion), as the destinations of the answer to
// a host announcement; `refreshed` tells whether the probe began with a refresh request,
// that is, whether the message before it was a cache miss.
function probe(appId, appVersion) {
  control.clearCalls();
  deliver({ type: `${BUS_PREFIX}zem.devtools.host.ready`, appId, appVersion });
  const calls = callsOf('Send', 'RefreshEndPoints');
  const sent = calls.filter((c) => c.op === 'Send');
  assert.equal(sent.length, 1, 'one answer per probe');
  const refreshes = calls.filter((c) => c.op === 'RefreshEndPoints').length;
  assert.ok(refreshes <= 1);
  if (refreshes === 1) assert.equal(calls[0].op, 'RefreshEndPoints', 'refresh comes first');
  control.clearCalls();
  return { destinations: texts(sent[0].destinations), refreshed: refreshes === 1, send: sent[0] };
}

const destinationsFor = (appId, appVersion = '') => probe(appId, appVersion).destinations;

// An application message of a type the adapter does not act on: only caches its sender.
function learn(source) {
  deliverFrom(source, 'zem.devtools.server.ready', '');
}

// Only the adapter under test listens: the earlier ones would answer too.
function disconnectAll() {
  for (const adapter of adapters) adapter.disconnect();
  control.waitIdle(5000);
}

test.afterEach(disconnectAll);

// ---------------------------------------------------------------------------------------
// Refresh

test('a refresh rebuilds the cache exactly from the dispatcher list', () => {
  const a1 = ep(':1.10', 'RSTN', '1');
  const b1 = ep(':1.11', 'VCTR', '1');
  const a2 = ep(':1.12', 'RSTN', '2');
  cachedAdapter([a1, b1, a2, a1]);

  // Duplicates kept, insertion order kept within a key, other keys apart.
  assert.deepEqual(destinationsFor('RSTN'), texts([a1, a2, a1]));
  assert.deepEqual(destinationsFor('VCTR'), texts([b1]));

  // A learnt endpoint goes after the cached ones of its application ...
  const learnt = ep(':1.13', 'RSTN', '1');
  learn(learnt);
  const afterLearning = probe('RSTN', '');
  assert.equal(afterLearning.refreshed, true, 'a new sender marks the cache stale');
  assert.deepEqual(afterLearning.destinations, texts([a1, a2, a1, learnt]));

  // ... and is gone after the next rebuild, which also replaces the own endpoint.
  const newSelf = { id: ':1.99', appId: 'QOVR', appVersion: '3.0' };
  control.setEndPoints([a2, PROBE]);
  control.setSelf(newSelf);
  assert.ok(control.completeRefresh());
  control.waitIdle(5000);
  const afterRefresh = probe('RSTN', '');
  assert.deepEqual(afterRefresh.destinations, texts([a2]));
  assert.deepEqual(afterRefresh.send.source, newSelf);
  assert.deepEqual(destinationsFor('VCTR'), [], 'an application no longer listed: broadcast');
});

test('a rebuild runs GetSelf and GetEndPoints, and FreeEndPoints only for a non-empty list', () => {
  for (const [name, endPoints, frees] of [
    ['empty list', [], 0],
    ['two endpoints', [ep(':1.20', 'RSTN'), ep(':1.21', 'FOLM')], 1],
  ]) {
    disconnectAll();
    const adapter = startAdapter({ endPoints, completeRefreshes: false });
    adapters.push(adapter);
    control.clearCalls();
    assert.ok(control.completeRefresh());
    control.waitIdle(5000);
    // Every adapter still alive rebuilds; each rebuild is the same three-step sequence.
    const ops = callsOf('GetSelf', 'GetEndPoints', 'FreeEndPoints').map((c) => c.op);
    const perRebuild = ['GetSelf', 'GetEndPoints', ...Array(frees).fill('FreeEndPoints')];
    assert.equal(ops.length % perRebuild.length, 0, name);
    for (let i = 0; i < ops.length; i += perRebuild.length) {
      assert.deepEqual(ops.slice(i, i + perRebuild.length), perRebuild, name);
    }
    // getAppsList reads the list the same way, outside the cache.
    control.clearCalls();
    adapter.getAppsList();
    assert.deepEqual(callsOf('GetEndPoints', 'FreeEndPoints').map((c) => c.op),
      ['GetEndPoints', ...Array(frees).fill('FreeEndPoints')], name);
    adapter.disconnect();
  }
});

test('an empty dispatcher list leaves the cache empty: every send is a broadcast', () => {
  const adapter = startAdapter({ endPoints: [] }, ['QOVR', '2.0', 'RSTN']);
  adapters.push(adapter);
  adapter.setServerDetails(true, 'x');
  adapter.getServicePort(() => {});
  assert.deepEqual(sends().map((s) => s.destinations), [[], []]);
  assert.deepEqual(sends().map((s) => s.source), [SELF, SELF]);
});

// ---------------------------------------------------------------------------------------
// insertIfNotAlreadyCached

test('a sender is cached only when its application has no endpoint of the same id', () => {
  const cached = ep(':1.30', 'RSTN', '1');
  const cases = [
    { name: 'same endpoint again', source: cached, miss: false, appId: 'RSTN',
      expect: [cached] },
    { name: 'same ids, another version: hit, old version kept',
      source: ep(':1.30', 'RSTN', '7'), miss: false, appId: 'RSTN', expect: [cached] },
    { name: 'cached endpoint id under another application: miss, added apart',
      source: ep(':1.30', 'VCTR', '1'), miss: true, appId: 'VCTR',
      expect: [ep(':1.30', 'VCTR', '1')], alsoUnchanged: true },
    { name: 'new endpoint of a cached application: miss, added after',
      source: ep(':1.31', 'RSTN', '2'), miss: true, appId: 'RSTN',
      expect: [cached, ep(':1.31', 'RSTN', '2')] },
    { name: 'application ids compare exactly (case)',
      source: ep(':1.30', 'rstn', '1'), miss: true, appId: 'rstn',
      expect: [ep(':1.30', 'rstn', '1')], alsoUnchanged: true },
    { name: 'endpoint ids compare exactly (prefix)',
      source: ep(':1.3', 'RSTN', '1'), miss: true, appId: 'RSTN',
      expect: [cached, ep(':1.3', 'RSTN', '1')] },
  ];
  for (const c of cases) {
    cachedAdapter([cached]);
    learn(c.source);
    const seen = probe(c.appId, '');
    assert.equal(seen.refreshed, c.miss, `${c.name}: miss shows as a refresh request`);
    assert.deepEqual(seen.destinations, texts(c.expect), c.name);
    if (c.alsoUnchanged) assert.deepEqual(destinationsFor('RSTN'), texts([cached]), c.name);
    // A hit clears the flag: the probe after the probe starts with no refresh request.
    assert.equal(probe(c.appId, '').refreshed, false, c.name);
  }
});

// The warning line goes to standard output, so this runs in a child process whose
// output the test reads. The child prints its findings as one JSON line.
function runChild(body) {
  const source = `
    'use strict';
    const { control, BUS_PREFIX, startAdapter } = require(${JSON.stringify(require.resolve('./support/inproc'))});
    const PROBE = ${JSON.stringify(PROBE)};
    const ep = (id, appId, appVersion = '1') => ({ id, appId, appVersion });
    function deliver(type, source, appId = source.appId, appVersion = source.appVersion) {
      control.deliver({ type: BUS_PREFIX + type, appId, appVersion, source, payload: '' });
      control.waitIdle(5000);
    }
    function probe(appId) {
      control.clearCalls();
      deliver('zem.devtools.host.ready', PROBE, appId, '');
      const sent = control.calls().filter((c) => c.op === 'Send');
      const refreshed = control.calls().some((c) => c.op === 'RefreshEndPoints');
      return { count: sent[0].destinations.length, ids: sent[0].destinations.map((d) => d.id), refreshed };
    }
    const out = {};
    const mark = (name) => process.stdout.write('@@mark ' + name + '\\n');
    ${body}
    process.stdout.write('@@result ' + JSON.stringify(out) + '\\n');
  `;
  const result = spawnSync(process.execPath, ['-e', source], { encoding: 'utf8', timeout: 60000 });
  assert.equal(result.status, 0, `child failed: ${result.stderr}`);
  const lines = result.stdout.split('\n');
  const resultLine = lines.find((l) => l.startsWith('@@result '));
  assert.ok(resultLine, result.stdout);
  // Warning lines between marks, by mark name.
  const warnings = {};
  let current = '';
  for (const line of lines) {
    if (line.startsWith('@@mark ')) current = line.slice(7);
    else if (line.includes('WARNING Cache stale')) (warnings[current] ??= []).push(line);
  }
  return { out: JSON.parse(resultLine.slice(9)), warnings };
}

const WARNING_LINE =
  /^Info:ostreladapter: WARNING Cache stale - dropped missing EndPoint due to large cache size \(.*ostreladapter\.cpp\.OstrelAdapter::insertIfNotAlreadyCached\.\d+\)$/;

test('the cache learns up to 200 entries: the 200th is added, the 201st dropped with a warning', () => {
  const { out, warnings } = runChild(`
    const fillers = Array.from({ length: 198 }, (_, i) => ep(':2.' + i, 'FILL'));
    const adapter = startAdapter({ endPoints: [...fillers, PROBE], completeRefreshes: false });
    control.completeRefresh(); control.waitIdle(5000);
    adapter.setServerDetails(true, '');
    control.waitIdle(5000);
    out.fill = probe('FILL');                       // 199 entries: the fillers and PROBE
    mark('200th');
    deliver('zem.devtools.server.ready', ep(':3.1', 'NEWA'));
    out.added = probe('NEWA');
    mark('201st');
    deliver('zem.devtools.server.ready', ep(':3.2', 'NEWB'));
    out.dropped = probe('NEWB');
    mark('hit at the limit');
    deliver('zem.devtools.server.ready', ep(':3.1', 'NEWA'));
    out.hitAtLimit = probe('NEWA');
    mark('end');
    adapter.disconnect();
  `);
  assert.equal(out.fill.count, 198);
  assert.deepEqual(out.added, { count: 1, ids: [':3.1'], refreshed: true });
  assert.equal(warnings['200th'], undefined, 'no warning while there is room');
  assert.deepEqual(out.dropped, { count: 0, ids: [], refreshed: true },
    'dropped, yet a miss: the next message requests a refresh');
  assert.equal(warnings['201st']?.length, 1);
  assert.match(warnings['201st'][0], WARNING_LINE);
  assert.deepEqual(out.hitAtLimit, { count: 1, ids: [':3.1'], refreshed: false });
  assert.equal(warnings['hit at the limit'], undefined, 'a hit at the limit warns nothing');
});

test('a refresh has no limit; the cache learns again only after a refresh leaves fewer than 200', () => {
  const { out, warnings } = runChild(`
    const fillers = Array.from({ length: 249 }, (_, i) => ep(':2.' + i, 'FILL'));
    const adapter = startAdapter({ endPoints: [...fillers, PROBE], completeRefreshes: false });
    control.completeRefresh(); control.waitIdle(5000);
    adapter.setServerDetails(true, '');
    control.waitIdle(5000);
    out.fill = probe('FILL');                       // 250 entries
    mark('over the limit');
    deliver('zem.devtools.server.ready', ep(':3.1', 'NEWA'));
    out.dropped = probe('NEWA');
    mark('small refresh');
    control.setEndPoints([...fillers.slice(0, 10), PROBE]);
    control.completeRefresh(); control.waitIdle(5000);
    out.fillAfter = probe('FILL');
    deliver('zem.devtools.server.ready', ep(':3.1', 'NEWA'));
    out.added = probe('NEWA');
    mark('end');
    adapter.disconnect();
  `);
  assert.equal(out.fill.count, 249);
  assert.equal(out.fill.ids[248], ':2.248', 'the whole list, in order');
  assert.deepEqual(out.dropped, { count: 0, ids: [], refreshed: true });
  assert.equal(warnings['over the limit']?.length, 1);
  assert.match(warnings['over the limit'][0], WARNING_LINE);
  assert.equal(out.fillAfter.count, 10);
  assert.deepEqual(out.added, { count: 1, ids: [':3.1'], refreshed: true });
  assert.equal(warnings['small refresh'], undefined);
});

// ---------------------------------------------------------------------------------------
// selectDestinations

test('version narrowing: the requested version when cached, else every endpoint in order', () => {
  const v1 = ep(':1.40', 'VCTR', '1');
  const v2 = ep(':1.41', 'VCTR', '2');
  const other = ep(':1.42', 'FOLM', '2');
  cachedAdapter([v1, other, v2]);
  for (const [version, expect] of [
    ['2', [v2]],
    ['1', [v1]],
    ['3', [v1, v2]],
    ['', [v1, v2]],
    ['2.0', [v1, v2]],       // versions compare exactly
    ['1 ', [v1, v2]],
  ]) {
    assert.deepEqual(destinationsFor('VCTR', version), texts(expect), `version "${version}"`);
  }
  // Two endpoints of the asked version: both, in cache order.
  const v2b = ep(':1.43', 'VCTR', '2');
  learn(v2b);
  assert.deepEqual(destinationsFor('VCTR', '2'), texts([v2, v2b]));
  assert.deepEqual(destinationsFor('VCTR', '1'), texts([v1]));
});

test('the key: an empty application id stands for the default target, compared exactly', () => {
  const rstn1 = ep(':1.50', 'RSTN', '1');
  const rstn2 = ep(':1.51', 'RSTN', '2');
  const anon1 = ep(':1.52', '', '1');
  const anon2 = ep(':1.53', '', '2');
  const qovr = ep(':1.54', 'QOVR', '5');
  const list = [rstn1, anon1, rstn2, anon2, qovr];
  const cases = [
    // [name, target, message appId, message appVersion, expected]
    ['target used for an empty id', 'RSTN', '', '', [rstn1, rstn2]],
    ['target narrowed by version', 'RSTN', '', '2', [rstn2]],
    ['target, unknown version', 'RSTN', '', '9', [rstn1, rstn2]],
    ['a given id wins over the target', 'RSTN', 'QOVR', '', [qovr]],
    ['both empty: only the empty key, no narrowing', undefined, '', '2', [anon1, anon2]],
    ['both empty, no version', '', '', '', [anon1, anon2]],
    ['target not cached: broadcast', 'WRLM', '', '', []],
    ['target compares exactly (case)', 'rstn', '', '', []],
    ['target compares exactly (prefix)', 'RST', '', '', []],
    ['given id not cached: broadcast', 'RSTN', 'RSTNX', '1', []],
  ];
  for (const [name, target, appId, appVersion, expect] of cases) {
    cachedAdapter(list, { target });
    assert.deepEqual(destinationsFor(appId, appVersion), texts(expect), name);
  }
  // Both empty and nothing under the empty key: broadcast.
  cachedAdapter([rstn1]);
  assert.deepEqual(destinationsFor('', '1'), []);
});

test('script sends address the default target, and QOVR for getServicePort', () => {
  const rstn1 = ep(':1.60', 'RSTN', '1');
  const rstn2 = ep(':1.61', 'RSTN', '2');
  const qovr1 = ep(':1.62', 'QOVR', '1');
  const qovr2 = ep(':1.63', 'QOVR', '2');
  const anon = ep(':1.64', '', '1');
  // A service of the adapter's own version (SELF is 2.0): getServicePort asks every
  // service, it does not narrow to the services of its own version.
  const qovrOwn = ep(':1.65', 'QOVR', SELF.appVersion);
  const list = [qovr2, rstn1, anon, qovr1, rstn2, qovrOwn];
  const cases = [
    // [name, target, call, expected]
    ['setServerDetails true, target RSTN', 'RSTN', (a) => a.setServerDetails(true, 'x'), [rstn1, rstn2]],
    ['setServerDetails false, target RSTN', 'RSTN', (a) => a.setServerDetails(false, 'x'), [rstn1, rstn2]],
    ['setServerDetails without target: the empty key', undefined, (a) => a.setServerDetails(true, 'x'), [anon]],
    ['setServerDetails, target not on the bus', 'FOLM', (a) => a.setServerDetails(true, 'x'), []],
    ['getServicePort: QOVR, all versions, whatever the target', 'RSTN', (a) => a.getServicePort(() => {}), [qovr2, qovr1, qovrOwn]],
    ['getServicePort without target', undefined, (a) => a.getServicePort(() => {}), [qovr2, qovr1, qovrOwn]],
  ];
  for (const [name, target, call, expect] of cases) {
    const adapter = cachedAdapter(list, { target });
    call(adapter);
    const sent = sends();
    assert.equal(sent.length, 1, name);
    assert.deepEqual(texts(sent[0].destinations), texts(expect), name);
    assert.deepEqual(sent[0].source, SELF, name);
  }
  // getServicePort with no QOVR endpoint cached: broadcast.
  const adapter = cachedAdapter([rstn1], { target: 'RSTN' });
  adapter.getServicePort(() => {});
  assert.deepEqual(sends().map((s) => s.destinations), [[]]);
});

test('sends before the first refresh are broadcasts from the default empty endpoint', () => {
  const endPoints = [ep(':1.70', 'RSTN'), ep(':1.71', 'QOVR'), PROBE];
  const adapter = startAdapter({ endPoints, completeRefreshes: false }, ['QOVR', '2.0', 'RSTN']);
  adapters.push(adapter);
  adapter.setServerDetails(true, 'a');
  adapter.setServerDetails(false, 'b');
  adapter.getServicePort(() => {});
  control.waitIdle(5000);
  // An answer sent from the library's thread is no different.
  deliver({ type: `${BUS_PREFIX}zem.devtools.host.ready`, appId: 'RSTN', appVersion: '1' });
  const before = sends();
  assert.equal(before.length, 4);
  for (const s of before) {
    assert.deepEqual(s.source, EMPTY_END_POINT);
  }
  // Nothing is cached yet except the probe's sender (application PRBE), just learnt.
  assert.deepEqual(before.map((s) => s.destinations), [[], [], [], []]);

  control.clearCalls();
  assert.ok(control.completeRefresh());
  control.waitIdle(5000);
  adapter.setServerDetails(true, 'a');
  adapter.getServicePort(() => {});
  assert.deepEqual(sends().map((s) => s.source), [SELF, SELF]);
  assert.deepEqual(sends().map((s) => texts(s.destinations)),
    [[':1.70/RSTN/1'], [':1.71/QOVR/1']]);
});

// ---------------------------------------------------------------------------------------
// sendSuiteMessage

test('bus type texts: the prefix and the message type, nothing in between', () => {
  const cases = [
    ['setServerDetails(true)', (a) => a.setServerDetails(true, 'p'), 'ostrel.SuiteMessage.zem.devtools.server.ready'],
    ['setServerDetails(false)', (a) => a.setServerDetails(false, 'p'), 'ostrel.SuiteMessage.zem.devtools.server.terminated'],
    ['getServicePort', (a) => a.getServicePort(() => {}), 'ostrel.SuiteMessage.zem.devtools.cli.client.connected'],
    ['answer to a host announcement', () => deliver({ type: `${BUS_PREFIX}zem.devtools.host.ready`, appId: 'RSTN', appVersion: '1' }),
      'ostrel.SuiteMessage.zem.devtools.server.ready'],
    ['answer to a client request', () => deliver({ type: `${BUS_PREFIX}zem.devtools.cli.client.connected`, appId: 'QOVR', appVersion: '1' }),
      'ostrel.SuiteMessage.zem.devtools.server.info'],
    ['answer to server information with no callback', () => deliver({ type: `${BUS_PREFIX}zem.devtools.server.info`, appId: 'QOVR', appVersion: '1' }),
      'ostrel.SuiteMessage.zem.devtools.server.info'],
  ];
  for (const [name, act, type] of cases) {
    const adapter = cachedAdapter([ep(':1.80', 'RSTN')]);
    act(adapter);
    control.waitIdle(5000);
    assert.deepEqual(sends().map((s) => s.type), [type], name);
  }
});

test('the payload is sent whole; one with a zero byte is refused, not cut', () => {
  const cases = [
    ['plain', 'abc', 'abc'],
    ['empty', '', ''],
    ['UTF-8 text', 'Grüße, 世界 🎉', 'Grüße, 世界 🎉'],
    ['JSON', '{"port":8080,"host":"localhost"}', '{"port":8080,"host":"localhost"}'],
  ];
  for (const [name, payload, expected] of cases) {
    const adapter = cachedAdapter([ep(':1.90', 'RSTN')]);
    adapter.setServerDetails(true, payload);
    // The stored details are answered with the same rule.
    deliver({ type: `${BUS_PREFIX}zem.devtools.host.ready`, appId: 'RSTN', appVersion: '1' });
    deliver({ type: `${BUS_PREFIX}zem.devtools.cli.client.connected`, appId: 'QOVR', appVersion: '1' });
    assert.deepEqual(sends().map((s) => s.payload), [expected, expected, expected], name);
  }
  // The library carries zero-terminated texts: a zero byte would cut what hosts receive.
  // Refused: nothing is sent, and the details given before stay the ones answered.
  for (const payload of ['ab\0cd', '\0abc', 'abc\0']) {
    const adapter = cachedAdapter([ep(':1.90', 'RSTN')]);
    adapter.setServerDetails(true, 'before');
    control.clearCalls();
    assert.throws(() => adapter.setServerDetails(true, payload),
      { name: 'TypeError', message: 'Expected payload to be a string without zero bytes' });
    assert.deepEqual(sends(), [], JSON.stringify(payload));
    deliver({ type: `${BUS_PREFIX}zem.devtools.host.ready`, appId: 'RSTN', appVersion: '1' });
    assert.deepEqual(sends().map((s) => s.payload), ['before'], JSON.stringify(payload));
  }
  const adapter = cachedAdapter([]);
  adapter.getServicePort(() => {});
  assert.deepEqual(sends().map((s) => s.payload), [''], 'getServicePort sends an empty payload');
});

test('a failed send marks the cache stale; the next successful send requests one refresh', () => {
  const cases = [
    // [name, send codes of four setServerDetails calls, expected record]
    ['fail, fail, ok, ok', [1, 1, 0, 0], ['Send:1', 'Send:1', 'Send:0', 'RefreshEndPoints', 'Send:0']],
    ['all succeed', [0, 0, 0, 0], ['Send:0', 'Send:0', 'Send:0', 'Send:0']],
    ['fail, ok, fail, ok', [5, 0, 2, 0], ['Send:5', 'Send:0', 'RefreshEndPoints', 'Send:2', 'Send:0', 'RefreshEndPoints']],
    ['only failures', [1, 1, 1, 1], ['Send:1', 'Send:1', 'Send:1', 'Send:1']],
  ];
  for (const [name, codes, expected] of cases) {
    const adapter = cachedAdapter([ep(':1.95', 'RSTN')], { target: 'RSTN' });
    control.setSendCodes(codes);
    for (let i = 0; i < codes.length; ++i) {
      assert.equal(adapter.setServerDetails(true, `p${i}`), undefined, 'failures never reach script');
    }
    const record = callsOf('Send', 'RefreshEndPoints')
      .map((c) => (c.op === 'Send' ? `Send:${c.result}` : c.op));
    assert.deepEqual(record, expected, name);
  }
});

test('a failed answer on the library thread leaves the refresh to the next message', () => {
  cachedAdapter([ep(':1.96', 'RSTN')]);
  control.setSendCodes([1]);
  const first = probe('RSTN', '');
  assert.equal(first.send.result, 1);
  const second = probe('RSTN', '');
  assert.equal(second.refreshed, true, 'the stale flag set by the failure is seen by Receive');
  assert.equal(probe('RSTN', '').refreshed, false);
});

test('a send after a refresh rebuilt from another list uses the new destinations', () => {
  const adapter = cachedAdapter([ep(':1.97', 'RSTN')], { target: 'RSTN' });
  control.setEndPoints([ep(':1.98', 'RSTN'), ep(':1.99', 'RSTN', '2'), PROBE]);
  assert.ok(control.completeRefresh());
  control.waitIdle(5000);
  control.clearCalls();
  adapter.setServerDetails(true, 'x');
  assert.deepEqual(texts(sends()[0].destinations), [':1.98/RSTN/1', ':1.99/RSTN/2']);
});

test('no adapter constructed here is left listening', () => {
  // Guards the other tests' assumption that only the adapter under test answers.
  assert.equal(control.listenerCount(), 0);
  assert.ok(OstrelAdapter);
});
