'use strict';
// Finds the native module: a build folder named by CORVELLE_BUILD_DIR, else this
// package's own build (build/Release, made by a source build), else the prebuilt module
// shipped in prebuilds/<platform>-<arch>/. Each folder holds the module beside the
// messaging library it links, which the module finds through its run path ($ORIGIN).

const fs = require('node:fs');
const path = require('node:path');

const PACKAGE_ROOT = path.resolve(__dirname, '..');
const MODULE_FILE = 'corvelle.node';
const PREBUILD_FILE = 'corvelle.napi.glibc.node';
// What a user's source build needs, as Debian and Ubuntu name the packages.
const USER_BUILD_PACKAGES = 'cmake make g++ pkg-config libsystemd-dev';

let cLibrary;

// The C library this Node runs on: 'glibc', 'musl', or null off Linux. Node's report
// header names the glibc it runs with; asked once, as making a report takes some ms.
function libc() {
  if (cLibrary === undefined) {
    if (process.platform !== 'linux') {
      cLibrary = null;
    } else {
      const header = process.report?.getReport?.().header;
      cLibrary = header?.glibcVersionRuntime ? 'glibc' : 'musl';
    }
  }
  return cLibrary;
}

// The folder of prebuilt binaries for this platform, or null when none is shipped for it.
// linux-x64 and linux-arm64 with glibc are; the file name carries the tags that
// node-gyp-build-style loaders read (Node-API, glibc).
function prebuildDir(root = PACKAGE_ROOT) {
  if (libc() !== 'glibc') return null;
  const dir = path.join(root, 'prebuilds', `${process.platform}-${process.arch}`);
  return fs.existsSync(path.join(dir, PREBUILD_FILE)) ? dir : null;
}

// The module that will load. CORVELLE_BUILD_DIR, when set, is the only place looked at.
function locate(root = PACKAGE_ROOT, env = process.env) {
  if (env.CORVELLE_BUILD_DIR) {
    const dir = path.resolve(env.CORVELLE_BUILD_DIR);
    return { kind: 'build folder', dir, file: path.join(dir, MODULE_FILE) };
  }
  const local = path.join(root, 'build', 'Release');
  if (fs.existsSync(path.join(local, MODULE_FILE))) {
    return { kind: 'local build', dir: local, file: path.join(local, MODULE_FILE) };
  }
  const prebuilt = prebuildDir(root);
  if (prebuilt) return { kind: 'prebuilt', dir: prebuilt, file: path.join(prebuilt, PREBUILD_FILE) };
  const where = `${process.platform}-${process.arch}${libc() ? ` (${libc()})` : ''}`;
  const error = new Error(`corvelle: no native module for ${where}: no build in ${local} ` +
    'and no prebuilt one for this platform; build it from source with ' +
    '`CORVELLE_BUILD_FROM_SOURCE=1 npm rebuild corvelle` (on Debian and Ubuntu the build ' +
    `needs: sudo apt-get install ${USER_BUILD_PACKAGES})`);
  error.code = 'ERR_CORVELLE_NO_MODULE';
  throw error;
}

let loaded = null;

// Loads the module once per process; later calls return the same one.
function load() {
  if (!loaded) {
    const found = locate();
    loaded = { ...found, binding: require(found.file) };
  }
  return loaded;
}

module.exports = { load, locate, prebuildDir, libc, MODULE_FILE, PREBUILD_FILE,
  USER_BUILD_PACKAGES };
