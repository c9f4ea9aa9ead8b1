#!/usr/bin/env node
'use strict';
// Runs every figure of the benchmark side by side on the bus that bench/run started
// (OSTREL_BUS_ADDRESS), prints them with their ratios against the targets, and writes
// them as JSON with --json PATH. --quick runs a smaller version of everything, for smoke
// use. See bench/README.md for what each figure means.
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const readline = require('node:readline');
const { option } = require('./benchcommon');

const quick = process.argv.includes('--quick');
const buildDir = path.resolve(option('build', path.join(__dirname, '..', 'build', 'Release')));
const jsonPath = option('json', null);
// --only roundtrip,receive,startup,scale,joins,memory: a part of the figures, for profiling.
const only = option('only', null)?.split(',');
const wanted = (part) => !only || only.includes(part);
const rawTool = path.join(buildDir, 'ostrel-rawbench');
const libTool = path.join(buildDir, 'ostrel-bench');
const moduleScript = path.join(__dirname, 'module-bench.js');
const jsScript = path.join(__dirname, 'dbusnext-bench.js');

// Message counts are multiples of 256, the step at which receivers write their progress:
// an interleaved blast ends when the receiver's progress file shows its last message.
const plan = quick
  ? { rounds: 2, roundTrips: 300, warmup: 1024, perRun: 5120, runs: 3, memory: 102400, startups: 3,
    scale: [10, 100], samples: 11, joins: [50, 200], joinRuns: 1 }
  : { rounds: 5, roundTrips: 2000, warmup: 20480, perRun: 20480, runs: 5, memory: 1024000, startups: 5,
    scale: [10, 100, 200, 1000], samples: 21, joins: [200, 800], joinRuns: 3 };

const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'ostrel-bench-'));
const children = new Set();

function median(values) {
  const sorted = [...values].sort((a, b) => a - b);
  if (sorted.length === 0) return NaN;
  const mid = Math.floor(sorted.length / 2);
  return sorted.length % 2 ? sorted[mid] : (sorted[mid - 1] + sorted[mid]) / 2;
}

// A child process whose standard output is read line by line.
function start(command, args, env = {}) {
  const child = spawn(command, args, {
    env: { ...process.env, CORVELLE_BUILD_DIR: buildDir, ...env },
    stdio: ['pipe', 'pipe', 'inherit'],
  });
  children.add(child);
  child.output = [];
  const waiting = [];
  readline.createInterface({ input: child.stdout }).on('line', (line) => {
    child.output.push(line);
    for (const w of [...waiting]) {
      if (w.test(line)) {
        waiting.splice(waiting.indexOf(w), 1);
        w.resolve();
      }
    }
  });
  child.exited = new Promise((resolve) => child.once('exit', (code, sig) => {
    children.delete(child);
    resolve(code ?? sig);
  }));
  child.waitFor = (test) => new Promise((resolve, reject) => {
    if (child.output.some(test)) return resolve();
    waiting.push({ test, resolve });
    child.exited.then((code) => reject(new Error(`${path.basename(command === process.execPath ? args[0] : command)} ${args[0]} exited (${code}) before it was ready`)));
  });
  child.waitReady = () => child.waitFor((line) => line === 'ready');
  // The figures: the last line of JSON, once the child has ended well.
  child.result = async () => {
    const code = await child.exited;
    const line = [...child.output].reverse().find((l) => l.startsWith('{') || l.startsWith('['));
    if (code !== 0 || !line) throw new Error(`${path.basename(command)} ${args.join(' ')} failed (${code})`);
    return JSON.parse(line);
  };
  child.stop = async () => {
    child.stdin.end();
    if (child.exitCode === null) {
      const timer = setTimeout(() => child.kill('SIGTERM'), 3000);
      await child.exited;
      clearTimeout(timer);
    }
  };
  return child;
}
const nodeChild = (script, args) => start(process.execPath, [script, ...args]);
const run = (command, args) => start(command, args).result();
const say = (text) => process.stderr.write(`bench: ${text}\n`);

