'use strict';
// Standard output and error as the command writes them. A reader that has closed its
// end of a pipe (`corvelle apps | head -1`) ends the command quietly, with the exit code
// it would have had, instead of with an EPIPE error; what is still written goes nowhere.

let closed = false;
let onClosed = () => process.exit(process.exitCode ?? 0);

function guard(stream, isStdout) {
  stream.on('error', (err) => {
    if (err.code !== 'EPIPE') throw err;
    if (!isStdout || closed) return;
    closed = true;
    onClosed();
  });
}
guard(process.stdout, true);
guard(process.stderr, false);

function out(line) {
  if (!closed) process.stdout.write(`${line}\n`);
}

function err(line) {
  process.stderr.write(`${line}\n`);
}

// What a closed standard output does instead of ending the process (a running service
// stops in order).
function whenStdoutCloses(handler) {
  onClosed = handler;
}

module.exports = { out, err, whenStdoutCloses, stdoutClosed: () => closed };
