'use strict';
// Makes the module write two diagnostic lines, then prints "-- done": a configuration
// the library refuses, and an exception thrown in the library and caught in the module.
// Run by runtime.test.js from Node, and by scripts/windows-runtime.sh through cmd /c with
// its output sent to a file.
const path = require('node:path');

const buildDir = process.env.CORVELLE_BUILD_DIR;
const control = require(path.join(buildDir, 'ostrel-inproc-control.node'));
const { OstrelAdapter } = require(path.join(buildDir, 'corvelle.node'));

control.reset({ setConfigResult: 7 });
new OstrelAdapter('QOVR', '2.0').disconnect();
control.reset({ throwIn: 'IsReady' });
new OstrelAdapter('QOVR', '2.0').disconnect();
control.waitIdle(5000);
console.log('-- done');
