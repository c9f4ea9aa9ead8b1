'use strict';
// Watches the application messages on a bus with dbus-monitor, so that the service can
// say who asked it for its details: the adapter answers those requests by itself, and
// script never sees them. docs/protocol.md describes the signal read here.

const { spawn } = require('node:child_process');
const readline = require('node:readline');

const INTERFACE = 'net.corvelle.Ostrel5';
const MEMBER = 'Message';
const TYPE_PREFIX = 'ostrel.SuiteMessage.';
const HEADER =
  /^signal .*sender=(\S+) -> destination=(.+?) serial=.*; interface=([^;]+); member=(\S+)$/;

// Reads dbus-monitor's text output: a header line per message, then one indented line
// per argument. Calls onMessage({ sender, destination, type, appId, appVersion }) for each
// application message; payloads are not read.
function createParser(onMessage) {
  let current = null;
  const flush = () => {
    if (current && current.args.length >= 3) {
      const [type, appId, appVersion] = current.args;
      onMessage({ sender: current.sender, destination: current.destination, type, appId,
        appVersion });
    }
    current = null;
  };
  return {
    line(text) {
      if (!text.startsWith(' ')) {
        flush();
        const header = HEADER.exec(text);
        if (header && header[3] === INTERFACE && header[4] === MEMBER) {
          const destination = header[2] === '(null destination)' ? null : header[2];
          current = { sender: header[1], destination, args: [] };
        }
        return;
      }
      if (!current) return;
      const arg = /^\s+string "(.*)"$/.exec(text);
      if (arg && current.args.length < 3) current.args.push(arg[1]);
    },
    end: flush,
  };
}

// Starts the watcher; returns { stop() } or null when dbus-monitor cannot run. onError
// gets one line when the watcher could not start or stopped on its own.
function watchMessages(address, onMessage, onError) {
  let child;
  let stopping = false;
  try {
    child = spawn('dbus-monitor', ['--address', address, '--monitor',
      `type='signal',interface='${INTERFACE}',member='${MEMBER}'`],
    { stdio: ['ignore', 'pipe', 'pipe'], detached: true });
  } catch (err) {
    onError(`cannot watch the bus: ${err.message}`);
    return null;
  }
  const parser = createParser(onMessage);
  readline.createInterface({ input: child.stdout }).on('line', (l) => parser.line(l))
    .on('close', () => parser.end());
  let errText = '';
  child.stderr.on('data', (chunk) => { errText += chunk; });
  child.on('error', (err) => {
    if (!stopping) {
      onError(err.code === 'ENOENT'
        ? 'dbus-monitor is not installed (Debian package dbus-bin): requests are not shown'
        : `cannot watch the bus: ${err.message}`);
    }
  });
  child.on('exit', (code, signal) => {
    if (stopping || code === null && signal === null) return;
    const detail = errText.trim().split('\n').pop();
    onError(`stopped watching the bus${detail ? `: ${detail}` : ''}`);
  });
  child.unref();
  child.stdout.unref?.();
  child.stderr.unref?.();
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
    },
  };
}

// The message type without the bus prefix.
function shortType(type) {
  return type.startsWith(TYPE_PREFIX) ? type.slice(TYPE_PREFIX.length) : type;
}

module.exports = { createParser, watchMessages, shortType, INTERFACE, MEMBER, TYPE_PREFIX };
