'use strict';
// Promise helpers beside OstrelAdapter. The adapter's constructor blocks the script thread
// until the bus answers; waitForBus waits for the bus without blocking, and findService
// asks the developer-tools service once, with a time limit, and cleans up after itself.

const net = require('node:net');
const path = require('node:path');
const { parseAddress, unixPathAddress, connectOptions } = require('./bus');

const DEFAULT_BUS_TIMEOUT_MS = 10000;
const DEFAULT_SERVICE_TIMEOUT_MS = 3000;
// Between two tries at a bus that is not there yet.
const RETRY_MS = 100;
// The application id under which findService joins the bus: a client, not a host
// application, so the service answers it and getAppsList leaves it out.
const CLIENT_APP_ID = 'corvelle-cli';

function codedError(code, message, extra = {}) {
  const error = new Error(message);
  error.code = code;
  return Object.assign(error, extra);
}

function abortError(signal) {
  const error = new Error('The operation was aborted');
  error.name = 'AbortError';
  error.code = 'ABORT_ERR';
  error.cause = signal.reason;
  return error;
}

function invalidOption(name, value, expected) {
  const error = new TypeError(`The "${name}" option must be ${expected}; got ${String(value)}`);
  error.code = 'ERR_INVALID_ARG_VALUE';
  return error;
}

// The options object checked: throws a TypeError (code ERR_INVALID_ARG_VALUE) on a value
// of the wrong kind.
function readOptions(options, { defaultTimeoutMs, withAddress }) {
  if (options === undefined || options === null) options = {};
  if (typeof options !== 'object') throw invalidOption('options', options, 'an object');
  const { timeoutMs = defaultTimeoutMs, signal, address } = options;
  if (typeof timeoutMs !== 'number' || !(timeoutMs >= 0) || timeoutMs > 2147483647) {
    throw invalidOption('timeoutMs', timeoutMs, 'a number of milliseconds from 0 to 2147483647');
  }
  if (signal !== undefined && (signal === null || typeof signal.aborted !== 'boolean' ||
      typeof signal.addEventListener !== 'function')) {
    throw invalidOption('signal', signal, 'an AbortSignal');
  }
  if (withAddress && address !== undefined && (typeof address !== 'string' || address === '')) {
    throw invalidOption('address', address, 'a non-empty D-Bus address text');
  }
  return { timeoutMs, signal, address };
}

