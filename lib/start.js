#!/usr/bin/env node
'use strict';
// `npm start`: the developer-tools service, on the bus that the common rule finds or on
// a private bus of its own, until Ctrl-C.

const { parseArgs, UsageError } = require('./args');
const { startService } = require('./service');

const USAGE = `Usage: npm start [-- --bus <address>] [-- --port <port>]

Runs the developer-tools service: a loopback HTTP endpoint, announced on the bus as
application QOVR, answering host applications and clients until Ctrl-C.

  --bus <address>  join this bus (a D-Bus address such as unix:path=/run/user/1000/bus)
  --port <port>    HTTP port on 127.0.0.1 (default: a free one)
  --help           this text

Without --bus: OSTREL_BUS_ADDRESS when set; else the session bus when there is one; else
a private bus (the project's bus configuration) at a fixed per-user socket, started here
(or joined, when another service runs it) and stopped on exit unless other participants
still use it. A bus that goes away is brought up again. The corvelle command finds the
same bus by the same rule.`;

function fail(message, code = 1) {
  process.stderr.write(`corvelle: ${message}\n`);
  process.exit(code);
}

async function main(argv) {
  let parsed;
  try {
    parsed = parseArgs(argv, { help: 'flag', bus: 'text', port: 'ms' });
  } catch (err) {
    if (err instanceof UsageError) fail(`${err.message} (see --help)`, 2);
    throw err;
  }
  const { options, positional } = parsed;
  if (options.help) {
    process.stdout.write(`${USAGE}\n`);
    return;
  }
  if (positional.length > 0) fail(`unexpected argument "${positional[0]}" (see --help)`, 2);
  if (options.port !== undefined && options.port > 65535) fail('--port must be at most 65535', 2);

  // Signals are taken from the start, so that a Ctrl-C while the service comes up also
  // ends in an orderly stop once it is up.
  let service = null;
  let stopping = null;
  const stop = (signal) => {
    process.stdout.write(`${signal}: stopping\n`);
    stopping = service.stop().then(() => {
      process.stdout.write('stopped\n');
      process.exit(0);
    }, (err) => fail(`while stopping: ${err.message}`));
  };
  let pendingSignal = null;
  const onSignal = (signal) => {
    if (stopping || pendingSignal) {
      process.stderr.write(`corvelle: ${signal} again, leaving at once\n`);
      process.exit(130);
    }
    if (service) stop(signal);
    else pendingSignal = signal;
  };
  for (const signal of ['SIGINT', 'SIGTERM', 'SIGHUP']) process.on(signal, onSignal);

  try {
    service = await startService({ busOption: options.bus, port: options.port ?? 0 });
  } catch (err) {
    fail(err.message);
  }
  if (pendingSignal) {
    stop(pendingSignal);
    return;
  }
  process.stdout.write('ready: try `npx corvelle service`, `npx corvelle host RSTN 1.0` and ' +
    '`npx corvelle apps` in another terminal; Ctrl-C stops\n');
}

main(process.argv.slice(2)).catch((err) => fail(err.message));
