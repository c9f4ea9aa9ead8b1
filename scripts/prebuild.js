#!/usr/bin/env node
// Makes the prebuilt binaries that the package carries (run by `npm pack` / `npm publish`
// as prepack): for each target a Release build of the module, its messaging library and
// the tools in build-prebuild/<target>/, stripped and copied to prebuilds/<target>/. The
// module finds the library beside it through its run path ($ORIGIN); being a Node-API
// module, it serves every Node version the package supports.
//
// Targets: linux-x64 (this machine's compiler) and linux-arm64 (Debian's cross compiler,
// cmake/aarch64-linux-gnu.cmake); CORVELLE_PREBUILD_TARGETS=linux-x64 (a comma list)
// makes fewer. Everything is built into a new folder beside prebuilds/, which takes its
// place only when every target is complete: a failed build leaves the previous
// prebuilds/ as it was. Off linux-x64 with glibc the package is packed without any.
'use strict';
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const { root, build, BuildError, missingBuildTool, missingToolMessage, works } =
  require('./cmake-build');
const { libc, MODULE_FILE, PREBUILD_FILE } = require('../lib/binding');

const TARGETS = {
  'linux-x64': { toolchain: null, machine: 'X86-64' },
  'linux-arm64': {
    toolchain: path.join(root, 'cmake', 'aarch64-linux-gnu.cmake'),
    machine: 'AArch64',
    compiler: 'aarch64-linux-gnu-g++',
    pkgConfigLibdir: '/usr/lib/aarch64-linux-gnu/pkgconfig',
    packages: 'g++-aarch64-linux-gnu libsystemd-dev:arm64',
  },
};
// What each target folder holds: [file in the build's Release/, file in the package].
const FILES = [[MODULE_FILE, PREBUILD_FILE], ['libostrel_dbus.so', 'libostrel_dbus.so'],
  ['ostrel-peer', 'ostrel-peer'], ['ostrel-busview', 'ostrel-busview']];

const host = `${process.platform}-${process.arch}`;
const prebuilds = path.join(root, 'prebuilds');

function wantedTargets(env = process.env) {
  const asked = env.CORVELLE_PREBUILD_TARGETS;
  if (!asked) return Object.keys(TARGETS);
  const names = asked.split(',').map((s) => s.trim()).filter(Boolean);
  const unknown = names.filter((n) => !TARGETS[n]);
  if (unknown.length) {
    throw new BuildError(`CORVELLE_PREBUILD_TARGETS names ${unknown.join(', ')}; ` +
      `the targets are ${Object.keys(TARGETS).join(', ')}`);
  }
  return names;
}

// What a cross build lacks, as a message, or null.
function missingCross(name, target) {
  if (!target.compiler) return null;
  const env = { ...process.env, PKG_CONFIG_LIBDIR: target.pkgConfigLibdir, PKG_CONFIG_PATH: '' };
  const lacks = [];
  if (!works(target.compiler, ['--version'])) lacks.push(`the cross compiler ${target.compiler}`);
  if (!works('pkg-config', ['--exists', 'libsystemd'], { env })) lacks.push(`libsystemd for ${name}`);
  if (lacks.length === 0) return null;
  return `corvelle: cannot build the ${name} prebuilt: ${lacks.join(' and ')} missing; ` +
    'scripts/install-deps.sh installs them (Debian: dpkg --add-architecture arm64, ' +
    `apt-get update, apt-get install ${target.packages}); ` +
    'CORVELLE_PREBUILD_TARGETS=linux-x64 npm pack packs without it';
}

function cacheValue(buildDir, name) {
  const cache = fs.readFileSync(path.join(buildDir, 'CMakeCache.txt'), 'utf8');
  return new RegExp(`^${name}:[A-Z]+=(.*)$`, 'm').exec(cache)?.[1] || null;
}

// Builds one target and puts its stripped files into dir; returns their sizes.
function buildTarget(name, target, dir) {
  const buildDir = path.join(root, 'build-prebuild', name);
  const cmakeArgs = target.toolchain ? [`-DCMAKE_TOOLCHAIN_FILE=${target.toolchain}`] : [];
  build({ buildDir, developer: false, buildType: 'Release', cmakeArgs });
  // The strip program of the target's binutils, as CMake found it beside the compiler.
  const strip = cacheValue(buildDir, 'CMAKE_STRIP');
  if (!strip) throw new BuildError(`no strip program for ${name} in ${buildDir}/CMakeCache.txt`);
  fs.mkdirSync(dir, { recursive: true });
  const sizes = [];
  for (const [from, to] of FILES) {
    const source = path.join(buildDir, 'Release', from);
    const file = path.join(dir, to);
    const stripped = spawnSync(strip, ['--strip-all', '-o', file, source], { stdio: ['ignore', 2, 2] });
    if (stripped.error || stripped.status !== 0) {
      throw new BuildError(`${strip} ${from} failed: ${stripped.error?.message ?? `exit ${stripped.status}`}`);
    }
    fs.chmodSync(file, 0o755);
    sizes.push(`${to} ${fs.statSync(source).size} -> ${fs.statSync(file).size} bytes`);
  }
  return sizes;
}

function alive(pid) {
  try {
    process.kill(pid, 0);
    return true;
  } catch (err) {
    return err.code === 'EPERM';
  }
}

// Folders that an earlier run left when it was killed between its steps (not those of a
// run still going on).
function removeLeftovers() {
  for (const entry of fs.readdirSync(root)) {
    const left = /^prebuilds\.(new|old)-(\d+)$/.exec(entry);
    if (left && !alive(Number(left[2]))) {
      fs.rmSync(path.join(root, entry), { recursive: true, force: true });
    }
  }
}

function main() {
  removeLeftovers();
  if (host !== 'linux-x64' || libc() !== 'glibc') {
    fs.rmSync(prebuilds, { recursive: true, force: true });
    console.error(`corvelle: no prebuilt binary is made on ${host}; the package ` +
      'will build from source where it is installed');
    return 0;
  }
  const missing = missingBuildTool();
  if (missing) {
    console.error(missingToolMessage(missing));
    return 1;
  }
  const fresh = path.join(root, `prebuilds.new-${process.pid}`);
  try {
    const names = wantedTargets();
    for (const name of names) {
      const lacks = missingCross(name, TARGETS[name]);
      if (lacks) {
        console.error(lacks);
        return 1;
      }
    }
    for (const name of names) {
      const sizes = buildTarget(name, TARGETS[name], path.join(fresh, name));
      console.error(`corvelle: ${name} (stripped): ${sizes.join(', ')}`);
    }
  } catch (err) {
    fs.rmSync(fresh, { recursive: true, force: true });
    if (!(err instanceof BuildError)) throw err;
    console.error(`corvelle: the prebuilt binaries could not be built: ${err.message}; ` +
      `${fs.existsSync(prebuilds) ? 'prebuilds/ is left as it was' : 'there is no prebuilds/'}`);
    return 1;
  }
  // Every target is complete: the new folder takes the place of the old one.
  const old = path.join(root, `prebuilds.old-${process.pid}`);
  if (fs.existsSync(prebuilds)) fs.renameSync(prebuilds, old);
  fs.renameSync(fresh, prebuilds);
  fs.rmSync(old, { recursive: true, force: true });
  console.error(`corvelle: prebuilt binaries in prebuilds/ (${fs.readdirSync(prebuilds).sort().join(', ')})`);
  return 0;
}

module.exports = { TARGETS, FILES };
if (require.main === module) process.exitCode = main();
