'use strict';
// Loads the test build of the module (in-process messaging library, recorded pauses)
// and the library's controls. Both share one instance of the library.
const path = require('node:path');

const buildDir = process.env.CORVELLE_BUILD_DIR ||
  path.resolve(__dirname, '..', '..', '..', 'build', 'Release');

const control = require(path.join(buildDir, 'ostrel-inproc-control.node'));
const modulePath = path.join(buildDir, 'corvelle-inproc.node');
const { OstrelAdapter } = require(modulePath);

// The service's own endpoint and a few peers, as the library reports them.
const SELF = { id: ':1.1', appId: 'QOVR', appVersion: '2.0' };

const BUS_PREFIX = 'ostrel.SuiteMessage.';

// Calls of one operation, or of several, in call order.
function callsOf(...ops) {
  return control.calls().filter((c) => ops.includes(c.op));
}

function sends() {
  return callsOf('Send');
}

// A started adapter on a freshly scripted library. `script` overrides the defaults.
function startAdapter(script = {}, args = ['QOVR', '2.0']) {
  control.reset({ self: SELF, ...script });
  const adapter = new OstrelAdapter(...args);
  control.waitIdle(5000);
  control.clearCalls();
  return adapter;
}

// Delivers one application message from `source` and waits until the library's thread
// has handed it to the listeners.
function deliverFrom(source, type, payload = '', extra = {}) {
  const ok = control.deliver({
    type: BUS_PREFIX + type,
    appId: source.appId,
    appVersion: source.appVersion,
    source,
    payload,
    ...extra,
  });
  if (!ok) throw new Error('no library instance to deliver to');
  control.waitIdle(5000);
}

module.exports = {
  control, OstrelAdapter, modulePath, buildDir, SELF, BUS_PREFIX,
  callsOf, sends, startAdapter, deliverFrom,
};
