'use strict';
// A developer-tools service in a few lines: an HTTP endpoint on loopback, announced on
// the bus so that host applications and clients learn its port. Run it on a bus that is
// already there: OSTREL_BUS_ADDRESS=<address> node examples/service.js
const http = require('node:http');
const { OstrelAdapter } = require('corvelle');

const server = http.createServer((req, res) => res.end('hello from the service\n'));
server.listen(0, '127.0.0.1', () => {
  const details = JSON.stringify({ host: '127.0.0.1', port: server.address().port });

  // Joins the bus as the developer-tools service (this blocks until the bus answers).
  const adapter = new OstrelAdapter('QOVR', '1.0');
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
