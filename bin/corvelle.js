#!/usr/bin/env node
'use strict';
// The corvelle command: runs the developer-tools service (`corvelle start`), asks the bus
// about it and the host applications, and can play a host application. Every command
// but `start` ends by itself; errors are one line on stderr. Exit codes: 0 done, 1 failed
// (no bus, no answer), 2 usage.

const bus = require('../lib/bus');
const { out } = require('../lib/stdout');
const { parseCommandLine, UsageError } = require('../lib/args');
const { runStart, START_USAGE } = require('../lib/start');
const { loadAddon } = require('../lib/addon');
const { playHost } = require('../lib/host');
const { waitForBus, findService, handBusAddress, CLIENT_APP_ID } = require('../lib/helpers');
const { version } = require('../package.json');
const DEFAULT_TIMEOUT_MS = 3000;

const BUS_HELP = `  --bus <address>     use this bus instead of the usual one
  -h, --help          this text
  -v, --version       the package's version

The bus: --bus, else OSTREL_BUS_ADDRESS, else the session bus when there is one, else the
private bus that \`corvelle start\` runs at a fixed per-user socket.`;

const COMMANDS = {
  bus: {
    spec: { bus: { kind: 'address' }, json: { kind: 'flag' } },
    usage: `Usage: corvelle bus [--json] [--bus <address>]

Prints the address of the bus that the module, the service and this command join, why
that one, and whether it answers now. Exits 0 either way.

  --json              print one JSON object (address, source, reason, answers)
${BUS_HELP}`,
    run: runBus,
  },
  apps: {
    spec: { bus: { kind: 'address' }, json: { kind: 'flag' } },
    usage: `Usage: corvelle apps [--json] [--bus <address>]

Prints the host applications on the bus, one per line: short code, version, name
(for example RS,1.0,Quorlen Rasterine).

  --json              print one JSON array instead
${BUS_HELP}`,
    run: runApps,
  },
  service: {
    spec: { bus: { kind: 'address' }, json: { kind: 'flag' }, timeout: { kind: 'timeout' } },
    usage: `Usage: corvelle service [--timeout <ms>] [--json] [--bus <address>]

Asks the developer-tools service for its details and prints them. Exits 0 on an answer,
1 when none comes within the timeout.

  --timeout <ms>      how long to wait for the answer (default ${DEFAULT_TIMEOUT_MS})
  --json              print the answer as one JSON object (type, payload, appId, appVersion)
${BUS_HELP}`,
    run: runService,
  },
  host: {
    spec: {
      bus: { kind: 'address' }, json: { kind: 'flag' }, timeout: { kind: 'timeout' },
      stay: { kind: 'duration' },
    },
    usage: `Usage: corvelle host <appId> <version> [--timeout <ms>] [--stay <ms>] [--bus <address>]

Plays a host application (for example RSTN 1.0): joins the bus as it, announces itself,
and prints the details the service sends back. Exits 0 on an answer, 1 when none comes
within the timeout.

  --timeout <ms>      how long to wait for the answer (default ${DEFAULT_TIMEOUT_MS})
  --stay <ms>         stay on the bus this long after the answer, printing what arrives
                      (corvelle apps lists the host meanwhile)
  --json              print each message as one JSON line
${BUS_HELP}`,
    run: runHost,
    positionals: true,
  },
  start: {
    spec: { bus: { kind: 'address' }, port: { kind: 'port' } },
    usage: START_USAGE,
    run: runStart,
  },
};

const USAGE = `Usage: corvelle <command> [options]

Commands:
  start                     run the developer-tools service until Ctrl-C
  bus                       print the bus that the rule picks, and why
  apps                      list the host applications on the bus
  service                   ask the developer-tools service for its details
  host <appId> <version>    play a host application and print the service's answer

Options:
  -h, --help                this text; \`corvelle <command> --help\` tells more
  -v, --version             the package's version`;

class Failure extends Error {
  constructor(message, code = 1) {
    super(message);
    this.code = code;
  }
}

