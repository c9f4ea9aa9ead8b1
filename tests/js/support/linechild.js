'use strict';
// Child processes on a real bus whose standard output is read as lines as they come:
// services, clients and ostrel-peer hosts of the script suites that run on a private bus.
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const readline = require('node:readline');
const { root } = require('./child');

const buildDir = process.env.CORVELLE_BUILD_DIR || path.join(root, 'build', 'Release');
const peerTool = path.join(buildDir, 'ostrel-peer');
const skipWithoutBus = fs.existsSync(path.join(buildDir, 'libostrel_dbus.so')) && fs.existsSync(peerTool)
  ? false : 'the D-Bus messaging library is not built';

// Starts `command` with OSTREL_BUS_ADDRESS set to `address`. The child keeps its output
// lines (`lines`), its standard error (`stderrText`) and resolves `exited` with
// { code, signal }. With `timeoutMs` it is killed after that long at the latest.
function launch(command, args, { address, stdin = 'ignore', timeoutMs, env = {} } = {}) {
  const child = spawn(command, args, {
    cwd: root,
    env: { ...process.env, ...env, OSTREL_BUS_ADDRESS: address },
    stdio: [stdin, 'pipe', 'pipe'],
  });
  child.lines = [];
  child.waiters = [];
  readline.createInterface({ input: child.stdout }).on('line', (line) => {
    child.lines.push(line);
    for (const w of child.waiters.splice(0)) w();
  });
  child.stderrText = '';
  child.stderr.on('data', (d) => { child.stderrText += d; });
  const timer = timeoutMs === undefined ? null : setTimeout(() => child.kill('SIGKILL'), timeoutMs);
  child.exited = new Promise((resolve) => child.on('exit', (code, signal) => {
    if (timer) clearTimeout(timer);
    resolve({ code, signal });
  }));
  return child;
}

// The first line from index `from` on that matches `pattern`; throws with what the child
// printed when none comes within `timeoutMs`.
async function nextLine(child, pattern, { from = 0, timeoutMs = 15000 } = {}) {
  const deadline = Date.now() + timeoutMs;
  for (;;) {
    const found = child.lines.slice(from).find((l) => pattern.test(l));
    if (found) return found;
    if (Date.now() > deadline) {
      throw new Error(`no line matching ${pattern} within ${timeoutMs} ms; got:\n${child.lines.join('\n')}\n${child.stderrText}`);
    }
    await new Promise((resolve) => {
      child.waiters.push(resolve);
      setTimeout(resolve, 50);
    });
  }
}

// Polls `check` (which may return a promise) every `intervalMs` until it holds: true, or
// false after `timeoutMs`.
async function until(check, timeoutMs = 15000, intervalMs = 20) {
  const deadline = Date.now() + timeoutMs;
  for (;;) {
    if (await check()) return true;
    if (Date.now() > deadline) return false;
    await new Promise((resolve) => setTimeout(resolve, intervalMs));
  }
}

module.exports = { buildDir, peerTool, skipWithoutBus, launch, nextLine, until };
