'use strict';
// The corvelle command and `npm start` as a user runs them: spawned processes, each with
// a time limit, against a private bus that the test starts and stops by its pid.
const { test, describe, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const net = require('node:net');
const path = require('node:path');
const {
  root, dbusSkipReason, tempDir, startBus, userEnv, runCli, startCli, startService, npmStart,
  Running, processGone, waitGone,
} = require('./support/cli-harness');

// One line on stderr, no stack trace.
function assertOneLine(stderr, pattern, what) {
  const lines = stderr.trim().split('\n');
  assert.equal(lines.length, 1, `${what}: one line on stderr, got:\n${stderr}`);
  assert.match(lines[0], /^corvelle: /, what);
  assert.match(lines[0], pattern, what);
  assert.doesNotMatch(stderr, /\n\s+at /, `${what}: no stack trace`);
}

// Gone, or a zombie that no parent has collected yet.
// A service that failed a test and was killed leaves its private bus behind: stop it by
// the pid the service printed.
function stopPrivateBusOf(running) {
  const match = /dbus-daemon pid (\d+)/.exec(running.stdout);
  if (!match || processGone(Number(match[1]))) return;
  try {
    process.kill(Number(match[1]), 'SIGTERM');
  } catch {
    // Gone meanwhile.
  }
}

function httpGet(port, urlPath = '/') {
  return fetch(`http://127.0.0.1:${port}${urlPath}`).then(async (res) => ({
    status: res.status, body: await res.text(),
  }));
}

const home = tempDir('corvelle-home-');
after(() => fs.rmSync(home, { recursive: true, force: true }));

describe('without a bus', () => {
  test('--help of the command and of each command', async () => {
    const cases = [
      { args: ['--help'], pattern: /Usage: corvelle <command>[\s\S]*apps[\s\S]*service[\s\S]*host/ },
      { args: ['help', 'service'], pattern: /Usage: corvelle service/ },
      { args: ['apps', '--help'], pattern: /Usage: corvelle apps[\s\S]*--json/ },
      { args: ['service', '--help'], pattern: /Usage: corvelle service[\s\S]*--timeout/ },
      { args: ['host', '-h'], pattern: /Usage: corvelle host <appId> <version>[\s\S]*--stay/ },
    ];
    for (const { args, pattern } of cases) {
      const result = await runCli(args, userEnv(home));
      assert.equal(result.code, 0, `${args.join(' ')}: ${result.stderr}`);
      assert.match(result.stdout, pattern, args.join(' '));
      assert.equal(result.stderr, '', args.join(' '));
    }
    const start = await startService(['--help'], userEnv(home)).exit();
    assert.equal(start.code, 0, start.stderr);
    assert.match(start.stdout, /Usage: corvelle start[\s\S]*--bus <address>[\s\S]*OSTREL_BUS_ADDRESS/);
  });

  test('mistakes on the command line are one line and exit code 2', async () => {
    const cases = [
      { args: [], pattern: /^Usage: corvelle <command>/, stream: 'stderr' },
      { args: ['frobnicate'], pattern: /unknown command "frobnicate"/ },
      { args: ['apps', '--colour'], pattern: /unknown option --colour/ },
      { args: ['apps', 'extra'], pattern: /unexpected argument "extra"/ },
      { args: ['service', '--timeout'], pattern: /--timeout needs a value/ },
      { args: ['service', '--timeout', 'soon'], pattern: /--timeout takes a whole number of milliseconds from 1 to \d+, not "soon"/ },
      { args: ['service', '--json=yes'], pattern: /--json takes no value/ },
      { args: ['host', 'RSTN'], pattern: /host needs an application id and a version/ },
      { args: ['host', 'RSTN', '1.0', '2.0'], pattern: /host needs an application id and a version/ },
    ];
    for (const { args, pattern, stream } of cases) {
      const result = await runCli(args, userEnv(home));
      const what = `corvelle ${args.join(' ')}`;
      assert.equal(result.code, 2, `${what}: ${result.stderr}`);
      if (stream === 'stderr') assert.match(result.stderr, pattern, what);
      else assertOneLine(result.stderr, pattern, what);
      assert.equal(result.stdout, '', what);
    }
    const start = await startService(['--frobnicate'], userEnv(home)).exit();
    assert.equal(start.code, 2);
    assertOneLine(start.stderr, /unknown option --frobnicate/, 'npm start --frobnicate');
  });

  test('a missing bus fails at once with one clear line', async () => {
    const dir = tempDir();
    // A socket file that nobody listens on any more, as a crashed bus leaves it.
    const stale = path.join(dir, 'stale');
    const server = net.createServer().listen(stale);
    await new Promise((resolve) => server.once('listening', resolve));
    server.close();
    fs.writeFileSync(stale, '');
    try {
      const settings = [
        {
          name: 'nothing configured', env: {}, args: [],
          pattern: /no bus to join: no OSTREL_BUS_ADDRESS, no session bus, and no private bus at .*corvelle-\d+\/bus .*run `corvelle start`, or pass --bus/,
        },
        {
          name: 'OSTREL_BUS_ADDRESS', env: { OSTREL_BUS_ADDRESS: `unix:path=${dir}/none` }, args: [],
          pattern: /the bus at unix:path=.*\/none \(from OSTREL_BUS_ADDRESS\) does not answer \(no socket\)/,
        },
        {
          name: '--bus with a stale socket', env: {}, args: ['--bus', `unix:path=${stale}`],
          pattern: /the bus at unix:path=.*stale \(from --bus\) does not answer/,
        },
        {
          name: 'a dead session bus', env: { DBUS_SESSION_BUS_ADDRESS: `unix:path=${dir}/none` },
          args: [], pattern: /no bus to join/,
        },
        {
          name: 'not an address', env: {}, args: ['--bus', 'nonsense'],
          pattern: /does not answer \(not a D-Bus address: "nonsense"\)/,
        },
      ];
      for (const command of [['apps'], ['service'], ['host', 'RSTN', '1.0']]) {
        for (const { name, env, args, pattern } of settings) {
          const what = `${command[0]} with ${name}`;
          // A constructor that waits for the bus would take minutes, not seconds.
          const result = await runCli([...command, ...args], userEnv(home, env), 10000);
          assert.equal(result.timedOut, false, `${what}: ends by itself`);
          assert.equal(result.code, 1, `${what}: ${result.stderr}`);
          assertOneLine(result.stderr, pattern, what);
          assert.equal(result.stdout, '', what);
        }
      }
      const start = await startService(['--bus', `unix:path=${dir}/none`], userEnv(home)).exit(10000);
      assert.equal(start.code, 1, start.stderr);
      assertOneLine(start.stderr, /the bus at .* \(from --bus\) does not answer/, 'npm start --bus');
    } finally {
      fs.rmSync(dir, { recursive: true, force: true });
    }
  });
});

describe('on a bus', { skip: dbusSkipReason() ?? false }, () => {
  let bus;
  before(async () => { bus = await startBus(); });
  after(async () => {
    await bus?.stop();
    if (bus) fs.rmSync(path.dirname(bus.socketPath), { recursive: true, force: true });
  });

  test('no service: `corvelle service` gives up after --timeout with exit code 1', async () => {
    const env = userEnv(home, { OSTREL_BUS_ADDRESS: bus.address });
    const begin = Date.now();
    const result = await runCli(['service', '--timeout', '700'], env, 20000);
    assert.equal(result.timedOut, false);
    assert.equal(result.code, 1, result.stderr);
    assertOneLine(result.stderr, /no answer from the service within 700 ms on unix:path=/, 'service');
    assert.ok(Date.now() - begin >= 700, 'waited for the timeout');

    const host = await runCli(['host', 'RSTN', '1.0', '--timeout', '700'], env, 20000);
    assert.equal(host.code, 1, host.stderr);
    assertOneLine(host.stderr, /no answer from the service within 700 ms/, 'host');

    const apps = await runCli(['apps'], env);
    assert.equal(apps.code, 0, apps.stderr);
    assert.equal(apps.stdout, '');
    assertOneLine(apps.stderr, /no host applications on unix:path=/, 'apps');
  });

  test('a bus that accepts but does not answer (stopped daemon): one line within seconds',
    async () => {
      const env = userEnv(home, { OSTREL_BUS_ADDRESS: bus.address });
      process.kill(bus.pid, 'SIGSTOP');
      try {
        for (const args of [['apps'], ['service', '--timeout', '500']]) {
          const begin = Date.now();
          const result = await runCli(args, env, 20000);
          const took = Date.now() - begin;
          assert.equal(result.timedOut, false, `${args[0]} did not hang in the constructor`);
          assert.equal(result.code, 1, result.stderr);
          assertOneLine(result.stderr, /does not answer \(no answer\)/, args[0]);
          assert.ok(took < 8000, `${args[0]} gave up within seconds (${took} ms)`);
        }
      } finally {
        process.kill(bus.pid, 'SIGCONT');
      }
    });

  test('the service answers the commands, shows who asked, and stops cleanly on Ctrl-C', async () => {
    const env = userEnv(home);
    const service = startService(['--bus', bus.address], env);
    try {
      await service.waitFor(/^ready: /m);
      assert.match(service.stdout, /bus: unix:path=.* \(from --bus\)/);
      const port = Number(/http: listening on http:\/\/127\.0\.0\.1:(\d+)\//.exec(service.stdout)[1]);
      const announced = /announced the service: (\{.*\})/.exec(service.stdout)[1];
      assert.deepEqual(JSON.parse(announced), { name: 'corvelle', host: '127.0.0.1', port,
        pid: service.child.pid });

      // The command finds the bus through the library's variable, as a user would set it.
      const clientEnv = userEnv(home, { OSTREL_BUS_ADDRESS: bus.address });
      const asked = await runCli(['service'], clientEnv);
      assert.equal(asked.code, 0, asked.stderr);
      assert.equal(asked.stdout, `QOVR 0.1.0 answered: ${announced}\n`);
      await service.waitFor(/asked for the details: corvelle-cli 0\.1\.0 \(:1\.\d+\)/);

      const json = await runCli(['service', '--json', '--bus', bus.address], userEnv(home));
      assert.equal(json.code, 0, json.stderr);
      assert.deepEqual(JSON.parse(json.stdout), {
        type: 'ostrel.SuiteMessage.zem.devtools.server.info', payload: announced,
        appId: 'QOVR', appVersion: '0.1.0',
      });

      // The announced port is a live endpoint of the service.
      const status = await httpGet(port);
      assert.equal(status.status, 200);
      assert.equal(JSON.parse(status.body).appId, 'QOVR');
      assert.equal((await httpGet(port, '/nothing')).status, 404);

      // A host application that stays on the bus: listed by `apps` while it is there.
      const host = startCli(['host', 'RSTN', '1.0', '--stay', '60000'], clientEnv);
      await host.waitFor(/server\.ready/);
      assert.equal(host.stdout, `zem.devtools.server.ready from QOVR 0.1.0: ${announced}\n`);
      await service.waitFor(/host application announced itself: RSTN 1\.0 \(:1\.\d+\)/);
      await service.waitFor(/host applications on the bus: RS,1\.0,Quorlen Rasterine/);
      const apps = await runCli(['apps'], clientEnv);
      assert.equal(apps.code, 0, apps.stderr);
      assert.equal(apps.stdout, 'RS,1.0,Quorlen Rasterine\n');
      const appsJson = await runCli(['apps', '--json'], clientEnv);
      assert.deepEqual(JSON.parse(appsJson.stdout), ['RS,1.0,Quorlen Rasterine']);

      // Ctrl-C: the service says goodbye on the bus (the staying host hears it) and ends.
      service.kill('SIGINT');
      const ended = await service.exit(15000);
      assert.equal(ended.timedOut, false, 'the service ends by itself after Ctrl-C');
      assert.equal(ended.code, 0, ended.stderr);
      assert.match(ended.stdout, /SIGINT: stopping[\s\S]*announced the end of the service[\s\S]*stopped\n$/);
      assert.doesNotMatch(ended.stdout, /stopped the private bus/, 'a bus it joined stays');
      await host.waitFor(/zem\.devtools\.server\.terminated from QOVR 0\.1\.0: /);
      await assert.rejects(httpGet(port), 'the HTTP endpoint is closed');
      // Stopped while it stays, the host ends at once, successfully, and leaves the bus.
      host.kill('SIGTERM');
      const hostEnded = await host.exit(10000);
      assert.equal(hostEnded.code, 0, hostEnded.stderr);
      assert.equal((await runCli(['apps', '--json'], clientEnv)).stdout, '[]\n');
    } finally {
      service.kill('SIGKILL');
    }
  });

  test('the command finds the service by the bus rule: variable, then session bus', async () => {
    const service = startService(['--bus', bus.address], userEnv(home));
    try {
      await service.waitFor(/^ready: /m);
      const dead = `unix:path=${path.join(home, 'no-bus-here')}`;
      const cases = [
        { name: 'session bus address', env: { DBUS_SESSION_BUS_ADDRESS: bus.address }, found: true },
        // sd-bus's user bus: the socket "bus" in XDG_RUNTIME_DIR, as the test bus's folder is.
        { name: 'XDG_RUNTIME_DIR/bus', env: { XDG_RUNTIME_DIR: path.dirname(bus.socketPath) }, found: true },
        {
          name: 'the variable before a dead session bus', found: true,
          env: { OSTREL_BUS_ADDRESS: bus.address, DBUS_SESSION_BUS_ADDRESS: dead },
        },
        {
          name: 'the variable wins even when its bus is not there', found: false,
          env: { OSTREL_BUS_ADDRESS: dead, DBUS_SESSION_BUS_ADDRESS: bus.address },
        },
        {
          name: '--bus before the variable', found: true, args: ['--bus', bus.address],
          env: { OSTREL_BUS_ADDRESS: dead },
        },
      ];
      for (const { name, env, args = [], found } of cases) {
        const result = await runCli(['service', '--timeout', '5000', ...args], userEnv(home, env));
        if (found) {
          assert.equal(result.code, 0, `${name}: ${result.stderr}`);
          assert.match(result.stdout, /^QOVR 0\.1\.0 answered: /, name);
        } else {
          assert.equal(result.code, 1, name);
          assertOneLine(result.stderr, /no-bus-here \(from OSTREL_BUS_ADDRESS\) does not answer/, name);
        }
      }
    } finally {
      service.kill('SIGTERM');
      assert.equal((await service.exit()).code, 0);
    }
  });

  test('the README examples: a service, and a client that gets its details', async () => {
    // The examples in a user's project, where `require('corvelle')` finds this build.
    const app = tempDir('corvelle-app-');
    fs.mkdirSync(path.join(app, 'node_modules', 'corvelle'), { recursive: true });
    fs.writeFileSync(path.join(app, 'node_modules', 'corvelle', 'index.js'),
      `module.exports = require(${JSON.stringify(root)});`);
    for (const file of ['service.js', 'client.js']) {
      fs.copyFileSync(path.join(root, 'examples', file), path.join(app, file));
    }
    const env = userEnv(home, { OSTREL_BUS_ADDRESS: bus.address });
    const service = new Running(process.execPath, [path.join(app, 'service.js')], { env });
    try {
      await service.waitFor(/host applications on the bus: none\n/);
      const port = Number(/service announced: \{"host":"127\.0\.0\.1","port":(\d+)\}/.exec(service.stdout)[1]);
      const client = await new Running(process.execPath, [path.join(app, 'client.js')], { env }).exit();
      assert.equal(client.code, 0, client.stderr);
      assert.equal(client.stdout, `QOVR 1.0 runs at http://127.0.0.1:${port}/\n`);
      assert.equal((await httpGet(port)).body, 'hello from the service\n');

      service.kill('SIGINT');
      const ended = await service.exit();
      assert.equal(ended.timedOut, false, 'the example service ends after Ctrl-C');
      assert.equal(ended.code, 0, ended.stderr);
      assert.match(ended.stdout, /service stopped\n$/);

      const alone = await new Running(process.execPath, [path.join(app, 'client.js')], { env }).exit();
      assert.equal(alone.code, 1);
      assert.equal(alone.stderr, 'no answer from the service\n');
    } finally {
      service.kill('SIGKILL');
      fs.rmSync(app, { recursive: true, force: true });
    }
  });

  test('`corvelle host` without --stay ends after the answer and leaves the bus', async () => {
    const env = userEnv(home, { OSTREL_BUS_ADDRESS: bus.address });
    const service = startService([], env);
    try {
      await service.waitFor(/^ready: /m);
      assert.match(service.stdout, /bus: unix:path=.* \(from OSTREL_BUS_ADDRESS\)/);
      const host = await runCli(['host', 'WRLM', '2.5', '--json'], env);
      assert.equal(host.code, 0, host.stderr);
      const answer = JSON.parse(host.stdout);
      assert.equal(answer.type, 'ostrel.SuiteMessage.zem.devtools.server.ready');
      assert.equal(answer.appId, 'QOVR');
      assert.equal(JSON.parse(answer.payload).pid, service.child.pid);
      const apps = await runCli(['apps'], env);
      assert.equal(apps.stdout, '', 'the host has left');
    } finally {
      service.kill('SIGTERM');
      const ended = await service.exit();
      assert.equal(ended.code, 0, ended.stderr);
    }
  });
});

describe('npm start with nothing configured', { skip: dbusSkipReason() ?? false }, () => {
  test('runs a private bus at the per-user path, which the command finds; Ctrl-C stops both', async () => {
    // A temporary folder whose name must be escaped in a bus address.
    const own = tempDir('corvelle home ä,;-');
    const env = userEnv(own);
    const socketPath = path.join(own, `corvelle-${process.getuid()}`, 'bus');
    const start = npmStart([], env);
    let second = null;
    try {
      await start.waitFor(/^ready: /m, 60000);
      const daemonPid = Number(/dbus-daemon pid (\d+)/.exec(start.stdout)[1]);
      assert.match(start.stdout, /bus: unix:path=\S*corvelle%20home%20%c3%a4%2c%3b-.* \(private bus/);
      assert.ok(fs.existsSync(socketPath));

      const asked = await runCli(['service'], env);
      assert.equal(asked.code, 0, asked.stderr);
      assert.match(asked.stdout, /^QOVR 0\.1\.0 answered: \{"name":"corvelle".*"port":\d+/);

      // A second `npm start` joins the running private bus instead of starting another.
      second = startService([], env);
      await second.waitFor(/^ready: /m);
      assert.match(second.stdout, /private bus already run by another corvelle; joining it/);
      second.kill('SIGINT');
      assert.equal((await second.exit()).code, 0);
      assert.ok(fs.existsSync(socketPath), 'the joined bus stays');

      // Ctrl-C in the terminal reaches the whole process group.
      start.kill('SIGINT');
      const ended = await start.exit(20000);
      assert.equal(ended.timedOut, false, 'npm start ends by itself after Ctrl-C');
      assert.match(ended.stdout, /stopped the private bus\n[\s\S]*stopped\n/);
      assert.ok(!fs.existsSync(socketPath), 'the socket is removed');
      assert.ok(await waitGone(daemonPid), 'the private bus has stopped');

      const after = await runCli(['apps'], env);
      assert.equal(after.code, 1);
      assertOneLine(after.stderr, /no bus to join/, 'apps after the bus stopped');
    } finally {
      start.kill('SIGKILL');
      second?.kill('SIGKILL');
      stopPrivateBusOf(start);
      fs.rmSync(own, { recursive: true, force: true });
    }
  });

  test('what a crashed run left behind is cleaned up or taken over', async () => {
    const deadPid = await new Promise((resolve) => {
      const child = require('node:child_process').spawn(process.execPath, ['-e', '']);
      child.on('exit', () => resolve(child.pid));
    });
    for (const leftover of ['a socket file and no bus', 'a bus whose owner has gone']) {
      const own = tempDir('corvelle-home-');
      const dir = path.join(own, `corvelle-${process.getuid()}`);
      fs.mkdirSync(dir, { mode: 0o700 });
      let orphan = null;
      if (leftover === 'a socket file and no bus') {
        fs.writeFileSync(path.join(dir, 'bus'), '');
      } else {
        orphan = await startBus(dir);
        fs.writeFileSync(path.join(dir, 'owner'), `${orphan.pid} ${deadPid}\n`);
      }
      const service = startService([], userEnv(own));
      try {
        await service.waitFor(/^ready: /m);
        assert.match(service.stdout, orphan
          ? /\(private bus left running earlier; stopped with the service unless others still use it\)/
          : /\(private bus, dbus-daemon pid \d+, stopped with the service unless others still use it\)/, leftover);
        const asked = await runCli(['service'], userEnv(own));
        assert.equal(asked.code, 0, `${leftover}: ${asked.stderr}`);
        service.kill('SIGINT');
        const ended = await service.exit();
        assert.equal(ended.code, 0, ended.stderr);
        assert.match(ended.stdout, /stopped the private bus/, leftover);
        assert.ok(!fs.existsSync(path.join(dir, 'bus')), `${leftover}: socket removed`);
        if (orphan) {
          assert.ok(await waitGone(orphan.pid), 'the service has stopped the orphaned bus');
        }
      } finally {
        service.kill('SIGKILL');
        stopPrivateBusOf(service);
        await orphan?.stop();
        fs.rmSync(own, { recursive: true, force: true });
      }
    }
  });
  // The HTTP port and the current GET / of a running service.
  function portOf(running) {
    return Number(/http: listening on http:\/\/127\.0\.0\.1:(\d+)\//.exec(running.stdout)[1]);
  }
  async function status(running) {
    const { status: code, body } = await httpGet(portOf(running));
    return { code, ...JSON.parse(body) };
  }
  const daemonPids = (running) => [...running.stdout.matchAll(/dbus-daemon pid (\d+)/g)].map((m) => Number(m[1]));

  test('two services on one private bus: the first to stop leaves it to the other, the last stops it', async () => {
    for (const stopFirst of ['owner', 'joiner']) {
      const own = tempDir('corvelle-home-');
      const env = userEnv(own);
      const socketPath = path.join(own, `corvelle-${process.getuid()}`, 'bus');
      const owner = startService([], env);
      let joiner = null;
      try {
        await owner.waitFor(/^ready: /m);
        const [daemonPid] = daemonPids(owner);
        joiner = startService([], env);
        await joiner.waitFor(/^ready: /m);
        assert.match(joiner.stdout, /private bus already run by another corvelle; joining it/);

        const [first, last] = stopFirst === 'owner' ? [owner, joiner] : [joiner, owner];
        first.kill('SIGINT');
        const ended = await first.exit();
        assert.equal(ended.code, 0, ended.stderr);
        assert.match(ended.stdout, stopFirst === 'owner'
          ? /left the private bus running: other participants use it/
          : /left the private bus running: another corvelle looks after it/, stopFirst);
        assert.ok(!processGone(daemonPid), `${stopFirst} stopped first: the bus stays for the other`);
        assert.ok(fs.existsSync(socketPath));
        const asked = await runCli(['service'], env);
        assert.equal(asked.code, 0, `${stopFirst}: ${asked.stderr}`);
        assert.match(asked.stdout, new RegExp(`"port":${portOf(last)}`), 'the remaining service answers');
        const health = await status(last);
        assert.deepEqual([health.code, health.busState, health.onBus], [200, 'up', true]);

        last.kill('SIGINT');
        const lastEnded = await last.exit();
        assert.equal(lastEnded.code, 0, lastEnded.stderr);
        assert.match(lastEnded.stdout, /stopped the private bus/, `${stopFirst}: the last one stops it`);
        assert.ok(await waitGone(daemonPid), 'the bus has stopped');
        assert.ok(!fs.existsSync(socketPath), 'its socket is gone');
      } finally {
        owner.kill('SIGKILL');
        joiner?.kill('SIGKILL');
        stopPrivateBusOf(owner);
        fs.rmSync(own, { recursive: true, force: true });
      }
    }
  });

  test('the bus killed under a service: it says so, the bus comes back, and the old service never stops the new bus', async () => {
    const own = tempDir('corvelle-home-');
    const env = userEnv(own);
    const service = startService([], env);
    let next = null;
    try {
      await service.waitFor(/^ready: /m);
      const [oldDaemon] = daemonPids(service);
      process.kill(oldDaemon, 'SIGKILL');
      // The next `npm start` comes up at once, as a user would run it again.
      next = startService([], env);
      await service.waitFor(/bus: \S+ went away \(.*\); bringing up the private bus again/, 10000);
      await next.waitFor(/^ready: /m);
      const pids = [...daemonPids(service), ...daemonPids(next)].filter((pid) => pid !== oldDaemon);
      assert.equal(pids.length, 1, `one new bus, started by one of the two:\n${service.stdout}\n${next.stdout}`);
      const [newDaemon] = pids;

      // GET / tells the bus as it is: up again; this service's own participant is back
      // only once the messaging library has reconnected (status 503 until then).
      await service.waitFor(/bus: \S+ (\(private bus|answers again)/, 10000);
      const health = await status(service);
      assert.equal(health.busState, 'up');
      assert.equal(health.code, health.onBus ? 200 : 503, JSON.stringify(health));
      assert.equal((await status(next)).code, 200);

      // The service whose bus died stops: the new bus, which the other service uses, stays.
      service.kill('SIGINT');
      const ended = await service.exit();
      assert.equal(ended.code, 0, ended.stderr);
      assert.doesNotMatch(ended.stdout, /stopped the private bus/);
      assert.ok(!processGone(newDaemon), 'the new bus is still running');
      const asked = await runCli(['service'], env);
      assert.equal(asked.code, 0, asked.stderr);
      assert.match(asked.stdout, new RegExp(`"port":${portOf(next)}`));

      next.kill('SIGINT');
      const nextEnded = await next.exit();
      assert.match(nextEnded.stdout, /stopped the private bus/);
      assert.ok(await waitGone(newDaemon));
    } finally {
      service.kill('SIGKILL');
      next?.kill('SIGKILL');
      stopPrivateBusOf(service);
      if (next) stopPrivateBusOf(next);
      fs.rmSync(own, { recursive: true, force: true });
    }
  });

  // The messaging library reconnects when its bus comes back at the same address.
  test('the bus killed under a service: its adapter is back on the new bus and answers', async () => {
    const own = tempDir('corvelle-home-');
    const env = userEnv(own);
    const service = startService([], env);
    try {
      await service.waitFor(/^ready: /m);
      process.kill(daemonPids(service)[0], 'SIGKILL');
      await service.waitFor(/went away/, 10000);
      await service.waitFor(/back on the bus as QOVR \S+; announced the service again/, 20000);
      const health = await status(service);
      assert.deepEqual([health.code, health.busState, health.onBus], [200, 'up', true]);
      const asked = await runCli(['service'], env);
      assert.equal(asked.code, 0, asked.stderr);
      assert.match(asked.stdout, new RegExp(`"port":${portOf(service)}`));
      service.kill('SIGINT');
      const ended = await service.exit();
      assert.equal(ended.code, 0, ended.stderr);
      assert.match(ended.stdout, /stopped the private bus/);
    } finally {
      service.kill('SIGKILL');
      for (const pid of daemonPids(service)) {
        try { process.kill(pid, 'SIGTERM'); } catch { /* gone */ }
      }
      fs.rmSync(own, { recursive: true, force: true });
    }
  });
});
