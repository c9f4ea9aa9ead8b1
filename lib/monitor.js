'use strict';
// The application messages on a bus, so that the service can say who asked it for its
// details: the adapter answers those requests by itself, and script never sees them.
// docs/protocol.md describes the signal; lib/busview.js reads it from the bus.

const busview = require('./busview');

const TYPE_PREFIX = 'ostrel.SuiteMessage.';

// Starts the watcher; returns { stop() }. onMessage gets { sender, destination, type,
// appId, appVersion } for each application message; onError gets one line when the
// watcher could not start or stopped on its own.
function watchMessages(address, onMessage, onError) {
  return busview.watch(address, { onMessage, onEnd: (line) => onError(line) });
}

// The message type without the bus prefix.
function shortType(type) {
  return type.startsWith(TYPE_PREFIX) ? type.slice(TYPE_PREFIX.length) : type;
}

module.exports = { watchMessages, shortType, TYPE_PREFIX };
