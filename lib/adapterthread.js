'use strict';
// The service's OstrelAdapter on a worker thread of its own.
//
// Ending that thread gives the adapter's hold on the messaging library back (the
// module's environment cleanup), so the library has left the bus before the service
// stops a private bus of its own: an orderly stop is not reported as a lost bus. The
// constructor, which blocks until it has joined, does not hold up the HTTP endpoint or
// the signals meanwhile.
//
// Threads: the worker runs the adapter and nothing else; the main thread talks to it by
// messages only. The worker owns the adapter; the main thread owns the Worker.

const { Worker, isMainThread, parentPort, workerData } = require('node:worker_threads');

const APPS_POLL_MS = 1000;
// A moment for the goodbye to leave before the thread ends.
const GOODBYE_MS = 100;
// How long an orderly stop may take before the thread is ended by force.
const STOP_LIMIT_MS = 5000;

function runAdapter() {
  const { loadAddon } = require('./addon');
  const { appId, appVersion } = workerData;
  const { OstrelAdapter } = loadAddon();
  const adapter = new OstrelAdapter(appId, appVersion);
  let apps = adapter.getAppsList();
  parentPort.postMessage({ joined: true, apps });
  const poll = setInterval(() => {
    const now = adapter.getAppsList();
    if (now.join('\n') !== apps.join('\n')) {
      apps = now;
      parentPort.postMessage({ apps });
    }
  }, APPS_POLL_MS);
  parentPort.on('message', (message) => {
    if (message.op === 'details') {
      adapter.setServerDetails(message.started, message.payload);
    } else if (message.op === 'stop') {
      clearInterval(poll);
      adapter.setServerDetails(false, message.payload);
      adapter.disconnect();
      parentPort.postMessage({ ended: true });
      setTimeout(() => process.exit(0), GOODBYE_MS);
    }
  });
}

if (!isMainThread && workerData?.corvelleAdapter === true) runAdapter();

// Starts the thread and resolves once its adapter has joined the bus, with
//   apps()               the host applications as last seen (updated every second),
//   setServerDetails(started, payload),
//   stop(payload)        announces the end, disconnects, and resolves once the thread
//                        has ended (ended by force after STOP_LIMIT_MS),
//   terminate()          ends the thread at once.
// onApps(list) is called when the list changes, onExit(code) when the thread ends
// other than by stop().
function startAdapterThread({ appId, appVersion, onApps = () => {}, onExit = () => {} }) {
  const worker = new Worker(__filename, { workerData: { corvelleAdapter: true, appId, appVersion } });
  let apps = [];
  let stopping = false;
  const exited = new Promise((resolve) => worker.once('exit', resolve));
  return new Promise((resolve, reject) => {
    let joined = false;
    worker.once('error', (err) => {
      if (!joined) reject(err);
    });
    exited.then((code) => {
      if (!joined) reject(new Error(`the adapter's thread ended before joining (exit ${code})`));
      else if (!stopping) onExit(code);
    });
    worker.on('message', (message) => {
      if (message.apps) {
        apps = message.apps;
        if (joined) onApps(apps);
      }
      if (message.joined) {
        joined = true;
        resolve({
          apps: () => apps,
          setServerDetails(started, payload) {
            if (!stopping) worker.postMessage({ op: 'details', started, payload });
          },
          async stop(payload) {
            stopping = true;
            worker.postMessage({ op: 'stop', payload });
            const limit = setTimeout(() => worker.terminate(), STOP_LIMIT_MS);
            await exited;
            clearTimeout(limit);
          },
          terminate() {
            stopping = true;
            return worker.terminate();
          },
        });
      }
    });
  });
}

module.exports = { startAdapterThread };