// --- round trips ---------------------------------------------------------------------
async function roundTrips() {
  say('round trips');
  const rawEcho = start(rawTool, ['echo']);
  const service = nodeChild(moduleScript, ['service']);
  const jsEcho = nodeChild(jsScript, ['echo']);
  await Promise.all([rawEcho.waitReady(), service.waitReady(), jsEcho.waitReady()]);
  const n = String(plan.roundTrips);
  const rounds = { raw: [], library: [], libraryCallerWaits: [], module: [], dbusNext: [], handOff: [], callerWakeUp: [] };
  // Round by round, so that a busy moment of the machine hits every side alike.
  for (let r = 0; r < plan.rounds; r++) {
    rounds.raw.push(await run(rawTool, ['roundtrip', '--to', 'RAW-ECHO', '--round-trips', n, '--runs', '1']));
    const libJson = path.join(scratch, 'library.json');
    const library = start(libTool, ['--one-way', 'no', '--round-trips', n, '--runs', '1', '--json', libJson]);
    if ((await library.exited) !== 0) throw new Error('ostrel-bench round trip failed');
    const native = JSON.parse(fs.readFileSync(libJson, 'utf8')).native;
    rounds.library.push(native.roundTripChainedUs);
    rounds.libraryCallerWaits.push(native.roundTripCallerWaitsUs);
    rounds.callerWakeUp.push(native.callerWakeUpUs);
    rounds.module.push(await run(process.execPath, [moduleScript, 'roundtrip', '--round-trips', n, '--runs', '1']));
    rounds.dbusNext.push(await run(process.execPath, [jsScript, 'roundtrip', '--to', 'JS-ECHO', '--round-trips', n, '--runs', '1']));
    rounds.handOff.push(await run(rawTool, ['handoff', '--round-trips', n, '--runs', '1']));
  }
  await Promise.all([rawEcho.stop(), service.stop(), jsEcho.stop()]);
  const out = {};
  for (const [side, list] of Object.entries(rounds)) {
    out[side] = { medianUs: median(list.map((x) => x.median)), p99Us: median(list.map((x) => x.p99)),
      roundMediansUs: list.map((x) => x.median) };
    // Each side against the raw baseline of the same round, then the median over rounds:
    // steadier than a ratio of medians while the machine's load changes between rounds.
    // The hand-off and the caller's wake-up are no round trips: they have no ratio.
    if (!['handOff', 'callerWakeUp'].includes(side)) out[side].perRawRatio = median(list.map((x, r) => x.median / rounds.raw[r].median));
  }
  // What the caller's wait adds to the chained form, per round, set beside the hand-off.
  out.callerWaitsAddsUs = median(rounds.library.map((x, r) => rounds.libraryCallerWaits[r].median - x.median));
  // What the script side adds to the library's chained round trip: the wake-up of the
  // script thread, the thread-safe function made per getServicePort, the script call.
  out.moduleAddsUs = median(rounds.library.map((x, r) => rounds.module[r].median - x.median));
  return out;
}

// --- CPU per delivered message -------------------------------------------------------
// A receiver with its own progress file, started and ready for messages.
async function startReceiver(label, command, args, counts) {
  const progress = path.join(scratch, `progress-${label}`);
  fs.writeFileSync(progress, `${'0'.padStart(20, ' ')}\n`);
  const receiver = start(command, [...args, '--progress', progress, '--warmup', String(counts.warmup),
    '--count', String(counts.perRun), '--runs', String(counts.runs)]);
  await receiver.waitReady();
  return { receiver, progress };
}

async function receiveWith(label, command, args, app, counts) {
  const { receiver, progress } = await startReceiver(label, command, args, counts);
  const total = counts.warmup + counts.perRun * counts.runs;
  const blaster = start(rawTool, ['blast', '--to', app, '--total', String(total), '--progress', progress]);
  const result = await receiver.result();
  await blaster.exited;
  return result;
}

