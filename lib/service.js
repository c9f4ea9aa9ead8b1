'use strict';
// The developer-tools service: a loopback HTTP endpoint, announced on the bus by an
// OstrelAdapter registered as "QOVR". The adapter answers host applications and clients
// by itself with the details given here; this file says in readable lines what happens.

const http = require('node:http');
const bus = require('./bus');
const { startAdapterThread } = require('./adapterthread');
const { handBusAddress } = require('./helpers');
const { watchMessages, shortType } = require('./monitor');
const { out } = require('./stdout');
const { version } = require('../package.json');

const SERVICE_APP_ID = 'QOVR';
// How often the service looks whether its bus is still there and it is still on it.
const BUS_CHECK_MS = 1000;
// How long a stop that cannot wait waits for the adapter's thread to end.
const LEAVE_LIMIT_MS = 500;

function timestamp() {
  return new Date().toTimeString().slice(0, 8);
}

function defaultLog(line) {
  out(`${timestamp()} ${line}`);
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

// The service: createService() gives { start(), stop(), stopNow() }.
//   start()    joins (or brings up) the bus, opens the HTTP endpoint and announces it;
//              resolves to { details, address, port, busState }, rejects with a
//              one-line Error when the bus cannot be used.
//   stop()     (once start() has resolved) the orderly stop: the end announced, the adapter disconnected and its
//              thread ended (so the library has left the bus), the endpoint closed, and
//              a private bus of its own stopped when nobody else uses it.
//   stopNow()  for a stop that cannot wait: stops a private bus of its own at once.
//              Synchronous; works at any point, also while start() is under way.
//   leaveNow() the same, but first ends the adapter's thread (waiting at most
//              LEAVE_LIMIT_MS for it), so that the library is off the bus before the
//              bus goes and the stop is not reported as a lost bus.
// While it runs it watches its bus: when the bus goes away it says so, brings up the
// private bus again (or waits for the bus it was given), and announces itself again once
// the messaging library has put its adapter back on the bus.
function createService({ busOption, env = process.env, port = 0, log = defaultLog } = {}) {
  let privateBus = null;
  let adapter = null;
  let stopped = false;
  let finish = async () => {};

  async function start() {
    const resolved = await bus.resolveBus({ option: busOption, env });
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
        hosts: adapter && healthy ? adapter.apps() : [],
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
    const closeServer = () => {
      const closed = new Promise((resolve) => server.close(resolve));
      server.closeAllConnections();
      return closed;
    };

    try {
      adapter = await startAdapterThread({
        appId: SERVICE_APP_ID, appVersion: version,
        onApps: (apps) => log(`host applications on the bus: ${describeApps(apps)}`),
        onExit: (code) => log(`the adapter's thread ended (exit ${code}); the service is off the bus`),
      });
    } catch (err) {
      await closeServer();
      await privateBus?.release();
      throw new Error(`cannot join the bus: ${err.message}`);
    }
    log(`joined the bus as ${SERVICE_APP_ID} ${version}`);

    const details = JSON.stringify({ name: 'corvelle', host: '127.0.0.1', port: httpPort,
      pid: process.pid });
    adapter.setServerDetails(true, details);
    log(`announced the service: ${details}`);
    log(`host applications on the bus: ${describeApps(adapter.apps())}`);

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
    let watcherEnded = false;
    let watcher = watch();

    // Whether this process's participant is on the bus (the daemon names its process).
    async function onBusNow() {
      try {
        return (await bus.participants(address, { appId: SERVICE_APP_ID }))
          .some((p) => p.pid === process.pid);
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

    finish = async () => {
      clearInterval(busCheck);
      watcher?.stop();
      // The library leaves the bus with the adapter's thread, before any bus is stopped.
      await adapter.stop(details);
      log('announced the end of the service');
      await closeServer();
    };
    return { details, address, port: httpPort, busState };
  }

  let stopping = null;
  function stop() {
    if (!stopping) {
      stopped = true;
      stopping = (async () => {
        await finish();
        if (!privateBus) return;
        const outcome = await privateBus.release();
        if (outcome === 'stopped') log('stopped the private bus');
        else if (outcome === 'in use') log('left the private bus running: other participants use it');
        else if (outcome === 'unknown') {
          log('left the private bus running: its participants could not be listed; ' +
            'the next service takes it over');
        } else if (outcome === 'not ours') log('left the private bus running: another corvelle looks after it');
      })();
    }
    return stopping;
  }

  function stopNow() {
    stopped = true;
    if (privateBus?.stopNow()) log('stopped the private bus at once');
  }

  async function leaveNow() {
    stopped = true;
    if (adapter) {
      let limit;
      await Promise.race([
        adapter.terminate(),
        new Promise((resolve) => { limit = setTimeout(resolve, LEAVE_LIMIT_MS); }),
      ]);
      clearTimeout(limit);
    }
    stopNow();
  }

  return { start, stop, stopNow, leaveNow };
}

module.exports = { createService, SERVICE_APP_ID };
