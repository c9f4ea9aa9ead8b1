'use strict';
// A private message bus for one test file: a dbus-daemon with the project's bus
// configuration on a socket in a fresh temporary directory, stopped by its pid.
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const readline = require('node:readline');

const root = path.resolve(__dirname, '..', '..', '..');

async function startPrivateBus() {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'corvelle-test-bus-'));
  const daemon = spawn('dbus-daemon', [
    `--config-file=${path.join(root, 'bus', 'ostrel-bus.conf')}`,
    `--address=unix:path=${path.join(dir, 'bus')}`,
    '--nofork', '--print-address=1', '--nosyslog',
  ], { stdio: ['ignore', 'pipe', 'ignore'] });
  const address = await new Promise((resolve, reject) => {
    const lines = readline.createInterface({ input: daemon.stdout });
    lines.once('line', (line) => resolve(line.trim()));
    daemon.once('error', reject);
    daemon.once('exit', (code) => reject(new Error(`dbus-daemon exited with ${code}`)));
  });
  return {
    address,
    pid: daemon.pid,
    async stop() {
      if (daemon.exitCode === null && daemon.signalCode === null) {
        const exited = new Promise((resolve) => daemon.once('exit', resolve));
        process.kill(daemon.pid, 'SIGTERM');
        await exited;
      }
      fs.rmSync(dir, { recursive: true, force: true });
    },
  };
}

module.exports = { startPrivateBus };
