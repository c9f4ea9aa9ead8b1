'use strict';
// The module as the service and the command use it: the one that `require('corvelle')`
// loads (CORVELLE_BUILD_DIR, else the local build, else the prebuilt one; see binding.js).
const binding = require('./binding');

function loadAddon() {
  return binding.load().binding;
}

// Where the module's programs are: the folder of the module that loads.
function buildDir() {
  return binding.locate().dir;
}

module.exports = { loadAddon, buildDir };
