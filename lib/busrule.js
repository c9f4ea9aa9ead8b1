'use strict';
// Which bus to join. The module, its helpers, the command and the service all choose by
// this one rule, and the D-Bus messaging library applies the same rule itself when it is
// handed no address (ostrel/dbus/busaddress.cpp, chooseBus):
//   1. an address given by the caller (--bus on the command line, `address` in the API);
//   2. OSTREL_BUS_ADDRESS, the messaging library's own variable;
//   3. the session bus, when it answers: DBUS_SESSION_BUS_ADDRESS, else the socket "bus"
//      in XDG_RUNTIME_DIR;
//   4. the per-user private bus that `corvelle start` runs: $XDG_RUNTIME_DIR/corvelle/bus,
//      else $TMPDIR/corvelle-<uid>/bus ($TMPDIR unset: /tmp).
// Steps 1, 2 and 4 are taken whether or not that bus is up; only the session bus is
// skipped when it does not answer, as a desktop session's variables often outlive it.

const net = require('node:net');
const os = require('node:os');

const ADDRESS_VARIABLE = 'OSTREL_BUS_ADDRESS';
// How long one try at the session bus may take before it counts as not answering.
const SESSION_PROBE_MS = 1000;

class BusAddressError extends Error {}

// %XX sequences are bytes; the text they spell is UTF-8.
function unescapeValue(value) {
  return value.replace(/(%[0-9A-Fa-f]{2})+/g,
    (run) => Buffer.from(run.replace(/%/g, ''), 'hex').toString('utf8'));
}

// Every byte outside [-0-9A-Za-z_/.\*] as %xx, as D-Bus addresses want their values.
function escapeValue(value) {
  return [...Buffer.from(String(value), 'utf8')].map((byte) => {
    const c = String.fromCharCode(byte);
    return /[-0-9A-Za-z_/.\\*]/.test(c) ? c : `%${byte.toString(16).padStart(2, '0')}`;
  }).join('');
}

function unixPathAddress(socketPath) {
  return `unix:path=${escapeValue(socketPath)}`;
}

// A D-Bus address: transports separated by ';', each "name:key=value,key=value" with
// %-escaped values. Throws BusAddressError when it is not one.
function parseAddress(address) {
  const transports = [];
  for (const part of String(address).split(';')) {
    if (part.trim() === '') continue;
    const colon = part.indexOf(':');
    if (colon <= 0) throw new BusAddressError(`not a D-Bus address: "${address}"`);
    const params = {};
    const rest = part.slice(colon + 1);
    for (const pair of rest === '' ? [] : rest.split(',')) {
      const eq = pair.indexOf('=');
      if (eq <= 0) throw new BusAddressError(`not a D-Bus address: "${address}"`);
      params[pair.slice(0, eq)] = unescapeValue(pair.slice(eq + 1));
    }
    transports.push({ transport: part.slice(0, colon), params });
  }
  if (transports.length === 0) throw new BusAddressError('empty bus address');
  return transports;
}

// Connection options for net.connect, or null for transports that cannot be tried from
// here (unixexec, launchd, ...).
function connectOptions({ transport, params }) {
  if (transport === 'unix' && params.path) return { path: params.path };
  if (transport === 'unix' && params.abstract) return { path: `\0${params.abstract}` };
  if (transport === 'tcp' && params.port) {
    return { host: params.host || 'localhost', port: Number(params.port) };
  }
  return null;
}

// One try at one transport: a bus answers when it replies to the opening of the D-Bus
// authentication (a NUL byte, then an AUTH line without mechanism, which every server
// answers with the list of mechanisms it takes). A socket that accepts but stays silent
// (a stopped daemon) does not count. Resolves { ok, reason }.
function handshake(options, timeoutMs) {
  return new Promise((resolve) => {
    const socket = net.connect(options);
    let reply = '';
    const done = (ok, reason) => {
      clearTimeout(timer);
      socket.destroy();
      resolve({ ok, reason });
    };
    const timer = setTimeout(() => done(false, 'no answer'), Math.max(1, timeoutMs));
    socket.setEncoding('latin1');
    socket.once('connect', () => socket.write('\0AUTH\r\n'));
    socket.on('data', (chunk) => {
      reply += chunk;
      if (reply.includes('\r\n')) {
        const ok = /^(REJECTED|OK|ERROR)\b/.test(reply);
        done(ok, ok ? undefined : 'not a D-Bus server');
      }
    });
    socket.once('error', (err) => done(false, err.code === 'ENOENT' ? 'no socket' : err.code));
    socket.once('end', () => done(false, 'closed without answer'));
  });
}

