'use strict';
// Which bus to use, whether it is there, and the per-user private bus.
//
// `corvelle start` and the other `corvelle` commands find the same bus by the same rule:
//   1. an address given on the command line (--bus);
//   2. OSTREL_BUS_ADDRESS, the messaging library's own variable;
//   3. the session bus, when one answers;
//   4. the per-user private bus that `corvelle start` runs at a fixed socket path.
// The rule itself is lib/busrule.js. Whatever is chosen is handed to the messaging
// library (handBusAddress in lib/helpers.js) before an adapter is made, so the library
// connects to the bus this rule picked and to no other.

const fs = require('node:fs');
const net = require('node:net');
const path = require('node:path');
const { spawn } = require('node:child_process');
const busrule = require('./busrule');
const { listParticipants } = require('./busview');

const { ADDRESS_VARIABLE, unixPathAddress, connectOptions, privateBusDir, privateBusSocket } =
  busrule;
const PACKAGE_ROOT = path.resolve(__dirname, '..');
const BUS_CONFIG = path.join(PACKAGE_ROOT, 'bus', 'ostrel-bus.conf');
// Every participant owns one name under this prefix (docs/protocol.md).
const PARTICIPANT_PREFIX = 'net.corvelle.Ostrel5.P.';

class BusError extends Error {}

// Addresses are read and written as lib/busrule.js does; a malformed one is a BusError.
function parseAddress(address) {
  try {
    return busrule.parseAddress(address);
  } catch (err) {
    throw new BusError(err.message);
  }
}

function tryConnect(options, timeoutMs) {
  return new Promise((resolve) => {
    const socket = net.connect(options);
    const done = (ok, reason) => {
      clearTimeout(timer);
      socket.destroy();
      resolve({ ok, reason });
    };
    const timer = setTimeout(() => done(false, 'no answer'), timeoutMs);
    socket.once('connect', () => done(true));
    socket.once('error', (err) => done(false, err.code === 'ENOENT' ? 'no socket' : err.code));
  });
}

// 'reachable' when a transport of the address accepts a connection, 'unreachable' when
// none does, 'unknown' when no transport can be tried from here. A bus that is not there
// would make the adapter's constructor wait for minutes; this answers within timeoutMs.
async function probeAddress(address, timeoutMs = 1500) {
  let transports;
  try {
    transports = parseAddress(address);
  } catch (err) {
    return { state: 'unreachable', reason: err.message };
  }
  let reason = 'no transport that can be tried';
  let tried = false;
  for (const transport of transports) {
    const options = connectOptions(transport);
    if (!options) continue;
    tried = true;
    const result = await tryConnect(options, timeoutMs);
    if (result.ok) return { state: 'reachable' };
    reason = result.reason;
  }
  return { state: tried ? 'unreachable' : 'unknown', reason };
}

function sessionBusAddress(env = process.env) {
  return busrule.sessionBus(env)?.address ?? null;
}

// Applies the package's one rule (lib/busrule.js). The result names where the address
// came from ('--bus' for the option) and `because` why it was taken; `state` is the
// probe's answer for it, with the probe's `reason` when it does not answer.
async function resolveBus({ option, env = process.env, timeoutMs } = {}) {
  const { reason: because, ...choice } =
    await busrule.chooseBus({ address: option, optionName: '--bus' }, env);
  const source = choice.source === 'option' ? '--bus' : choice.source;
  return { ...choice, source, because, ...(await probeAddress(choice.address, timeoutMs)) };
}

// One line that says why a resolved bus cannot be used.
function unreachableMessage(bus) {
  const why = bus.reason ? ` (${bus.reason})` : '';
  if (bus.source === 'private bus') {
    return `no bus to join: no ${ADDRESS_VARIABLE}, no session bus, and no private bus at ` +
      `${bus.socketPath}${why}; run \`corvelle start\`, or pass --bus <address>`;
  }
  return `the bus at ${bus.address} (from ${bus.source}) does not answer${why}`;
}

// The folder must belong to this user and be closed to everyone else: the bus accepts
// any connection of its own user, and its socket must not be reachable by others.
function preparePrivateDir(dir) {
  fs.mkdirSync(dir, { recursive: true, mode: 0o700 });
  const stat = fs.lstatSync(dir);
  const uid = process.getuid();
  if (!stat.isDirectory() || stat.uid !== uid) {
    throw new BusError(`${dir} is not a folder of this user; remove it or set XDG_RUNTIME_DIR`);
  }
  if ((stat.mode & 0o077) !== 0) fs.chmodSync(dir, 0o700);
}

// A process that has ended but not been collected by its parent (a zombie, as a killed
// service is where nothing reaps orphans) counts as gone: it looks after nothing.
function processAlive(pid) {
  if (!Number.isInteger(pid) || pid <= 0) return false;
  try {
    process.kill(pid, 0);
  } catch (err) {
    return err.code === 'EPERM';
  }
  try {
    const stat = fs.readFileSync(`/proc/${pid}/stat`, 'utf8');
    return stat.slice(stat.lastIndexOf(')') + 2, stat.lastIndexOf(')') + 3) !== 'Z';
  } catch {
    return true;
  }
}

