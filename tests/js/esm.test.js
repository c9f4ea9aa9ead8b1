'use strict';
// Named imports from ES modules: a plain .mjs file, and a TypeScript user compiled with
// `module: nodenext` and then run. Each works in a project of its own whose
// node_modules/corvelle is this package.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { spawnSync } = require('node:child_process');
const { root, tempDir } = require('./support/cli-harness');

const tsc = path.join(path.dirname(require.resolve('typescript/package.json')), 'bin', 'tsc');
const METHODS = ['constructor', 'disconnect', 'getAppsList', 'getServicePort', 'setServerDetails'];

function project() {
  const dir = tempDir('corvelle-esm-');
  fs.mkdirSync(path.join(dir, 'node_modules'));
  fs.symlinkSync(root, path.join(dir, 'node_modules', 'corvelle'), 'dir');
  fs.writeFileSync(path.join(dir, 'package.json'), '{ "name": "esm-user", "private": true }');
  return dir;
}

function node(args, cwd) {
  const result = spawnSync(process.execPath, args, { cwd, encoding: 'utf8', timeout: 60000 });
  assert.equal(result.status, 0, `node ${args.join(' ')}:\n${result.stdout}${result.stderr}`);
  return result.stdout;
}

test('named imports from a .mjs file are the same objects as require gives', () => {
  const dir = project();
  try {
    fs.writeFileSync(path.join(dir, 'user.mjs'), `
      import { OstrelAdapter, waitForBus, findService } from 'corvelle';
      import corvelle from 'corvelle';
      import { createRequire } from 'node:module';
      const required = createRequire(import.meta.url)('corvelle');
      console.log(JSON.stringify({
        named: [typeof OstrelAdapter, typeof waitForBus, typeof findService],
        methods: Object.getOwnPropertyNames(OstrelAdapter.prototype).sort(),
        same: required.OstrelAdapter === OstrelAdapter && required.waitForBus === waitForBus
          && required.findService === findService && corvelle === required,
      }));`);
    assert.deepEqual(JSON.parse(node(['user.mjs'], dir)), {
      named: ['function', 'function', 'function'], methods: METHODS, same: true,
    });
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
});

test('a TypeScript user with module nodenext compiles and runs', () => {
  const dir = project();
  try {
    for (const file of ['tsconfig.json', 'user.mts']) {
      fs.copyFileSync(path.join(root, 'tests', 'types', 'esm', file), path.join(dir, file));
    }
    node([tsc, '-p', dir], dir);
    assert.deepEqual(JSON.parse(node([path.join('out', 'user.mjs')], dir)), {
      adapter: 'function', methods: METHODS, lookup: 'function', sameAsDefault: true,
      code: 'ERR_CORVELLE_BAD_BUS_ADDRESS',
    });
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
});
