'use strict';
// Runs `npm start` and the corvelle command as a user would, against a private bus that
// the test starts itself (the project's bus configuration, a socket in a temporary
// folder) and stops by its pid.
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const { tempDir, startBus } = require('./privatebus');

const root = path.resolve(__dirname, '..', '..', '..');
const buildDir = process.env.CORVELLE_BUILD_DIR || path.join(root, 'build', 'Release');
const CLI = path.join(root, 'bin', 'corvelle.js');

// Why the suites that need the D-Bus messaging library cannot run, or null.
function dbusSkipReason() {
  if (!fs.existsSync(path.join(buildDir, 'libostrel_dbus.so'))) {
    return `the D-Bus messaging library is not built yet (${buildDir}/libostrel_dbus.so)`;
  }
  return null;
}

// The environment of a user with no bus configured: no session bus, no bus variable, and
// `home` as temporary folder, where the per-user private bus then lives.
function userEnv(home, extra = {}) {
  const env = { ...process.env };
  delete env.DBUS_SESSION_BUS_ADDRESS;
  delete env.XDG_RUNTIME_DIR;
  delete env.OSTREL_BUS_ADDRESS;
  return { ...env, TMPDIR: home, ...extra };
}

// A process whose output can be awaited line by line.
class Running {
  constructor(command, args, { env, detached = false, cwd = root }) {
    this.detached = detached;
    this.child = spawn(command, args, { cwd, env, stdio: ['ignore', 'pipe', 'pipe'], detached });
    this.stdout = '';
    this.stderr = '';
    this.waiters = [];
    this.exited = new Promise((resolve) => {
      this.child.on('close', (code, signal) => resolve({ code, signal }));
    });
    this.child.stdout.on('data', (d) => { this.stdout += d; this.check(); });
    this.child.stderr.on('data', (d) => { this.stderr += d; });
  }

  check() {
    this.waiters = this.waiters.filter((w) => {
      if (!w.pattern.test(this.stdout)) return true;
      clearTimeout(w.timer);
      w.resolve();
      return false;
    });
  }

  // Resolves once stdout matches `pattern`; rejects after `timeout` ms or at exit.
  waitFor(pattern, timeout = 15000) {
    return new Promise((resolve, reject) => {
      if (pattern.test(this.stdout)) {
        resolve();
        return;
      }
      const waiter = { pattern, resolve };
      waiter.timer = setTimeout(() => {
        this.waiters = this.waiters.filter((w) => w !== waiter);
        reject(new Error(`no ${pattern} within ${timeout} ms; stdout:\n${this.stdout}\nstderr:\n${this.stderr}`));
      }, timeout);
      this.waiters.push(waiter);
      this.exited.then(() => {
        if (!this.waiters.includes(waiter)) return;
        clearTimeout(waiter.timer);
        reject(new Error(`exited before ${pattern}; stdout:\n${this.stdout}\nstderr:\n${this.stderr}`));
      });
    });
  }

  // Waits for the exit; kills the process (its group when detached) after `timeout` ms.
  async exit(timeout = 15000) {
    let timedOut = false;
    const timer = setTimeout(() => {
      timedOut = true;
      this.kill('SIGKILL');
    }, timeout);
    const result = await this.exited;
    clearTimeout(timer);
    return { ...result, timedOut, stdout: this.stdout, stderr: this.stderr };
  }

  kill(signal) {
    try {
      process.kill(this.detached ? -this.child.pid : this.child.pid, signal);
    } catch {
      // Already gone.
    }
  }
}

function startCli(args, env) {
  return new Running(process.execPath, [CLI, ...args], { env });
}

// Runs one command to its end (killed after `timeout` ms).
function runCli(args, env, timeout = 20000) {
  return startCli(args, env).exit(timeout);
}

// `npm start` as the README says, in a process group of its own as in a terminal.
function npmStart(args, env) {
  return new Running('npm', ['start', '--silent', ...(args.length ? ['--', ...args] : [])],
    { env, detached: true });
}

// `corvelle start`, the service, as its own process.
function startService(args, env) {
  return new Running(process.execPath, [CLI, 'start', ...args], { env });
}

// A process that has ended (or is a zombie nobody collected yet) counts as gone.
function processGone(pid) {
  try {
    return fs.readFileSync(`/proc/${pid}/stat`, 'utf8').split(') ')[1].startsWith('Z');
  } catch {
    return true;
  }
}

async function waitGone(pid, timeout = 5000) {
  for (const end = Date.now() + timeout; Date.now() < end;) {
    if (processGone(pid)) return true;
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
  return processGone(pid);
}

module.exports = {
  CLI, root, buildDir, dbusSkipReason, tempDir, startBus, userEnv, runCli, startCli, startService,
  npmStart, Running, processGone, waitGone,
};