// The bus by the common rule; fails fast when nothing answers there, as the adapter's
// constructor would wait for minutes.
async function joinableBus(option, timeoutMs = DEFAULT_TIMEOUT_MS) {
  const resolved = await bus.resolveBus({ option });
  if (resolved.state === 'unreachable') throw new Failure(bus.unreachableMessage(resolved));
  handBusAddress(resolved.address);
  try {
    await waitForBus({ address: resolved.address, timeoutMs });
  } catch (err) {
    if (err.code === 'ERR_CORVELLE_BUS_TIMEOUT' || err.code === 'ERR_CORVELLE_BAD_BUS_ADDRESS') {
      throw new Failure(bus.unreachableMessage({ ...resolved, reason: err.reason ?? err.message }));
    }
    throw err;
  }
  return resolved;
}

function makeAdapter() {
  const { OstrelAdapter } = loadAddon();
  return new OstrelAdapter(CLIENT_APP_ID, version);
}

async function runBus(options) {
  const resolved = await bus.resolveBus({ option: options.bus });
  const answers = resolved.state !== 'unreachable';
  const { address, source, because } = resolved;
  if (options.json) {
    out(JSON.stringify({ address, source, reason: because, answers }));
  } else {
    out(address);
    out(`why: ${because}`);
    const hint = source === 'private bus' ? '; `corvelle start` brings it up' : '';
    out(answers ? 'answers now: yes' : `answers now: no (${resolved.reason}${hint})`);
  }
  return 0;
}

async function runApps(options) {
  const { address } = await joinableBus(options.bus);
  const apps = makeAdapter().getAppsList();
  if (options.json) {
    out(JSON.stringify(apps));
  } else if (apps.length === 0) {
    process.stderr.write(`corvelle: no host applications on ${address}\n`);
  } else {
    for (const app of apps) out(app);
  }
  return 0;
}

async function runService(options) {
  const timeoutMs = options.timeout ?? DEFAULT_TIMEOUT_MS;
  const { address } = await joinableBus(options.bus, timeoutMs);
  let answer;
  try {
    answer = await findService({ timeoutMs, address });
  } catch (err) {
    if (err.code !== 'ERR_CORVELLE_SERVICE_TIMEOUT') throw err;
    throw new Failure(`no answer from the service within ${timeoutMs} ms on ${address} ` +
      '(is `corvelle start` running on this bus?)');
  }
  if (options.json) {
    out(JSON.stringify(answer));
  } else {
    out(`${answer.appId} ${answer.appVersion} answered: ${answer.payload}`);
  }
  return 0;
}

async function runHost(options, positional) {
  if (positional.length !== 2) {
    throw new UsageError(
      'host needs an application id and a version, as in: corvelle host RSTN 1.0');
  }
  const [appId, appVersion] = positional;
  const resolved = await joinableBus(options.bus);
  return playHost({
    appId, appVersion, address: resolved.address,
    timeoutMs: options.timeout ?? DEFAULT_TIMEOUT_MS, stayMs: options.stay ?? 0,
    json: Boolean(options.json), out,
  });
}

async function main(argv) {
  const [name, ...rest] = argv;
  if (name === undefined) {
    process.stderr.write(`${USAGE}\n`);
    return 2;
  }
  if (name === 'help') {
    const topic = Object.prototype.hasOwnProperty.call(COMMANDS, rest[0]) ? COMMANDS[rest[0]] : null;
    out(topic ? topic.usage : USAGE);
    return 0;
  }
  const command = Object.prototype.hasOwnProperty.call(COMMANDS, name) ? COMMANDS[name] : null;
  if (!command && !name.startsWith('-')) throw new UsageError(`unknown command "${name}"`);
  const { options, positional } = parseCommandLine(command ? rest : argv, command ? command.spec : {});
  if (options.help) {
    out(command ? command.usage : USAGE);
    return 0;
  }
  if (options.version) {
    out(version);
    return 0;
  }
  if (!command) {
    process.stderr.write(`${USAGE}\n`);
    return 2;
  }
  if (!command.positionals && positional.length > 0) {
    throw new UsageError(`unexpected argument "${positional[0]}"`);
  }
  return command.run(options, positional);
}

main(process.argv.slice(2)).then((code) => process.exit(code), (err) => {
  if (err instanceof UsageError) {
    process.stderr.write(`corvelle: ${err.message} (see corvelle --help)\n`);
    process.exit(2);
  }
  process.stderr.write(`corvelle: ${err.message}\n`);
  process.exit(err instanceof Failure ? err.code : 1);
});
