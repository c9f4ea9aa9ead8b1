'use strict';
// A client that asks the developer-tools service for its details, as `corvelle service`
// does: node examples/client.js (on the bus that `corvelle bus` names).
const { connect } = require('corvelle');

// Waits for the bus without blocking, then joins it.
connect('example-client', '1.0', { timeoutMs: 3000 }).then((adapter) => {
  const timer = setTimeout(() => {
    console.error('no answer from the service');
    adapter.disconnect(); // lets the process end
    process.exitCode = 1;
  }, 3000);

  adapter.getServicePort((type, payload, appId, appVersion) => {
    clearTimeout(timer);
    adapter.disconnect();
    const { host, port } = JSON.parse(payload);
    console.log(`${appId} ${appVersion} runs at http://${host}:${port}/`);
  });
}, (err) => {
  console.error(`no bus: ${err.message}`);
  process.exitCode = 1;
});
