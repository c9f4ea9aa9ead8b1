'use strict';
// The package as a user gets it: `npm pack` (which makes the prebuilt binary), then the
// tarball installed into empty projects. With the prebuilt binary no compiler is needed;
// asked for a source build, the install builds only what the package runs. Dependencies
// come from npm's cache when it has them, else from the registry.
const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { spawnSync } = require('node:child_process');
const { root, tempDir, startBus, Running, dbusSkipReason } = require('./support/cli-harness');

const skip = process.env.CORVELLE_SANITIZE
  ? 'the package is checked by the normal build; a sanitizer build of it would show nothing more'
  : dbusSkipReason() ?? false;

// The package build is an ordinary one: none of the test build's variables reach it.
function plainEnv(extra = {}) {
  const env = { ...process.env };
  for (const name of ['CORVELLE_BUILD_DIR', 'CORVELLE_SANITIZE', 'LD_PRELOAD', 'LD_LIBRARY_PATH',
    'ASAN_OPTIONS', 'UBSAN_OPTIONS', 'OSTREL_BUS_ADDRESS', 'DBUS_SESSION_BUS_ADDRESS',
    'XDG_RUNTIME_DIR', 'CORVELLE_BUILD_FROM_SOURCE']) {
    delete env[name];
  }
  return { ...env, ...extra };
}

function run(command, args, cwd, env = plainEnv(), timeout = 240000) {
  const result = spawnSync(command, args, { cwd, env, encoding: 'utf8', timeout });
  const what = `${command} ${args.join(' ')}`;
  assert.equal(result.error, undefined, `${what}: ${result.error?.message}`);
  assert.equal(result.status, 0, `${what} failed:\n${result.stdout}\n${result.stderr}`);
  return result.stdout;
}

function emptyProject(dir, name) {
  const project = path.join(dir, name);
  fs.mkdirSync(project);
  fs.writeFileSync(path.join(project, 'package.json'),
    JSON.stringify({ name, version: '1.0.0', private: true }));
  return project;
}

function npmInstall(project, tarball, env, flags = []) {
  return run('npm', ['install', '--prefer-offline', '--no-audit', '--no-fund', ...flags, tarball],
    project, env);
}

// What `require('corvelle')` gives in `project`, and which native file it loaded.
function loadedIn(project, env) {
  return JSON.parse(run(process.execPath, ['-e', `
    const corvelle = require('corvelle');
    console.log(JSON.stringify({
      exports: Object.keys(corvelle).sort(),
      methods: Object.getOwnPropertyNames(corvelle.OstrelAdapter.prototype).sort(),
      native: Object.keys(require.cache).filter((f) => f.endsWith('.node'))
        .map((f) => require('path').relative(process.cwd(), f)),
    }));`], project, env));
}

let dir;
let tarball;
let packedFiles;

before(() => {
  if (skip) return;
  dir = tempDir('corvelle-pack-');
  const [packed] = JSON.parse(run('npm', ['pack', '--json', '--pack-destination', dir], root));
  tarball = path.join(dir, packed.filename);
  packedFiles = packed.files.map((f) => f.path);
  fs.mkdirSync(path.join(dir, 'unpacked'));
  run('tar', ['-xzf', tarball, '-C', path.join(dir, 'unpacked')], root);
});
after(() => {
  if (dir) fs.rmSync(dir, { recursive: true, force: true });
});

const TARGETS = { 'linux-x64': 'Advanced Micro Devices X86-64', 'linux-arm64': 'AArch64' };
const PREBUILT = ['corvelle.napi.glibc.node', 'libostrel_dbus.so', 'ostrel-peer', 'ostrel-busview'];

