#!/usr/bin/env node
'use strict';
// The module's side of the benchmark: one role per process, run by bench/bench.js on the
// bus it started (OSTREL_BUS_ADDRESS); CORVELLE_BUILD_DIR names the build with
// corvelle.node. Each role prints `ready` when it waits for the others, and its figures
// as one line of JSON.
//
//   service                 the service's adapter ("QOVR"), answering client requests
//   roundtrip               getServicePort -> the service answers -> the callback runs
//   receive --progress F    server-info messages into a script callback: CPU time of
//                           this process per message, context switches, memory
//   startup                 the time `new OstrelAdapter` takes with the bus up: first,
//                           later with one kept, later after release
//   appslist                the time getAppsList takes with the participants as they are
const path = require('node:path');
const { option, number, summary, untilStdinEnds, progressWriter } = require('./benchcommon');

const buildDir = process.env.CORVELLE_BUILD_DIR || path.join(__dirname, '..', 'build', 'Release');
const modulePath = path.join(buildDir, 'corvelle.node');

async function service() {
  const { OstrelAdapter } = require(modulePath);
  const adapter = new OstrelAdapter('QOVR', '1.0');
  adapter.setServerDetails(true, '{"port":1}');
  console.log('ready');
  await untilStdinEnds();
  adapter.disconnect();
}

async function roundTrip() {
  const { OstrelAdapter } = require(modulePath);
  const client = new OstrelAdapter('BNCH', '1.0');
  const once = () => new Promise((resolve) => {
    const t0 = process.hrtime.bigint();
    client.getServicePort(() => resolve(Number(process.hrtime.bigint() - t0) / 1000));
  });
  const perRun = number('round-trips', 2000);
  for (let i = 0; i < Math.min(200, perRun); i++) await once();
  const samples = [];
  for (let run = 0; run < number('runs', 5); run++) {
    for (let i = 0; i < perRun; i++) samples.push(await once());
  }
  client.disconnect();
  console.log(JSON.stringify(summary(samples)));
}

async function receive() {
  const { OstrelAdapter } = require(modulePath);
  const warmup = number('warmup', 2000);
  const perRun = number('count', 20000);
  const total = warmup + number('runs', 5) * perRun;
  const writeProgress = progressWriter(option('progress'));
  const adapter = new OstrelAdapter('QOVR', '1.0');
  const marks = [];
  const mark = () => {
    const cpu = process.cpuUsage();
    const r = process.resourceUsage();
    marks.push({ cpuUs: cpu.user + cpu.system, switches: r.voluntaryContextSwitches + r.involuntaryContextSwitches, rss: process.memoryUsage.rss() });
  };
  let count = 0;
  let bytes = 0;
  let next = warmup;
  await new Promise((resolve) => {
    adapter.getServicePort((type, payload) => {
      if (count >= total) return;
      bytes += payload.length + type.length;
      count++;
      if (count % 256 === 0 || count === total) writeProgress(count);
      if (count === next) {
        mark();
        next += perRun;
      }
      if (count === total) resolve();
    });
    console.log('ready');
  });
  adapter.disconnect();
  const per = (field, i) => (marks[i][field] - marks[i - 1][field]) / perRun;
  const runs = marks.slice(1).map((_, k) => k + 1);
  console.log(JSON.stringify({
    cpuUsPerMessage: runs.map((i) => per('cpuUs', i)),
    switchesPerMessage: runs.map((i) => per('switches', i)),
    rssMB: marks.map((m) => m.rss / 1048576),
    rssAtCount: marks.map((_, i) => warmup + i * perRun),
  }));
}

// Construction times: the first adapter of the process, a later one while the first is
// kept, and a later one after every adapter was released (collected; needs --expose-gc).
async function startup() {
  const { OstrelAdapter } = require(modulePath);
  const construct = () => {
    const t0 = process.hrtime.bigint();
    const adapter = new OstrelAdapter('BNCH', '1.0');
    return { adapter, ms: Number(process.hrtime.bigint() - t0) / 1e6 };
  };
  const first = construct();
  const kept = construct();
  first.adapter.disconnect();
  kept.adapter.disconnect();
  first.adapter = null;
  kept.adapter = null;
  if (typeof global.gc === 'function') {
    global.gc();
    // Finalisers run after the collection, from the event loop.
    await new Promise((resolve) => setImmediate(resolve));
    await new Promise((resolve) => setTimeout(resolve, 10));
  }
  const released = construct();
  released.adapter.disconnect();
  console.log(JSON.stringify({ ms: first.ms, keptMs: kept.ms, releasedMs: released.ms }));
}

async function appsList() {
  const { OstrelAdapter } = require(modulePath);
  const adapter = new OstrelAdapter('BNCH', '1.0');
  let apps = adapter.getAppsList();
  const samples = [];
  for (let i = 0; i < number('samples', 21); i++) {
    const t0 = process.hrtime.bigint();
    apps = adapter.getAppsList();
    samples.push(Number(process.hrtime.bigint() - t0) / 1000);
  }
  adapter.disconnect();
  console.log(JSON.stringify({ ...summary(samples), apps: apps.length }));
}

const roles = { service, roundtrip: roundTrip, receive, startup, appslist: appsList };
const role = roles[process.argv[2]];
if (!role) {
  console.error(`usage: module-bench.js ${Object.keys(roles).join('|')} [options]`);
  process.exit(1);
}
role().then(() => process.exit(0), (error) => {
  console.error(`module-bench: ${error.stack || error}`);
  process.exit(2);
});