// Whether a bus answers at `address`: { answers, reason }. The transports are tried in
// order; an address none of whose transports can be tried from here counts as answering
// (the library will find out), one that cannot be parsed as not answering.
async function busAnswers(address, timeoutMs = SESSION_PROBE_MS) {
  let transports;
  try {
    transports = parseAddress(address).map(connectOptions);
  } catch {
    return { answers: false, reason: 'not a D-Bus address' };
  }
  if (transports.every((options) => options === null)) {
    return { answers: true, reason: 'no transport that can be tried from here' };
  }
  let reason = 'no answer';
  for (const options of transports) {
    if (options === null) continue;
    const result = await handshake(options, timeoutMs);
    if (result.ok) return { answers: true };
    reason = result.reason;
  }
  return { answers: false, reason };
}

function nonEmpty(value) {
  return typeof value === 'string' && value !== '' ? value : null;
}

// A folder name without trailing slashes ("/" stays "/").
function folder(dir) {
  const trimmed = dir.replace(/\/+$/, '');
  return trimmed === '' ? '/' : trimmed;
}

function join(dir, name) {
  const base = folder(dir);
  return base === '/' ? `/${name}` : `${base}/${name}`;
}

function userId() {
  return typeof process.getuid === 'function' ? process.getuid() : os.userInfo().uid;
}

// The session bus's address and the variable it came from, or null when there is none.
function sessionBus(env = process.env) {
  const given = nonEmpty(env.DBUS_SESSION_BUS_ADDRESS);
  if (given) return { address: given, from: 'DBUS_SESSION_BUS_ADDRESS' };
  const runtime = nonEmpty(env.XDG_RUNTIME_DIR);
  if (runtime) return { address: unixPathAddress(join(runtime, 'bus')), from: 'XDG_RUNTIME_DIR' };
  return null;
}

// The folder of the per-user private bus: in XDG_RUNTIME_DIR when there is one, else in
// the temporary folder, named after the user id.
function privateBusDir(env = process.env) {
  const runtime = nonEmpty(env.XDG_RUNTIME_DIR);
  if (runtime) return join(runtime, 'corvelle');
  return join(nonEmpty(env.TMPDIR) || '/tmp', `corvelle-${userId()}`);
}

function privateBusSocket(env = process.env) {
  return join(privateBusDir(env), 'bus');
}

// Applies the rule. Resolves with { address, source, reason } and, for the private bus,
// `socketPath`. `source` is 'option', 'OSTREL_BUS_ADDRESS', 'session bus' or
// 'private bus'; `reason` says in words why this bus was taken. `optionName` names the
// option in that text (such as '--bus'). `answers(address)` decides whether the session
// bus answers (busAnswers by default); only step 3 waits for it, at most `timeoutMs`.
async function chooseBus({ address, optionName = 'address' } = {}, env = process.env,
  { answers = busAnswers, timeoutMs = SESSION_PROBE_MS } = {}) {
  const given = nonEmpty(address);
  if (given) return { address: given, source: 'option', reason: `given with ${optionName}` };
  const own = nonEmpty(env[ADDRESS_VARIABLE]);
  if (own) return { address: own, source: ADDRESS_VARIABLE, reason: `${ADDRESS_VARIABLE} is set` };
  const session = sessionBus(env);
  let skipped = 'no session bus (neither DBUS_SESSION_BUS_ADDRESS nor XDG_RUNTIME_DIR is set)';
  if (session) {
    const probe = await answers(session.address, timeoutMs);
    if (probe.answers) {
      return {
        address: session.address, source: 'session bus',
        reason: `the session bus answers (from ${session.from})`,
      };
    }
    skipped = `the session bus at ${session.address} (from ${session.from}) does not answer` +
      (probe.reason ? ` (${probe.reason})` : '');
  }
  const socketPath = privateBusSocket(env);
  return {
    address: unixPathAddress(socketPath), source: 'private bus', socketPath,
    reason: `no ${ADDRESS_VARIABLE}, and ${skipped}: the per-user private bus of ` +
      `\`corvelle start\`, in ${privateBusDir(env)}`,
  };
}

module.exports = {
  ADDRESS_VARIABLE, SESSION_PROBE_MS, BusAddressError,
  chooseBus, busAnswers, handshake, sessionBus, privateBusDir, privateBusSocket,
  parseAddress, connectOptions, unixPathAddress, escapeValue,
};
