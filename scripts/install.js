#!/usr/bin/env node
// The package's install step. It compiles nothing when the prebuilt module in
// prebuilds/<platform>-<arch>/ loads here; it builds from source when none fits, or when
// asked to with CORVELLE_BUILD_FROM_SOURCE=1 (npm's own build_from_source setting is
// still read, but npm warns about it as an unknown setting). A source build makes the module, its messaging library
// and the peer tool in build/Release, with warnings left as warnings. In the project's
// own checkout it is the project's build (scripts/build.js) instead.
'use strict';
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const { root, build, BuildError, missingBuildTool, missingToolMessage } = require('./cmake-build');
const { prebuildDir, PREBUILD_FILE } = require('../lib/binding');

function truthy(value) {
  return value !== undefined && !['', '0', 'false', 'no', 'off'].includes(value.toLowerCase());
}

function sourceBuildAsked(env = process.env) {
  return truthy(env.CORVELLE_BUILD_FROM_SOURCE) || truthy(env.npm_config_build_from_source);
}

// Whether the prebuilt module loads in this Node on this machine (the right C library,
// libsystemd present, a Node with its Node-API version). Tried in a child process, so a
// module that does not load leaves nothing behind here.
function prebuiltLoads() {
  const dir = prebuildDir(root);
  if (!dir) return { ok: false, why: `no prebuilt module for ${process.platform}-${process.arch}` };
  const file = path.join(dir, PREBUILD_FILE);
  const result = spawnSync(process.execPath, ['-e', `require(${JSON.stringify(file)})`],
    { encoding: 'utf8', timeout: 30000 });
  if (result.status === 0) return { ok: true, file };
  const detail = (result.stderr || '').split('\n').find((line) => /Error/.test(line)) ||
    `exit ${result.status ?? result.signal}`;
  return { ok: false, why: `the prebuilt module does not load here: ${detail.trim()}` };
}

function main() {
  const checkout = fs.existsSync(path.join(root, 'tests', 'CMakeLists.txt'));
  if (!checkout && !sourceBuildAsked()) {
    const prebuilt = prebuiltLoads();
    if (prebuilt.ok) {
      console.log(`corvelle: using the prebuilt module ${path.relative(root, prebuilt.file)}`);
      return 0;
    }
    console.log(`corvelle: ${prebuilt.why}; building from source`);
  }
  const missing = missingBuildTool();
  if (missing) {
    console.error(missingToolMessage(missing));
    return 1;
  }
  try {
    build({ buildDir: path.join(root, 'build'), developer: checkout });
  } catch (err) {
    if (!(err instanceof BuildError)) throw err;
    console.error(`corvelle: the source build failed: ${err.message}`);
    return 1;
  }
  return 0;
}

process.exitCode = main();
