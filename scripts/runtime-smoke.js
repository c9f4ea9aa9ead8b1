'use strict';
// Smoke run of the package under other script runtimes: node scripts/runtime-smoke.js
// <bun> <deno>. For each, on a private bus of its own and with no bus variable set:
// a service adapter made with connect() answers a host (`corvelle host`), the command
// `corvelle service` gets the service's answer through getServicePort, and every process
// ends by itself. Exits 1 at the first failure.
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const root = path.resolve(__dirname, '..');
const CLI = path.join(root, 'bin', 'corvelle.js');
const SERVICE = path.join(root, 'tests', 'runtime', 'service.js');
const LIMIT_MS = 30000;

function run(command, args, env, { until } = {}) {
  const child = spawn(command, args, { cwd: root, env, stdio: ['ignore', 'pipe', 'pipe'] });
  const result = { child, stdout: '', stderr: '' };
  result.exited = new Promise((resolve) => {
    const timer = setTimeout(() => child.kill('SIGKILL'), LIMIT_MS);
    child.on('close', (code, signal) => {
      clearTimeout(timer);
      resolve({ code, signal });
    });
  });
  result.seen = new Promise((resolve, reject) => {
    child.stdout.on('data', (chunk) => {
      result.stdout += chunk;
      if (until && until.test(result.stdout)) resolve();
    });
    child.stderr.on('data', (chunk) => { result.stderr += chunk; });
    result.exited.then(() => reject(new Error(`ended before ${until}:\n${result.stdout}${result.stderr}`)));
  });
  result.seen.catch(() => {});
  return result;
}

function startBus(dir) {
  const socket = path.join(dir, 'bus');
  const daemon = run('dbus-daemon', [`--config-file=${path.join(root, 'bus', 'ostrel-bus.conf')}`,
    `--address=unix:path=${socket}`, '--nofork', '--nopidfile', '--nosyslog', '--print-address=1'],
  process.env, { until: /\n/ });
  return daemon.seen.then(() => ({ address: daemon.stdout.trim(), pid: daemon.child.pid, daemon }));
}

function check(ok, message) {
  if (!ok) throw new Error(message);
}

async function smoke(name, runtime, flags) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), `corvelle-smoke-${name}-`));
  const env = { ...process.env, TMPDIR: dir };
  for (const variable of ['OSTREL_BUS_ADDRESS', 'DBUS_SESSION_BUS_ADDRESS', 'XDG_RUNTIME_DIR']) {
    delete env[variable];
  }
  const started = Date.now();
  const bus = await startBus(dir);
  let service;
  try {
    service = run(runtime, [...flags, SERVICE, bus.address], env, { until: /announced/ });
    await service.seen;

    const host = run(runtime, [...flags, CLI, 'host', 'RSTN', '1.0', '--json', '--bus', bus.address], env);
    const hostEnd = await host.exited;
    check(hostEnd.code === 0, `${name}: corvelle host exited ${hostEnd.code}:\n${host.stdout}${host.stderr}`);
    const hosted = JSON.parse(host.stdout.trim().split('\n')[0]);
    check(hosted.appId === 'QOVR' && hosted.payload === '{"port":5160}',
      `${name}: the host got ${host.stdout}`);

    const client = run(runtime, [...flags, CLI, 'service', '--json', '--bus', bus.address], env);
    const clientEnd = await client.exited;
    check(clientEnd.code === 0, `${name}: corvelle service exited ${clientEnd.code}:\n${client.stdout}${client.stderr}`);
    const answer = JSON.parse(client.stdout.trim());
    check(answer.appId === 'QOVR' && answer.payload === '{"port":5160}', `${name}: the client got ${client.stdout}`);

    service.child.kill('SIGTERM');
    const serviceEnd = await service.exited;
    check(serviceEnd.code === 0 && /stopped/.test(service.stdout),
      `${name}: the service did not end by itself after SIGTERM (${serviceEnd.signal || serviceEnd.code}):\n${service.stderr}`);
    console.log(`${name}: passed in ${((Date.now() - started) / 1000).toFixed(1)} s`);
  } finally {
    if (service) service.child.kill('SIGKILL');
    bus.daemon.child.kill('SIGTERM');
    await bus.daemon.exited;
    fs.rmSync(dir, { recursive: true, force: true });
  }
}

async function main([bun, deno]) {
  if (!bun || !deno) {
    console.error('usage: node scripts/runtime-smoke.js <bun> <deno>');
    return 2;
  }
  let failed = 0;
  for (const [name, runtime, flags] of [
    ['bun', bun, []],
    ['deno', deno, ['run', '--allow-all', '--unstable-detect-cjs']],
  ]) {
    try {
      await smoke(name, runtime, flags);
    } catch (err) {
      failed += 1;
      console.error(err.message);
    }
  }
  console.log(`${2 - failed} passed, ${failed} failed`);
  return failed === 0 ? 0 : 1;
}

main(process.argv.slice(2)).then((code) => process.exit(code));
