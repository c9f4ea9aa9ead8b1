'use strict';
// A developer-tools service in a few lines: an HTTP endpoint on loopback, announced on
// the bus so that host applications and clients learn its port. Run it on a bus that is
// already there (the one `corvelle bus` names): node examples/service.js
const http = require('node:http');
const { connect } = require('corvelle');

const server = http.createServer((req, res) => res.end('hello from the service\n'));
server.listen(0, '127.0.0.1', async () => {
  const details = JSON.stringify({ host: '127.0.0.1', port: server.address().port });

  // Joins the bus as the developer-tools service, once the bus answers (without blocking).
  let adapter;
  try {
    adapter = await connect('QOVR', '1.0', { timeoutMs: 10000 });
  } catch (err) {
    console.error(`no bus: ${err.message}`);
    server.close();
    process.exitCode = 1;
    return;
  }
  // Announce; from now on the adapter answers hosts and clients with these details.
  adapter.setServerDetails(true, details);
  process.once('SIGINT', () => {
    adapter.setServerDetails(false, details); // tell everybody the service is gone
    adapter.disconnect();
    server.close(() => console.log('service stopped'));
  });

  console.log(`service announced: ${details}`);
  console.log(`host applications on the bus: ${adapter.getAppsList().join('; ') || 'none'}`);
});
