'use strict';
// Promise helpers beside OstrelAdapter. The adapter's constructor blocks the script thread
// until the bus answers; waitForBus waits for the bus without blocking, connect waits and
// then makes the adapter, and findService asks the developer-tools service once, with a
// time limit, from a child process that ends with it.

const path = require('node:path');
const { spawn } = require('node:child_process');
const { chooseBus, parseAddress, connectOptions, handshake } = require('./busrule');

const DEFAULT_BUS_TIMEOUT_MS = 10000;
const DEFAULT_SERVICE_TIMEOUT_MS = 3000;
// Between two tries at a bus that is not there yet.
const RETRY_MS = 100;
// The application id under which findService joins the bus: a client, not a host
// application, so the service answers it and getAppsList leaves it out.
const CLIENT_APP_ID = 'corvelle-cli';
const LOOKUP_SCRIPT = path.join(__dirname, 'lookup.js');

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
function readOptions(options, { defaultTimeoutMs }) {
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
  if (address !== undefined && (typeof address !== 'string' || address === '')) {
    throw invalidOption('address', address, 'a non-empty D-Bus address text');
  }
  return { timeoutMs, signal, address };
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

// The address that this package last handed to the messaging library in this process.
let handedAddress;

// Hands `address` to the messaging library (through the C environment, which every
// runtime's native modules share) and to this script's process.env. False when adapters
// of the process already hold the library's connection: they, and adapters made
// meanwhile, stay on the bus it joined until all of them have gone.
function handBusAddress(address) {
  const { setBusAddress } = require('./binding').load().binding;
  const fresh = setBusAddress(address);
  process.env.OSTREL_BUS_ADDRESS = address;
  handedAddress = address;
  return fresh;
}

// The options checked, then the bus by the package's rule (lib/busrule.js, the `address`
// option first) waited for until it answers. Resolves { address, deadline, timeoutMs,
// signal }; rejects at the deadline or at an abort.
async function answeringBus(options, defaultTimeoutMs) {
  const { timeoutMs, signal, address: given } = readOptions(options, { defaultTimeoutMs });
  if (signal?.aborted) throw abortError(signal);
  const deadline = Date.now() + timeoutMs;
  const { address } = await chooseBus({ address: given }, process.env);
  await waitUntilAnswers(address, deadline, signal);
  if (signal?.aborted) throw abortError(signal);
  return { address, deadline, timeoutMs, signal };
}

// Resolves (to the address) once the bus that the rule picks answers.
async function waitForBus(options) {
  return (await answeringBus(options, DEFAULT_BUS_TIMEOUT_MS)).address;
}

// Waits for the bus without blocking, then makes the adapter. An abort or a time-out
// while waiting leaves nothing behind: no adapter, no address handed over.
async function connect(appId, appVersion, ...rest) {
  const targetAppId = typeof rest[0] === 'string' ? rest.shift() : undefined;
  const { address } = await answeringBus(rest[0], DEFAULT_BUS_TIMEOUT_MS);
  const { OstrelAdapter } = require('./binding').load().binding;
  const previous = handedAddress;
  const envBefore = { ...process.env };
  if (!handBusAddress(address)) {
    // Adapters of this process hold the library's connection. Their bus is the one this
    // package handed over last or, when they were made without it, the one the rule
    // chose for them, which is the rule's choice without the option now.
    const current = previous ?? (await chooseBus({}, envBefore)).address;
    if (current !== address) {
      handBusAddress(current);
      throw codedError('ERR_CORVELLE_BUS_IN_USE', `adapters of this process are on the bus at ` +
        `${current}; an adapter joins ${address} only once they have all gone`,
        { address, current });
    }
  }
  return targetAppId === undefined ? new OstrelAdapter(appId, appVersion)
    : new OstrelAdapter(appId, appVersion, targetAppId);
}

// How this runtime runs a script of the package in a child process.
function childCommand(script, args) {
  if (typeof globalThis.Deno !== 'undefined') {
    // Deno reads a .js file as an ES module unless told to look for CommonJS.
    return [process.execPath, ['run', '--allow-all', '--unstable-detect-cjs', script, ...args]];
  }
  return [process.execPath, [script, ...args]];
}

// Resolves with the first answer of the developer-tools service to getServicePort. The
// question is asked from a child process with an adapter of its own, so that it changes
// nothing of this process's adapters: not their application id (the library's one
// connection keeps the id of the adapter that opened it), not their bus, and not the
// process-wide getServicePort callback.
async function findService(options) {
  // The adapter's constructor would wait for minutes for a bus that is not there.
  const { address, deadline, timeoutMs, signal } =
    await answeringBus(options, DEFAULT_SERVICE_TIMEOUT_MS);

  const [command, args] = childCommand(LOOKUP_SCRIPT,
    [address, String(Math.max(0, deadline - Date.now()))]);
  const child = spawn(command, args, { stdio: ['ignore', 'pipe', 'inherit'] });
  return new Promise((resolve, reject) => {
    let out = '';
    let settled = false;
    const finish = (error, answer) => {
      if (settled) return;
      settled = true;
      clearTimeout(timer);
      signal?.removeEventListener('abort', onAbort);
      if (child.exitCode === null && child.signalCode === null) child.kill('SIGKILL');
      if (error) reject(error);
      else resolve(answer);
    };
    const onAbort = () => finish(abortError(signal));
    const timedOut = () => codedError('ERR_CORVELLE_SERVICE_TIMEOUT',
      `no answer from the service within ${timeoutMs} ms on ${address}`, { address, timeoutMs });
    const timer = setTimeout(() => finish(timedOut()), Math.max(0, deadline - Date.now()));
    child.stdout.setEncoding('utf8');
    child.stdout.on('data', (chunk) => {
      out += chunk;
      const end = out.indexOf('\n');
      if (end >= 0) finish(null, JSON.parse(out.slice(0, end)));
    });
    child.once('error', (err) => finish(err));
    child.once('exit', (code, sig) => {
      if (code === 3) finish(timedOut());
      else finish(new Error(`the lookup process ended without an answer (${sig || `exit ${code}`})`));
    });
    if (signal?.aborted) onAbort();
    else signal?.addEventListener('abort', onAbort, { once: true });
  });
}

module.exports = {
  waitForBus, findService, connect, handBusAddress, CLIENT_APP_ID,
  DEFAULT_BUS_TIMEOUT_MS, DEFAULT_SERVICE_TIMEOUT_MS,
};