async function receiving() {
  say('CPU per delivered message');
  const sides = {
    raw: [rawTool, ['receive'], 'RAW-RECV'],
    library: [libTool, ['--role', 'receive'], 'LIB-RECV'],
    module: [process.execPath, [moduleScript, 'receive'], 'QOVR'],
    dbusNext: [process.execPath, [jsScript, 'receive'], 'JS-RECV'],
  };
  const names = Object.keys(sides);
  const receivers = {};
  for (const [side, [command, args, app]] of Object.entries(sides)) {
    receivers[side] = { ...await startReceiver(side, command, args, plan), app, taken: 0 };
  }
  // Round 0 warms every receiver up; then each round gives every receiver one run, in an
  // order that turns each round, so that a busy moment of the machine hits all of them
  // alike, as with the round trips. A receiver waits idle while the others take theirs.
  for (let round = 0; round <= plan.runs; round++) {
    const count = round === 0 ? plan.warmup : plan.perRun;
    for (let k = 0; k < names.length; k++) {
      const r = receivers[names[(k + round) % names.length]];
      const blaster = start(rawTool, ['blast', '--to', r.app, '--total', String(count), '--from', String(r.taken),
        '--progress', r.progress]);
      const code = await blaster.exited;
      if (code !== 0) throw new Error(`ostrel-rawbench blast to ${r.app} failed (${code})`);
      r.taken += count;
    }
  }
  const out = {};
  for (const side of names) {
    const r = await receivers[side].receiver.result();
    out[side] = { cpuUsPerMessage: median(r.cpuUsPerMessage), switchesPerMessage: median(r.switchesPerMessage),
      runsCpuUs: r.cpuUsPerMessage };
  }
  // The module against another receiver: run by run (the same round), then the median.
  const against = (other) => median(out.module.runsCpuUs.map((x, i) => x / out[other].runsCpuUs[i]));
  out.moduleRawRatio = against('raw');
  out.moduleDbusNextRatio = against('dbusNext');
  return out;
}

// --- start-up --------------------------------------------------------------------------
async function startUp() {
  say('start-up');
  const ms = [];
  const keptMs = [];
  const releasedMs = [];
  for (let i = 0; i < plan.startups; i++) {
    const r = await run(process.execPath, ['--expose-gc', moduleScript, 'startup']);
    ms.push(r.ms);
    keptMs.push(r.keptMs);
    releasedMs.push(r.releasedMs);
  }
  return {
    medianMs: median(ms), runsMs: ms,
    keptMedianMs: median(keptMs), keptRunsMs: keptMs,
    releasedMedianMs: median(releasedMs), releasedRunsMs: releasedMs,
  };
}

// --- scale -----------------------------------------------------------------------------
async function scale(crowd) {
  const out = [];
  for (const n of plan.scale) {
    say(`${n} participants`);
    crowd.stdin.write(`${n}\n`);
    await crowd.waitFor((line) => line === `ok ${n}`);
    const refresh = await run(libTool, ['--role', 'refresh', '--samples', String(plan.samples)]);
    const apps = await run(process.execPath, [moduleScript, 'appslist', '--samples', String(plan.samples)]);
    out.push({ participants: n, listed: refresh.endPoints, refreshMs: refresh.median / 1000,
      refreshP99Ms: refresh.p99 / 1000, refreshCpuMs: refresh.cpuUs / 1000, getAppsListMs: apps.median / 1000, apps: apps.apps });
  }
  return out;
}

async function joins(crowd) {
  const [small, large] = plan.joins;
  const runs = [];
  for (let r = 0; r < plan.joinRuns; r++) {
    say(`${large} participants joining, run ${r + 1}`);
    crowd.stdin.write('0\n');
    await crowd.waitFor((line) => line === 'ok 0');
    crowd.output.length = 0;
    const watch = start(libTool, ['--role', 'joins', '--marks', `${small},${large}`]);
    await watch.waitReady();
    crowd.stdin.write(`${large}\n`);
    runs.push(await watch.result());
    await crowd.waitFor((line) => line === `ok ${large}`);
  }
  const at = (i, field) => median(runs.map((run) => run[i][field]));
  const result = { marks: [small, large] };
  for (const field of ['joined', 'callbacks', 'callbackMs', 'libraryThreadMs', 'wallMs']) result[field] = [at(0, field), at(1, field)];
  // t ~ n^k: k = 1 is linear, k = 2 quadratic. A mark is reported at the first callback
  // that sees it reached, so the counts actually joined are used.
  const growth = (field) => Math.log(result[field][1] / result[field][0]) / Math.log(result.joined[1] / result.joined[0]);
  result.growthExponent = growth('callbackMs');
  // Change notices are spaced in wall time, so the callbacks' share follows how long the
  // joining takes, which the crowd and the daemon set: its growth is printed beside.
  result.wallGrowthExponent = growth('wallMs');
  return result;
}

