'use strict';
// The developer-tools service: a loopback HTTP endpoint, announced on the bus by an
// OstrelAdapter registered as "QOVR". The adapter answers host applications and clients
// by itself with the details given here; this file says in readable lines what happens.

const http = require('node:http');
const bus = require('./bus');
const { loadAddon } = require('./addon');
const { handBusAddress } = require('./helpers');
const { watchMessages, shortType } = require('./monitor');
const { version } = require('../package.json');

const SERVICE_APP_ID = 'QOVR';
const APPS_POLL_MS = 1000;
// How often the service looks whether its bus is still there and it is still on it.
const BUS_CHECK_MS = 1000;

function timestamp() {
  return new Date().toTimeString().slice(0, 8);
}

function defaultLog(line) {
  process.stdout.write(`${timestamp()} ${line}\n`);
}

function listen(server, port) {
  return new Promise((resolve, reject) => {
    server.once('error', reject);
    server.listen(port, '127.0.0.1', () => {
      server.off('error', reject);
      resolve(server.address().port);
    });
  });
}

function describeApps(apps) {
  return apps.length === 0 ? 'none' : apps.join('; ');
}

// Brings up or joins the per-user private bus and says which.
async function joinPrivateBus(env, log) {
  const privateBus = await bus.ensurePrivateBus({ env });
  const { address } = privateBus;
  if (privateBus.started) {
    log(`bus: ${address} (private bus, dbus-daemon pid ${privateBus.pid}, ` +
      'stopped with the service unless others still use it)');
  } else if (privateBus.shared) {
    log(`bus: ${address} (private bus already run by another corvelle; joining it)`);
  } else {
    log(`bus: ${address} (private bus left running earlier; stopped with the service unless ` +
      'others still use it)');
  }
  return privateBus;
}

