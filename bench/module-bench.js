#!/usr/bin/env node
'use strict';
// The module half of the benchmark, run by bench/run on the bus it started, next to the
// native figures of ostrel-bench:
//   round trip: getServicePort on a client adapter -> the service's adapter ("QOVR", in
//     another process) answers -> the callback runs; one request in flight at a time;
//   delivery rate: a native blaster sends server-info messages to an adapter registered
//     as "QOVR"; the rate counts callbacks between the first and the last arrival.
// Prints medians, p99 and the ratios to the native figures.
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const readline = require('node:readline');

const buildDir = process.env.CORVELLE_BUILD_DIR || path.join(__dirname, '..', 'build', 'Release');
const benchTool = process.env.OSTREL_BENCH || path.join(buildDir, 'ostrel-bench');
const modulePath = path.join(buildDir, 'corvelle.node');
const nativeIndex = process.argv.indexOf('--native');
const native = nativeIndex > 0 ? JSON.parse(fs.readFileSync(process.argv[nativeIndex + 1], 'utf8')).native : null;

const RUNS = 5;
const ROUND_TRIPS = 2000;
const WARM_UP = 200;
const BLAST = 5000;

function percentile(sorted, p) {
  return sorted[Math.min(sorted.length - 1, Math.floor((p / 100) * sorted.length))];
}
function summary(values) {
  const sorted = [...values].sort((a, b) => a - b);
  return { median: percentile(sorted, 50), p99: percentile(sorted, 99), samples: sorted.length };
}
const fmt = (n) => (n === undefined ? '-' : n.toFixed(1));

// A node child running `source` with the module; resolves once it prints `ready`.
function nodeChild(source) {
  const child = spawn(process.execPath, ['-e', source], {
    env: { ...process.env, CORVELLE_MODULE: modulePath }, stdio: ['pipe', 'pipe', 'inherit'],
  });
  child.lines = readline.createInterface({ input: child.stdout });
  child.ready = new Promise((resolve, reject) => {
    child.lines.on('line', (line) => { if (line === 'ready') resolve(); });
    child.once('exit', (code) => reject(new Error(`child exited with ${code}`)));
  });
  child.exited = new Promise((resolve) => child.once('exit', resolve));
  return child;
}

async function roundTrip() {
  const service = nodeChild(`
    const { OstrelAdapter } = require(process.env.CORVELLE_MODULE);
    const a = new OstrelAdapter('QOVR', '1.0');
    a.setServerDetails(true, '{"port":1}');
    console.log('ready');
    process.stdin.on('end', () => a.disconnect());
    process.stdin.resume();
  `);
  await service.ready;
  const { OstrelAdapter } = require(modulePath);
  const client = new OstrelAdapter('BNCH', '1.0');
  const once = () => new Promise((resolve) => {
    const t0 = process.hrtime.bigint();
    client.getServicePort(() => resolve(Number(process.hrtime.bigint() - t0) / 1000));
  });
  for (let i = 0; i < WARM_UP; i++) await once();
  const samples = [];
  for (let run = 0; run < RUNS; run++) {
    for (let i = 0; i < ROUND_TRIPS; i++) samples.push(await once());
  }
  client.disconnect();
  service.stdin.end();
  await service.exited;
  return summary(samples);
}

async function deliveryRate() {
  // The receiver reports each run once the stream has been quiet for a second.
  const receiver = nodeChild(`
    const { OstrelAdapter } = require(process.env.CORVELLE_MODULE);
    const a = new OstrelAdapter('QOVR', '1.0');
    let first = 0n, last = 0n, count = 0, seen = 0, latencies = [];
    a.getServicePort((type, payload) => {
      const now = process.hrtime.bigint();
      if (count++ === 0) first = now;
      last = now;
      latencies.push(Number(now - BigInt(payload)) / 1000);
    });
    // A run is over once no message arrived for a second.
    const watch = setInterval(() => {
      if (count === 0 || count !== seen) { seen = count; return; }
      const seconds = Number(last - first) / 1e9;
      console.log(JSON.stringify({ count, rate: seconds > 0 ? (count - 1) / seconds : 0, latencies }));
      count = 0; seen = 0; latencies = [];
    }, 500);
    process.stdin.on('end', () => clearInterval(watch));
    console.log('ready');
    process.stdin.on('end', () => a.disconnect());
    process.stdin.resume();
  `);
  await receiver.ready;
  const reports = [];
  receiver.lines.on('line', (line) => { if (line.startsWith('{')) reports.push(JSON.parse(line)); });
  for (let run = 0; run < RUNS; run++) {
    const before = reports.length;
    const blaster = spawn(benchTool, ['--role', 'blast', '--to', 'QOVR', '--type',
      'ostrel.SuiteMessage.zem.devtools.server.info', '--count', String(BLAST), '--linger', '1'],
    { stdio: 'inherit' });
    await new Promise((resolve) => blaster.once('exit', resolve));
    while (reports.length === before) await new Promise((resolve) => setTimeout(resolve, 100));
  }
  receiver.stdin.end();
  await receiver.exited;
  const rates = reports.map((r) => r.rate).sort((a, b) => a - b);
  return {
    rate: { median: percentile(rates, 50), slowest: rates[0], runs: rates.length },
    delivered: reports.map((r) => r.count),
    latency: summary(reports.flatMap((r) => r.latencies)),
  };
}

async function main() {
  const rt = await roundTrip();
  const rate = await deliveryRate();
  console.log('\nmodule round trip (getServicePort -> service answers -> callback), microseconds');
  console.log(`  median ${fmt(rt.median)}  p99 ${fmt(rt.p99)}  samples ${rt.samples}`);
  console.log('delivery into a script callback');
  console.log(`  rate median ${fmt(rate.rate.median)}/s  slowest ${fmt(rate.rate.slowest)}/s  ` +
    `delivered per run ${rate.delivered.join(', ')} of ${BLAST}`);
  console.log(`  latency median ${fmt(rate.latency.median)} us  p99 ${fmt(rate.latency.p99)} us`);
  if (native) {
    const rtRatio = rt.median / native.roundTripUs.median;
    const rateRatio = rate.rate.median / native.oneWayRatePerSec.median;
    console.log('\nratios to the native figures');
    console.log(`  round trip: module / native = ${rtRatio.toFixed(2)}  (target <= 1.30)`);
    console.log(`  rate: script / native = ${(rateRatio * 100).toFixed(0)}%  (target >= 80%)`);
  }
}

main().catch((error) => {
  console.error(`module-bench: ${error.message}`);
  process.exit(1);
});