// --- memory ----------------------------------------------------------------------------
async function memory() {
  say(`memory over ${plan.memory} deliveries into script`);
  const tenth = plan.memory / 10;
  const r = await receiveWith('memory', process.execPath, [moduleScript, 'receive'], 'QOVR',
    { warmup: tenth, perRun: tenth, runs: 9 });
  return { deliveries: plan.memory, rssMB: r.rssMB, rssAtCount: r.rssAtCount,
    growth: r.rssMB[r.rssMB.length - 1] / r.rssMB[0] };
}

// --- report ------------------------------------------------------------------------------
const f = (x, digits = 1) => (Number.isFinite(x) ? x.toFixed(digits) : '-');

function report(figures) {
  const { roundTrip: rt, receive: rx, startup, scale: sc, joins: jn, memory: mem } = figures;
  const lines = [];
  const p = (text = '') => lines.push(text);
  p(`Benchmark${quick ? ' (quick)' : ''}: ${os.cpus().length} cores, Node ${process.version}, ${new Date().toISOString()}`);
  p();
  if (rt) {
    p('Round trip, median of per-round medians (p99), microseconds; per round against raw sd-bus');
    for (const [side, label] of [['raw', 'raw sd-bus'], ['library', 'library, chained (listener sends next)'],
      ['libraryCallerWaits', 'library, caller thread waits for listener'], ['module', 'module (getServicePort)'],
      ['dbusNext', 'dbus-next'], ['handOff', 'thread hand-off (one wake-up)']]) {
      const ratio = rt[side].perRawRatio === undefined ? '' : `${f(rt[side].perRawRatio, 2)}x`;
      p(`  ${label.padEnd(42)} ${f(rt[side].medianUs).padStart(8)}  (${f(rt[side].p99Us)})`.padEnd(66) +
        `${ratio.padStart(6)}   rounds: ${rt[side].roundMediansUs.map((x) => f(x)).join(' ')}`);
    }
    p(`  caller waits - chained: ${f(rt.callerWaitsAddsUs)} us (median of rounds); in it, listener -> caller running: ${f(rt.callerWakeUp.medianUs)} (${f(rt.callerWakeUp.p99Us)}) us`);
    p(`  module - library chained: ${f(rt.moduleAddsUs)} us (median of rounds): the script thread's wake-up, getServicePort's new thread-safe function, the script call`);
    p();
  }
  if (rx) {
    p('CPU per delivered message, receiving process, median of runs, microseconds (context switches per message);');
    p('runs interleaved: run k of every receiver in round k; ratios are per round, then the median');
    for (const [side, label] of [['raw', 'raw sd-bus'], ['library', 'library, into a listener'], ['module', 'module, into a script callback'], ['dbusNext', 'dbus-next, warmed']]) {
      p(`  ${label.padEnd(32)} ${f(rx[side].cpuUsPerMessage, 2).padStart(7)}  (${f(rx[side].switchesPerMessage, 3)})   runs: ${rx[side].runsCpuUs.map((x) => f(x, 2)).join(' ')}`);
    }
    p();
  }
  if (startup) {
    p(`new OstrelAdapter with the bus up, first of the process: median ${f(startup.medianMs)} ms   runs: ${startup.runsMs.map((x) => f(x)).join(' ')}`);
    p(`  a later one, the first kept:                 median ${f(startup.keptMedianMs)} ms   runs: ${startup.keptRunsMs.map((x) => f(x)).join(' ')}`);
    p(`  a later one, after every adapter released:   median ${f(startup.releasedMedianMs)} ms   runs: ${startup.releasedRunsMs.map((x) => f(x)).join(' ')}`);
    p();
  }
  if (sc) {
    p('Participants   listed   refresh median (p99) ms   its CPU ms   getAppsList median ms (entries)');
    for (const s of sc) {
      p(`  ${String(s.participants).padStart(6)}   ${String(s.listed).padStart(6)}   ${f(s.refreshMs, 3).padStart(9)} (${f(s.refreshP99Ms, 3).padStart(6)})        ${f(s.refreshCpuMs, 3).padStart(7)}    ${f(s.getAppsListMs, 3).padStart(9)} (${s.apps})`);
    }
    p();
  }
  if (jn) {
    p(`Participants joining, refresh callbacks on the library's thread (median of ${plan.joinRuns} runs)`);
    for (let i = 0; i < 2; i++) {
      p(`  after ${String(jn.joined[i]).padStart(4)} joined: ${String(jn.callbacks[i]).padStart(5)} callbacks, ${f(jn.callbackMs[i]).padStart(7)} ms in callbacks, library thread ${f(jn.libraryThreadMs[i])} ms CPU, ${f(jn.wallMs[i])} ms since the first callback`);
    }
    p(`  growth: time ~ joined^${f(jn.growthExponent, 2)}  (1 = linear, 2 = quadratic); the joining's own wall time ~ joined^${f(jn.wallGrowthExponent, 2)}`);
    p();
  }
  if (mem) {
    p(`Memory over ${mem.deliveries} deliveries into script (RSS MB at every tenth): ${mem.rssMB.map((x) => f(x)).join(' ')}`);
    p();
  }
  const largest = sc?.[sc.length - 1];
  const targets = [
    rt && ['round trip, module / raw sd-bus', rt.module.perRawRatio, '<=', 1.15, 'x'],
    rt && ['round trip, library (chained) / raw sd-bus', rt.library.perRawRatio, '<=', 1.10, 'x'],
    rx && ['CPU per message, module / raw sd-bus', rx.moduleRawRatio, '<=', 1.5, 'x'],
    rx && ['CPU per message, module / dbus-next', rx.moduleDbusNextRatio, '<=', 0.8, 'x'],
    startup && ['new OstrelAdapter with the bus up, first', startup.medianMs, '<=', 5, ' ms'],
    startup && ['new OstrelAdapter with the bus up, later, one kept', startup.keptMedianMs, '<=', 5, ' ms'],
    startup && ['new OstrelAdapter with the bus up, later, after release', startup.releasedMedianMs, '<=', 5, ' ms'],
    sc && [`endpoint refresh at ${largest.participants} participants`, largest.refreshMs, '<=', 2, ' ms'],
    jn && ['joins, growth exponent of callback time (linear)', jn.growthExponent, '<=', 1.2, ''],
    mem && ['memory, RSS last / first tenth (flat)', mem.growth, '<=', 1.1, 'x'],
  ].filter(Boolean);
  p('Against the targets');
  figures.targets = targets.map(([what, value, , limit, unit]) => {
    const met = value <= limit;
    p(`  ${what.padEnd(50)} ${f(value, 2).padStart(8)}${unit.padEnd(3)} target <= ${limit}${unit}   ${met ? 'met' : 'NOT met'}`);
    return { what, value, target: limit, met };
  });
  if (largest && largest.participants !== 1000) p('  (quick mode: the refresh target is for 1,000 participants)');
  console.log(lines.join('\n'));
}