// The bus the module joins, by the messaging library's own rule: OSTREL_BUS_ADDRESS, else
// the session bus (DBUS_SESSION_BUS_ADDRESS, else the socket "bus" in XDG_RUNTIME_DIR).
// Null when there is none, in which case an adapter joins nothing.
function moduleBusAddress(env = process.env) {
  if (env.OSTREL_BUS_ADDRESS) return env.OSTREL_BUS_ADDRESS;
  if (env.DBUS_SESSION_BUS_ADDRESS) return env.DBUS_SESSION_BUS_ADDRESS;
  if (env.XDG_RUNTIME_DIR) return unixPathAddress(path.join(env.XDG_RUNTIME_DIR, 'bus'));
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

function sleep(ms, signal) {
  return new Promise((resolve) => {
    const onAbort = () => {
      clearTimeout(timer);
      resolve();
    };
    const timer = setTimeout(() => {
      signal?.removeEventListener('abort', onAbort);
      resolve();
    }, ms);
    signal?.addEventListener('abort', onAbort, { once: true });
  });
}

// Tries every transport of `address` until one answers or the deadline passes.
async function waitUntilAnswers(address, deadline, signal) {
  let transports;
  try {
    transports = parseAddress(address).map(connectOptions).filter(Boolean);
  } catch (err) {
    throw codedError('ERR_CORVELLE_BAD_BUS_ADDRESS', err.message, { address });
  }
  if (transports.length === 0) {
    throw codedError('ERR_CORVELLE_BAD_BUS_ADDRESS',
      `the bus address ${address} names no unix or tcp transport that can be checked`,
      { address });
  }
  let reason = 'no answer';
  for (;;) {
    for (const options of transports) {
      if (signal?.aborted) throw abortError(signal);
      const left = deadline - Date.now();
      if (left <= 0) break;
      const result = await handshake(options, left);
      if (result.ok) return;
      // A try that the deadline cut short tells nothing new: keep what an earlier,
      // whole try found (such as a socket that speaks something else).
      if (result.reason !== 'no answer' || Date.now() < deadline) reason = result.reason;
    }
    if (signal?.aborted) throw abortError(signal);
    const left = deadline - Date.now();
    if (left <= 0) {
      throw codedError('ERR_CORVELLE_BUS_TIMEOUT',
        `the bus at ${address} did not answer within the time limit (${reason})`,
        { address, reason });
    }
    await sleep(Math.min(RETRY_MS, left), signal);
  }
}

// Resolves (to the address) once the bus that an adapter made now would join answers.
async function waitForBus(options) {
  const { timeoutMs, signal, address: given } = readOptions(options,
    { defaultTimeoutMs: DEFAULT_BUS_TIMEOUT_MS, withAddress: true });
  if (signal?.aborted) throw abortError(signal);
  const address = given ?? moduleBusAddress();
  if (address === null) {
    throw codedError('ERR_CORVELLE_NO_BUS_ADDRESS', 'no bus to wait for: neither ' +
      'OSTREL_BUS_ADDRESS nor DBUS_SESSION_BUS_ADDRESS nor XDG_RUNTIME_DIR is set');
  }
  await waitUntilAnswers(address, Date.now() + timeoutMs, signal);
  return address;
}

// Answers of the service share one adapter and its process-wide getServicePort callback:
// every pending findService call waits on the same lookup, which ends (and disconnects)
// once the first answer came or the last caller stopped waiting.
let lookup = null;

function startLookup(OstrelAdapter) {
  const adapter = new OstrelAdapter(CLIENT_APP_ID, require('../package.json').version);
  const current = { adapter, waiters: new Set() };
  adapter.getServicePort((type, payload, appId, appVersion) => {
    if (lookup !== current) return;
    endLookup(current);
    for (const waiter of [...current.waiters]) waiter.answer({ type, payload, appId, appVersion });
  });
  return current;
}

function endLookup(current) {
  if (lookup === current) lookup = null;
  current.adapter.disconnect();
}

// Resolves with the first answer of the developer-tools service to getServicePort.
async function findService(options) {
  const { timeoutMs, signal } = readOptions(options,
    { defaultTimeoutMs: DEFAULT_SERVICE_TIMEOUT_MS, withAddress: false });
  if (signal?.aborted) throw abortError(signal);
  const deadline = Date.now() + timeoutMs;
  const address = moduleBusAddress();
  if (address === null) {
    throw codedError('ERR_CORVELLE_NO_BUS_ADDRESS', 'no bus to ask: neither ' +
      'OSTREL_BUS_ADDRESS nor DBUS_SESSION_BUS_ADDRESS nor XDG_RUNTIME_DIR is set');
  }
  // The adapter's constructor would wait for minutes for a bus that is not there.
  await waitUntilAnswers(address, deadline, signal);

  const { OstrelAdapter } = require('./binding').load().binding;
  if (!lookup) lookup = startLookup(OstrelAdapter);
  const current = lookup;
  return new Promise((resolve, reject) => {
    const waiter = {};
    const leave = () => {
      clearTimeout(timer);
      signal?.removeEventListener('abort', onAbort);
      current.waiters.delete(waiter);
      if (current.waiters.size === 0 && lookup === current) endLookup(current);
    };
    waiter.answer = (answer) => {
      leave();
      resolve(answer);
    };
    const onAbort = () => {
      leave();
      reject(abortError(signal));
    };
    const timer = setTimeout(() => {
      leave();
      reject(codedError('ERR_CORVELLE_SERVICE_TIMEOUT',
        `no answer from the service within ${timeoutMs} ms on ${address}`,
        { address, timeoutMs }));
    }, Math.max(0, deadline - Date.now()));
    current.waiters.add(waiter);
    if (signal?.aborted) onAbort();
    else signal?.addEventListener('abort', onAbort, { once: true });
  });
}

module.exports = {
  waitForBus, findService, moduleBusAddress, CLIENT_APP_ID,
  DEFAULT_BUS_TIMEOUT_MS, DEFAULT_SERVICE_TIMEOUT_MS,
};
