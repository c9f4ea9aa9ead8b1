'use strict';
// Runs an adapter fuzz target inside Node.js, where the adapter lives:
//   node fuzz/adapter/run.js <fuzz module .node> [libFuzzer options and folders | inputs]
// One adapter (application QOVR 1.0, target application RSTN) on the in-process library
// serves the whole run. The fuzz build's module runs libFuzzer, which ends the process;
// the normal build's module replays the inputs named and exits with their result.
const path = require('node:path');

const [modulePath, ...args] = process.argv.slice(2);
const fuzz = require(path.resolve(modulePath));
const adapter = new fuzz.OstrelAdapter('QOVR', '1.0', 'RSTN');
process.exitCode = fuzz.fuzz(adapter, [modulePath, ...args]);