test('the tarball holds the sources, the prebuilt linux-x64 and linux-arm64 binaries, and no tests', { skip }, () => {
  for (const needed of ['package.json', 'README.md', 'index.js', 'index.d.ts',
    'bin/corvelle.js', 'lib/start.js', 'lib/helpers.js', 'lib/binding.js', 'CMakeLists.txt',
    'scripts/install.js', 'scripts/cmake-build.js', 'scripts/install-deps.sh',
    'bus/ostrel-bus.conf', 'src/ostreladapter.cpp', 'ostrel/include/ostrel/OstrelMessage5.h',
    'ostrel/dbus/CMakeLists.txt', 'tools/ostrel-peer/CMakeLists.txt', 'cmake/Windows.cmake',
    'src/delayloadhook.cpp', 'cmake/aarch64-linux-gnu.cmake', 'CHANGELOG.md',
    ...Object.keys(TARGETS).flatMap((t) => PREBUILT.map((f) => `prebuilds/${t}/${f}`))]) {
    assert.ok(packedFiles.includes(needed), `the package holds ${needed}`);
  }
  const unwanted = packedFiles.filter((f) =>
    /^(tests|build[^/]*|node_modules|\.ci|bench|prebuilds\.[^/]*)\//.test(f));
  assert.deepEqual(unwanted, [], 'no tests, build output or dependencies in the package');

  // The binaries find each other beside them, and nowhere else.
  for (const target of Object.keys(TARGETS)) {
    for (const file of ['corvelle.napi.glibc.node', 'ostrel-peer', 'libostrel_dbus.so']) {
      const dynamic = run('readelf', ['-d', path.join(root, 'prebuilds', target, file)], root);
      assert.match(dynamic, /\((RUNPATH|RPATH)\)\s+Library r(un)?path: \[\$ORIGIN\]\n/, `${target}/${file}`);
    }
  }
});

// The newest symbol version of `prefix` (GLIBC_, GLIBCXX_) that the files need.
function newestVersion(needs, prefix) {
  const versions = needs.flatMap((text) => [...text.matchAll(new RegExp(`\\b${prefix}_([0-9.]+)\\b`, 'g'))])
    .map((m) => m[1].split('.').map(Number));
  versions.sort((a, b) => {
    for (let i = 0; i < Math.max(a.length, b.length); i += 1) {
      if ((a[i] ?? 0) !== (b[i] ?? 0)) return (a[i] ?? 0) - (b[i] ?? 0);
    }
    return 0;
  });
  return versions.length ? `${prefix}_${versions.at(-1).join('.')}` : null;
}

test('the packed binaries are stripped, of their machine, and need what README says', { skip }, () => {
  // README's table of run-time needs: one row for the module and its library, one for the tools.
  const readme = fs.readFileSync(path.join(root, 'README.md'), 'utf8');
  const stated = (row) => {
    const line = readme.split('\n').find((l) => l.trimStart().startsWith(`| ${row}`));
    assert.ok(line, `README has the row "| ${row}"`);
    return { glibc: /GLIBC_[0-9.]+/.exec(line)?.[0], cxx: /GLIBCXX_[0-9.]+/.exec(line)?.[0] };
  };
  const rows = {
    'the module and its library': ['corvelle.napi.glibc.node', 'libostrel_dbus.so'],
    'the tools': ['ostrel-peer', 'ostrel-busview'],
  };
  const allowed = ['libostrel_dbus.so', 'libsystemd.so.0', 'libstdc++.so.6', 'libgcc_s.so.1',
    'libm.so.6', 'libc.so.6'];
  for (const [target, machine] of Object.entries(TARGETS)) {
    for (const [row, files] of Object.entries(rows)) {
      const needs = files.map((file) => {
        const elf = path.join(dir, 'unpacked', 'package', 'prebuilds', target, file);
        const header = run('readelf', ['-h', elf], root);
        assert.match(header, new RegExp(`Machine:\\s+${machine}\\n`), `${target}/${file}`);
        const sections = run('readelf', ['-S', '-W', elf], root);
        assert.doesNotMatch(sections, /\.symtab|\.debug_/, `${target}/${file} is stripped`);
        const libraries = [...run('readelf', ['-d', elf], root)
          .matchAll(/\(NEEDED\)\s+Shared library: \[([^\]]+)\]/g)].map((m) => m[1]);
        assert.deepEqual(libraries.filter((l) => !allowed.includes(l)), [], `${target}/${file} needs`);
        return run('readelf', ['-V', '-W', elf], root);
      });
      assert.deepEqual({ glibc: newestVersion(needs, 'GLIBC'), cxx: newestVersion(needs, 'GLIBCXX') },
        stated(row), `${target}: ${row}`);
    }
  }
});

