'use strict';
// Adapters in several worker threads at once, on a real private bus with a service adapter
// answering: every worker asks for the service port again and again, so answers keep
// streaming into its callbacks while other workers are terminated at staggered moments
// and new ones start. The process must neither crash nor abort, each worker's callback
// must keep receiving until its worker is terminated, and the process must end cleanly
// both by itself and through process.exit(0) while workers are still asking.
const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { startBus } = require('./support/privatebus');
const { runChild } = require('./support/child');
const { skipWithoutBus: skip, launch, nextLine, peerTool } = require('./support/linechild');

const WORKERS = 4;
const CALLS_PER_TURN = 20;
const TERMINATE_GAP_MS = 37;
// Each worker asks CALLS_PER_TURN times on every turn of its event loop (setImmediate),
// so its callback's handle is replaced thousands of times a second while answers stream
// in: the pattern that crashed the process while a handle was shared by the workers.
// How long a worker may go without an answer while it is asking: far above the pause
// between two answers of a stream, far below a worker's life.
const QUIET_LIMIT_MS = 1000;
// Answers each worker gets in a round at least: a stream, not the odd answer.
const MIN_ANSWERS = 200;
// How long the workers of a round may take to get their first answer.
const FIRST_ANSWER_MS = 15000;

// The stress process. `rounds` rounds of WORKERS workers, each terminated 0.8 to 1.5 s
// after all of them got a first answer, beside one that keeps setting a callback,
// announcing and disconnecting; with `exit`, one more round of workers is still asking when process.exit(0) is
// called. Prints one JSON line per round: per worker the answers its callbacks got and
// the longest time it went without one.
const STRESS = `
  const { Worker } = require('node:worker_threads');
  const WORKER = \`
    const { parentPort, workerData } = require('node:worker_threads');
    const { OstrelAdapter } = require('./index.js');
    if (workerData === 'churn') {
      // Sets a callback, announces and disconnects over and over: what it does to its
      // own environment's handles must leave the other workers' callbacks alone.
      const churning = new OstrelAdapter('CHURN', '1');
      (function cycle() {
        churning.getServicePort(() => {});
        churning.setServerDetails(false, '');
        churning.disconnect();
        setTimeout(cycle, 10);
      })();
    } else {
      const adapter = new OstrelAdapter('WORKER' + workerData, '1');
      let answers = 0;
      const onAnswer = () => { answers++; };
      setInterval(() => parentPort.postMessage(answers), 20);
      (function ask() {
        for (let i = 0; i < ${CALLS_PER_TURN}; i++) adapter.getServicePort(onAnswer);
        setImmediate(ask);
      })();
    }
  \`;
  const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

  function start(index) {
    const worker = new Worker(WORKER, { eval: true, workerData: index });
    const state = { worker, answers: 0, lastChange: 0, longestQuiet: 0 };
    state.answered = new Promise((resolve) => { state.onFirst = resolve; });
    worker.on('message', (answers) => {
      const now = Date.now();
      if (answers > 0) state.onFirst();
      if (answers > state.answers) {
        // Quiet from the first answer on: the bus handshake before it is not counted.
        if (state.answers > 0) state.longestQuiet = Math.max(state.longestQuiet, now - state.lastChange);
        state.answers = answers;
        state.lastChange = now;
      }
    });
    worker.on('error', (error) => { console.error('worker error', error); process.exitCode = 1; });
    return state;
  }

  async function round(life) {
    const churner = start('churn');
    const states = Array.from({ length: ${WORKERS} }, (_, i) => start(i));
    // A worker's life is counted from the moment every worker has its first answer (the
    // start-up of a worker and of its adapter takes a while on a busy machine).
    await Promise.race([Promise.all(states.map((state) => state.answered)), sleep(${FIRST_ANSWER_MS})]);
    await sleep(life);
    for (const state of states) {
      // Quiet up to the moment of termination counts too.
      if (state.answers > 0) {
        state.longestQuiet = Math.max(state.longestQuiet, Date.now() - state.lastChange);
      }
      state.worker.terminate();
      await sleep(${TERMINATE_GAP_MS});
    }
    churner.worker.terminate();
    return states.map(({ answers, longestQuiet }) => ({ answers, longestQuiet }));
  }

  (async () => {
    for (let i = 0; i < ROUNDS; i++) {
      console.log(JSON.stringify(await round(800 + Math.floor(Math.random() * 700))));
    }
    if (EXIT) {
      for (let i = 0; i < ${WORKERS}; i++) start(i);
      await sleep(500);
      process.exit(0);
    }
  })();
`;

let bus;
let service;
let streamer;

before(async () => {
  if (skip) return;
  bus = await startBus();
  service = launch(process.execPath, ['-e', `
    const { OstrelAdapter } = require('./index.js');
    const adapter = new OstrelAdapter('QOVR', '1.0');
    adapter.setServerDetails(true, '{"port":43123}');
    console.log('service ready');
    process.stdin.on('end', () => adapter.disconnect());
    process.stdin.resume();
  `], { address: bus.address, stdin: 'pipe' });
  await nextLine(service, /^service ready$/);
  // The service answers each sender only up to its budget (a few answers a second), and
  // all workers of a process are one sender: server information broadcast as fast as
  // the bus takes it keeps the callbacks streaming as a busy bus would.
  streamer = launch(peerTool, ['--app', 'QOVR', '--app-version', '1.0', '--send', 'zem.devtools.server.info',
    '--payload', '{"port":43123}', '--repeat', '1000000000'], { address: bus.address });
});

after(async () => {
  if (skip) return;
  streamer.kill('SIGKILL');
  await streamer.exited;
  service.stdin.end();
  await service.exited;
  await bus.stop();
  fs.rmSync(path.dirname(bus.socketPath), { recursive: true, force: true });
});

test('workers that ask for the service port while others are terminated', { skip, timeout: 240000 }, async (t) => {
  const cases = [
    { name: 'ending by itself', rounds: 3, exit: false },
    { name: 'ending with process.exit(0) while workers ask', rounds: 2, exit: true },
  ];
  for (const { name, rounds, exit } of cases) {
    const result = await runChild(`const ROUNDS = ${rounds}; const EXIT = ${exit}; ${STRESS}`, {
      timeout: 90000,
      env: { OSTREL_BUS_ADDRESS: bus.address },
    });
    assert.equal(result.timedOut, false, `${name}: ends within the time limit\n${result.stderr}`);
    assert.equal(result.signal, null, `${name}: not killed by a signal\n${result.stderr}`);
    assert.equal(result.code, 0, `${name}: clean exit\n${result.stderr}`);
    // A sanitizer report goes to the sanitizer run's log folder, which fails that run;
    // what is left to see here is an abort's text from the C++ runtime or from Node.
    assert.doesNotMatch(result.stderr, /terminate called|FATAL ERROR/, name);
    const lines = result.stdout.trim().split('\n').filter((l) => l.startsWith('['));
    assert.equal(lines.length, rounds, `${name}: every round ran\n${result.stdout}`);
    for (const [r, line] of lines.entries()) t.diagnostic(`${name}: round ${r}: ${line}`);
    for (const [r, line] of lines.entries()) {
      for (const [w, { answers, longestQuiet }] of JSON.parse(line).entries()) {
        assert.ok(answers >= MIN_ANSWERS, `${name}: round ${r} worker ${w} got ${answers} answers`);
        assert.ok(longestQuiet < QUIET_LIMIT_MS,
          `${name}: round ${r} worker ${w} went ${longestQuiet} ms without an answer while asking`);
      }
    }
  }
});