// The recorded daemon pid still names a dbus-daemon (and not a process that got the pid
// since).
function isBusDaemon(pid) {
  if (!processAlive(pid)) return false;
  try {
    return fs.readFileSync(`/proc/${pid}/comm`, 'utf8').trim() === 'dbus-daemon';
  } catch {
    return false;
  }
}

function readOwnerFile(file) {
  try {
    const [daemonPid, ownerPid] = fs.readFileSync(file, 'utf8').trim().split(/\s+/).map(Number);
    return { daemonPid, ownerPid };
  } catch {
    return null;
  }
}

// Starts dbus-daemon with the project's bus configuration on `socketPath` and resolves
// once it listens. The daemon gets a process group of its own, so that a Ctrl-C in the
// terminal reaches the service, which stops the bus itself after saying goodbye on it.
// Its complaints go to `logFile`: a pipe would break once this process has gone.
function spawnDaemon(socketPath, { configFile = BUS_CONFIG, logFile, onSpawn } = {}) {
  return new Promise((resolve, reject) => {
    const address = unixPathAddress(socketPath);
    const logFd = fs.openSync(logFile, 'w', 0o600);
    let child;
    try {
      child = spawn('dbus-daemon', [
        `--config-file=${configFile}`, `--address=${address}`, '--nofork', '--nopidfile',
        '--nosyslog', '--print-address=1',
      ], { stdio: ['ignore', 'pipe', logFd], detached: true });
    } finally {
      fs.closeSync(logFd);
    }
    // Recorded at once, so that a stop that cannot wait finds the daemon already.
    if (child.pid !== undefined) onSpawn?.(child.pid);
    let out = '';
    let settled = false;
    const fail = (message) => {
      if (settled) return;
      settled = true;
      reject(new BusError(message));
    };
    child.once('error', (err) => fail(err.code === 'ENOENT'
      ? 'dbus-daemon is not installed (Debian package dbus-daemon)'
      : `cannot start dbus-daemon: ${err.message}`));
    child.once('exit', (code, signal) => {
      let detail = '';
      try {
        detail = fs.readFileSync(logFile, 'utf8').trim().split('\n').pop();
      } catch {
        // No log: the exit status says it.
      }
      fail(`dbus-daemon stopped at once: ${detail || `exit ${signal || code}`}`);
    });
    child.stdout.on('data', (chunk) => {
      out += chunk;
      if (settled || !out.includes('\n')) return;
      settled = true;
      child.removeAllListeners('exit');
      child.stdout.destroy();
      child.unref();
      resolve({ address: out.trim(), pid: child.pid });
    });
  });
}

function stopProcess(pid, signal = 'SIGTERM') {
  try {
    process.kill(pid, signal);
  } catch {
    // Already gone.
  }
}

// A text as it appears in a participant's bus name: ASCII letters and digits stay,
// every other byte is "_" and two upper-case hex digits (docs/protocol.md).
function nameText(text) {
  return [...Buffer.from(String(text), 'utf8')].map((byte) => {
    const c = String.fromCharCode(byte);
    return /[A-Za-z0-9]/.test(c) ? c : `_${byte.toString(16).toUpperCase().padStart(2, '0')}`;
  }).join('');
}

// The messaging participants on the bus, as [{ name, pid }] (pid null when the daemon
// does not say). `appId` keeps only that application's participants (and those whose
// name is the short form that does not tell). Rejects when the bus does not answer.
async function participants(address, { appId } = {}) {
  const wanted = appId === undefined ? [PARTICIPANT_PREFIX]
    : [`${PARTICIPANT_PREFIX}a${nameText(appId)}.`, `${PARTICIPANT_PREFIX}L.`];
  const listed = await listParticipants(address, PARTICIPANT_PREFIX);
  return listed.filter(({ name }) => wanted.some((prefix) => name.startsWith(prefix)));
}

