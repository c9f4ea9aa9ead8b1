'use strict';
// A private message bus for tests: a dbus-daemon with the project's bus configuration on
// a socket in a temporary folder only this user can enter, stopped by its pid.
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const root = path.resolve(__dirname, '..', '..', '..');

function tempDir(prefix = 'corvelle-test-') {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), prefix));
  fs.chmodSync(dir, 0o700);
  return dir;
}

// A dbus-daemon of our own. Resolves to { address, pid, socketPath, stop() }; stop() ends
// the daemon and leaves the folder to the caller.
function startBus(dir = tempDir()) {
  const socketPath = path.join(dir, 'bus');
  return new Promise((resolve, reject) => {
    const child = spawn('dbus-daemon', [
      `--config-file=${path.join(root, 'bus', 'ostrel-bus.conf')}`,
      `--address=unix:path=${socketPath}`, '--nofork', '--nopidfile', '--nosyslog',
      '--print-address=1',
    ], { stdio: ['ignore', 'pipe', 'ignore'] });
    let out = '';
    child.on('error', reject);
    child.on('exit', (code) => { if (!out.includes('\n')) reject(new Error(`dbus-daemon exited ${code}`)); });
    child.stdout.on('data', (chunk) => {
      out += chunk;
      if (!out.includes('\n')) return;
      resolve({
        address: out.trim(),
        pid: child.pid,
        socketPath,
        stop: () => new Promise((done) => {
          if (child.exitCode !== null || child.signalCode !== null) {
            done();
            return;
          }
          child.once('exit', () => done());
          process.kill(child.pid, 'SIGTERM');
        }),
      });
    });
  });
}

module.exports = { tempDir, startBus };
