'use strict';
// The module as the service and the command use it: the one that `require('corvelle')`
// loads (CORVELLE_BUILD_DIR, else the local build, else the prebuilt one; see binding.js).
const path = require('node:path');
const binding = require('./binding');

function loadAddon() {
  return binding.load().binding;
}

// Where the module's programs are: the folder of the module that loads (the local build
// folder when there is none, for the messages that name it).
function buildDir() {
  try {
    return binding.locate().dir;
  } catch {
    return path.join(__dirname, '..', 'build', 'Release');
  }
}

module.exports = { loadAddon, buildDir };
