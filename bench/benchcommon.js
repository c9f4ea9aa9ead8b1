'use strict';
// What the bench's script roles share: their command-line options, the summary of
// timed samples, waiting for the coordinator to close standard input, and the progress
// file through which a receiver tells the sender how far it has read.
const fs = require('node:fs');

function option(name, fallback) {
  const i = process.argv.indexOf(`--${name}`);
  return i > 0 ? process.argv[i + 1] : fallback;
}
const number = (name, fallback) => Number(option(name, fallback));

function summary(values) {
  const sorted = [...values].sort((a, b) => a - b);
  const at = (p) => sorted[Math.min(sorted.length - 1, Math.max(0, Math.ceil((p / 100) * sorted.length) - 1))];
  return { median: at(50), p99: at(99), samples: sorted.length };
}

function untilStdinEnds() {
  return new Promise((resolve) => {
    process.stdin.on('end', resolve);
    process.stdin.resume();
  });
}

// Writes the count, fixed width, at the start of `file`, as bench/progressfile.cpp does.
function progressWriter(file) {
  const fd = fs.openSync(file, 'r+');
  return (count) => fs.writeSync(fd, `${String(count).padStart(20, ' ')}\n`, 0);
}

module.exports = { option, number, summary, untilStdinEnds, progressWriter };
