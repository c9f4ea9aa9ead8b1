'use strict';
// The module as the service and the command use it. CORVELLE_BUILD_DIR names another
// build folder (the sanitizer build, say); otherwise it is this package's own build.
const path = require('node:path');

function loadAddon() {
  const dir = process.env.CORVELLE_BUILD_DIR;
  if (dir) return require(path.join(path.resolve(dir), 'corvelle.node'));
  return require('..');
}

// Where the build put its programs: the same folder as the module.
function buildDir() {
  return path.resolve(process.env.CORVELLE_BUILD_DIR ||
    path.join(__dirname, '..', 'build', 'Release'));
}

module.exports = { loadAddon, buildDir };
