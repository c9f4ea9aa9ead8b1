'use strict';
// `corvelle host`: plays a host application with the ostrel-peer tool. The peer joins the
// bus as the application, announces it to everybody, and prints what it receives as JSON
// lines; the first "server ready" answer is what the user asked for.

const { spawn } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const readline = require('node:readline');
const { buildDir } = require('./addon');
const { shortType } = require('./monitor');

const HOST_READY = 'zem.devtools.host.ready';
const SERVER_READY = 'zem.devtools.server.ready';

class HostError extends Error {}

// The peer tool of this package's build, else one on PATH.
function peerCommand() {
  const built = path.join(buildDir(), 'ostrel-peer');
  return fs.existsSync(built) ? built : 'ostrel-peer';
}

const PEER_EXIT = {
  1: 'ostrel-peer refused its command line',
  3: 'could not join the bus, or lost it',
  4: 'could not send the announcement',
};

function describe(message) {
  const payload = message.payload ?? `(bytes ${message.payloadHex})`;
  return `${shortType(message.type)} from ${message.appId} ${message.appVersion}: ${payload}`;
}

// Resolves to the exit code: 0 once the service has answered (and --stay has passed), or
// rejects with a HostError when no answer comes within timeoutMs.
function playHost({ appId, appVersion, address, timeoutMs, stayMs, json, out }) {
  // The peer's own time limit only guards against this process going away first.
  const limitSeconds = Math.ceil((timeoutMs + stayMs) / 1000) + 5;
  const args = ['--app', appId, '--app-version', appVersion, '--connect-timeout', '2',
    '--send', HOST_READY, '--listen', '--timeout', String(limitSeconds)];
  return new Promise((resolve, reject) => {
    const peer = spawn(peerCommand(), args, {
      env: { ...process.env, OSTREL_BUS_ADDRESS: address },
      stdio: ['ignore', 'pipe', 'pipe'],
    });
    let answered = false;
    let finished = false;
    let errText = '';
    let stayTimer = null;

    const stopPeer = () => {
      if (peer.exitCode === null && peer.signalCode === null) peer.kill('SIGTERM');
    };
    // Ctrl-C or a kill ends the play with the peer: after an answer that is success.
    const onSignal = () => finish(answered ? undefined
      : new HostError('stopped before the service answered'));
    process.on('SIGINT', onSignal);
    process.on('SIGTERM', onSignal);

    const finish = (error) => {
      if (finished) return;
      finished = true;
      process.off('SIGINT', onSignal);
      process.off('SIGTERM', onSignal);
      clearTimeout(answerTimer);
      clearTimeout(stayTimer);
      stopPeer();
      // Resolve once the peer has left the bus, so that the command ends with it.
      const settle = () => (error ? reject(error) : resolve(0));
      if (peer.exitCode !== null || peer.signalCode !== null) settle();
      else peer.once('close', settle);
    };

    const answerTimer = setTimeout(() => finish(new HostError(
      `no answer from the service within ${timeoutMs} ms on ${address} ` +
      '(is `corvelle start` running on this bus?)')), timeoutMs);

    peer.on('error', (err) => finish(new HostError(err.code === 'ENOENT'
      ? 'ostrel-peer not found: build the package (npm install) or put it on PATH'
      : `cannot run ostrel-peer: ${err.message}`)));
    peer.stderr.on('data', (chunk) => { errText += chunk; });
    peer.on('exit', (code) => {
      if (finished) return;
      if (answered) {
        finish();
        return;
      }
      const detail = errText.trim().split('\n').pop();
      finish(new HostError(`${PEER_EXIT[code] || `ostrel-peer stopped (exit ${code})`}` +
        `${detail ? `: ${detail}` : ''}`));
    });

    readline.createInterface({ input: peer.stdout }).on('line', (line) => {
      if (finished) return;
      let message;
      try {
        message = JSON.parse(line);
      } catch {
        return;
      }
      if (typeof message.type !== 'string') return;
      const isAnswer = !answered && shortType(message.type) === SERVER_READY;
      if (!answered && !isAnswer) return;
      out(json ? line : describe(message));
      if (isAnswer) {
        answered = true;
        clearTimeout(answerTimer);
        if (stayMs > 0) stayTimer = setTimeout(() => finish(), stayMs);
        else finish();
      }
    });
  });
}

module.exports = { playHost, HostError, peerCommand };
