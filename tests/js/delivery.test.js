'use strict';
// The queue between the library's thread and the getServicePort callback: its limits,
// the report of what it dropped, and delivery resuming once script catches up. Each case
// runs in a child process, so that its diagnostic lines can be read.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const { runChild } = require('./support/child');

const MAX_MESSAGES = 4096;
const MAX_BYTES = 16 * 1024 * 1024;

// Floods the callback with `count` server-information messages of `size` payload bytes
// while the script thread does not yield, then lets it run; afterwards one more message
// is sent. Prints the payload lengths and order seen by the callback.
function flood(count, size) {
  return runChild(`
    const { control, OstrelAdapter, SELF, BUS_PREFIX } = require('./tests/js/support/inproc');
    const PEER = { id: ':9.9', appId: 'QOVR', appVersion: '1' };
    control.reset({ self: SELF, endPoints: [PEER] });
    const adapter = new OstrelAdapter('QOVR', '2.0');
    control.waitIdle(5000);
    const seen = [];
    adapter.getServicePort((type, payload) => seen.push(payload));
    const send = (payload) => control.deliver({ type: BUS_PREFIX + 'zem.devtools.server.info',
      appId: 'QOVR', appVersion: '1', source: PEER, payload });
    const filler = 'x'.repeat(${size});
    for (let i = 0; i < ${count}; ++i) send(i + ':' + filler);
    control.waitIdle(20000);
    control.clearCalls();
    setTimeout(() => {
      console.log('-- flood delivered ' + seen.length);
      const indexes = seen.map((p) => Number(p.slice(0, p.indexOf(':'))));
      console.log('@@in order ' + indexes.every((n, i) => n === i));
      console.log('@@answered ' + control.calls().filter((c) => c.op === 'Send').length);
      send('after the flood');
      control.waitIdle(5000);
      setTimeout(() => {
        console.log('@@last ' + seen[seen.length - 1]);
        adapter.disconnect();
      }, 50);
    }, 200);
  `, { timeout: 60000 });
}

function report(stdout) {
  return stdout.split('\n').filter((l) => l.includes('WARNING Script callback fell behind'));
}
function value(stdout, key) {
  const line = stdout.split('\n').find((l) => l.startsWith(`@@${key} `));
  return line && line.slice(key.length + 3);
}

test('the queue holds at most its message count; the rest is dropped, counted and reported once', async () => {
  const extra = 904;
  const { stdout, stderr, code } = await flood(MAX_MESSAGES + extra, 10);
  assert.equal(code, 0, stderr);
  assert.match(stdout, new RegExp(`-- flood delivered ${MAX_MESSAGES}\\n`));
  assert.equal(value(stdout, 'in order'), 'true', 'the first ones, in arrival order');
  assert.equal(value(stdout, 'answered'), '0', 'a dropped message is not answered either');
  const lines = report(stdout);
  assert.equal(lines.length, 1, stdout.slice(0, 2000));
  assert.match(lines[0], new RegExp(`^Info:ostreladapter: WARNING Script callback fell behind - dropped ${extra} ` +
    'messages while its delivery queue was full \\(serviceportlistener\\.cpp\\.ServicePortListener::deliver\\.\\d+\\)$'));
  assert.equal(value(stdout, 'last'), 'after the flood', 'delivery resumes once script has caught up');
});

test('the queue holds at most its byte limit; a message alone may exceed it', async () => {
  const size = 1024 * 1024;
  const { stdout, stderr, code } = await flood(40, size);
  assert.equal(code, 0, stderr);
  const delivered = Number(/-- flood delivered (\d+)/.exec(stdout)[1]);
  // Each queued message costs its texts plus a record of under 200 bytes.
  assert.ok(delivered * size <= MAX_BYTES && (delivered + 1) * (size + 200) > MAX_BYTES,
    `${delivered} messages of 1 MiB fit in ${MAX_BYTES} bytes`);
  assert.equal(report(stdout).length, 1);
  assert.match(report(stdout)[0], new RegExp(`dropped ${40 - delivered} messages`));

  const big = await flood(1, 20 * 1024 * 1024);
  assert.equal(big.code, 0, big.stderr);
  assert.match(big.stdout, /-- flood delivered 1\n/);
  assert.deepEqual(report(big.stdout), []);
});