// Joins (or brings up) the bus, opens the HTTP endpoint and announces it. Resolves to
// { details, address, stop() }; rejects with a one-line Error when the bus cannot be used.
// While it runs it watches its bus: when the bus goes away it says so, brings up the
// private bus again (or waits for the bus it was given), and announces itself again once
// the messaging library has put its adapter back on the bus.
async function startService({ busOption, env = process.env, port = 0, log = defaultLog } = {}) {
  const resolved = await bus.resolveBus({ option: busOption, env });
  let privateBus = null;
  let address = resolved.address;
  if (resolved.source === 'private bus') {
    privateBus = await joinPrivateBus(env, log);
    address = privateBus.address;
  } else if (resolved.state === 'unreachable') {
    throw new bus.BusError(bus.unreachableMessage(resolved));
  } else {
    log(`bus: ${address} (from ${resolved.source})`);
  }

  // The library reads its address from its own variable; the rule above has decided it.
  handBusAddress(address);

  let adapter = null;
  let apps = [];
  // The bus as last seen: 'up' (answers), 'gone' (does not); and whether this service's
  // own participant is on it.
  const busState = { state: 'up', onBus: false, since: new Date().toISOString(), source: resolved.source };
  const server = http.createServer((req, res) => {
    if (req.method !== 'GET' && req.method !== 'HEAD') {
      res.writeHead(405, { 'content-type': 'application/json', allow: 'GET, HEAD' });
      res.end('{"error":"method not allowed"}\n');
      return;
    }
    if (req.url !== '/' && req.url !== '/status') {
      res.writeHead(404, { 'content-type': 'application/json' });
      res.end('{"error":"not found"}\n');
      return;
    }
    const healthy = busState.state === 'up' && busState.onBus;
    const body = JSON.stringify({
      name: 'corvelle', version, appId: SERVICE_APP_ID, bus: address,
      busState: busState.state, onBus: busState.onBus, busSince: busState.since,
      hosts: adapter && healthy ? adapter.getAppsList() : [],
    });
    // Not reachable through the bus: say so to whoever checks the service's health.
    res.writeHead(healthy ? 200 : 503, { 'content-type': 'application/json' });
    res.end(`${body}\n`);
    log(`http: ${req.method} ${req.url} from ${req.socket.remoteAddress}`);
  });

  let httpPort;
  try {
    httpPort = await listen(server, port);
  } catch (err) {
    await privateBus?.release();
    throw new Error(`cannot open the HTTP endpoint on 127.0.0.1:${port}: ` +
      `${err.code || err.message}`);
  }
  log(`http: listening on http://127.0.0.1:${httpPort}/`);

  const { OstrelAdapter } = loadAddon();
  adapter = new OstrelAdapter(SERVICE_APP_ID, version);
  log(`joined the bus as ${SERVICE_APP_ID} ${version}`);

  const details = JSON.stringify({ name: 'corvelle', host: '127.0.0.1', port: httpPort,
    pid: process.pid });
  adapter.setServerDetails(true, details);
  log(`announced the service: ${details}`);

  apps = adapter.getAppsList();
  log(`host applications on the bus: ${describeApps(apps)}`);
  const poll = setInterval(() => {
    const now = adapter.getAppsList();
    if (now.join('\n') !== apps.join('\n')) {
      apps = now;
      log(`host applications on the bus: ${describeApps(apps)}`);
    }
  }, APPS_POLL_MS);

  const watch = () => watchMessages(address, (message) => {
    const type = shortType(message.type);
    const who = `${message.appId} ${message.appVersion} (${message.sender})`;
    if (type === 'zem.devtools.cli.client.connected') {
      log(`asked for the details: ${who}`);
    } else if (type === 'zem.devtools.host.ready') {
      log(`host application announced itself: ${who}; it gets the details`);
    }
  }, (line) => {
    if (!/^stopped watching the bus/.test(line)) {
      log(line);
      return;
    }
    // The watcher ends with its connection to the bus: a bus that went away, even when
    // another one answers at the same address by the time the next check looks.
    if (stopped || busState.state !== 'up') return;
    watcherEnded = true;
    checkBus().catch((err) => log(`bus: check failed: ${err.message}`));
  });
  let stopped = false;
  let watcherEnded = false;
  let watcher = watch();

  // Whether this process's participant is on the bus (the daemon names its process).
  async function onBusNow() {
    try {
      const mine = (p) => p.pid === process.pid;
      return (await bus.participants(address, { appId: SERVICE_APP_ID, stop: mine })).some(mine);
    } catch {
      return false;
    }
  }
  busState.onBus = await onBusNow();

  let checking = false;
  let lost = false;
  async function checkBus() {
    if (checking || stopped) return;
    checking = true;
    const ended = watcherEnded;
    watcherEnded = false;
    try {
      const probe = await bus.probeAddress(address, 1000);
      if (stopped) return;
      if ((probe.state !== 'reachable' || ended) && busState.state === 'up') {
        Object.assign(busState, { state: 'gone', onBus: false, since: new Date().toISOString() });
        lost = true;
        watcher?.stop();
        log(`bus: ${address} went away (${probe.reason || 'the connection to it ended'}); ` +
          (privateBus ? 'bringing up the private bus again' : 'waiting for it to come back'));
      }
      if (busState.state === 'gone') {
        if (privateBus) {
          try {
            privateBus = await joinPrivateBus(env, log);
          } catch (err) {
            log(`bus: cannot bring up the private bus: ${err.message}`);
            return;
          }
        } else if (probe.state !== 'reachable') {
          return;
        }
        if (stopped) return;
        Object.assign(busState, { state: 'up', since: new Date().toISOString() });
        log(`bus: ${address} answers again; waiting for the messaging library to rejoin it`);
        watcher = watch();
      }
      if (!busState.onBus && await onBusNow() && !stopped) {
        busState.onBus = true;
        if (lost) {
          lost = false;
          // Whoever joined while the service was away learns of it now.
          adapter.setServerDetails(true, details);
          log(`back on the bus as ${SERVICE_APP_ID} ${version}; announced the service again`);
        }
      }
    } finally {
      checking = false;
    }
  }
  const busCheck = setInterval(() => {
    checkBus().catch((err) => log(`bus: check failed: ${err.message}`));
  }, BUS_CHECK_MS);

  async function stop() {
    if (stopped) return;
    stopped = true;
    clearInterval(poll);
    clearInterval(busCheck);
    adapter.setServerDetails(false, details);
    adapter.disconnect();
    log('announced the end of the service');
    watcher?.stop();
    const closed = new Promise((resolve) => server.close(resolve));
    server.closeAllConnections();
    await closed;
    if (privateBus) {
      // A moment for the goodbye to leave before the bus may go.
      await new Promise((resolve) => setTimeout(resolve, 100));
      const outcome = await privateBus.release();
      if (outcome === 'stopped') log('stopped the private bus');
      else if (outcome === 'in use') log('left the private bus running: other participants use it');
      else if (outcome === 'not ours') log('left the private bus running: another corvelle looks after it');
    }
  }

  return { details, address, port: httpPort, stop, busState };
}

module.exports = { startService, SERVICE_APP_ID };
