'use strict';
// A small command-line reader: named options with or without a value, then positional
// arguments. Mistakes raise UsageError with one line for the user.

class UsageError extends Error {}

// spec: { name: 'flag' | 'text' | 'ms' }. Returns { options, positional }.
function parseArgs(argv, spec) {
  const options = {};
  const positional = [];
  for (let i = 0; i < argv.length; ++i) {
    const arg = argv[i];
    if (arg === '--') {
      positional.push(...argv.slice(i + 1));
      break;
    }
    if (!arg.startsWith('-') || arg === '-') {
      positional.push(arg);
      continue;
    }
    if (arg === '-h') {
      options.help = true;
      continue;
    }
    const eq = arg.indexOf('=');
    const name = arg.slice(2, eq < 0 ? undefined : eq);
    const kind = arg.startsWith('--') ? spec[name] : undefined;
    if (kind === undefined) throw new UsageError(`unknown option ${arg}`);
    if (kind === 'flag') {
      if (eq >= 0) throw new UsageError(`--${name} takes no value`);
      options[name] = true;
      continue;
    }
    let value;
    if (eq >= 0) {
      value = arg.slice(eq + 1);
    } else {
      if (i + 1 >= argv.length) throw new UsageError(`--${name} needs a value`);
      value = argv[++i];
    }
    if (kind === 'ms') {
      if (!/^\d+$/.test(value)) {
        throw new UsageError(`--${name} takes a whole number of milliseconds, not "${value}"`);
      }
      value = Number(value);
    } else if (value === '') {
      throw new UsageError(`--${name} needs a value`);
    }
    options[name] = value;
  }
  return { options, positional };
}

module.exports = { parseArgs, UsageError };
