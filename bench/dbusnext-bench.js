#!/usr/bin/env node
'use strict';
// A pure-JS D-Bus peer (dbus-next, a dependency of the benchmark only) doing the same
// exchanges as the library by docs/protocol.md: it owns its participant name, subscribes
// to `Message` signals, and sends and reads `sssay` signals. One role per process, run by
// bench/bench.js on the bus it started (OSTREL_BUS_ADDRESS).
//
//   echo --app APP          answers every message back to its sender
//   roundtrip --to APP      one message in flight at a time
//   receive --progress F    counts messages (warmed first), CPU time per message
const path = require('node:path');
const { option, number, summary, untilStdinEnds, progressWriter } = require('./benchcommon');

const dbus = require(path.join(__dirname, 'node_modules', 'dbus-next'));

const { Message, MessageType } = dbus;
const PREFIX = 'net.corvelle.Ostrel5.P.';
const PATH = '/net/corvelle/Ostrel5';
const INTERFACE = 'net.corvelle.Ostrel5';
const RULE = `type='signal',path='${PATH}',interface='${INTERFACE}',member='Message'`;
const NO_AUTO_START = 2;

// The bus-name escape: letters and digits stay, every other byte is _XX.
function escape(text) {
  let out = '';
  for (const byte of Buffer.from(text, 'utf8')) {
    const c = String.fromCharCode(byte);
    out += /[A-Za-z0-9]/.test(c) ? c : `_${byte.toString(16).toUpperCase().padStart(2, '0')}`;
  }
  return out;
}
function unescape(text) {
  return text.replace(/_([0-9A-F]{2})/g, (_, hex) => String.fromCharCode(parseInt(hex, 16)));
}

function busCall(bus, member, signature, body) {
  return bus.call(new Message({
    destination: 'org.freedesktop.DBus', path: '/org/freedesktop/DBus',
    interface: 'org.freedesktop.DBus', member, signature, body,
  }));
}

async function join(appId) {
  const bus = dbus.sessionBus({ busAddress: process.env.OSTREL_BUS_ADDRESS });
  await new Promise((resolve, reject) => {
    bus.once('connect', resolve);
    bus.once('error', reject);
  });
  await busCall(bus, 'AddMatch', 's', [RULE]);
  await bus.requestName(`${PREFIX}a${escape(appId)}.v${escape('1.0')}.u${escape(bus.name)}`, 0);
  return bus;
}

async function find(bus, appId) {
  const start = `${PREFIX}a${escape(appId)}.v`;
  for (let attempt = 0; attempt < 2000; attempt++) {
    const reply = await busCall(bus, 'ListNames');
    const name = reply.body[0].find((n) => n.startsWith(start));
    if (name) return unescape(name.slice(name.lastIndexOf('.u') + 2));
    await new Promise((resolve) => setTimeout(resolve, 5));
  }
  throw new Error(`no participant of ${appId}`);
}

function signal(destination, type, appId, payload) {
  return new Message({
    type: MessageType.SIGNAL, destination, path: PATH, interface: INTERFACE, member: 'Message',
    signature: 'sssay', body: [type, appId, '1.0', payload], flags: NO_AUTO_START,
  });
}

// The application messages of one bus, as (sender, [type, appId, version, payload]).
function onApplicationMessage(bus, handler) {
  bus.on('message', (msg) => {
    if (msg.type !== MessageType.SIGNAL || msg.interface !== INTERFACE || msg.member !== 'Message' ||
        msg.signature !== 'sssay' || !msg.body[0].startsWith('ostrel.SuiteMessage.')) {
      return;
    }
    handler(msg.sender, msg.body);
  });
}

async function echo() {
  const appId = option('app', 'JS-ECHO');
  const bus = await join(appId);
  onApplicationMessage(bus, (sender, body) => bus.send(signal(sender, body[0], appId, body[3])));
  console.log('ready');
  await untilStdinEnds();
  bus.disconnect();
}

async function roundTrip() {
  const bus = await join('JS-RT');
  const to = await find(bus, option('to', 'JS-ECHO'));
  let answered = null;
  onApplicationMessage(bus, () => answered && answered());
  const payload = Buffer.from('x');
  const once = () => new Promise((resolve) => {
    const t0 = process.hrtime.bigint();
    answered = () => resolve(Number(process.hrtime.bigint() - t0) / 1000);
    bus.send(signal(to, 'ostrel.SuiteMessage.bench.roundtrip', 'JS-RT', payload));
  });
  const perRun = number('round-trips', 2000);
  for (let i = 0; i < Math.min(200, perRun); i++) await once();
  const samples = [];
  for (let run = 0; run < number('runs', 5); run++) {
    for (let i = 0; i < perRun; i++) samples.push(await once());
  }
  bus.disconnect();
  console.log(JSON.stringify(summary(samples)));
}

async function receive() {
  const bus = await join('JS-RECV');
  const warmup = number('warmup', 2000);
  const perRun = number('count', 20000);
  const total = warmup + number('runs', 5) * perRun;
  const writeProgress = progressWriter(option('progress'));
  const marks = [];
  let count = 0;
  let bytes = 0;
  let next = warmup;
  await new Promise((resolve) => {
    onApplicationMessage(bus, (sender, body) => {
      if (count >= total) return;
      bytes += body[3].length + body[1].length;
      count++;
      if (count % 256 === 0 || count === total) writeProgress(count);
      if (count === next) {
        const cpu = process.cpuUsage();
        const r = process.resourceUsage();
        marks.push({ cpuUs: cpu.user + cpu.system, switches: r.voluntaryContextSwitches + r.involuntaryContextSwitches });
        next += perRun;
      }
      if (count === total) resolve();
    });
    console.log('ready');
  });
  bus.disconnect();
  const runs = marks.slice(1).map((_, k) => k + 1);
  console.log(JSON.stringify({
    cpuUsPerMessage: runs.map((i) => (marks[i].cpuUs - marks[i - 1].cpuUs) / perRun),
    switchesPerMessage: runs.map((i) => (marks[i].switches - marks[i - 1].switches) / perRun),
  }));
}

const roles = { echo, roundtrip: roundTrip, receive };
const role = roles[process.argv[2]];
if (!role) {
  console.error(`usage: dbusnext-bench.js ${Object.keys(roles).join('|')} [options]`);
  process.exit(1);
}
role().then(() => process.exit(0), (error) => {
  console.error(`dbusnext-bench: ${error.stack || error}`);
  process.exit(2);
});