// A prebuild that fails leaves the previous prebuilds/ as it was. The unpacked package
// (which carries prebuilds/ and the prebuild script) builds its linux-x64 binaries for
// real, then its linux-arm64 ones with a cross compiler that configures fine but fails
// on the package's own sources: the second target fails after the first was complete.
test('a failing prebuild leaves the previous prebuilds/ in place', { skip }, () => {
  const unpacked = path.join(dir, 'unpacked', 'package');
  fs.symlinkSync(path.join(root, 'node_modules'), path.join(unpacked, 'node_modules'));
  const prebuilds = path.join(unpacked, 'prebuilds');
  const snapshot = () => Object.fromEntries(fs.readdirSync(prebuilds, { recursive: true }).sort()
    .map((f) => [f, fs.statSync(path.join(prebuilds, f)).isFile()
      ? fs.readFileSync(path.join(prebuilds, f)).toString('base64') : 'folder']));
  const before = snapshot();
  const cross = 'aarch64-linux-gnu-g++';
  const real = spawnSync('sh', ['-c', `command -v ${cross}`], { encoding: 'utf8' }).stdout.trim();
  assert.ok(real, `${cross} is installed (npm pack above needed it)`);
  const shims = path.join(dir, 'broken-cross');
  fs.mkdirSync(shims);
  fs.writeFileSync(path.join(shims, cross), '#!/bin/sh\ncase "$*" in */ostrel_*.dir/*|*/corvelle_*.dir/*) ' +
    `echo "broken compiler: $*" >&2; exit 1;; esac\nexec '${real}' "$@"\n`, { mode: 0o755 });
  const result = spawnSync(process.execPath, [path.join(unpacked, 'scripts', 'prebuild.js')], {
    cwd: unpacked, encoding: 'utf8', timeout: 240000,
    env: plainEnv({ PATH: `${shims}${path.delimiter}${process.env.PATH}` }),
  });
  assert.equal(result.status, 1, result.stderr);
  assert.match(result.stderr, /corvelle: linux-x64 \(stripped\): corvelle\.napi\.glibc\.node \d+ -> \d+ bytes/,
    'the first target was complete');
  assert.match(result.stderr, /broken compiler: /);
  assert.match(result.stderr, /the prebuilt binaries could not be built: the build failed .*; prebuilds\/ is left as it was/);
  assert.deepEqual(snapshot(), before, 'prebuilds/ is unchanged');
  assert.deepEqual(fs.readdirSync(unpacked).filter((f) => f.startsWith('prebuilds')), ['prebuilds'],
    'no half-made folder is left beside it');
});