// Brings up the per-user private bus at its fixed path, or joins the one that is there.
// Returns { address, pid, started, shared, release() }. The owner file in the bus folder
// names the daemon and the service that looks after it ("<daemon pid> <owner pid>"; owner
// 0 when its owner left it to others). `release` is for the end of the service: see
// releasePrivateBus.
async function ensurePrivateBus({ env = process.env, configFile } = {}) {
  const dir = privateBusDir(env);
  const socketPath = path.join(dir, 'bus');
  const ownerFile = path.join(dir, 'owner');
  preparePrivateDir(dir);

  const address = unixPathAddress(socketPath);
  const release = () => releasePrivateBus({ address, socketPath, ownerFile });
  const stopNow = () => stopPrivateBusNow({ ownerFile });
  const probe = await probeAddress(address);
  if (probe.state === 'reachable') {
    const owner = readOwnerFile(ownerFile);
    if (owner && processAlive(owner.ownerPid) && owner.ownerPid !== process.pid) {
      return { address, pid: owner.daemonPid, started: false, shared: true, release, stopNow };
    }
    // A bus left behind by an owner that has gone: this process looks after it now.
    if (owner && isBusDaemon(owner.daemonPid)) {
      fs.writeFileSync(ownerFile, `${owner.daemonPid} ${process.pid}\n`);
      return { address, pid: owner.daemonPid, started: false, shared: false, release, stopNow };
    }
    // Nobody that this package knows of runs it: joined, never stopped from here.
    return {
      address, pid: null, started: false, shared: true, release: async () => 'not ours',
      stopNow: () => false,
    };
  }

  // Nothing answers: whatever socket file is there is stale.
  fs.rmSync(socketPath, { force: true });
  const logFile = path.join(dir, 'daemon.log');
  const recordOwner = (pid) => fs.writeFileSync(ownerFile, `${pid} ${process.pid}\n`);
  const daemon = await spawnDaemon(socketPath, { configFile, logFile, onSpawn: recordOwner });
  // The address without the daemon's guid: a bus brought up again at the same path has
  // another guid, and the library must be able to reconnect to it.
  return { address, pid: daemon.pid, started: true, shared: false, release, stopNow };
}

function waitExit(pid, timeoutMs) {
  return new Promise((resolve) => {
    const end = Date.now() + timeoutMs;
    const check = () => {
      if (!processAlive(pid) || Date.now() > end) resolve(!processAlive(pid));
      else setTimeout(check, 50);
    };
    check();
  });
}

// At the end of a service: stops the per-user private bus only when it is this service's
// to stop and nobody else uses it. Its to stop: the owner file names this process (it
// started or took over the bus) or an owner that has gone, and the daemon it names is
// still the dbus-daemon answering at the socket. A bus that another participant still
// uses is left running, and an owner leaving it marks it as left to others (owner 0), so
// that whoever stops last, or the next start, looks after it. A bus started by someone
// else since, or not started by this package at all, is never signalled nor removed.
// Resolves with what was done: 'stopped', 'in use', 'unknown' (the participants could
// not be listed; left to the next service), 'not ours' or 'gone'.
async function releasePrivateBus({ address, socketPath, ownerFile }) {
  const owner = readOwnerFile(ownerFile);
  const mine = owner !== null && owner.ownerPid === process.pid;
  const probe = await probeAddress(address, 1000);
  if (probe.state !== 'reachable') {
    // The bus has gone. Only what names this process is tidied up.
    if (mine && !isBusDaemon(owner.daemonPid)) {
      fs.rmSync(ownerFile, { force: true });
      if ((await probeAddress(address, 500)).state !== 'reachable') {
        fs.rmSync(socketPath, { force: true });
      }
    }
    return 'gone';
  }
  const abandoned = owner !== null && !mine && !processAlive(owner.ownerPid);
  if (!owner || (!mine && !abandoned) || !isBusDaemon(owner.daemonPid)) return 'not ours';
  let others;
  try {
    others = (await participants(address)).filter((p) => p.pid !== process.pid);
  } catch {
    // Whether others use it is not known: left to the next service, which takes it over.
    if (mine) fs.writeFileSync(ownerFile, `${owner.daemonPid} 0\n`);
    return 'unknown';
  }
  if (others.length > 0) {
    if (mine) fs.writeFileSync(ownerFile, `${owner.daemonPid} 0\n`);
    return 'in use';
  }
  stopProcess(owner.daemonPid);
  await waitExit(owner.daemonPid, 3000);
  // The daemon took its socket with it; a newer bus may be there already.
  const now = readOwnerFile(ownerFile);
  if (now && now.daemonPid === owner.daemonPid) fs.rmSync(ownerFile, { force: true });
  if ((await probeAddress(address, 500)).state !== 'reachable') fs.rmSync(socketPath, { force: true });
  return 'stopped';
}

// A stop that cannot wait (a second Ctrl-C): ends the private bus at once, without asking
// who else is on it, when it is this process's to stop (the owner file names this process
// or an owner that has gone, and the daemon it names is still a dbus-daemon). Services
// still on it bring up a bus of their own again. Returns whether it stopped one.
function stopPrivateBusNow({ ownerFile }) {
  const owner = readOwnerFile(ownerFile);
  if (!owner || !isBusDaemon(owner.daemonPid)) return false;
  if (owner.ownerPid !== process.pid && processAlive(owner.ownerPid)) return false;
  stopProcess(owner.daemonPid);
  fs.rmSync(ownerFile, { force: true });
  return true;
}

module.exports = {
  ADDRESS_VARIABLE, BUS_CONFIG, BusError,
  parseAddress, unixPathAddress, probeAddress, sessionBusAddress,
  privateBusDir, privateBusSocket, resolveBus, unreachableMessage,
  ensurePrivateBus, releasePrivateBus, stopPrivateBusNow, spawnDaemon, stopProcess, processAlive, participants,
  readOwnerFile, PARTICIPANT_PREFIX, nameText, connectOptions,
};
