'use strict';
// The package as a user gets it: `npm pack`, then installing the tarball into an empty
// folder builds the module there, `require('corvelle')` works and the corvelle command
// runs. Dependencies come from npm's cache when it has them, else from the registry.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { spawnSync } = require('node:child_process');
const { root, tempDir } = require('./support/cli-harness');

// The package build is an ordinary one: none of the test build's variables reach it.
function plainEnv() {
  const env = { ...process.env };
  for (const name of ['CORVELLE_BUILD_DIR', 'CORVELLE_SANITIZE', 'LD_PRELOAD', 'ASAN_OPTIONS',
    'UBSAN_OPTIONS', 'OSTREL_BUS_ADDRESS']) {
    delete env[name];
  }
  return env;
}

function run(command, args, cwd, timeout = 240000) {
  const result = spawnSync(command, args, { cwd, env: plainEnv(), encoding: 'utf8', timeout });
  const what = `${command} ${args.join(' ')}`;
  assert.equal(result.error, undefined, `${what}: ${result.error?.message}`);
  assert.equal(result.status, 0, `${what} failed:\n${result.stdout}\n${result.stderr}`);
  return result.stdout;
}

test('npm pack, then install into an empty folder: it builds and loads',
  { skip: process.env.CORVELLE_SANITIZE ? 'the package is checked by the normal build; ' +
    'a sanitizer build of it would show nothing more' : false },
  () => {
    const dir = tempDir('corvelle-pack-');
    try {
      const [packed] = JSON.parse(run('npm', ['pack', '--json', '--pack-destination', dir], root));
      const files = packed.files.map((f) => f.path);
      for (const needed of ['package.json', 'README.md', 'index.js', 'index.d.ts',
        'bin/corvelle.js', 'lib/start.js', 'CMakeLists.txt', 'scripts/build.js',
        'bus/ostrel-bus.conf', 'src/ostreladapter.cpp', 'ostrel/include/ostrel/OstrelMessage5.h',
        'ostrel/dbus/CMakeLists.txt', 'tools/ostrel-peer/CMakeLists.txt', 'cmake/Windows.cmake',
        'src/delayloadhook.cpp']) {
        assert.ok(files.includes(needed), `the package holds ${needed}`);
      }
      const unwanted = files.filter((f) => /^(tests|build|build-asan|node_modules|\.ci|bench)\//.test(f));
      assert.deepEqual(unwanted, [], 'no tests, build output or dependencies in the package');

      const user = path.join(dir, 'user');
      fs.mkdirSync(user);
      fs.writeFileSync(path.join(user, 'package.json'),
        JSON.stringify({ name: 'pack-user', version: '1.0.0', private: true }));
      run('npm', ['install', '--prefer-offline', '--no-audit', '--no-fund',
        path.join(dir, packed.filename)], user);

      const loaded = run(process.execPath, ['-e', `
        const { OstrelAdapter } = require('corvelle');
        const pkg = require('corvelle/package.json');
        const fs = require('fs');
        const where = require.resolve('corvelle');
        console.log(JSON.stringify({
          adapter: typeof OstrelAdapter,
          methods: Object.getOwnPropertyNames(OstrelAdapter.prototype).sort(),
          types: fs.existsSync(require('path').join(where, '..', pkg.types)),
          inside: where.includes('node_modules'),
        }));`], user);
      assert.deepEqual(JSON.parse(loaded), {
        adapter: 'function',
        methods: ['constructor', 'disconnect', 'getAppsList', 'getServicePort', 'setServerDetails'],
        types: true,
        inside: true,
      });
      const help = run(path.join(user, 'node_modules', '.bin', 'corvelle'), ['--help'], user);
      assert.match(help, /Usage: corvelle <command>/);
      assert.ok(fs.existsSync(path.join(user, 'node_modules', 'corvelle', 'build', 'Release',
        'ostrel-peer')), 'the peer tool for corvelle host is built too');
    } finally {
      fs.rmSync(dir, { recursive: true, force: true });
    }
  });