test('installed where compiler and CMake fail: prebuilt, require, import, a bus, the command',
  { skip }, async () => {
    // Every build tool a source build would call fails, and says it was called.
    const shims = path.join(dir, 'shims');
    const calls = path.join(dir, 'shim-calls');
    fs.mkdirSync(shims);
    for (const tool of ['cmake', 'make', 'ninja', 'c++', 'g++', 'gcc', 'cc', 'clang', 'clang++',
      'pkg-config']) {
      fs.writeFileSync(path.join(shims, tool), `#!/bin/sh\necho "${tool} $*" >> '${calls}'\nexit 1\n`,
        { mode: 0o755 });
    }
    const env = plainEnv({ PATH: `${shims}${path.delimiter}${process.env.PATH}` });
    const user = emptyProject(dir, 'prebuilt-user');
    npmInstall(user, tarball, env);
    assert.equal(fs.existsSync(calls) ? fs.readFileSync(calls, 'utf8') : '', '',
      'no build tool was called');
    const installed = path.join(user, 'node_modules', 'corvelle');
    assert.ok(!fs.existsSync(path.join(installed, 'build')), 'nothing was built');

    assert.deepEqual(loadedIn(user, env), {
      exports: ['OstrelAdapter', 'connect', 'findService', 'waitForBus'],
      methods: ['constructor', 'disconnect', 'getAppsList', 'getServicePort', 'setServerDetails'],
      native: ['node_modules/corvelle/prebuilds/linux-x64/corvelle.napi.glibc.node'],
    });
    fs.writeFileSync(path.join(user, 'named.mjs'), `
      import { OstrelAdapter, waitForBus, findService } from 'corvelle';
      import corvelle from 'corvelle';
      const same = corvelle.OstrelAdapter === OstrelAdapter && corvelle.waitForBus === waitForBus
        && corvelle.findService === findService;
      console.log(JSON.stringify({ adapter: typeof OstrelAdapter, same }));`);
    assert.deepEqual(JSON.parse(run(process.execPath, ['named.mjs'], user, env)),
      { adapter: 'function', same: true });

    // A service made with the installed package joins a private bus; the installed
    // command finds it there, and plays a host application with the prebuilt peer tool.
    fs.writeFileSync(path.join(user, 'service.js'), `
      const { OstrelAdapter, waitForBus } = require('corvelle');
      waitForBus({ timeoutMs: 10000 }).then(() => {
        // Held for the life of the process: a collected adapter leaves the bus.
        globalThis.adapter = new OstrelAdapter('QOVR', '2.0');
        globalThis.adapter.setServerDetails(true, JSON.stringify({ port: 4711 }));
        console.log('announced');
        setTimeout(() => {}, 60000);
      }, (err) => { console.error(err.code); process.exit(1); });`);
    const bus = await startBus(tempDir('corvelle-pack-bus-'));
    const busEnv = { ...env, OSTREL_BUS_ADDRESS: bus.address };
    const service = new Running(process.execPath, [path.join(user, 'service.js')], { env: busEnv });
    try {
      await service.waitFor(/announced/);
      const cli = path.join(user, 'node_modules', '.bin', 'corvelle');
      const answer = run(cli, ['service', '--json', '--timeout', '5000'], user, busEnv, 20000);
      assert.deepEqual(JSON.parse(answer), {
        type: 'ostrel.SuiteMessage.zem.devtools.server.info',
        payload: '{"port":4711}', appId: 'QOVR', appVersion: '2.0',
      });
      const host = run(cli, ['host', 'RSTN', '1.0', '--timeout', '5000'], user, busEnv, 20000);
      assert.match(host, /server\.ready from QOVR 2\.0: \{"port":4711\}/);
    } finally {
      service.kill('SIGKILL');
      await service.exit();
      await bus.stop();
      fs.rmSync(path.dirname(bus.socketPath), { recursive: true, force: true });
    }

    // The installed command runs the service away from the project folder, on a private
    // bus of its own, and stops it with SIGTERM to its pid.
    const home = tempDir('corvelle-pack-home-');
    const homeEnv = { ...env, TMPDIR: home };
    const cli = path.join(user, 'node_modules', '.bin', 'corvelle');
    const started = new Running(cli, ['start'], { env: homeEnv, cwd: user });
    try {
      await started.waitFor(/^ready: /m, 30000);
      assert.match(started.stdout, /\(private bus, dbus-daemon pid \d+/);
      const answer = run(cli, ['service', '--json'], user, homeEnv, 20000);
      assert.equal(JSON.parse(JSON.parse(answer).payload).pid, started.child.pid);
      started.kill('SIGTERM');
      const ended = await started.exit(20000);
      assert.equal(ended.code, 0, ended.stderr);
      assert.match(ended.stdout, /stopped the private bus\n[\s\S]*stopped\n/);
      assert.doesNotMatch(ended.stderr, /lost/);
    } finally {
      started.kill('SIGKILL');
      const daemon = /dbus-daemon pid (\d+)/.exec(started.stdout);
      if (daemon) spawnSync('kill', [daemon[1]]);
      fs.rmSync(home, { recursive: true, force: true });
    }

    // Without a fitting module, require says so and how to build one.
    fs.renameSync(path.join(installed, 'prebuilds'), path.join(installed, 'prebuilds.off'));
    const missing = spawnSync(process.execPath, ['-e', `
      try { require('corvelle'); } catch (err) { console.log(JSON.stringify([err.code, err.message])); }`],
    { cwd: user, env, encoding: 'utf8' });
    const [code, message] = JSON.parse(missing.stdout || '[]');
    assert.equal(code, 'ERR_CORVELLE_NO_MODULE', missing.stderr);
    assert.match(message, /CORVELLE_BUILD_FROM_SOURCE=1 npm rebuild corvelle/);
  });

test('a forced source build makes the module, its library and the peer tool, and no tests',
  { skip }, () => {
    const user = emptyProject(dir, 'source-user');
    const started = Date.now();
    npmInstall(user, tarball, plainEnv({ CORVELLE_BUILD_FROM_SOURCE: '1' }));
    const seconds = (Date.now() - started) / 1000;
    process.stdout.write(`# source build install: ${seconds.toFixed(1)} s\n`);

    const build = path.join(user, 'node_modules', 'corvelle', 'build');
    const made = fs.readdirSync(path.join(build, 'Release')).sort();
    assert.deepEqual(made, ['corvelle.node', 'libostrel_dbus.so', 'ostrel-busview', 'ostrel-peer']);
    const cache = fs.readFileSync(path.join(build, 'CMakeCache.txt'), 'utf8');
    assert.match(cache, /^CORVELLE_DEVELOPER:BOOL=OFF$/m);
    const commands = JSON.parse(fs.readFileSync(path.join(build, 'compile_commands.json'), 'utf8'));
    assert.ok(commands.length > 0);
    assert.deepEqual(commands.filter((c) => /-Werror\b/.test(c.command)).map((c) => c.file), [],
      'warnings stay warnings in a user build');
    assert.deepEqual(commands.filter((c) => /\/(tests|bench)\//.test(c.file)).map((c) => c.file),
      [], 'no test or benchmark source is compiled');

    assert.deepEqual(loadedIn(user, plainEnv()).native,
      ['node_modules/corvelle/build/Release/corvelle.node'], 'the local build wins');
  });