async function main() {
  for (const tool of [rawTool, libTool, path.join(buildDir, 'corvelle.node')]) {
    if (!fs.existsSync(tool)) throw new Error(`${tool} is missing: build first (npm test or npm run build)`);
  }
  const figures = {};
  if (wanted('roundtrip')) figures.roundTrip = await roundTrips();
  if (wanted('receive')) figures.receive = await receiving();
  if (wanted('startup')) figures.startup = await startUp();
  if (wanted('scale') || wanted('joins')) {
    const crowd = start(rawTool, ['crowd']);
    try {
      if (wanted('scale')) figures.scale = await scale(crowd);
      if (wanted('joins')) figures.joins = await joins(crowd);
    } finally {
      await crowd.stop();
    }
  }
  if (wanted('memory')) figures.memory = await memory();
  report(figures);
  if (jsonPath) fs.writeFileSync(jsonPath, `${JSON.stringify({ quick, plan, ...figures }, null, 1)}\n`);
}

function cleanUp() {
  for (const child of children) child.kill('SIGTERM');
  fs.rmSync(scratch, { recursive: true, force: true });
}

main().then(() => {
  cleanUp();
  process.exit(0);
}, (error) => {
  console.error(`bench: ${error.stack || error}`);
  cleanUp();
  process.exit(1);
});
