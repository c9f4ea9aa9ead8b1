'use strict';
// What is on the bus, from ostrel-busview, the package's own bus client (sd-bus): the
// participants with their processes, and the application messages that pass. Both come
// as JSON lines, so nothing here depends on another program's human-readable output.

const fs = require('node:fs');
const path = require('node:path');
const readline = require('node:readline');
const { spawn } = require('node:child_process');
const { buildDir } = require('./addon');

const TOOL = 'ostrel-busview';
const EXIT_NO_BUS = 3;

class BusViewError extends Error {}

// The tool beside the module that loads, else one on PATH.
function busviewCommand() {
  const built = path.join(buildDir(), TOOL);
  return fs.existsSync(built) ? built : TOOL;
}

function notFound() {
  return `${TOOL} not found: build the package (npm install) or put it on PATH`;
}

// JSON lines of `child`, each parsed; lines that are not JSON objects are skipped.
function jsonLines(child, onObject) {
  readline.createInterface({ input: child.stdout }).on('line', (line) => {
    let value;
    try {
      value = JSON.parse(line);
    } catch {
      return;
    }
    if (value !== null && typeof value === 'object') onObject(value);
  });
}

// The participant names under `prefix` with their owners' process ids, as
// [{ name, pid }] (pid null when the daemon does not say). Rejects with a BusViewError
// when the bus does not answer within timeoutMs.
function listParticipants(address, prefix, timeoutMs = 5000) {
  return new Promise((resolve, reject) => {
    const child = spawn(busviewCommand(), ['--address', address, 'participants', '--prefix', prefix],
      { stdio: ['ignore', 'pipe', 'pipe'] });
    const found = [];
    let errText = '';
    jsonLines(child, (p) => {
      if (typeof p.name === 'string') found.push({ name: p.name, pid: Number.isInteger(p.pid) ? p.pid : null });
    });
    child.stderr.on('data', (chunk) => { errText += chunk; });
    const timer = setTimeout(() => child.kill('SIGKILL'), timeoutMs);
    child.once('error', (err) => {
      clearTimeout(timer);
      reject(new BusViewError(err.code === 'ENOENT' ? notFound() : `cannot run ${TOOL}: ${err.message}`));
    });
    child.once('close', (code, signal) => {
      clearTimeout(timer);
      if (code === 0) {
        resolve(found);
        return;
      }
      const detail = errText.trim().split('\n').pop()?.replace(/^ostrel-busview: /, '');
      reject(new BusViewError(signal ? `the bus did not answer within ${timeoutMs} ms`
        : detail || `${TOOL} stopped (exit ${code})`));
    });
  });
}

// Watches the application messages on the bus. Calls onMessage({ sender, destination,
// type, appId, appVersion }) for each (destination null for a broadcast), and onEnd(line)
// once when the watcher could not start or stopped by itself (`lost` true when its
// connection to the bus ended). Returns { stop() }; after stop() nothing is called.
function watch(address, { onMessage, onStarted = () => {}, onEnd }) {
  let stopping = false;
  const child = spawn(busviewCommand(), ['--address', address, 'watch'],
    { stdio: ['ignore', 'pipe', 'pipe'], detached: true });
  let errText = '';
  jsonLines(child, (value) => {
    if (stopping) return;
    if (value.watching === true) {
      onStarted();
    } else if (typeof value.type === 'string') {
      onMessage({
        sender: value.sender, destination: value.destination ?? null, type: value.type,
        appId: value.appId, appVersion: value.appVersion,
      });
    }
  });
  child.stderr.on('data', (chunk) => { errText += chunk; });
  child.once('error', (err) => {
    if (stopping) return;
    stopping = true;
    onEnd(err.code === 'ENOENT' ? `${notFound()}: requests are not shown`
      : `cannot watch the bus: ${err.message}`, { lost: false });
  });
  child.once('close', (code, signal) => {
    if (stopping) return;
    stopping = true;
    const detail = errText.trim().split('\n').pop()?.replace(/^ostrel-busview: /, '');
    onEnd(`stopped watching the bus${detail ? `: ${detail}` : signal ? ` (${signal})` : ''}`,
      { lost: code === EXIT_NO_BUS });
  });
  // The watcher does not keep the service alive, and ends with it (its parent).
  child.unref();
  return {
    stop() {
      stopping = true;
      if (child.exitCode === null && child.signalCode === null) {
        try {
          process.kill(child.pid, 'SIGTERM');
        } catch {
          // Already gone.
        }
      }
      child.stdout.destroy();
      child.stderr.destroy();
    },
  };
}

module.exports = { listParticipants, watch, busviewCommand, BusViewError, TOOL };
