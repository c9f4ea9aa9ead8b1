#!/usr/bin/env node
// Builds the fuzz targets (clang, libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer,
// in build-fuzz/) and runs each for a while:
//   npm run fuzz [-- --seconds N] [--nice] [--no-build] [target ...]
// Default: every target, 180 s each. One line per target: runs, coverage, new inputs, and
// whether it found something. Each target keeps its growing corpus in
// build-fuzz/work/<target>/ (seeded from fuzz/corpus/<target>/ and
// fuzz/regressions/<target>/); a finding is saved in build-fuzz/findings/<target>/ and
// makes the run exit non-zero. See fuzz/README.md.
'use strict';
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const root = path.join(__dirname, '..');
const buildDir = path.join(root, 'build-fuzz');
const targets = ['participant-name', 'bus-address', 'peer-json', 'adapter-receive', 'endpoint-cache',
  'bus-receive'];
const inNode = new Set(['adapter-receive', 'endpoint-cache']);

function parseArgs(argv) {
  const options = { seconds: 180, nice: false, build: true, targets: [] };
  for (let i = 0; i < argv.length; ++i) {
    if (argv[i] === '--seconds') {
      options.seconds = Number(argv[++i]);
      if (!Number.isInteger(options.seconds) || options.seconds < 1) throw new Error('--seconds needs a whole number');
    } else if (argv[i] === '--nice') {
      options.nice = true;
    } else if (argv[i] === '--no-build') {
      options.build = false;
    } else if (targets.includes(argv[i])) {
      options.targets.push(argv[i]);
    } else {
      throw new Error(`unknown argument ${argv[i]}; targets: ${targets.join(', ')}`);
    }
  }
  if (options.targets.length === 0) options.targets = targets;
  return options;
}

function run(command, args, env) {
  const result = spawnSync(command, args, { cwd: root, stdio: 'inherit', env: { ...process.env, ...env } });
  if (result.status !== 0) throw new Error(`${command} ${args.join(' ')} failed`);
}

// clang 14 (scripts/install-deps.sh) by its own name, else whichever clang is installed.
function clang(name) {
  const versioned = `${name}-14`;
  return spawnSync('sh', ['-c', `command -v ${versioned}`]).status === 0 ? versioned : name;
}

function build(selected) {
  if (!fs.existsSync(path.join(buildDir, 'CMakeCache.txt'))) {
    run('cmake', ['-S', root, '-B', buildDir, '-DCORVELLE_FUZZ=ON', '-DCORVELLE_TESTS=OFF',
      '-DCMAKE_BUILD_TYPE=RelWithDebInfo'], { CC: clang('clang'), CXX: clang('clang++') });
  }
  run('cmake', ['--build', buildDir, '--parallel', '2', '--target', ...selected.map((t) => `fuzz-${t}`)]);
}

// The figures of libFuzzer's output: the last status line and the final statistics.
function figures(log) {
  const stat = (name) => {
    const m = log.match(new RegExp(`stat::${name}:\\s+(\\d+)`));
    return m ? Number(m[1]) : null;
  };
  const lines = log.split('\n').filter((l) => /^#\d+\s/.test(l));
  const last = lines.length ? lines[lines.length - 1] : '';
  const field = (name) => {
    const m = last.match(new RegExp(`${name}: (\\d+)`));
    return m ? Number(m[1]) : null;
  };
  const corpus = last.match(/corp: (\d+)/);
  return { runs: stat('number_of_executed_units'), newInputs: stat('new_units_added'),
    cov: field('cov'), ft: field('ft'), corpus: corpus ? Number(corpus[1]) : null };
}

function fuzzOne(target, options) {
  const work = path.join(buildDir, 'work', target);
  const findings = path.join(buildDir, 'findings', target);
  const logs = path.join(buildDir, 'logs');
  for (const dir of [work, findings, logs]) fs.mkdirSync(dir, { recursive: true });
  const before = new Set(fs.readdirSync(findings));
  const scratch = fs.mkdtempSync(path.join(os.tmpdir(), `corvelle-fuzz-${target}-`));
  const fuzzerArgs = [`-max_total_time=${options.seconds}`, '-timeout=30', '-print_final_stats=1',
    `-artifact_prefix=${findings}/`, work, path.join(root, 'fuzz', 'corpus', target),
    path.join(root, 'fuzz', 'regressions', target)];
  const env = { ...process.env, TMPDIR: scratch, XDG_RUNTIME_DIR: scratch };
  let command = path.join(buildDir, 'Release', `fuzz-${target}`);
  if (!fs.existsSync(inNode.has(target) ? `${command}.node` : command)) {
    console.log(`${target}: not built (run without --no-build); not run`);
    return false;
  }
  let args = fuzzerArgs;
  if (inNode.has(target)) {
    // node is not instrumented: the sanitizer runtime is preloaded, and leaks are judged
    // by the target's own accounting (node's allocations are not ours to judge).
    args = [path.join(root, 'fuzz', 'adapter', 'run.js'), `${command}.node`, ...fuzzerArgs];
    command = process.execPath;
    env.LD_PRELOAD = fs.readFileSync(path.join(buildDir, 'asan-runtime.txt'), 'utf8').trim();
    env.ASAN_OPTIONS = 'detect_leaks=0:quarantine_size_mb=64';
  }
  if (options.nice) {
    args = ['-n', '19', command, ...args];
    command = 'nice';
  }
  const started = Date.now();
  const result = spawnSync(command, args, { cwd: root, env, encoding: 'utf8', maxBuffer: 1 << 28 });
  const seconds = Math.round((Date.now() - started) / 1000);
  const log = `${result.stdout || ''}${result.stderr || ''}`;
  const logFile = path.join(logs, `${target}.log`);
  fs.writeFileSync(logFile, log);
  fs.rmSync(scratch, { recursive: true, force: true });
  const f = figures(log);
  const newFiles = fs.readdirSync(findings).filter((name) => !before.has(name));
  // libFuzzer keeps an input that took over 10 s as slow-unit-*, and goes on: on a busy
  // machine (or under --nice) that is mostly time the process was not running. An input
  // that hangs ends the run at -timeout instead, as a finding.
  const slow = newFiles.filter((name) => name.startsWith('slow-unit-'));
  const saved = newFiles.filter((name) => !name.startsWith('slow-unit-'));
  const found = result.status !== 0 || saved.length > 0;
  const outcome = found
    ? `FINDING (exit ${result.status}${saved.length ? `, saved ${saved.map((n) => path.join(findings, n)).join(' ')}` : ''}; log ${logFile})`
    : 'no finding';
  const slowNote = slow.length ? `; ${slow.length} slow input(s) kept in ${findings} (run alone to time them)` : '';
  console.log(`${target}: ${f.runs} runs in ${seconds} s, coverage ${f.cov} edges (${f.ft} features), ` +
    `${f.newInputs} new inputs (corpus ${f.corpus}); ${outcome}${slowNote}`);
  return !found;
}

function main() {
  let options;
  try {
    options = parseArgs(process.argv.slice(2));
  } catch (err) {
    console.error(`fuzz: ${err.message}`);
    return 2;
  }
  if (options.build) build(options.targets);
  let clean = true;
  for (const target of options.targets) clean = fuzzOne(target, options) && clean;
  return clean ? 0 : 1;
}

process.exitCode = main();
