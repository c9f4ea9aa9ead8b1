'use strict';
// The child process of findService: joins the bus at argv[2] as a client, asks the
// developer-tools service once and prints its answer as one JSON line. Exits 0 after the
// answer, 3 when none came within argv[3] ms.
const { OstrelAdapter, setBusAddress } = require('./binding').load().binding;
const { version } = require('../package.json');

const [address, timeoutText] = process.argv.slice(2);
setBusAddress(address);
setTimeout(() => process.exit(3), Number(timeoutText) || 0);
const adapter = new OstrelAdapter('corvelle-cli', version);
adapter.getServicePort((type, payload, appId, appVersion) => {
  adapter.disconnect();
  process.stdout.write(`${JSON.stringify({ type, payload, appId, appVersion })}\n`,
    () => process.exit(0));
});
