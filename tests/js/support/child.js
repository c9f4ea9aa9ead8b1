'use strict';
// Runs a script in a child node process with a time limit, for behaviour that only shows
// at process exit: hangs, crashes, output written at teardown.
const { spawn } = require('node:child_process');
const path = require('node:path');

const root = path.resolve(__dirname, '..', '..', '..');

// Resolves with { code, signal, stdout, stderr, timedOut }. A child still running after
// `timeout` ms is killed and reported as timedOut.
function runChild(source, { timeout = 20000, args = [], env = {}, onSpawn } = {}) {
  return new Promise((resolve, reject) => {
    const child = spawn(process.execPath, [...args, '-e', source], {
      cwd: root,
      env: { ...process.env, ...env },
      stdio: ['ignore', 'pipe', 'pipe'],
    });
    let stdout = '';
    let stderr = '';
    let timedOut = false;
    child.stdout.on('data', (d) => { stdout += d; });
    child.stderr.on('data', (d) => { stderr += d; });
    const timer = setTimeout(() => { timedOut = true; child.kill('SIGKILL'); }, timeout);
    child.on('error', reject);
    child.on('close', (code, signal) => {
      clearTimeout(timer);
      resolve({ code, signal, stdout, stderr, timedOut });
    });
    if (onSpawn) onSpawn(child);
  });
}

module.exports = { runChild, root };
