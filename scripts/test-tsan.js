#!/usr/bin/env node
// Builds everything with ThreadSanitizer (build-tsan/) and runs the suites where threads
// meet: the library's C++ tests (every line of them instrumented, so any report fails),
// and the script suites that drive the module from several threads, in node with the
// sanitizer runtime preloaded.
//
// node itself is not instrumented, and its own threads (V8's platform workers, worker
// message ports) synchronise in ways the sanitizer cannot see, so it reports races
// inside node that are not ours. A report counts when either of its accesses, or any
// frame of a report that is not a data race, is in this project's code; the others are
// counted and left alone.
'use strict';
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const { root, build, BuildError } = require('./cmake-build');

const buildDir = path.join(root, 'build-tsan');
const outputDir = path.join(buildDir, 'Release');
const logDir = path.join(buildDir, 'sanitizer-logs');
// `node scripts/test-tsan.js [name ...]` runs only the named tests and suites.
const chosen = process.argv.slice(2);
const pick = (names) => (chosen.length ? names.filter((name) => chosen.includes(name)) : names);
const NATIVE_TESTS = pick(['ostrel_dbus_test', 'ostrel_dbus_stress_test', 'ostrel_dbus_names_test',
  'logger_test', 'answerlimiter_test', 'senderratelimit_test']);
const SCRIPT_SUITES = pick(['workers', 'lifecycle', 'messages', 'delivery', 'stress'])
  .map((name) => path.join(root, 'tests', 'js', `${name}.test.js`));
// Binaries of this project, as the sanitizer names them in a frame.
const OURS = /\((corvelle[\w.-]*|ostrel[\w.-]*|libostrel[\w.-]*|[\w-]*_test)\+0x/;
const RUNTIME = /\((libtsan\.so[.\d]*|libc\.so\.6|libstdc\+\+\.so[.\d]*|libm\.so\.6)\+0x/;

function run(command, args, env) {
  const result = spawnSync(command, args, { cwd: root, stdio: 'inherit', env: { ...process.env, ...env } });
  return result.status ?? 1;
}

// The reports in the sanitizer's log files, each { text, ours }.
function reports() {
  const found = [];
  for (const name of fs.readdirSync(logDir)) {
    const log = fs.readFileSync(path.join(logDir, name), 'utf8');
    for (const text of log.split(/^==================$/m)) {
      if (!/WARNING: ThreadSanitizer:/.test(text)) continue;
      found.push({ text, ours: isOurs(text) });
    }
  }
  return found;
}

function isOurs(text) {
  if (!/WARNING: ThreadSanitizer: data race/.test(text)) return OURS.test(text);
  // A race: the first frame of each access outside the runtimes says whose access it was.
  for (const access of text.split(/\n(?=\s+(?:Previous )?(?:[Aa]tomic )?(?:[Ww]rite|[Rr]ead) of size)/).slice(1)) {
    const frames = access.split('\n').filter((line) => /^\s+#\d+ /.test(line));
    const first = frames.find((line) => !RUNTIME.test(line));
    if (first && OURS.test(first)) return true;
  }
  return false;
}

let status;
try {
  build({ buildDir, developer: true, sanitize: 'thread' });
} catch (err) {
  if (!(err instanceof BuildError)) throw err;
  console.error(`corvelle: ${err.message}`);
  process.exit(1);
}
fs.rmSync(logDir, { recursive: true, force: true });
fs.mkdirSync(logDir, { recursive: true });
const tsanOptions = `exitcode=0:log_path=${path.join(logDir, 'tsan')}`;
let failed = 0;
for (const test of NATIVE_TESTS) {
  console.log(`--- ${test}`);
  status = run(path.join(outputDir, test), ['--gtest_brief=1'], { TSAN_OPTIONS: tsanOptions });
  if (status !== 0) failed += 1;
}
const runtime = spawnSync(process.env.CXX || 'g++', ['-print-file-name=libtsan.so'], { encoding: 'utf8' })
  .stdout.trim();
if (SCRIPT_SUITES.length > 0) {
  console.log('--- script suites');
  status = run(process.execPath, ['--test', ...SCRIPT_SUITES], {
    LD_PRELOAD: runtime, TSAN_OPTIONS: tsanOptions, CORVELLE_BUILD_DIR: outputDir, CORVELLE_SANITIZE: '1',
  });
  if (status !== 0) failed += 1;
}

const all = reports();
const ours = all.filter((r) => r.ours);
for (const report of ours) console.error(`\n=== ThreadSanitizer report in this project's code ===${report.text}`);
console.log(`tsan: ${failed} failing run(s); ${ours.length} report(s) in this project's code, ` +
  `${all.length - ours.length} inside node alone (not ours; left alone)`);
process.exit(failed > 0 || ours.length > 0 ? 1 : 0);
