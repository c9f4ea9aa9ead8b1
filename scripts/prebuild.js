#!/usr/bin/env node
// Makes the prebuilt binary that the package carries (run by `npm pack` / `npm publish`
// as prepack): a Release build of the module, its messaging library and the tools in
// build-prebuild/, copied to prebuilds/linux-x64/. The module finds the library beside it
// through its run path ($ORIGIN); being a Node-API module, it serves every Node version
// the package supports. Off linux-x64 with glibc the package is packed without it.
'use strict';
const fs = require('node:fs');
const path = require('node:path');
const { root, build, BuildError, missingBuildTool, missingToolMessage } = require('./cmake-build');
const { libc, MODULE_FILE, PREBUILD_FILE } = require('../lib/binding');

const target = `${process.platform}-${process.arch}`;
const outDir = path.join(root, 'prebuilds', target);
const buildDir = path.join(root, 'build-prebuild');

function main() {
  fs.rmSync(path.join(root, 'prebuilds'), { recursive: true, force: true });
  if (target !== 'linux-x64' || libc() !== 'glibc') {
    console.error(`corvelle: no prebuilt binary is made on ${target}; the package ` +
      'will build from source where it is installed');
    return 0;
  }
  const missing = missingBuildTool();
  if (missing) {
    console.error(missingToolMessage(missing));
    return 1;
  }
  try {
    build({ buildDir, developer: false, buildType: 'Release' });
  } catch (err) {
    if (!(err instanceof BuildError)) throw err;
    console.error(`corvelle: the prebuilt binary could not be built: ${err.message}`);
    return 1;
  }
  fs.mkdirSync(outDir, { recursive: true });
  const release = path.join(buildDir, 'Release');
  for (const [from, to] of [[MODULE_FILE, PREBUILD_FILE], ['libostrel_dbus.so', 'libostrel_dbus.so'],
    ['ostrel-peer', 'ostrel-peer'], ['ostrel-busview', 'ostrel-busview']]) {
    fs.copyFileSync(path.join(release, from), path.join(outDir, to));
    fs.chmodSync(path.join(outDir, to), 0o755);
  }
  console.error(`corvelle: prebuilt binary in ${path.relative(root, outDir)}/`);
  return 0;
}

process.exitCode = main();
