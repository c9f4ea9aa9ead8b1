'use strict';
// Configures and builds with CMake, for the project's own builds (scripts/build.js), a
// user's source build (scripts/install.js) and the prebuilt binary (scripts/prebuild.js).
// Nothing is downloaded: the build uses the installed Node's headers and the
// node-addon-api package.
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const { USER_BUILD_PACKAGES } = require('../lib/binding');

const root = path.resolve(__dirname, '..');

class BuildError extends Error {}

function works(command, args, options = {}) {
  const result = spawnSync(command, args, { stdio: 'ignore', ...options });
  return !result.error && result.status === 0;
}

function nodeHeaders() {
  const own = path.join(process.execPath, '..', '..', 'include', 'node');
  return [own, '/usr/include/node'].find((dir) => fs.existsSync(path.join(dir, 'node_api.h')));
}

// What a build needs and is not there, as one phrase, or null when all is there. Checked
// in the order a build would trip over them.
function missingBuildTool(env = process.env) {
  if (!works('cmake', ['--version'])) return { what: 'CMake', packages: 'cmake' };
  if (!works('make', ['--version'])) return { what: 'make', packages: 'make' };
  const compilers = env.CXX ? [env.CXX] : ['c++', 'g++', 'clang++'];
  if (!compilers.some((cxx) => works(cxx, ['--version']))) {
    return { what: `a C++17 compiler (${compilers.join(', ')})`, packages: 'g++' };
  }
  if (!works('pkg-config', ['--version'])) return { what: 'pkg-config', packages: 'pkg-config' };
  if (!works('pkg-config', ['--exists', 'libsystemd'])) {
    return { what: "libsystemd's headers", packages: 'libsystemd-dev' };
  }
  if (!nodeHeaders()) {
    return { what: "Node.js's headers (node_api.h)",
      packages: 'libnode-dev or a Node.js from nodejs.org (which carries them)' };
  }
  return null;
}

// The one line that ends a build that cannot start: what is missing, and the packages of
// the whole build, so that one install command is enough.
function missingToolMessage(missing) {
  return `corvelle: cannot build the native module from source: missing ${missing.what}, ` +
    `Debian/Ubuntu package ${missing.packages}; a source build needs, on Debian and ` +
    `Ubuntu: sudo apt-get install ${USER_BUILD_PACKAGES}`;
}

// The build's output goes to stderr, so that it never mixes with what a caller prints
// (npm pack --json, for one).
function run(what, command, args) {
  const result = spawnSync(command, args, { cwd: root, stdio: ['ignore', 2, 2] });
  if (result.error) throw new BuildError(`cannot run ${command}: ${result.error.message}`);
  if (result.status !== 0) {
    throw new BuildError(`${what} failed (exit ${result.status ?? result.signal}); ` +
      'the CMake output above says why');
  }
}

// developer: the project's own build (warnings are errors; tests, benchmarks, test
// module). Otherwise only the module, its messaging library and the peer tool are built.
// cmakeArgs: more configure arguments (a toolchain file).
function build({ buildDir, developer, sanitize = false, buildType = 'RelWithDebInfo',
  cmakeArgs = [] }) {
  const onOff = developer ? 'ON' : 'OFF';
  const configure = ['-S', root, '-B', buildDir, `-DCMAKE_BUILD_TYPE=${buildType}`,
    `-DCORVELLE_DEVELOPER=${onOff}`, `-DCORVELLE_TESTS=${onOff}`];
  if (sanitize === 'thread') configure.push('-DCORVELLE_SANITIZE_THREAD=ON');
  else if (sanitize) configure.push('-DCORVELLE_SANITIZE=ON');
  // A user's build and the prebuilt binary find their libraries beside them only, never
  // in the folder they were built in.
  if (!developer) configure.push('-DCMAKE_BUILD_WITH_INSTALL_RPATH=ON');
  configure.push(...cmakeArgs);
  run('configuring', 'cmake', configure);
  const jobs = Math.max(1, os.availableParallelism?.() ?? os.cpus().length ?? 2);
  run('the build', 'cmake', ['--build', buildDir, '--parallel', String(jobs)]);
}

module.exports = { root, build, BuildError, missingBuildTool, missingToolMessage, works,
  USER_BUILD_PACKAGES };
