#!/usr/bin/env node
// The project's own build: `node scripts/build.js [--sanitize]`. Warnings are errors and
// the tests, benchmarks and test module are built. The normal build goes to build/, the
// AddressSanitizer + UndefinedBehaviorSanitizer build to build-asan/.
'use strict';
const path = require('node:path');
const { root, build, BuildError } = require('./cmake-build');

const sanitize = process.argv.includes('--sanitize');
try {
  build({ buildDir: path.join(root, sanitize ? 'build-asan' : 'build'), developer: true, sanitize });
} catch (err) {
  if (!(err instanceof BuildError)) throw err;
  console.error(`corvelle: ${err.message}`);
  process.exit(1);
}
