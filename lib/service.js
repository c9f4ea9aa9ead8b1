'use strict';
// The developer-tools service: a loopback HTTP endpoint, announced on the bus by an
// OstrelAdapter registered as "QOVR". The adapter answers host applications and clients
// by itself with the details given here; this file says in readable lines what happens.

const http = require('node:http');
const bus = require('./bus');
const { loadAddon } = require('./addon');
const { watchMessages, shortType } = require('./monitor');
const { version } = require('../package.json');

const SERVICE_APP_ID = 'QOVR';
const APPS_POLL_MS = 1000;

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

// Joins (or brings up) the bus, opens the HTTP endpoint and announces it. Resolves to
// { details, address, stop() }; rejects with a one-line Error when the bus cannot be used.
async function startService({ busOption, env = process.env, port = 0, log = defaultLog } = {}) {
  const resolved = await bus.resolveBus({ option: busOption, env });
  let privateBus = null;
  let address = resolved.address;
  if (resolved.source === 'private bus') {
    privateBus = await bus.ensurePrivateBus({ env });
    address = privateBus.address;
    if (privateBus.started) {
      log(`bus: ${address} (private bus, dbus-daemon pid ${privateBus.pid}, ` +
        'stopped with the service)');
    } else if (privateBus.shared) {
      log(`bus: ${address} (private bus already run by another corvelle; joining it)`);
    } else {
      log(`bus: ${address} (private bus left running earlier; stopped with the service)`);
    }
  } else if (resolved.state === 'unreachable') {
    throw new bus.BusError(bus.unreachableMessage(resolved));
  } else {
    log(`bus: ${address} (from ${resolved.source})`);
  }

  // The library reads its address from its own variable; the rule above has decided it.
  process.env[bus.ADDRESS_VARIABLE] = address;

  let adapter = null;
  let apps = [];
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
    const body = JSON.stringify({
      name: 'corvelle', version, appId: SERVICE_APP_ID, bus: address,
      hosts: adapter ? adapter.getAppsList() : [],
    });
    res.writeHead(200, { 'content-type': 'application/json' });
    res.end(`${body}\n`);
    log(`http: ${req.method} ${req.url} from ${req.socket.remoteAddress}`);
  });

  let httpPort;
  try {
    httpPort = await listen(server, port);
  } catch (err) {
    privateBus?.stop();
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

  const watcher = watchMessages(address, (message) => {
    const type = shortType(message.type);
    const who = `${message.appId} ${message.appVersion} (${message.sender})`;
    if (type === 'zem.devtools.cli.client.connected') {
      log(`asked for the details: ${who}`);
    } else if (type === 'zem.devtools.host.ready') {
      log(`host application announced itself: ${who}; it gets the details`);
    }
  }, (line) => log(line));

  let stopped = false;
  async function stop() {
    if (stopped) return;
    stopped = true;
    clearInterval(poll);
    adapter.setServerDetails(false, details);
    adapter.disconnect();
    log('announced the end of the service');
    watcher?.stop();
    const closed = new Promise((resolve) => server.close(resolve));
    server.closeAllConnections();
    await closed;
    if (privateBus && !privateBus.shared) {
      // A moment for the goodbye to leave before the bus goes.
      await new Promise((resolve) => setTimeout(resolve, 100));
      privateBus.stop();
      log('stopped the private bus');
    }
  }

  return { details, address, port: httpPort, stop };
}

module.exports = { startService, SERVICE_APP_ID };
