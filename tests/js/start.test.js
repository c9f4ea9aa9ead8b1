'use strict';
// `corvelle start` as a tool people run: the same service with or without other programs'
// bus tools on PATH, stopped by signals to its own pid, taken over after a SIGKILL, and
// never leaving a private dbus-daemon behind. Every process is a child with a time limit;
// each case has a home folder (TMPDIR) of its own, where its private bus lives.
const { test, describe, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { spawn } = require('node:child_process');
const {
  CLI, dbusSkipReason, tempDir, startBus, userEnv, runCli, startCli, startService,
  processGone, waitGone,
} = require('./support/cli-harness');
const { version } = require('../../package.json');

const skip = dbusSkipReason() ?? false;

// The dbus-daemon processes that listen in `home` (as their command lines say).
function daemonsIn(home) {
  return fs.readdirSync('/proc').filter((entry) => /^\d+$/.test(entry)).filter((pid) => {
    try {
      const cmdline = fs.readFileSync(`/proc/${pid}/cmdline`, 'utf8');
      return cmdline.startsWith('dbus-daemon\0') && cmdline.includes(home) && !processGone(Number(pid));
    } catch {
      return false;
    }
  }).map(Number);
}

// Ends whatever a failed case left in `home`, by pid, and removes the folder.
function cleanUp(home, ...running) {
  for (const r of running) r?.kill('SIGKILL');
  for (const pid of daemonsIn(home)) process.kill(pid, 'SIGTERM');
  fs.rmSync(home, { recursive: true, force: true });
}

const portOf = (running) => Number(/listening on http:\/\/127\.0\.0\.1:(\d+)\//.exec(running.stdout)[1]);
const daemonPidOf = (running) => Number(/dbus-daemon pid (\d+)/.exec(running.stdout)[1]);

async function status(running) {
  const res = await fetch(`http://127.0.0.1:${portOf(running)}/`);
  return { code: res.status, ...(await res.json()) };
}

// A PATH that has node and dbus-daemon and nothing else.
function barePath(home) {
  const bin = path.join(home, 'bin');
  fs.mkdirSync(bin);
  for (const tool of ['node', 'dbus-daemon']) {
    const found = process.env.PATH.split(path.delimiter).map((d) => path.join(d, tool))
      .find((file) => fs.existsSync(file));
    fs.symlinkSync(found, path.join(bin, tool));
  }
  return bin;
}

describe('corvelle start', { skip }, () => {
  test('the same service with and without dbus-send and dbus-monitor on PATH', async () => {
    const seen = {};
    for (const tools of ['all tools', 'only node and dbus-daemon']) {
      const home = tempDir('corvelle-start-');
      const env = userEnv(home);
      if (tools !== 'all tools') env.PATH = barePath(home);
      const service = startService([], env);
      try {
        await service.waitFor(/^ready: /m);
        const daemonPid = daemonPidOf(service);
        const asked = await runCli(['service'], env);
        assert.equal(asked.code, 0, `${tools}: ${asked.stderr}`);
        await service.waitFor(/asked for the details: corvelle-cli \S+ \(:1\.\d+\)/, 10000);
        // Texts that text output would break: quotes, a newline, a semicolon.
        const host = await runCli(['host', 'R"S;T', '1.0\n"x"'], env);
        assert.equal(host.code, 0, `${tools}: ${host.stderr}`);
        await service.waitFor(/host application announced itself: R"S;T 1\.0\n"x" \(:1\.\d+\)/, 10000);
        const { code, busState, onBus, hosts, appId } = await status(service);
        seen[tools] = { code, busState, onBus, hosts, appId };

        service.kill('SIGINT');
        const ended = await service.exit(15000);
        assert.equal(ended.code, 0, `${tools}: ${ended.stderr}`);
        assert.match(ended.stdout, /stopped the private bus\n/, tools);
        assert.equal(ended.stderr, '', `${tools}: nothing on stderr`);
        assert.ok(await waitGone(daemonPid), `${tools}: the private bus has stopped`);
        assert.deepEqual(daemonsIn(home), [], `${tools}: no daemon left`);
      } finally {
        cleanUp(home, service);
      }
    }
    assert.deepEqual(seen['only node and dbus-daemon'], seen['all tools']);
    assert.deepEqual(seen['all tools'], { code: 200, busState: 'up', onBus: true, hosts: [], appId: 'QOVR' });
  });

  test('signals to its pid: SIGTERM and SIGINT stop it in order, a second SIGINT at once and quietly', async () => {
    const cases = [
      { signals: ['SIGTERM'], code: 0, orderly: true },
      { signals: ['SIGINT'], code: 0, orderly: true },
      { signals: ['SIGINT', 'SIGINT'], code: 130, orderly: false },
    ];
    for (const { signals, code, orderly } of cases) {
      const what = signals.join(' then ');
      const home = tempDir('corvelle-start-');
      const service = startService([], userEnv(home));
      try {
        await service.waitFor(/^ready: /m);
        const daemonPid = daemonPidOf(service);
        for (const signal of signals) {
          process.kill(service.child.pid, signal);
          await new Promise((resolve) => setTimeout(resolve, 20));
        }
        const ended = await service.exit(15000);
        assert.equal(ended.timedOut, false, `${what}: ends by itself`);
        assert.equal(ended.code, code, `${what}: ${ended.stderr}`);
        if (orderly) {
          assert.match(ended.stdout, new RegExp(`${signals[0]}: stopping\\n[\\s\\S]*announced the end ` +
            'of the service\\n[\\s\\S]*stopped the private bus\\n[\\s\\S]*stopped\\n$'), what);
          // The service stopped its own bus: that is no lost connection.
          assert.equal(ended.stderr, '', `${what}: nothing on stderr`);
        } else {
          // It leaves at once, but off the bus before its bus goes: no lost connection.
          assert.equal(ended.stderr, 'corvelle: SIGINT again, leaving at once\n', what);
        }
        assert.ok(await waitGone(daemonPid), `${what}: the private bus has stopped`);
        assert.deepEqual(daemonsIn(home), [], `${what}: no daemon left`);
      } finally {
        cleanUp(home, service);
      }
    }
  });

  test('a service killed with SIGKILL: the next start takes its bus over, one daemon, serving', async () => {
    const home = tempDir('corvelle-start-');
    const env = userEnv(home);
    const first = startService([], env);
    let second = null;
    try {
      await first.waitFor(/^ready: /m);
      const daemonPid = daemonPidOf(first);
      first.kill('SIGKILL');
      await first.exit();

      second = startService([], env);
      await second.waitFor(/^ready: /m);
      assert.match(second.stdout, /private bus left running earlier; stopped with the service/);
      assert.deepEqual(daemonsIn(home), [daemonPid], 'one daemon: the one taken over');
      const asked = await runCli(['service', '--json'], env);
      assert.equal(asked.code, 0, asked.stderr);
      assert.equal(JSON.parse(JSON.parse(asked.stdout).payload).pid, second.child.pid, 'the new service answers');
      assert.equal((await status(second)).code, 200);

      process.kill(second.child.pid, 'SIGTERM');
      const ended = await second.exit(15000);
      assert.equal(ended.code, 0, ended.stderr);
      assert.ok(await waitGone(daemonPid), 'the taken-over bus has stopped');
      assert.deepEqual(daemonsIn(home), []);
    } finally {
      cleanUp(home, first, second);
    }
  });

  test('a bus that really goes away is still reported as lost', async () => {
    const home = tempDir('corvelle-start-');
    const bus = await startBus(tempDir('corvelle-start-bus-'));
    const service = startService(['--bus', bus.address], userEnv(home));
    try {
      await service.waitFor(/^ready: /m);
      await bus.stop();
      await service.waitFor(/went away/, 10000);
      for (const end = Date.now() + 5000; !/lost/.test(service.stderr) && Date.now() < end;) {
        await new Promise((resolve) => setTimeout(resolve, 50));
      }
      assert.match(service.stderr, /the connection to the bus was lost/);
      service.kill('SIGINT');
      assert.equal((await service.exit(15000)).code, 0);
    } finally {
      cleanUp(home, service);
      await bus.stop();
      fs.rmSync(path.dirname(bus.socketPath), { recursive: true, force: true });
    }
  });

  test('a closed standard output stops the service in order, quietly', async () => {
    const home = tempDir('corvelle-start-');
    const child = spawn(process.execPath, [CLI, 'start'], {
      env: userEnv(home), stdio: ['ignore', 'pipe', 'pipe'],
    });
    child.stdout.destroy();
    let stderr = '';
    child.stderr.on('data', (d) => { stderr += d; });
    const timer = setTimeout(() => child.kill('SIGKILL'), 20000);
    try {
      const code = await new Promise((resolve) => child.on('exit', (c, signal) => resolve(c ?? signal)));
      assert.equal(code, 0, stderr);
      assert.equal(stderr, '');
      assert.deepEqual(daemonsIn(home), [], 'no daemon left');
    } finally {
      clearTimeout(timer);
      cleanUp(home);
    }
  });
});

describe('the command line', () => {
  const home = tempDir('corvelle-args-');
  after(() => fs.rmSync(home, { recursive: true, force: true }));
  test('a message per option that names it and what it takes', async () => {
    const cases = [
      { args: ['start', '--port', 'abc'], pattern: /--port takes a port number from 0 to 65535.*, not "abc"/ },
      { args: ['start', '--port', '65536'], pattern: /--port takes a port number from 0 to 65535/ },
      { args: ['start', '--port'], pattern: /--port needs a value: a port number/ },
      { args: ['service', '--timeout=0'], pattern: /--timeout takes a whole number of milliseconds from 1 to \d+, not "0"/ },
      { args: ['host', 'RSTN', '1.0', '--stay', '-1'], pattern: /--stay takes a whole number of milliseconds from 0/ },
      { args: ['apps', '--bus='], pattern: /--bus takes a D-Bus address/ },
      { args: ['apps', '--json=1'], pattern: /--json takes no value/ },
      { args: ['start', '-x'], pattern: /unknown option -x/ },
      { args: ['-q'], pattern: /unknown option -q/ },
    ];
    for (const { args, pattern } of cases) {
      const result = await runCli(args, userEnv(home));
      const what = `corvelle ${args.join(' ')}`;
      assert.equal(result.code, 2, `${what}: ${result.stderr}`);
      assert.equal(result.stdout, '', what);
      assert.match(result.stderr, /^corvelle: [^\n]+\n$/, `${what}: one line`);
      assert.match(result.stderr, pattern, what);
    }
  });

  test('--version and -v on every command, and both in every help', async () => {
    for (const command of [[], ['start'], ['bus'], ['apps'], ['service'], ['host']]) {
      for (const flag of ['--version', '-v']) {
        const result = await runCli([...command, flag], userEnv(home));
        assert.equal(result.code, 0, `${command} ${flag}: ${result.stderr}`);
        assert.equal(result.stdout, `${version}\n`);
      }
      const help = await runCli([...command, '-h'], userEnv(home));
      assert.equal(help.code, 0);
      assert.match(help.stdout, /^\s+-h, --help\s/m, `${command} -h`);
      assert.match(help.stdout, /^\s+-v, --version\s/m, `${command} -h`);
    }
  });

  test('a closed pipe on stdout ends quietly with the exit code', async () => {
    for (const { args, code } of [{ args: ['--help'], code: 0 }, { args: ['host', '--help'], code: 0 },
      { args: ['start', '--help'], code: 0 }, { args: ['-v'], code: 0 }]) {
      // As `corvelle … | true`: the reader is gone before anything is written.
      const child = startCli(args, userEnv(home));
      child.child.stdout.destroy();
      const ended = await child.exit(10000);
      assert.equal(ended.code, code, `${args.join(' ')}: ${ended.stderr}`);
      assert.equal(ended.stderr, '', `${args.join(' ')}: quiet`);
    }
    // As `corvelle --help | head -1`: the reader takes one line and goes.
    const child = spawn('bash', ['-c', `"${process.execPath}" "${CLI}" --help | head -1; echo "exit \${PIPESTATUS[0]}" >&2`],
      { stdio: ['ignore', 'pipe', 'pipe'] });
    let out = '';
    let err = '';
    child.stdout.on('data', (d) => { out += d; });
    child.stderr.on('data', (d) => { err += d; });
    await new Promise((resolve) => child.on('close', resolve));
    assert.equal(out, 'Usage: corvelle <command> [options]\n');
    assert.equal(err, 'exit 0\n');
  });
});
