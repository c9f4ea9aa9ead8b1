'use strict';
// `corvelle start` (and `npm start`): the developer-tools service, on the bus that the
// common rule finds or on a private bus of its own, until a signal stops it.

const { createService } = require('./service');
const { out, err, whenStdoutCloses } = require('./stdout');

const START_USAGE = `Usage: corvelle start [--port <port>] [--bus <address>]

Runs the developer-tools service: a loopback HTTP endpoint, announced on the bus as
application QOVR, answering host applications and clients until Ctrl-C (SIGINT) or
SIGTERM; a second Ctrl-C during the stop ends it at once. \`npm start\` in the project
folder runs the same (\`npm start -- --port 8123\`).

  --port <port>       HTTP port on 127.0.0.1 (default: a free one)
  --bus <address>     join this bus (a D-Bus address such as unix:path=/run/user/1000/bus)
  -h, --help          this text
  -v, --version       the package's version

Without --bus: OSTREL_BUS_ADDRESS when set; else the session bus when there is one; else
a private bus (the project's bus configuration) at a fixed per-user socket, started here
(or joined, when another service runs it) and stopped on exit unless other participants
still use it. A bus that goes away is brought up again. The other commands find the same
bus by the same rule.`;

const STOP_SIGNALS = ['SIGINT', 'SIGTERM', 'SIGHUP'];

// Resolves with the exit code once the service has stopped.
function runStart(options) {
  return new Promise((resolve) => {
    const service = createService({ busOption: options.bus, port: options.port ?? 0 });
    let started = false;
    let stopRequested = false;

    const stop = () => {
      service.stop().then(() => {
        out('stopped');
        resolve(0);
      }, (error) => {
        err(`corvelle: while stopping: ${error.message}`);
        service.stopNow();
        resolve(1);
      });
    };
    let leaving = false;
    const requestStop = (why) => {
      if (leaving) {
        service.stopNow();
        process.exit(130);
      }
      if (stopRequested) {
        // A second signal: no more waiting, but no bus of ours is left behind, and the
        // adapter's thread has gone first (for a moment at most), so that the library
        // does not report the bus as lost. A third one does not wait at all.
        leaving = true;
        err(`corvelle: ${why} again, leaving at once`);
        service.leaveNow().finally(() => process.exit(130));
        return;
      }
      stopRequested = true;
      out(`${why}: stopping`);
      if (started) stop();
    };
    for (const signal of STOP_SIGNALS) process.on(signal, () => requestStop(signal));
    // Nobody reads the log any more: stop in order, quietly.
    whenStdoutCloses(() => requestStop('stdout closed'));

    service.start().then(() => {
      started = true;
      if (stopRequested) {
        stop();
        return;
      }
      out('ready: try `npx corvelle service`, `npx corvelle host RSTN 1.0` and ' +
        '`npx corvelle apps` in another terminal; Ctrl-C stops');
    }, (error) => {
      err(`corvelle: ${error.message}`);
      service.stopNow();
      resolve(1);
    });
  });
}

module.exports = { runStart, START_USAGE };
