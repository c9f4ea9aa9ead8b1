'use strict';
// The install step's source build when a build tool is missing: it ends before CMake runs,
// with one line that names what is missing and the Debian/Ubuntu packages to install (not
// a script path: npm has removed the package folder's scripts by then). The tools
// that are "there" are stand-ins that record their calls, so a check that let a build
// through would show up as a configure call.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { spawnSync } = require('node:child_process');
const { root, tempDir } = require('./support/cli-harness');

const OK = (name) => `#!/bin/sh\necho "${name} $*" >> "$CALLS"\nexit 0\n`;
// pkg-config that is there but knows no libsystemd.
const PKG_CONFIG_WITHOUT_SYSTEMD = () =>
  '#!/bin/sh\necho "pkg-config $*" >> "$CALLS"\n[ "$1" = "--exists" ] && exit 1\nexit 0\n';

const cases = [
  { tools: {}, missing: 'missing CMake, Debian/Ubuntu package cmake;' },
  { tools: { cmake: OK }, missing: 'missing make, Debian/Ubuntu package make;' },
  {
    tools: { cmake: OK, make: OK },
    missing: 'missing a C++17 compiler (c++, g++, clang++), Debian/Ubuntu package g++;',
  },
  { tools: { cmake: OK, make: OK, 'g++': OK }, missing: 'missing pkg-config, Debian/Ubuntu package pkg-config;' },
  {
    tools: { cmake: OK, make: OK, 'clang++': OK, 'pkg-config': PKG_CONFIG_WITHOUT_SYSTEMD },
    missing: "missing libsystemd's headers, Debian/Ubuntu package libsystemd-dev;",
  },
];

test('a missing build tool ends the source build in one line naming it and the packages',
  () => {
    const dir = tempDir('corvelle-install-');
    try {
      cases.forEach(({ tools, missing }, i) => {
        const bin = path.join(dir, `bin${i}`);
        const calls = path.join(dir, `calls${i}`);
        fs.mkdirSync(bin);
        for (const [name, script] of Object.entries(tools)) {
          fs.writeFileSync(path.join(bin, name), script(name), { mode: 0o755 });
        }
        const env = { ...process.env, PATH: bin, CALLS: calls, CORVELLE_BUILD_FROM_SOURCE: '1' };
        delete env.CXX;
        const result = spawnSync(process.execPath, [path.join(root, 'scripts', 'install.js')],
          { cwd: root, env, encoding: 'utf8', timeout: 30000 });
        const what = Object.keys(tools).join(', ') || 'no tools';
        assert.equal(result.status, 1, `${what}: ${result.stdout}${result.stderr}`);
        const lines = result.stderr.trim().split('\n');
        assert.equal(lines.length, 1, `${what}: one line, got:\n${result.stderr}`);
        assert.match(lines[0], /^corvelle: cannot build the native module from source: /, what);
        assert.ok(lines[0].includes(missing), `${what}: ${lines[0]}`);
        assert.ok(lines[0].endsWith('; a source build needs, on Debian and Ubuntu: ' +
          'sudo apt-get install cmake make g++ pkg-config libsystemd-dev'), lines[0]);
        assert.doesNotMatch(lines[0], /install-deps|node_modules/, what);
        const called = fs.existsSync(calls) ? fs.readFileSync(calls, 'utf8') : '';
        assert.doesNotMatch(called, /^cmake (-S|--build)/m, `${what}: no build started`);
      });
    } finally {
      fs.rmSync(dir, { recursive: true, force: true });
    }
  });
