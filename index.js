'use strict';
// The package's entry: the native module's class, and Promise helpers beside it. The
// module is the local build when there is one, else the prebuilt binary (lib/binding.js).
const { OstrelAdapter } = require('./lib/binding').load().binding;
const { waitForBus, findService, connect } = require('./lib/helpers');

// Assigned one by one so that Node's ES-module loader sees each name as an export.
exports.OstrelAdapter = OstrelAdapter;
exports.waitForBus = waitForBus;
exports.findService = findService;
exports.connect = connect;
