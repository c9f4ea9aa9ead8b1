'use strict';
// A client that asks the developer-tools service for its details, as `corvelle service`
// does: OSTREL_BUS_ADDRESS=<address> node examples/client.js
const { OstrelAdapter } = require('corvelle');

const adapter = new OstrelAdapter('example-client', '1.0');
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
