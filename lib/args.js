'use strict';
// The command line, read with node:util parseArgs. Each option has a kind that says what
// it takes; a mistake raises UsageError with one line that names the option and what it
// takes. parseArgs runs in its lenient mode so that every mistake gets such a line here
// instead of the reader's own message.

const util = require('node:util');

class UsageError extends Error {}

const MAX_MS = 2147483647;

// kind: what the option takes, and how its text becomes a value (undefined: refused).
const KINDS = {
  flag: { type: 'boolean' },
  address: {
    type: 'string', takes: 'a D-Bus address such as unix:path=/run/user/1000/bus',
    read: (text) => (text.trim() === '' ? undefined : text),
  },
  timeout: {
    type: 'string', takes: `a whole number of milliseconds from 1 to ${MAX_MS}`,
    read: (text) => wholeNumber(text, 1, MAX_MS),
  },
  duration: {
    type: 'string', takes: `a whole number of milliseconds from 0 to ${MAX_MS}`,
    read: (text) => wholeNumber(text, 0, MAX_MS),
  },
  port: {
    type: 'string', takes: 'a port number from 0 to 65535 (0: a free one)',
    read: (text) => wholeNumber(text, 0, 65535),
  },
};

function wholeNumber(text, min, max) {
  if (!/^\d+$/.test(text)) return undefined;
  const value = Number(text);
  return value >= min && value <= max ? value : undefined;
}

// Options every command takes.
const COMMON = {
  help: { kind: 'flag', short: 'h' },
  version: { kind: 'flag', short: 'v' },
};

// spec: { name: { kind, short? } }, beside COMMON. Returns { options, positional }.
function parseCommandLine(argv, spec) {
  const all = { ...COMMON, ...spec };
  const declared = {};
  for (const [name, { kind, short }] of Object.entries(all)) {
    declared[name] = { type: KINDS[kind].type, ...(short ? { short } : {}) };
  }
  const { values, positionals } = util.parseArgs({
    args: argv, options: declared, strict: false, allowPositionals: true,
  });
  const options = {};
  for (const [name, value] of Object.entries(values)) {
    const shown = name.length === 1 ? `-${name}` : `--${name}`;
    if (!Object.prototype.hasOwnProperty.call(all, name)) throw new UsageError(`unknown option ${shown}`);
    const kind = KINDS[all[name].kind];
    if (kind.type === 'boolean') {
      if (value !== true) throw new UsageError(`${shown} takes no value`);
      options[name] = true;
      continue;
    }
    if (typeof value !== 'string') throw new UsageError(`${shown} needs a value: ${kind.takes}`);
    const read = kind.read(value);
    if (read === undefined) throw new UsageError(`${shown} takes ${kind.takes}, not "${value}"`);
    options[name] = read;
  }
  return { options, positional: positionals };
}

module.exports = { parseCommandLine, UsageError, KINDS };
