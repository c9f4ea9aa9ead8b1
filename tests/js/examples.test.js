'use strict';
// The README's way in with nothing exported, XDG_RUNTIME_DIR set or not: `npm start`
// brings up the per-user private bus, `corvelle bus` names it, and the examples join it
// by the package's rule. XDG_RUNTIME_DIR and TMPDIR point into a temporary folder.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { root, tempDir, userEnv, runCli, npmStart, Running, dbusSkipReason } =
  require('./support/cli-harness');

const skip = dbusSkipReason() ?? false;

function stopDaemonOf(running) {
  const match = /dbus-daemon pid (\d+)/.exec(running.stdout);
  if (!match) return;
  try {
    process.kill(Number(match[1]), 'SIGTERM');
  } catch {
    // Stopped with the service.
  }
}

for (const xdg of [false, true]) {
  test(`npm start, corvelle bus and the examples, XDG_RUNTIME_DIR ${xdg ? 'set' : 'unset'}`,
    { skip }, async () => {
      const home = tempDir('corvelle-examples-');
      const runtime = path.join(home, 'run');
      fs.mkdirSync(runtime, { mode: 0o700 });
      const env = userEnv(home, xdg ? { XDG_RUNTIME_DIR: runtime } : {});
      const socketPath = xdg ? path.join(runtime, 'corvelle', 'bus')
        : path.join(home, `corvelle-${process.getuid()}`, 'bus');
      // The examples in a user's project, where `require('corvelle')` is this package.
      const app = path.join(home, 'app');
      fs.mkdirSync(path.join(app, 'node_modules'), { recursive: true });
      fs.symlinkSync(root, path.join(app, 'node_modules', 'corvelle'), 'dir');
      for (const file of ['service.js', 'client.js']) {
        fs.copyFileSync(path.join(root, 'examples', file), path.join(app, file));
      }
      const start = npmStart([], env);
      let example = null;
      try {
        await start.waitFor(/^ready: /m, 60000);

        const named = await runCli(['bus', '--json'], env);
        assert.equal(named.code, 0, named.stderr);
        const choice = JSON.parse(named.stdout);
        assert.deepEqual([choice.address, choice.source, choice.answers],
          [`unix:path=${socketPath}`, 'private bus', true]);

        const client = await new Running(process.execPath, [path.join(app, 'client.js')], { env })
          .exit();
        assert.equal(client.code, 0, client.stderr);
        assert.match(client.stdout, /^QOVR 0\.1\.0 runs at http:\/\/127\.0\.0\.1:\d+\/\n$/);

        example = new Running(process.execPath, [path.join(app, 'service.js')], { env });
        await example.waitFor(/host applications on the bus: /);
        const port = /"port":(\d+)/.exec(example.stdout)[1];
        const host = await runCli(['host', 'RSTN', '1.0', '--json', '--stay', '1500'], env);
        assert.equal(host.code, 0, host.stderr);
        const answers = host.stdout.trim().split('\n').map((line) => JSON.parse(line));
        assert.ok(answers.some((a) => a.appId === 'QOVR' && a.appVersion === '1.0' &&
          JSON.parse(a.payload).port === Number(port)), `the example answered:\n${host.stdout}`);
        example.kill('SIGINT');
        assert.equal((await example.exit()).code, 0);

        start.kill('SIGINT');
        const ended = await start.exit(20000);
        assert.equal(ended.timedOut, false, 'npm start ends after Ctrl-C');
      } finally {
        example?.kill('SIGKILL');
        start.kill('SIGKILL');
        stopDaemonOf(start);
        fs.rmSync(home, { recursive: true, force: true });
      }
    });
}
