'use strict';
// The service side of the runtime smoke run (scripts/runtime-smoke.js): joins the bus at
// argv[2] through connect(), announces, and leaves the bus on SIGTERM.
const { connect } = require('../..');

connect('QOVR', '1.0', { address: process.argv[2], timeoutMs: 10000 }).then((adapter) => {
  const details = '{"port":5160}';
  adapter.setServerDetails(true, details);
  const keepAlive = setInterval(() => {}, 1000);
  process.once('SIGTERM', () => {
    adapter.setServerDetails(false, details);
    adapter.disconnect();
    clearInterval(keepAlive);
    console.log('stopped');
  });
  console.log('announced');
}, (err) => {
  console.error(`service: ${err.code} ${err.message}`);
  process.exit(1);
});
