#!/usr/bin/env node
// Builds everything with AddressSanitizer + UndefinedBehaviorSanitizer (build-asan/) and
// runs every suite there; node runs with the sanitizer runtimes preloaded. Any sanitizer
// report fails the run, also one written by a child process whose exit code a test
// did not look at.
'use strict';
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');

const root = path.resolve(__dirname, '..');
const buildDir = path.join(root, 'build-asan');
const logDir = path.join(buildDir, 'sanitizer-logs');

function run(command, args) {
  const result = spawnSync(command, args, { cwd: root, stdio: 'inherit' });
  return result.status ?? 1;
}

let status = run(process.execPath, [path.join(__dirname, 'build.js'), '--sanitize']);
if (status !== 0) process.exit(status);
fs.rmSync(logDir, { recursive: true, force: true });
fs.mkdirSync(logDir, { recursive: true });
status = run('ctest', ['--test-dir', buildDir, '--output-on-failure', '--parallel', '2']);

const reports = fs.readdirSync(logDir);
for (const report of reports) {
  console.error(`\n=== sanitizer report ${report} ===`);
  console.error(fs.readFileSync(path.join(logDir, report), 'utf8'));
}
if (reports.length > 0) {
  console.error(`corvelle: ${reports.length} sanitizer report(s)`);
  process.exit(1);
}
process.exit(status);
