#!/usr/bin/env node
// Configures and builds the module with CMake: `node scripts/build.js [--sanitize]`.
// The normal build goes to build/, the AddressSanitizer + UndefinedBehaviorSanitizer
// build to build-asan/. Nothing is downloaded: the build uses the installed Node's
// headers and the node-addon-api package.
'use strict';
const { spawnSync } = require('node:child_process');
const path = require('node:path');
const os = require('node:os');

const root = path.resolve(__dirname, '..');
const sanitize = process.argv.includes('--sanitize');
const buildDir = path.join(root, sanitize ? 'build-asan' : 'build');

function run(command, args) {
  const result = spawnSync(command, args, { cwd: root, stdio: 'inherit' });
  if (result.error) {
    console.error(`corvelle: cannot run ${command}: ${result.error.message}`);
    process.exit(1);
  }
  if (result.status !== 0) process.exit(result.status ?? 1);
}

const configure = ['-S', root, '-B', buildDir, '-DCMAKE_BUILD_TYPE=RelWithDebInfo'];
if (sanitize) configure.push('-DCORVELLE_SANITIZE=ON');
run('cmake', configure);
run('cmake', ['--build', buildDir, '--parallel', String(Math.max(1, os.availableParallelism?.() ?? 2))]);
